#include "ui/cover_provider.h"

#include "station/station.h"

namespace lantern {

CoverProvider::CoverProvider(const Station& station)
    : QQuickImageProvider(QQuickImageProvider::Image), cover_(station.cover().shared()) {}

QImage CoverProvider::requestImage(const QString&, QSize* size, const QSize& requested) {
    QImage image = cover_->get();
    if (!image.isNull() && requested.isValid())
        image = image.scaled(requested, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    if (size) *size = image.size();
    return image;
}

} // namespace lantern
