#pragma once

#include <QQuickImageProvider>

namespace lantern {

class Station;

// The cover art of what is playing, for QML: "image://lantern/cover/N", where
// N is the station's coverVersion (a new address for each new cover, so an
// Image reloads). Asked on QML's image thread, it hops to the main thread
// for the image.
class CoverProvider : public QQuickImageProvider {
public:
    explicit CoverProvider(Station& station);
    QImage requestImage(const QString& id, QSize* size, const QSize& requested) override;

private:
    Station& station_;
};

} // namespace lantern
