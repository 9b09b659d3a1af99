#include "ui/panel_text.h"

#include "core/config/station_config.h"
#include "station/station.h"
#include "system/autostart.h"
#include "ui/qml_station.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QIcon>
#include <QLocale>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <cmath>

#ifndef LANTERN_SUPPORT_EMAIL
#define LANTERN_SUPPORT_EMAIL "support@lantern-fm.invalid"
#endif
#ifndef LANTERN_VERSION
#define LANTERN_VERSION "0"
#endif

namespace lantern {

namespace {

template <typename T> std::optional<T> unwrap(const QVariant& value) {
    if (!value.isValid() || !value.canConvert<T>()) return std::nullopt;
    return value.value<T>();
}

} // namespace

QString panel::clock(double seconds) {
    const auto whole = static_cast<qint64>(std::floor(std::max(0.0, seconds)));
    const auto h = whole / 3600, m = whole / 60 % 60, s = whole % 60;
    if (whole < 3600) return QStringLiteral("%1:%2").arg(whole / 60).arg(s, 2, 10, QChar(u'0'));
    return QStringLiteral("%1:%2:%3").arg(h).arg(m, 2, 10, QChar(u'0')).arg(s, 2, 10, QChar(u'0'));
}

QString panel::shown(const QUrl& url) {
    const auto path = url.path(QUrl::FullyDecoded);
    return path == QLatin1String("/") || path.isEmpty() ? url.host() : url.host() + path;
}

QString panel::linkSummary(LinkMode mode, const std::optional<SavedAddress>& kept, bool passcode) {
    QString summary;
    switch (mode) {
    case LinkMode::Fresh:
        summary = QStringLiteral("New link each time");
        break;
    case LinkMode::Kept:
        summary = QStringLiteral("Your private link");
        break;
    case LinkMode::Named:
        summary = kept ? QStringLiteral("Your name ") + kept->path : QStringLiteral("Your name");
        break;
    case LinkMode::Own:
        summary = QStringLiteral("Your own address");
        break;
    }
    return passcode ? summary + QStringLiteral(" \u00B7 passcode") : summary;
}

QString panel::stopChoice(double seconds) {
    if (seconds < 3600)
        return QStringLiteral("In %1 Minutes").arg(static_cast<qint64>(std::floor(seconds / 60)));
    if (seconds == 3600) return QStringLiteral("In 1 Hour");
    return QStringLiteral("In %1 Hours").arg(static_cast<qint64>(std::floor(seconds / 3600)));
}

QString panel::stopLabel(const QDateTime& stopAt) {
    if (!stopAt.isValid()) return QStringLiteral("Stop after");
    // The locale's short time, always without seconds (some locales' short
    // format has them).
    static const QRegularExpression seconds(QStringLiteral("[:.]?s+"));
    auto format = QLocale().timeFormat(QLocale::ShortFormat);
    format.remove(seconds);
    return QStringLiteral("Stops ") + QLocale().toString(stopAt.toLocalTime().time(), format);
}

QString panel::title(const std::optional<Track>& now, const std::optional<AudioSource>& source,
                     bool playerFound, bool onAir) {
    if (now && !now->title.isEmpty()) return now->title;
    if (!source) return QStringLiteral("Choose what plays");
    if (playerFound && !source->whole()) return QStringLiteral("Nothing playing");
    // No track to name: what listeners get, rather than the source again.
    const auto heard = source->whole() ? QStringLiteral("what you play") : source->name;
    return (onAir ? QStringLiteral("Listeners hear ") : QStringLiteral("Listeners will hear ")) +
           heard;
}

QString panel::line(const std::optional<Track>& now) {
    if (!now) return {};
    QStringList parts;
    for (const auto* part : {&now->artist, &now->album})
        if (!part->isEmpty()) parts.append(*part);
    return parts.join(QStringLiteral(" \u00B7 "));
}

QString panel::micName(const QString& micDevice, const std::vector<AudioInput>& inputs,
                       const QString& defaultName) {
    if (micDevice.isEmpty())
        return defaultName.isEmpty() ? QStringLiteral("Microphone") : defaultName;
    for (const auto& input : inputs)
        if (input.uid == micDevice) return input.name;
    return QStringLiteral("Mic not connected");
}

QString panel::systemDefault(const QString& defaultName) {
    const QString label = QStringLiteral("System Default");
    return defaultName.isEmpty() ? label : label + QStringLiteral(" (") + defaultName + u')';
}

bool panel::sounding(const QString& id, const QStringList& sounding) {
    for (const auto& candidate : sounding)
        if (candidate == id || (candidate.startsWith(id) && candidate.size() > id.size() &&
                                candidate[id.size()] == u'.'))
            return true;
    return false;
}

void panel::holdToTalk(Station& station, bool pressed) {
    if (station.mic().talkOn()) {
        if (pressed) station.mic().setTalkOn(false);
        return;
    }
    station.mic().hold(pressed);
}

QVariantList PanelText::stopChoices() const {
    QVariantList choices;
    for (const auto seconds : StationConfig::stopAfterChoices)
        choices.append(seconds);
    return choices;
}

QString PanelText::supportEmail() const {
    return QStringLiteral(LANTERN_SUPPORT_EMAIL);
}

QString PanelText::website() const {
    return QStringLiteral(LANTERN_WEBSITE);
}

QString PanelText::version() const {
    return QStringLiteral(LANTERN_VERSION);
}

QString PanelText::linkSummary(LinkMode mode, const QVariant& kept, bool passcode) const {
    return panel::linkSummary(mode, unwrap<SavedAddress>(kept), passcode);
}

QString PanelText::title(const QVariant& now, const QVariant& source, bool playerFound,
                         bool onAir) const {
    return panel::title(unwrap<Track>(now), unwrap<AudioSource>(source), playerFound, onAir);
}

QString PanelText::line(const QVariant& now) const {
    return panel::line(unwrap<Track>(now));
}

QString PanelText::micName(const QString& micDevice, const QVariantList& inputs,
                           const QString& defaultName) const {
    std::vector<AudioInput> list;
    for (const auto& input : inputs)
        if (const auto value = unwrap<AudioInput>(input)) list.push_back(*value);
    return panel::micName(micDevice, list, defaultName);
}

void PanelText::holdToTalk(bool pressed) const {
    panel::holdToTalk(ui::station(), pressed);
}

void PanelText::emailUs() const {
    QDesktopServices::openUrl(
        QUrl(QStringLiteral("mailto:") + supportEmail() + QStringLiteral("?subject=Lantern%20FM")));
}

bool PanelText::emailLink(const QUrl& link) const {
    QUrl mail(QStringLiteral("mailto:"));
    mail.setQuery(
        QStringLiteral("subject=%1&body=%2")
            .arg(QString::fromLatin1(
                     QUrl::toPercentEncoding(QStringLiteral("Listen to my station"))),
                 QString::fromLatin1(QUrl::toPercentEncoding(link.toString(QUrl::FullyEncoded)))));
    return QDesktopServices::openUrl(mail);
}

bool PanelText::openApplication(const QString& id) const {
    const auto program = QStandardPaths::findExecutable(id);
    return !program.isEmpty() && QProcess::startDetached(program, {});
}

bool PanelText::atLogin() const {
    return Autostart::enabled();
}

bool PanelText::setAtLogin(bool on) const {
    Autostart::setEnabled(on, QCoreApplication::applicationFilePath());
    return Autostart::enabled();
}

} // namespace lantern
