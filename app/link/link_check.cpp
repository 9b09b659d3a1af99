#include "link/link_check.h"

#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace lantern {

LinkCheck::LinkCheck(QUrl via, Timing timing) : via_(std::move(via)), timing_(std::move(timing)) {
    next_.setSingleShot(true);
    connect(&next_, &QTimer::timeout, this, &LinkCheck::attempt);
}

void LinkCheck::check(const QUrl& link, const QString& passcode) {
    stop();
    target_ = link;
    target_.setPath(QStringLiteral("/now"));
    target_.setFragment({});
    auto query = QStringLiteral("lag=0");
    if (!passcode.isEmpty())
        query += QStringLiteral("&k=") + QString::fromLatin1(QUrl::toPercentEncoding(passcode));
    target_.setQuery(query);
    if (via_.isValid()) {
        target_.setScheme(via_.scheme());
        target_.setHost(via_.host());
        target_.setPort(via_.port());
    }
    tries_ = 0;
    toldUnreachable_ = false;
    started_ = std::chrono::steady_clock::now();
    attempt();
}

void LinkCheck::stop() {
    next_.stop();
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
        reply_->deleteLater();
    }
    reply_ = nullptr;
}

void LinkCheck::attempt() {
    QNetworkRequest request(target_);
    request.setTransferTimeout(static_cast<int>(timing_.timeout.count()));
    // A redirect is not the station answering.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("Lantern FM link check"));
    ++tries_;
    reply_ = network_.get(request);
    connect(reply_, &QNetworkReply::finished, this,
            [this, reply = reply_.data()] { finished(reply); });
}

void LinkCheck::finished(QNetworkReply* reply) {
    reply->deleteLater();
    if (reply != reply_) return;
    reply_ = nullptr;
    const auto status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // At most a small record is read: whatever answers is not trusted further.
    if (reply->error() == QNetworkReply::NoError && status == 200 &&
        QJsonDocument::fromJson(reply->read(64 * 1024)).isObject())
        return Q_EMIT answered();

    const auto elapsed = std::chrono::steady_clock::now() - started_;
    if (tries_ <= timing_.waits.size() && elapsed < timing_.patience) {
        const auto wait = timing_.waits[tries_ - 1];
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(timing_.patience - elapsed);
        next_.start(std::min(wait, left));
        return;
    }
    if (!toldUnreachable_) {
        toldUnreachable_ = true;
        Q_EMIT unreachable();
    }
    next_.start(timing_.retry);
}

} // namespace lantern
