#include "station/station.h"

#include "capture/audio_processes.h"
#include "capture/audio_tap.h"
#include "capture/hot_key.h"
#include "capture/mic_input.h"
#include "capture/workspace.h"
#include "link/share_link.h"
#include "link/tunnel_supervisor.h"
#include "nowplaying/now_playing_reader.h"
#include "signal/mixing.h"
#include "signal/silence.h"
#include "station/listening_page.h"
#include "station/settings.h"
#include "station/shared_state.h"
#include "stream/aac_encoder.h"
#include "stream/fanout.h"
#include "stream/http.h"
#include "stream/stream_server.h"
#include "system/notifications.h"
#include "system/sleep_guard.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QStandardPaths>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <pulse/def.h>

namespace lantern {

namespace {

const QString wholeID = QStringLiteral("whole-mac");
const QString goingOnAir = QStringLiteral("Going on air\u2026");
const QString reconnecting = QStringLiteral("Reconnecting\u2026");
const QString soundServerGone = QStringLiteral("Reconnecting to the sound server\u2026");

// Lines for whoever watches the console (the headless run's log).
void console(const QString& line) {
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    std::fflush(stderr);
}

std::optional<std::string> utf8(const std::optional<QString>& text) {
    if (!text) return std::nullopt;
    return text->toStdString();
}

float peakOf(std::span<const float> samples) {
    float peak = 0;
    for (const float sample : samples)
        peak = std::max(peak, std::fabs(sample));
    return peak;
}

// The tunnel tool: $LANTERN_CLOUDFLARED, else the one installed beside us,
// else the one on PATH.
std::optional<QString> cloudflaredProgram() {
    if (const auto named = qEnvironmentVariable("LANTERN_CLOUDFLARED"); !named.isEmpty()) {
        const QFileInfo info(named);
        if (info.isFile() && info.isExecutable()) return info.absoluteFilePath();
        return std::nullopt;
    }
    const QFileInfo beside(QCoreApplication::applicationDirPath() +
                           QStringLiteral("/../libexec/lantern-fm/cloudflared"));
    if (beside.isFile() && beside.isExecutable()) return beside.absoluteFilePath();
    const auto onPath = QStandardPaths::findExecutable(QStringLiteral("cloudflared"));
    if (!onPath.isEmpty()) return onPath;
    return std::nullopt;
}

} // namespace

namespace {

// The encoder and ducker of one tap, touched only on that tap's thread.
struct EncoderBox {
    std::unique_ptr<AACEncoder> encoder;
    double rate = 0;
    Ducker ducker;
    double micRate = 0;
};

// Every captured block on its way to the listeners: voice mixed in while
// talking, music dipped by the ducker, encoded and published. Runs on the
// tap's thread and never waits for the network or the main thread.
auto audioPath(std::shared_ptr<EncoderBox> box, std::shared_ptr<Station::Shared> shared,
               std::shared_ptr<Fanout> fanout, MicInput* mic) {
    return [box, shared, fanout, mic](std::span<const float> samples, double rate) {
        if (!(rate > 0)) return;
        if (!box->encoder || box->rate != rate) {
            try {
                box->encoder = std::make_unique<AACEncoder>(rate, 2, StationConfig::bitrate);
            } catch (const AACEncoderError&) {
                box->encoder.reset(); // tried again only when the rate changes
            }
            box->rate = rate;
        }
        if (box->micRate != rate) {
            box->micRate = rate;
            mic->setRate(rate);
        }
        const float musicPeak = peakOf(samples);
        const double seconds = static_cast<double>(samples.size() / 2) / rate;
        const bool talking = shared->get(&Station::Shared::talking);

        Bytes encoded;
        float blockPeak = musicPeak;
        if (talking) {
            const auto voice = mic->ring.take(samples.size());
            const float voicePeak = peakOf(voice);
            const float gain = box->ducker.next(voicePeak, seconds);
            shared->set(&Station::Shared::gain, gain);
            if (box->encoder) encoded = box->encoder->encode(mix(samples, voice, gain));
            blockPeak = std::max(voicePeak, musicPeak);
        } else {
            mic->ring.clear();
            const float gain = box->ducker.next(0, seconds);
            shared->set(&Station::Shared::gain, gain);
            if (box->encoder)
                encoded = gain >= 0.999f ? box->encoder->encode(samples)
                                         : box->encoder->encode(mix(samples, {}, gain));
        }
        if (!encoded.empty()) fanout->publish(Chunk(std::move(encoded)));
        shared->feedSilence(blockPeak, seconds);
    };
}

// The audio path, timed per block when someone measures it.
AudioTap::OnAudio timed(AudioTap::OnAudio path,
                        std::function<void(std::chrono::nanoseconds)> report) {
    if (!report) return path;
    return [path = std::move(path), report = std::move(report)](std::span<const float> samples,
                                                                double rate) {
        const auto start = std::chrono::steady_clock::now();
        path(samples, rate);
        report(std::chrono::steady_clock::now() - start);
    };
}

} // namespace

QString Station::rawValue(LinkMode mode) {
    switch (mode) {
    case LinkMode::fresh:
        return QStringLiteral("fresh");
    case LinkMode::kept:
        return QStringLiteral("kept");
    case LinkMode::named:
        return QStringLiteral("named");
    }
    return {};
}

std::optional<Station::LinkMode> Station::linkModeFrom(const QString& raw) {
    for (const auto mode : {LinkMode::fresh, LinkMode::kept, LinkMode::named})
        if (raw == rawValue(mode)) return mode;
    return std::nullopt;
}

Station& Station::shared() {
    // Lives until the process ends; callbacks reach it from other threads.
    static auto* station = new Station(Environment{});
    return *station;
}

Station::Station(Environment environment)
    : env_(std::move(environment)), settings_(env_.settings ? *env_.settings : Settings::shared()),
      addresses_(env_.addresses ? *env_.addresses : AddressClient::shared()) {
    if (!env_.notify) env_.notify = postNotification;
    if (!env_.terminate) env_.terminate = [] { QCoreApplication::exit(0); };

    sources_ = AudioSources::current();
    if (const auto second = AudioSources::current(); !second.empty()) source_ = second.front();

    if (const auto stored = settings_.string(QStringLiteral("linkMode")); stored)
        linkMode_ = linkModeFrom(*stored).value_or(LinkMode::fresh);

    asked_ = settings_.value(QStringLiteral("askedWhoCanListen"), false).toBool();
    micDevice_ = settings_.string(QStringLiteral("micDevice"));
    stationName_ = settings_.string(QStringLiteral("stationName")).value_or(QString());

    fanout_ = std::make_shared<Fanout>(StationConfig::burstBytes, StationConfig::perListenerLimit);
    shared_ = std::make_shared<Shared>();
    mic_ = std::make_unique<MicInput>();

    loadSecrets();

    // The reader's thread records what it read for the now route, then tells
    // the main thread.
    reader_ = std::make_unique<NowPlayingReader>(
        [shared = shared_, self = QPointer<Station>(this)](NowPlaying record,
                                                           std::optional<Cover> cover) {
            shared->record(record, cover);
            QMetaObject::invokeMethod(
                self,
                [self, record, cover] {
                    if (self) self->read(record, cover);
                },
                Qt::QueuedConnection);
        },
        env_.playerctl);

    ticker_.setInterval(1000);
    connect(&ticker_, &QTimer::timeout, this, &Station::tick);
    meterTimer_.setInterval(100);
    connect(&meterTimer_, &QTimer::timeout, this, [this] {
        assign(voiceLevel_, mic_->takePeak(), &Station::voiceLevelChanged);
        assign(musicLevel_, shared_->get(&Shared::gain), &Station::musicLevelChanged);
    });
    network_ = std::make_unique<QNetworkAccessManager>();
    network_->setTransferTimeout(15000);

    if (env_.watchSystem) {
        sleep_ = std::make_unique<SleepGuard>([this] { goOffAir(); });
        workspace_ = std::make_unique<Workspace>();
        connect(workspace_.get(), &Workspace::launched, this, &Station::appLaunched);
        connect(workspace_.get(), &Workspace::quit, this, &Station::appQuit);
    }
}

Station::~Station() {
    if (tap_) tap_->stop();
    if (tunnel_) tunnel_->stop();
    fanout_->closeAll();
    if (server_) server_->stop();
    server_.reset();
    reader_->stop();
    mic_->stop();
}

void Station::onMain(std::function<void()> work) {
    QPointer<Station> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, work = std::move(work)] {
            if (self) work();
        },
        Qt::QueuedConnection);
}

std::optional<SavedAddress> Station::kept() const {
    switch (linkMode_) {
    case LinkMode::named:
        return namedLink_;
    case LinkMode::kept:
        return privateLink_;
    case LinkMode::fresh:
        break;
    }
    return std::nullopt;
}

std::optional<QUrl> Station::shareLink() const {
    std::optional<QString> base;
    if (const auto address = kept())
        base = address->address;
    else if (link_)
        base = link_->toString(QUrl::FullyEncoded);
    if (!base) return std::nullopt;
    const auto shared = lantern::shareLink(base->toStdString(), utf8(passcode_));
    if (shared.empty()) return std::nullopt;
    return QUrl(QString::fromStdString(shared), QUrl::StrictMode);
}

void Station::setStopAt(std::optional<QDateTime> at) {
    assign(stopAt_, std::move(at), &Station::stopAtChanged);
}

// The passcode and the saved addresses come from the keychain, which may
// take its time (a Secret Service that asks to be unlocked); the station
// stays usable meanwhile and serves no listener before it knows the passcode.
QCoro::Task<void> Station::loadSecrets() {
    QPointer<Station> self(this);
    auto& addresses = addresses_;
    const auto passcode = co_await addresses.passcode();
    const auto named = co_await addresses.saved(true);
    const auto kept = co_await addresses.saved(false);
    if (!self) co_return;
    // A choice made meanwhile (in the sheet) is newer than what was read.
    if (linkChosen_) {
        ready_ = true;
        Q_EMIT readyChanged();
        co_return;
    }
    assign(passcode_, passcode, &Station::passcodeChanged);
    shared_->set(&Shared::passcode, utf8(passcode_));
    assign(namedLink_, named, &Station::namedLinkChanged);
    assign(privateLink_, kept, &Station::privateLinkChanged);
    // The saved addresses decide the mode when none is stored.
    const auto stored = settings_.string(QStringLiteral("linkMode"));
    if (!stored || !linkModeFrom(*stored))
        assign(linkMode_, named ? LinkMode::named : kept ? LinkMode::kept : LinkMode::fresh,
               &Station::linkModeChanged);
    ready_ = true;
    Q_EMIT readyChanged();
}

// ---- On air and off air ----

void Station::goOnAir() {
    if (onAir_ || !source_) return;
    const auto source = *source_;
    ++broadcast_;
    assign(onAir_, true, &Station::onAirChanged);
    assign(onAirSince_, std::optional(env_.clock()), &Station::onAirSinceChanged);
    assign(talkOn_, false, &Station::talkOnChanged);
    assign(holding_, false, &Station::holdingChanged);
    shared_->set(&Shared::talking, false);
    reader_->follow(source);
    setStatus(goingOnAir);
    tunnelOpened_ = false;

    shared_->set(&Shared::name, stationName_.toStdString());
    shared_->set(&Shared::heardEver, false);

    if (ready_) {
        startServer();
    } else {
        // Listeners are let in once the passcode is known.
        const auto broadcast = broadcast_;
        connect(
            this, &Station::readyChanged, this,
            [this, broadcast] {
                if (onAir_ && broadcast == broadcast_) startServer();
            },
            Qt::SingleShotConnection);
    }

    startTap(source);
    if (sleep_) sleep_->hold();
    ticker_.start();
}

void Station::startServer() {
    shared_->set(&Shared::passcode, utf8(passcode_));
    auto shared = shared_;
    auto fanout = fanout_;
    // As many listeners as the process's descriptors allow, or fewer when the
    // setting "maxListeners" says so.
    auto limits = StreamServer::Limits::forThisProcess();
    if (const auto most = settings_.value(QStringLiteral("maxListeners")).toLongLong(); most > 0)
        limits.maxListeners = std::min(limits.maxListeners, static_cast<std::size_t>(most));
    server_ = std::make_shared<StreamServer>(
        fanout_, std::string(listeningPage()),
        [shared, fanout](double lag) { return shared->nowJSON(lag, fanout->count()); },
        [shared] { return shared->get(&Shared::coverData); },
        [shared] { return shared->get(&Shared::passcode); }, limits);
    std::weak_ptr<StreamServer> started = server_;
    server_->start([this, started](std::error_code error, std::uint16_t port) {
        onMain([this, started, error, port] {
            const auto server = started.lock();
            // Only the server of the current broadcast may open a tunnel or
            // end the broadcast; an earlier one is simply closed.
            const bool current = server && server == server_;
            if (error) {
                if (!current) return;
                console(QStringLiteral("couldn't start: ") +
                        QString::fromStdString(error.message()));
                goOffAir();
                setStatus(QStringLiteral("Couldn't go on air: ") +
                          QString::fromStdString(error.message()));
                return;
            }
            if (onAir_ && current) {
                Q_EMIT listening(port);
                openTunnel(port);
            } else if (server) {
                server->stop();
            }
        });
    });
}

void Station::openTunnel(std::uint16_t port) {
    const auto program = cloudflaredProgram();
    if (!program) {
        setStatus(QStringLiteral("cloudflared isn't installed"));
        return;
    }
    std::vector<std::string> arguments{"tunnel", "--no-autoupdate", "--url",
                                       "http://127.0.0.1:" + std::to_string(port)};
    const auto broadcast = broadcast_;
    tunnel_ = std::make_unique<TunnelSupervisor>(
        program->toStdString(), std::move(arguments),
        std::vector<TunnelSupervisor::Seconds>{
            TunnelSupervisor::Seconds(1), TunnelSupervisor::Seconds(2),
            TunnelSupervisor::Seconds(5), TunnelSupervisor::Seconds(10),
            TunnelSupervisor::Seconds(30)},
        [this, broadcast](std::string url) {
            onMain([this, broadcast, url] {
                if (broadcast == broadcast_) tunnelUp(QUrl(QString::fromStdString(url)));
            });
        },
        [this, broadcast] {
            onMain([this, broadcast] {
                if (broadcast == broadcast_ && onAir_) setStatus(reconnecting);
            });
        });
    tunnel_->start();
}

void Station::tunnelUp(const QUrl& url) {
    if (!onAir_) return;
    const bool changed = tunnelOpened_ && link_ != url;
    assign(link_, std::optional(url), &Station::linkChanged);
    tunnelOpened_ = true;
    console(QStringLiteral("on air: ") + url.toString(QUrl::FullyEncoded));
    if (status_ == goingOnAir || status_ == reconnecting) setStatus({});
    if (usesKept()) {
        announce();
    } else if (changed) {
        const auto host = url.host(QUrl::FullyEncoded);
        notify(QStringLiteral("Your link changed"),
               QStringLiteral("Share the new one: ") +
                   (host.isEmpty() ? url.toString(QUrl::FullyEncoded) : host));
    }
}

void Station::startTap(const AudioSource& source) {
    shared_->resetSilence();
    auto box = std::make_shared<EncoderBox>();
    const auto run = ++tapRun_;
    tap_ = std::make_unique<AudioTap>(
        source,
        [this, run, name = source.name](AudioTap::Problem problem) {
            onMain([this, run, name, problem] {
                if (run == tapRun_) tapProblem(problem, name);
            });
        },
        timed(audioPath(std::move(box), shared_, fanout_, mic_.get()), env_.blockCost));
    if (source.id != wholeID && !Workspace::isRunning(source.id))
        setStatus(source.name + QStringLiteral(" isn't running"));
}

// The capture says what keeps it from the sound, and when that is over; a
// line it put up goes away by itself then.
void Station::tapProblem(AudioTap::Problem problem, const QString& name) {
    QString line;
    switch (problem) {
    case AudioTap::Problem::none:
        break;
    case AudioTap::Problem::cannotHear:
        line = QStringLiteral("Couldn't hear ") + name;
        break;
    case AudioTap::Problem::outputChanged:
        line = QStringLiteral("Couldn't hear ") + name + QStringLiteral(" after the output changed");
        break;
    case AudioTap::Problem::serverGone:
        line = soundServerGone;
        break;
    }
    if (!line.isEmpty())
        setStatus(line);
    else if (!tapLine_.isEmpty() && status_ == tapLine_)
        setStatus({});
    tapLine_ = line;
}

void Station::restartTap() {
    if (tap_) tap_->stop();
    tap_.reset();
    tapLine_.clear();
    if (source_) startTap(*source_);
}

void Station::tick() {
    assign(listeners_, static_cast<qint64>(fanout_->count()), &Station::listenersChanged);
    ++beats_;
    if (beats_ % 60 == 0 && announced_ && link_ && status_ != reconnecting) {
        addresses_.live(*link_, *announced_, stationName_); // runs on by itself; never throws
    }
    if (stopAt_ && env_.clock() >= *stopAt_) {
        goOffAir();
        return;
    }
    // A line about the capture itself says more than one about silence.
    if (!source_ || !link_ || status_ == reconnecting || !tapLine_.isEmpty()) return;
    const auto& source = *source_;
    const bool running = source.id == wholeID || Workspace::isRunning(source.id);
    // Only a source with a player reports whether it plays.
    std::optional<bool> playing;
    if (reader_->readable())
        if (const auto entry = shared_->playingAt(NowPlayingHistory::Clock::now()))
            playing = entry->playing;
    const bool silent = shared_->get(&Shared::silentNow);
    const bool heard = shared_->get(&Shared::heardEver);
    if (const auto line =
            silenceStatus(source.name.toStdString(), running, playing, silent, heard)) {
        setStatus(QString::fromStdString(*line));
    } else if (status_.endsWith(QStringLiteral(" isn't running")) ||
               status_.endsWith(QStringLiteral(" isn't playing")) ||
               status_.endsWith(QStringLiteral(" is quiet")) ||
               status_.startsWith(QStringLiteral("No sound from"))) {
        setStatus({});
    }
}

void Station::goOffAir() {
    if (!onAir_) return;
    assign(onAir_, false, &Station::onAirChanged);
    assign(onAirSince_, std::optional<QDateTime>(), &Station::onAirSinceChanged);
    console(QStringLiteral("off air"));
    if (tap_) tap_->stop();
    tap_.reset();
    ++tapRun_;
    tapLine_.clear();
    if (tunnel_) tunnel_->stop();
    tunnel_.reset();
    fanout_->closeAll();
    if (server_) server_->stop();
    server_.reset();
    if (sleep_) sleep_->release();
    ticker_.stop();
    assign(link_, std::optional<QUrl>(), &Station::linkChanged);
    assign(listeners_, qint64(0), &Station::listenersChanged);
    assign(stopAt_, std::optional<QDateTime>(), &Station::stopAtChanged);
    if (announced_) {
        addresses_.off(*announced_);
        announced_.reset();
    }
    setMic(false);
    if (!panelOpen_) reader_->stop();
    setStatus({});
}

void Station::quit() {
    const auto withdraw = announced_;
    goOffAir();
    if (!withdraw) return env_.terminate();
    // The address is withdrawn before the process ends.
    [](AddressClient& addresses, SavedAddress at,
       std::function<void()> terminate) -> QCoro::Task<void> {
        co_await addresses.off(at);
        terminate();
    }(addresses_, *withdraw, env_.terminate);
}

void Station::choose(const AudioSource& source) {
    assign(source_, std::optional(source), &Station::sourceChanged);
    assign(now_, std::optional<NowPlaying>(), &Station::nowChanged);
    assign(coverImage_, QImage(), &Station::coverImageChanged);
    if (panelOpen_ || onAir_) reader_->follow(source);
    if (onAir_) restartTap();
}

// ---- Link modes, passcode and name ----

QCoro::Task<std::optional<QString>> Station::setLinkMode(LinkMode mode, QString name,
                                                         std::optional<QString> passcode,
                                                         QString stationName) {
    // Lower-cased, then only spaces and tabs trimmed at both ends.
    auto wanted = name.toLower();
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (!wanted.isEmpty() && blank(wanted.front()))
        wanted.remove(0, 1);
    while (!wanted.isEmpty() && blank(wanted.back()))
        wanted.chop(1);

    auto named = namedLink_;
    auto keptCopy = privateLink_;
    try {
        if (mode == LinkMode::kept) {
            if (keptCopy)
                co_await addresses_.update(passcode, *keptCopy);
            else
                keptCopy = co_await addresses_.claim(std::nullopt, passcode, false);
        } else if (mode == LinkMode::named) {
            if (named && named->path == QStringLiteral("/") + wanted)
                co_await addresses_.update(passcode, *named);
            else
                named = co_await addresses_.claim(wanted, passcode, false);
        }
    } catch (const AddressError& error) {
        co_return error.description();
    } catch (const std::exception&) {
        // A reply that is not the service's JSON.
        co_return AddressError(AddressError::Kind::server, 200).description();
    }

    linkChosen_ = true;
    assign(namedLink_, named, &Station::namedLinkChanged);
    assign(privateLink_, keptCopy, &Station::privateLinkChanged);
    rename(stationName);
    addresses_.setPasscode(passcode); // runs on by itself; later reads see it
    assign(passcode_, passcode, &Station::passcodeChanged);
    shared_->set(&Shared::passcode, utf8(passcode));
    assign(linkMode_, mode, &Station::linkModeChanged);
    settings_.setValue(QStringLiteral("linkMode"), rawValue(mode));
    assign(asked_, true, &Station::askedChanged);
    settings_.setValue(QStringLiteral("askedWhoCanListen"), true);
    announce();
    co_return std::nullopt;
}

void Station::rename(const QString& name) {
    const auto trimmed = name.trimmed();
    assign(stationName_, trimmed, &Station::stationNameChanged);
    settings_.setValue(QStringLiteral("stationName"), trimmed);
    shared_->set(&Shared::name, trimmed.toStdString());
}

void Station::copyLink() {
    const auto link = shareLink();
    auto* application = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (!link || !application) return;
    auto* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(link->toString(QUrl::FullyEncoded));
}

void Station::announce() {
    const auto target = onAir_ && link_ ? kept() : std::nullopt;
    // The live and off calls run on by themselves (their tasks start at
    // once) and never throw.
    if (announced_ && announced_ != target) addresses_.off(*announced_);
    announced_ = target;
    if (target && link_) addresses_.live(*link_, *target, stationName_);
}

// ---- Microphone and talking ----

void Station::setMic(bool on) {
    wantMic_ = on;
    if (!on) {
        if (panelOpen_)
            micClosePending_ = true;
        else
            mic_->stop();
        HotKey::shared().unregisterKey();
        assign(micOn_, false, &Station::micOnChanged);
        assign(talkOn_, false, &Station::talkOnChanged);
        assign(holding_, false, &Station::holdingChanged);
        shared_->set(&Shared::talking, false);
        meterTimer_.stop();
        assign(voiceLevel_, 0.0f, &Station::voiceLevelChanged);
        return;
    }
    if (micOn_ || micStarting_) return;
    micStarting_ = true;
    micClosePending_ = false;
    if (mic_->running() && mic_->deviceUID != micDevice_) mic_->stop();
    mic_->deviceUID = micDevice_;
    mic_->start(
        [this](QString message) {
            onMain([this, message] {
                setMic(false);
                setStatus(message);
            });
        },
        [this](MicInput::Started started) {
            micStarting_ = false;
            if (started.outcome == MicInput::Started::Outcome::cancelled) {
                // Turned off and on again before the first start finished:
                // the device was stopped, so start it again.
                if (wantMic_) setMic(true);
                return;
            }
            if (wantMic_) {
                if (!started.ok()) return setStatus(started.message);
                assign(micOn_, true, &Station::micOnChanged);
                startMeters();
                auto& key = HotKey::shared();
                key.onPress = [self = QPointer<Station>(this)] {
                    if (self) self->hold(true);
                };
                key.onRelease = [self = QPointer<Station>(this)] {
                    if (self) self->hold(false);
                };
                assign(hotKeyOK_, key.registerKey(), &Station::hotKeyOKChanged);
            } else if (started.ok()) {
                mic_->stop(); // switched off while it was starting
            }
        });
}

void Station::setTalkOn(bool on) {
    assign(talkOn_, on, &Station::talkOnChanged);
    shared_->set(&Shared::talking, talking());
}

void Station::hold(bool on) {
    assign(holding_, on, &Station::holdingChanged);
    shared_->set(&Shared::talking, talking());
}

void Station::chooseMic(const std::optional<QString>& uid) {
    assign(micDevice_, uid, &Station::micDeviceChanged);
    if (uid)
        settings_.setValue(QStringLiteral("micDevice"), *uid);
    else
        settings_.remove(QStringLiteral("micDevice"));
    if (micOn_) {
        setMic(false);
        setMic(true);
    }
}

void Station::startMeters() {
    meterTimer_.start();
}

// ---- Events ----

void Station::read(const NowPlaying& record, const std::optional<Cover>& cover) {
    const bool coverChanged =
        !now_ || record.title != now_->title || record.coverURL != now_->coverURL;
    assign(now_, std::optional(record), &Station::nowChanged);
    if (!coverChanged) return;
    if (cover) {
        const QByteArray bytes(reinterpret_cast<const char*>(cover->bytes.data()),
                               static_cast<qsizetype>(cover->bytes.size()));
        assign(coverImage_, QImage::fromData(bytes), &Station::coverImageChanged);
        return;
    }
    assign(coverImage_, QImage(), &Station::coverImageChanged);
    if (!record.coverURL) return;
    const QUrl url(QString::fromStdString(*record.coverURL), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty()) return;
    auto* reply = network_->get(QNetworkRequest(url));
    connect(reply, &QNetworkReply::finished, this, [this, reply, wanted = *record.coverURL] {
        reply->deleteLater();
        if (reply->error() != QNetworkReply::NoError) return;
        // A download for a track that has changed meanwhile is dropped.
        if (!now_ || now_->coverURL != wanted) return;
        assign(coverImage_, QImage::fromData(reply->readAll()), &Station::coverImageChanged);
    });
}

void Station::panel(bool open) {
    panelOpen_ = open;
    if (!open && !onAir_)
        reader_->stop();
    else if (source_)
        reader_->follow(*source_);
    if (open) return;
    if (holding_) hold(false);
    if (micClosePending_ && !micOn_) {
        mic_->stop();
        micClosePending_ = false;
    }
}

// The capture follows the application's playback streams by itself; all
// that is left to do is to drop the line that said it was not running.
void Station::appLaunched(const QString& id) {
    if (!onAir_ || !source_ ||
        !SourceWatch::shouldReattach(source_->id.toStdString(), id.toStdString()))
        return;
    if (status_ == source_->name + QStringLiteral(" isn't running")) setStatus({});
}

void Station::appQuit(const QString& id) {
    if (onAir_ && source_ && source_->id == id)
        setStatus(source_->name + QStringLiteral(" isn't running"));
}

void Station::notify(const QString& title, const QString& body) {
    env_.notify(title, body);
}

} // namespace lantern
