#include "station/cover_art.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace lantern {

CoverArt::CoverArt(QObject* parent)
    : QObject(parent), network_(std::make_unique<QNetworkAccessManager>()) {
    network_->setTransferTimeout(15000);
}

CoverArt::~CoverArt() = default;

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

void CoverArt::follow(const NowPlaying& record, const std::optional<Cover>& cover) {
    if (following_ && record.title == title_ && record.coverURL == url_) return;
    following_ = true;
    title_ = record.title;
    url_ = record.coverURL;
    if (cover) {
        const QByteArray bytes(reinterpret_cast<const char*>(cover->bytes.data()),
                               static_cast<qsizetype>(cover->bytes.size()));
        return set(QImage::fromData(bytes));
    }
    set(QImage());
    if (!record.coverURL) return;
    const QUrl url(QString::fromStdString(*record.coverURL), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty()) return;
    auto* reply = network_->get(QNetworkRequest(url));
    connect(reply, &QNetworkReply::finished, this, [this, reply, wanted = *record.coverURL] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError) return;
        // A download for a track that has changed meanwhile is dropped.
        if (!following_ || url_ != wanted) return;
        set(QImage::fromData(reply->readAll()));
    });
}

} // namespace lantern
