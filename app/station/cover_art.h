#pragma once

#include "core/net/fetch.h"
#include "core/nowplaying/cover.h"
#include "core/nowplaying/now_playing.h"
#include "core/system/guarded.h"

#include <QImage>
#include <QObject>
#include <atomic>
#include <memory>
#include <optional>
#include <string>

namespace lantern {

// The cover of what is playing, for the panel: from the reader's bytes, or
// fetched from the player's http(s) address, one fetch at a time, within
// `limits` (a player may name any address: a body without end, this
// computer's network) and decoded and encoded afresh as a file's is; a fetch
// for a track that has changed meanwhile is dropped. Main thread, but the
// image provider on QML's image thread reads the shared copy.
class CoverArt : public QObject {
    Q_OBJECT
    Q_PROPERTY(QImage image READ image NOTIFY changed)
    Q_PROPERTY(bool present READ present NOTIFY changed)
    // Changes with every new cover, for the image provider's address.
    Q_PROPERTY(int version READ version NOTIFY changed)
public:
    explicit CoverArt(FetchLimits limits = {}, QObject* parent = nullptr);
    ~CoverArt() override;

    const QImage& image() const { return image_; }
    bool present() const { return !image_.isNull(); }
    int version() const { return version_; }
    // The cover for other threads; set before `changed` is emitted.
    std::shared_ptr<const Guarded<QImage>> shared() const { return shared_; }

    // A new reading of what is playing: the cover changes only with the
    // track (its title) or its artwork address.
    void follow(const NowPlaying& record, const std::optional<Cover>& cover);
    // Nothing is playing any more (another source).
    void clear();

Q_SIGNALS:
    void changed();

private:
    void set(const QImage& image);
    // Fetches `url` away from this thread, or after the fetch under way.
    void download(const std::string& url);
    void downloaded(const std::string& url, const std::optional<Cover>& cover);

    QImage image_;
    std::shared_ptr<Guarded<QImage>> shared_ = std::make_shared<Guarded<QImage>>();
    int version_ = 0;
    std::string title_; // of the record the cover is for
    std::optional<std::string> url_;
    bool following_ = false;
    const FetchLimits limits_;
    bool downloading_ = false;
    std::optional<std::string> next_; // wanted once the fetch under way ends
    // Set when this object goes: a fetch under way gives up.
    std::shared_ptr<std::atomic<bool>> gone_ = std::make_shared<std::atomic<bool>>(false);
};

} // namespace lantern
