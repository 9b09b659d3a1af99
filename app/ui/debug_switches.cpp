#include "ui/debug_switches.h"

#include "capture/audio_source.h"
#include "capture/audio_tap.h"
#include "capture/mic_input.h"
#include "core/signal/mixing.h"
#include "settings/settings.h"
#include "station/station.h"

#include <QDateTime>
#include <QStringList>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>

namespace lantern::DebugSwitches {

namespace {

Settings& settings() {
    return Settings::shared();
}

void print(const QString& line) {
    std::printf("%s\n", line.toUtf8().constData());
}

QString names(const QStringList& list) {
    return list.join(QStringLiteral(", "));
}

} // namespace

void prepareOutput() {
    for (const char* key : {"debugCapture", "debugOnAir", "debugPanelWindow", "debugPanelTiming"})
        if (settings().value(QLatin1String(key)).isValid()) {
            std::setvbuf(stdout, nullptr, _IONBF, 0);
            return;
        }
}

void startCaptureIfAsked() {
    const auto id = settings().string(QStringLiteral("debugCapture"));
    if (!id) return;
    const auto source =
        AudioSource::namesWhole(*id) ? AudioSource::wholeMac() : AudioSource{*id, *id, QString()};
    QStringList offered;
    for (const auto& candidate : AudioSources::current())
        offered.append(candidate.name);
    print(QStringLiteral("sources: ") + names(offered));

    // The peak and the frame count live on the tap's thread only.
    struct Meter {
        float peak = 0;
        std::size_t frames = 0;
        std::atomic<bool> heard{false}, failed{false};
    };
    auto meter = std::make_shared<Meter>();
    const auto sourceID = source.id;
    // Kept for the life of the process.
    static std::unique_ptr<AudioTap> tap;
    tap = std::make_unique<AudioTap>(
        source,
        [meter](AudioTap::Problem problem) {
            if (problem == AudioTap::Problem::none || meter->heard || meter->failed.exchange(true))
                return;
            print(QStringLiteral("capture failed: ") +
                  (problem == AudioTap::Problem::serverGone
                       ? QStringLiteral("the sound server is not reachable")
                       : QStringLiteral("there is no output to hear")));
        },
        [meter, sourceID](std::span<const float> samples, double rate) {
            if (!meter->heard.exchange(true)) print(QStringLiteral("capturing ") + sourceID);
            meter->peak = std::max(meter->peak, peakOf(samples));
            meter->frames += samples.size() / 2;
            if (meter->frames >= static_cast<std::size_t>(rate)) {
                std::printf("level %.3f\n", static_cast<double>(meter->peak));
                meter->peak = 0;
                meter->frames = 0;
            }
        });
}

void goOnAirIfAsked(Station& station) {
    if (!settings().flag(QStringLiteral("debugOnAir"))) return;
    const auto stopAfter = [&station] {
        const auto seconds = settings().value(QStringLiteral("debugStopAfter")).toDouble();
        if (seconds > 0) station.stopAfter(seconds);
    };
    const auto claim = settings().string(QStringLiteral("debugClaim"));
    if (!claim) {
        station.goOnAir();
        stopAfter();
        return;
    }
    const auto mode = *claim == QLatin1String("private") ? LinkMode::Kept : LinkMode::Named;
    const auto passcode = settings().string(QStringLiteral("debugPasscode"));
    [](Station& target, LinkMode linkMode, QString name, std::optional<QString> code,
       std::function<void()> then) -> QCoro::Task<void> {
        auto change = target.setLinkMode(linkMode, name, code, target.presence().stationName());
        const auto failure = co_await change;
        print(QStringLiteral("claimed: ") + (failure ? *failure : QStringLiteral("ok")));
        target.goOnAir();
        then();
        const auto link = target.shareLink();
        print(QStringLiteral("share: ") +
              (link.isEmpty() ? QStringLiteral("-") : link.toString(QUrl::FullyEncoded)));
    }(station, mode, *claim, passcode, stopAfter);
}

bool timesPanel() {
    return settings().flag(QStringLiteral("debugPanelTiming"));
}

void reportPanelFrame(double milliseconds, bool built) {
    print(QStringLiteral("panel: first frame after %1 ms (%2)")
              .arg(milliseconds, 0, 'f', 1)
              .arg(built ? QStringLiteral("scene built") : QStringLiteral("scene kept")));
}

void reportPanelWindow(unsigned long long windowNumber) {
    QStringList inputs;
    for (const auto& input : AudioInputs::list())
        inputs.append(input.name);
    print(QStringLiteral("window: %1 inputs: %2 default: %3")
              .arg(windowNumber)
              .arg(names(inputs))
              .arg(AudioInputs::defaultName().value_or(QStringLiteral("-"))));
}

} // namespace lantern::DebugSwitches
