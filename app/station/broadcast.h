#pragma once

#include "capture/audio_source.h"
#include "capture/audio_tap.h"
#include "core/record/recorder.h"
#include "core/station/audio_path.h"
#include "core/station/shared.h"
#include "core/stream/fanout.h"
#include "core/stream/http.h"
#include "core/stream/relay.h"
#include "core/stream/stream_server.h"

#include <QObject>
#include <QString>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace lantern {

class MicInput;
class TunnelSupervisor;

// One broadcast, from going on air to going off air: the local server, the
// tunnel to it, and the capture of the chosen source with its audio path.
// Callbacks from their threads reach the main thread through this object, so
// none of them arrives once the broadcast is over. Main thread.
class Broadcast : public QObject {
    Q_OBJECT
public:
    // A tunnel the user set up with the tunnel's vendor: its public host, the
    // token the program runs it with, and the local port its public host
    // sends visitors to.
    struct OwnTunnel {
        // Unless the setting "tunnelPort" says otherwise.
        static constexpr quint16 defaultPort = 8471;
        QString host;
        QString token;
        quint16 port = defaultPort;
    };
    struct Parts {
        std::shared_ptr<Fanout> fanout;
        std::shared_ptr<Shared> shared;
        MicInput& mic;
        std::string page;
        // When set, told what each captured block cost the audio path.
        std::function<void(std::chrono::nanoseconds)> blockCost;
        AudioPath::MakeEncoder makeEncoder = AACEncoder::make;
        // Whether loudness is evened out; the audio path reads it as it goes.
        std::shared_ptr<const std::atomic<bool>> evenLoudness;
        // The light stream's fan-outs (as AAC, as Opus), when there is one.
        std::shared_ptr<Fanout> light, opus;
    };

    Broadcast(Parts parts, const AudioSource& source);
    // Ends, in order, the capture, the tunnel, every listener's stream and the server.
    ~Broadcast() override;

    // Starts the local server (once the passcode is known); the tunnel
    // follows: the user's own when given, else a quick one with a new URL.
    void serve(const StreamServer::Limits& limits, std::optional<OwnTunnel> own);
    // Lets go of every listener that who-may-listen no longer admits.
    void recheckListeners();
    // Captures another source: a new capture and audio path; listeners stay.
    void capture(const AudioSource& source);
    // Captures started so far (each source change is one more).
    int captures() const { return captures_; }
    // Encoders the current capture's audio path has made (one per rate).
    int encodersMade() const;
    // The tunnel is down and being restarted.
    bool reconnecting() const { return reconnecting_; }
    // One beat of the station's ticker; the count so far in this broadcast.
    std::int64_t beat() { return ++beats_; }
    // The tunnel's news, as its supervisor reports it (tests report their own).
    void onTunnelUp(const QUrl& url);
    void onTunnelDown();
    // How many listeners through the tunnel the uplink carries, once it was full.
    std::optional<std::size_t> room() const { return server_ ? server_->room() : std::nullopt; }
    // Sends the station to an Icecast server as well, from the relay's own
    // thread; listeners there play it from `listenURL`. Before serve(), so
    // that the page may play it from there.
    void relayTo(RelayTarget target, std::string listenURL);
    // Lets the page play from `listenURL` (before serve()).
    void allowRelayListening(const std::string& listenURL) { relayOrigin_ = originOf(listenURL); }
    void stopRelay();
    // Keeps the broadcast as a file in `folder` from now on. `report` is
    // called on the recorder's thread, also after this broadcast is over
    // (the file is finished as it ends).
    void record(const std::filesystem::path& folder,
                std::function<void(const Recorder::Report&)> report);
    // Finishes the file, waiting for that.
    void stopRecording() { recorder_.reset(); }
    // Seconds recorded so far, while recording.
    std::optional<double> recorded() const {
        return recorder_ ? std::optional(recorder_->seconds()) : std::nullopt;
    }
    // Who listens and what they react (shown, unless the user turned it off).
    Audience& audience() const { return *audience_; }
    // Why the listeners get no audio from the encoder, while that lasts.
    const std::optional<QString>& encoderFailure() const { return encoderFailure_; }

Q_SIGNALS:
    void listening(quint16 port);
    void serverFailed(const QString& error);
    void tunnelMissing();
    // `changed`: an earlier URL of this broadcast is replaced.
    void tunnelUp(const QUrl& url, bool changed);
    void tunnelDown();
    void captureProblem(AudioTap::Problem problem, const QString& source);
    void encoderFailureChanged();
    // A light stream's encoder could not start: what the listeners get instead.
    void lightFailed(const QString& why);
    void relayChanged(const Relay::Report& report);

private:
    void openTunnel(std::uint16_t port);
    // Runs `work` on the main thread unless this broadcast is over by then.
    void onMain(std::function<void()> work);

    Parts parts_;
    std::shared_ptr<StreamServer> server_;
    std::unique_ptr<TunnelSupervisor> tunnel_;
    // The running tunnel tool's pid (0: none), for the server's threads.
    std::shared_ptr<std::atomic<pid_t>> tunnelPid_ = std::make_shared<std::atomic<pid_t>>(0);
    std::unique_ptr<Relay> relay_;
    const std::shared_ptr<Audience> audience_ = std::make_shared<Audience>();
    std::unique_ptr<Recorder> recorder_;
    std::optional<std::string> relayOrigin_; // where the page may play the relay from
    std::optional<OwnTunnel> own_;
    std::shared_ptr<AudioPath> path_;
    std::unique_ptr<AudioTap> tap_;
    QObject* tapContext_ = nullptr; // the current capture's; its reports die with it
    int captures_ = 0;
    std::optional<QString> encoderFailure_;
    std::optional<QUrl> tunnelURL_; // the tunnel's latest URL in this broadcast
    bool reconnecting_ = false;
    std::int64_t beats_ = 0;
};

} // namespace lantern
