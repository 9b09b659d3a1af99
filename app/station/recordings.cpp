#include "station/recordings.h"

#include "settings/settings.h"
#include "station/broadcast.h"
#include "system/log.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QStandardPaths>
#include <QThreadPool>
#include <QUrl>

namespace lantern {

namespace {
const QString switchKey = QStringLiteral("recordShows");

// Lines for whoever watches the console (the headless run's log).
void console(const QString& line) {
    qCInfo(stationLog).noquote() << line;
}
} // namespace

Recordings::Recordings(Settings& settings, Notify notify)
    : settings_(settings), notify_(std::move(notify)) {}

bool Recordings::on() const {
    return settings_.flag(switchKey);
}

void Recordings::setOn(bool on) {
    if (on == this->on()) return;
    settings_.setValue(switchKey, on);
    Q_EMIT onChanged();
    if (!broadcast_) return;
    Q_EMIT status({});
    if (on) return start();
    broadcast_->stopRecording();
    setSeconds(-1);
}

QString Recordings::folder() const {
    if (const auto chosen = settings_.string(QStringLiteral("recordingsFolder"));
        chosen && !chosen->trimmed().isEmpty())
        return QDir::cleanPath(*chosen);
    // The desktop's music folder (its user-dirs setting), else ~/Music.
    auto music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
    if (music.isEmpty()) music = QDir::homePath() + QStringLiteral("/Music");
    return music + QStringLiteral("/Lantern FM");
}

void Recordings::show() {
    const auto place = folder();
    QDir().mkpath(place);
    QDesktopServices::openUrl(QUrl::fromLocalFile(place));
}

void Recordings::follow(Broadcast* broadcast) {
    broadcast_ = broadcast;
    if (broadcast_ && on()) return start();
    // A recording that ended with its broadcast was finished meanwhile: said
    // now, before a quit can end the event loop.
    if (!broadcast_) QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    setSeconds(-1);
}

void Recordings::tick() {
    if (broadcast_) setSeconds(broadcast_->recorded().value_or(-1.0));
}

void Recordings::setSeconds(double seconds) {
    if (seconds_ == seconds) return;
    seconds_ = seconds;
    Q_EMIT secondsChanged();
}

void Recordings::start() {
    QPointer self(this);
    broadcast_->record(folder().toStdString(), [self](const Recorder::Report& report) {
        QMetaObject::invokeMethod(self, [self, report] {
            if (self) self->reported(report);
        });
    });
    setSeconds(0);
}

// Says why a recording stopped, and where a finished one is.
void Recordings::reported(const Recorder::Report& report) {
    if (report.stopped) {
        const auto line =
            QStringLiteral("Recording stopped: ") + QString::fromStdString(*report.stopped);
        console(line);
        Q_EMIT status(line);
        if (broadcast_ && !report.saved) broadcast_->stopRecording();
        setSeconds(-1);
    }
    if (!report.saved) return;
    const auto path = QString::fromStdString(report.saved->string());
    Q_EMIT saved(path);
    const auto seconds = static_cast<qint64>(report.seconds);
    const auto length = QStringLiteral("%1:%2:%3")
                            .arg(seconds / 3600)
                            .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
                            .arg(seconds % 60, 2, 10, QLatin1Char('0'));
    const auto name = QString::fromStdString(report.saved->stem().string());
    QPointer self(this);
    notify_(QStringLiteral("Saved %1 \u2014 %2").arg(name, length),
            QStringLiteral("In ") + QString::fromStdString(report.saved->parent_path().string()),
            [self] {
                if (self) self->show();
            });
}

void Recordings::finishLeft() {
    const auto place = folder().toStdString();
    QPointer self(this);
    QThreadPool::globalInstance()->start([self, place] {
        const auto finished = finishLeftRecordings(place);
        QMetaObject::invokeMethod(self, [self, finished] {
            for (const auto& file : finished) {
                if (!self) return;
                const auto line = QStringLiteral("Finished the recording of ") +
                                  QString::fromStdString(file.stem().string());
                console(line + QStringLiteral(": ") + QString::fromStdString(file.string()));
                Q_EMIT self->status(line);
            }
        });
    });
}

} // namespace lantern
