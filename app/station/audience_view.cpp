#include "station/audience_view.h"

#include "core/station/shared.h"
#include "core/stream/fanout.h"
#include "settings/settings.h"
#include "station/assign.h"
#include "station/broadcast.h"

#include <algorithm>

namespace lantern {

namespace {

constexpr std::array<const char16_t*, 5> emoji{u"\U0001F44F", u"\u2764\uFE0F", u"\U0001F525",
                                               u"\U0001F602", u"\U0001F3B5"};
constexpr std::uint64_t risingAtOnce = 5; // of each reaction per second, so the panel keeps up

} // namespace

AudienceView::AudienceView(Settings& settings, Renditions streams, std::shared_ptr<Shared> shared)
    : settings_(settings), streams_(std::move(streams)), shared_(std::move(shared)),
      shown_(!settings_.string(QStringLiteral("showAudience")) ||
             settings_.flag(QStringLiteral("showAudience"))) {}

int AudienceView::rewindMinutes() const {
    const auto value = settings_.value(QStringLiteral("rewindMinutes"));
    return value.isValid() ? std::clamp(value.toInt(), 0, 240) : 30;
}

void AudienceView::applyWindow() {
    const auto window = std::chrono::minutes(rewindMinutes());
    streams_.setWindow(window);
    shared_->setWindow(window);
}

void AudienceView::setCatchUp(bool on) {
    if (on == catchUp()) return;
    const auto last = settings_.value(QStringLiteral("lastRewindMinutes")).toInt();
    if (!on) settings_.setValue(QStringLiteral("lastRewindMinutes"), rewindMinutes());
    settings_.setValue(QStringLiteral("rewindMinutes"), on ? (last > 0 ? last : 30) : 0);
    applyWindow();
    Q_EMIT catchUpChanged();
}

void AudienceView::setShown(bool on) {
    if (on == shown_) return;
    shown_ = on;
    settings_.setValue(QStringLiteral("showAudience"), on);
    if (broadcast_) broadcast_->audience().setShown(on);
    if (!on) clear();
    Q_EMIT shownChanged();
}

void AudienceView::follow(Broadcast* broadcast) {
    broadcast_ = broadcast;
    if (broadcast) {
        applyWindow();
        broadcast->audience().setShown(shown_);
    }
    clear();
    seen_ = minute_ = {};
    ticks_ = 0;
}

void AudienceView::clear() {
    named_.clear();
    assign(*this, catchingUp_, qint64(0), &AudienceView::changed);
    assign(*this, line_, QString(), &AudienceView::changed);
    assign(*this, totals_, QString(), &AudienceView::changed);
}

void AudienceView::tick(qint64 listeners) {
    assign(*this, catchingUp_, static_cast<qint64>(streams_.behindCount()), &AudienceView::changed);
    if (!broadcast_ || !shown_) return;
    const auto seen = broadcast_->audience().snapshot(Audience::Clock::now());
    std::map<std::uint64_t, std::string> named;
    std::vector<std::string> names;
    for (const auto& [id, name] : seen.named) {
        named.emplace(id, name);
        names.push_back(name);
        if (const auto was = named_.find(id); was == named_.end() || was->second != name)
            Q_EMIT said(QString::fromStdString(name + " is listening"));
    }
    for (const auto& [id, name] : named_)
        if (!named.contains(id)) Q_EMIT said(QString::fromStdString(name + " left"));
    named_ = std::move(named);
    assign(*this, line_,
           QString::fromStdString(listeningLine(names, static_cast<std::size_t>(listeners))),
           &AudienceView::changed);
    for (std::size_t i = 0; i < seen.totals.size(); ++i) {
        const auto fresh = seen.totals[i] - std::min(seen_[i], seen.totals[i]);
        minute_[i] += fresh;
        for (std::uint64_t n = 0; n < std::min(fresh, risingAtOnce); ++n)
            Q_EMIT reacted(QString::fromUtf16(emoji[i]));
    }
    seen_ = seen.totals;
    assign(*this, totals_, QString::fromStdString(reactionCounts(seen.totals)),
           &AudienceView::changed);
    if (++ticks_ % 60 == 0 && std::ranges::any_of(minute_, [](auto n) { return n > 0; })) {
        Q_EMIT said(QString::fromStdString("reactions this minute: " + reactionCounts(minute_)));
        minute_ = {};
    }
}

} // namespace lantern
