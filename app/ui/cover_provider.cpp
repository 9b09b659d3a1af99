#include "ui/cover_provider.h"

#include "station/station.h"

#include <QMetaObject>
#include <QThread>

namespace lantern {

CoverProvider::CoverProvider(Station& station)
    : QQuickImageProvider(QQuickImageProvider::Image), station_(station) {}

QImage CoverProvider::requestImage(const QString&, QSize* size, const QSize& requested) {
    QImage image;
    if (QThread::currentThread() == station_.thread())
        image = station_.coverImage();
    else
        QMetaObject::invokeMethod(
            &station_, [&] { image = station_.coverImage(); }, Qt::BlockingQueuedConnection);
    if (!image.isNull() && requested.isValid())
        image = image.scaled(requested, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    if (size) *size = image.size();
    return image;
}

} // namespace lantern
