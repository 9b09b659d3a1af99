#include "station/broadcast.h"

#include "capture/mic_input.h"
#include "core/config/station_config.h"
#include "core/link/tunnel_supervisor.h"
#include "core/station/audio_path.h"
#include "core/stream/http.h"
#include "core/system/sockets.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>
#include <QStandardPaths>

namespace lantern {

namespace {

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

// Posts `work` to `context`'s thread; dropped if the context is gone by then.
void post(QObject* context, std::function<void()> work) {
    QMetaObject::invokeMethod(
        context,
        [guard = QPointer<QObject>(context), work = std::move(work)] {
            if (guard) work();
        },
        Qt::QueuedConnection);
}

// What played at a moment, as players show it: "Artist - Title".
std::function<std::optional<std::string>(Chunk::Clock::time_point)>
titleAt(std::shared_ptr<Shared> shared) {
    return [shared](Chunk::Clock::time_point at) { return heardAs(shared->playingAt(at)); };
}

} // namespace

Broadcast::Broadcast(Parts parts, const AudioSource& source) : parts_(std::move(parts)) {
    capture(source);
}

// Each part is ended before the next, and its thread with it, so that no
// callback of theirs can reach this object while it goes.
Broadcast::~Broadcast() {
    stopRelay();
    if (tap_) tap_->stop();
    recorder_.reset(); // everything captured is in the file
    if (tunnel_) tunnel_->stop();
    tunnel_.reset();
    // Nobody steps back into an earlier broadcast.
    for (const auto& form : {parts_.fanout, parts_.light, parts_.opus})
        if (form) form->closeAll(), form->forget();
    if (server_) server_->stop();
    server_.reset();
}

void Broadcast::onMain(std::function<void()> work) {
    post(this, std::move(work));
}

void Broadcast::serve(const StreamServer::Limits& limits, std::optional<OwnTunnel> own) {
    own_ = std::move(own);
    auto shared = parts_.shared;
    auto fanout = parts_.fanout;
    // Names and reactions: at most one entry per listener the server takes.
    audience_->limitTags(limits.maxListeners);
    server_ = std::make_shared<StreamServer>(
        fanout, parts_.page,
        [shared, fanout, audience = audience_](double lag) {
            const double burst = double(fanout->burstSize()) / (StationConfig::bitrate / 8);
            return shared->nowJSON(lag, fanout->count(), burst, fanout->reach(), audience.get());
        },
        [shared] { return shared->get(&SharedState::coverData); },
        [shared] { return shared->get(&SharedState::access); }, limits);
    // The page may play the stream from the relay's server.
    if (const auto origin = relayOrigin_) server_->allowMedia(*origin);
    // Players that ask for titles are told what played in the audio they get.
    server_->setTitles({[shared] { return shared->stationName(); }, titleAt(shared)});
    server_->setTracks({[shared, fanout] { return shared->historyJSON(fanout->reach()); },
                        [shared](std::uint64_t track) { return shared->coverOf(track); }});
    server_->setAudience(audience_);
    server_->setLight(parts_.light, parts_.opus,
                      double(StationConfig::lightBitrate) / StationConfig::bitrate);
    // Visitors are who the tunnel says only on the tunnel tool's own connections.
    server_->trustTunnel([tunnel = tunnelPid_, owner = std::make_shared<Sockets::PeerOwner>()](
                             int socket) { return owner->owns(tunnel->load(), socket); });
    server_->start(own_ ? own_->port : 0, [this](std::error_code error, std::uint16_t port) {
        onMain([this, error, port] {
            if (error) return Q_EMIT serverFailed(QString::fromStdString(error.message()));
            Q_EMIT listening(port);
            openTunnel(port);
        });
    });
}

void Broadcast::stopRelay() {
    relay_.reset();
    audience_->setRelayed(false);
    parts_.shared->with([](SharedState& state) {
        state.relay.reset();
        state.relayListeners = 0;
        state.relayBurst.reset();
    });
}

void Broadcast::relayTo(RelayTarget target, std::string listenURL) {
    stopRelay();
    auto shared = parts_.shared;
    Relay::Source source;
    source.name = shared->stationName();
    source.bitrate = StationConfig::bitrate / 1000;
    source.titleAt = titleAt(shared);
    relay_ =
        std::make_unique<Relay>(parts_.fanout, std::move(target), std::move(source),
                                [this, shared, audience = audience_,
                                 listenURL = std::move(listenURL)](const Relay::Report& report) {
                                    // /now names the relay only while it carries the station.
                                    // While relayed, the page plays from there: its polls say who
                                    // listens.
                                    audience->setRelayed(report.state == Relay::State::relaying);
                                    shared->with([&](SharedState& state) {
                                        state.relay = report.state == Relay::State::relaying
                                                          ? std::optional(listenURL)
                                                          : std::nullopt;
                                        state.relayListeners = report.listeners.value_or(0);
                                        state.relayBurst = report.burst;
                                    });
                                    onMain([this, report] { Q_EMIT relayChanged(report); });
                                });
}

void Broadcast::record(const std::filesystem::path& folder,
                       std::function<void(const Recorder::Report&)> report) {
    recorder_.reset();
    auto shared = parts_.shared;
    Recorder::Source source;
    source.station = shared->stationName();
    // Talk over the music is a chapter of its own.
    source.chapterAt = [shared](Chunk::Clock::time_point at) -> std::optional<std::string> {
        if (shared->get(&SharedState::talking)) return "Talk";
        return heardAs(shared->playingAt(at));
    };
    source.cover = [shared] { return shared->get(&SharedState::coverData); };
    recorder_ = std::make_unique<Recorder>(parts_.fanout, folder, std::move(source),
                                           std::chrono::system_clock::now(), std::move(report));
}

void Broadcast::recheckListeners() {
    if (server_) server_->recheckStreams();
}

void Broadcast::openTunnel(std::uint16_t port) {
    const auto program = cloudflaredProgram();
    if (!program) return Q_EMIT tunnelMissing();
    std::vector<std::string> arguments{"tunnel", "--no-autoupdate", "--url",
                                       "http://127.0.0.1:" + std::to_string(port)};
    TunnelSupervisor::Options options;
    options.metrics = true;
    options.onChild = [tunnel = tunnelPid_](pid_t pid) { *tunnel = pid; };
    if (const auto& own = own_) {
        // The token goes through the environment the program reads it from:
        // a command line is there for every user of the computer to see.
        arguments = {"tunnel", "--no-autoupdate", "run"};
        options.metrics = false;
        options.environment = {"TUNNEL_TOKEN=" + own->token.toStdString()};
        options.fixedURL = "https://" + own->host.toStdString();
    }
    using Seconds = TunnelSupervisor::Seconds;
    tunnel_ = std::make_unique<TunnelSupervisor>(
        program->toStdString(), std::move(arguments),
        std::vector<Seconds>{Seconds(1), Seconds(2), Seconds(5), Seconds(10), Seconds(30)},
        [this](std::string url) {
            onMain([this, url] { onTunnelUp(QUrl(QString::fromStdString(url))); });
        },
        [this] { onMain([this] { onTunnelDown(); }); }, std::move(options));
    tunnel_->start();
}

void Broadcast::onTunnelUp(const QUrl& url) {
    const bool changed = tunnelURL_ && *tunnelURL_ != url;
    tunnelURL_ = url;
    reconnecting_ = false;
    Q_EMIT tunnelUp(url, changed);
}

void Broadcast::onTunnelDown() {
    reconnecting_ = true;
    Q_EMIT tunnelDown();
}

void Broadcast::capture(const AudioSource& source) {
    if (tap_) tap_->stop();
    tap_.reset();
    delete tapContext_; // reports of the old capture still queued are dropped with it
    tapContext_ = new QObject(this);
    parts_.shared->resetSilence();
    ++captures_;
    if (encoderFailure_) {
        encoderFailure_.reset(); // the new path makes its own encoder
        Q_EMIT encoderFailureChanged();
    }
    auto& mic = parts_.mic;
    path_ = std::make_shared<AudioPath>(
        parts_.shared, parts_.fanout,
        AudioPath::Voice{mic.ring, [&mic](double rate) { mic.setRate(rate); }},
        StationConfig::bitrate,
        [this, context = tapContext_](const std::optional<AACEncoderError>& failure) {
            std::optional<QString> why;
            if (failure) why = QString::fromStdString(failure->message());
            post(context, [this, why] {
                if (why == encoderFailure_) return;
                encoderFailure_ = why;
                Q_EMIT encoderFailureChanged();
            });
        },
        parts_.makeEncoder, parts_.evenLoudness,
        AudioPath::Light{.aac = parts_.light,
                         .opus = parts_.opus,
                         .onFailure = [this, context = tapContext_](const std::string& why) {
                             post(context,
                                  [this, why] { Q_EMIT lightFailed(QString::fromStdString(why)); });
                         }});
    AudioTap::OnAudio audio = [path = path_](std::span<const float> samples, double rate) {
        (*path)(samples, rate);
    };
    if (auto report = parts_.blockCost)
        audio = [path = path_, report](std::span<const float> samples, double rate) {
            const auto start = std::chrono::steady_clock::now();
            (*path)(samples, rate);
            report(std::chrono::steady_clock::now() - start);
        };
    tap_ = std::make_unique<AudioTap>(
        source,
        [this, context = tapContext_, name = source.name](AudioTap::Problem problem) {
            post(context, [this, problem, name] { Q_EMIT captureProblem(problem, name); });
        },
        std::move(audio));
}

int Broadcast::encodersMade() const {
    return path_ ? path_->encodersMade() : 0;
}

} // namespace lantern
