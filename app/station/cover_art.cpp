#include "station/cover_art.h"

#include "nowplaying/cover_file.h"

#include <QPointer>
#include <QThreadPool>

namespace lantern {

CoverArt::CoverArt(FetchLimits limits, QObject* parent)
    : QObject(parent), limits_(std::move(limits)) {}

CoverArt::~CoverArt() {
    *gone_ = true;
}

void CoverArt::set(const QImage& image) {
    if (image.isNull() && image_.isNull()) return;
    image_ = image;
    shared_->set(image);
    ++version_;
    Q_EMIT changed();
}

void CoverArt::clear() {
    following_ = false;
    set(QImage());
}

namespace {
QImage imageOf(const Cover& cover) {
    return QImage::fromData(QByteArray(reinterpret_cast<const char*>(cover.bytes.data()),
                                       static_cast<qsizetype>(cover.bytes.size())));
}
} // namespace

void CoverArt::follow(const NowPlaying& record, const std::optional<Cover>& cover) {
    if (following_ && record.title == title_ && record.coverURL == url_) return;
    following_ = true;
    title_ = record.title;
    url_ = record.coverURL;
    if (cover) return set(imageOf(*cover));
    set(QImage());
    if (record.coverURL) download(*record.coverURL);
}

void CoverArt::download(const std::string& url) {
    if (downloading_) {
        next_ = url;
        return;
    }
    downloading_ = true;
    QThreadPool::globalInstance()->start(
        [self = QPointer(this), url, limits = limits_, gone = gone_] {
            // An address that gives no image is no cover; why is nobody's business.
            auto body = fetch(url, limits, *gone);
            std::optional<Cover> cover;
            if (auto* bytes = std::get_if<std::string>(&body))
                cover = coverFromBytes(QByteArray::fromStdString(*bytes));
            QMetaObject::invokeMethod(self, [self, url, cover] {
                if (self) self->downloaded(url, cover);
            });
        });
}

void CoverArt::downloaded(const std::string& url, const std::optional<Cover>& cover) {
    downloading_ = false;
    // A download for a track that has changed meanwhile is dropped.
    if (following_ && url_ == url && cover) set(imageOf(*cover));
    if (const auto next = std::exchange(next_, std::nullopt); next && following_ && url_ == next)
        download(*next);
}

} // namespace lantern
