#pragma once

#include <QQuickImageProvider>
#include <memory>

namespace lantern {

template <typename T> class Guarded;
class Station;

// The cover art of what is playing, for QML: "image://lantern/cover/N", where
// N is the station's coverVersion (a new address for each new cover, so an
// Image reloads). QML may ask from its image thread: the provider reads the
// station's thread-safe copy of the cover.
class CoverProvider : public QQuickImageProvider {
public:
    explicit CoverProvider(const Station& station);
    QImage requestImage(const QString& id, QSize* size, const QSize& requested) override;

private:
    std::shared_ptr<const Guarded<QImage>> cover_;
};

} // namespace lantern
