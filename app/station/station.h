#pragma once

#include "capture/audio_source.h"
#include "capture/audio_tap.h"
#include "capture/mic_input.h"
#include "core/nowplaying/now_playing.h"
#include "core/record/recorder.h"
#include "core/station/audio_path.h"
#include "core/stream/relay.h"
#include "core/system/guarded.h"
#include "link/address_client.h"
#include "link/link_check.h"
#include "station/audience_view.h"
#include "station/cover_art.h"
#include "station/link_presence.h"
#include "station/microphone.h"
#include "station/recordings.h"
#include "station/relay_control.h"
#include "station/sources.h"
#include "station/status_line.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QImage>
#include <QJSValue>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariant>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace lantern {

class Broadcast;
class Fanout;
class NowPlayingReader;
class Settings;
class Shared;
class SleepGuard;
class Workspace;

// The station: the one model the panel binds to. It goes on air and off
// air, holds the link, the source chosen, what plays and the one status line,
// and puts together the parts that do the rest, each a class of its own that
// the panel reaches as a constant sub-object: the microphone (Station.mic),
// who can listen (.presence), the cover (.cover), the relay (.relay), the
// recordings (.recordings) and the lists of sources and microphones
// (.sources). A broadcast itself is a Broadcast.
//
// Main thread only. Every property notifies only on a real change and has a
// type QML can bind to; optional values are empty (or null) when absent.
// Other threads (capture, server, tunnel, reader) never touch it directly:
// they use the lock-protected Shared state, or hop here with a queued call.
class Station : public QObject {
    Q_OBJECT
    // The Icecast server the station is relayed to.
    Q_PROPERTY(lantern::RelayControl* relay READ relayObject CONSTANT)
    // Broadcasts kept as files.
    Q_PROPERTY(lantern::Recordings* recordings READ recordingsObject CONSTANT)
    // Every source and the voice at one loudness, no peak over the line (the
    // setting "evenLoudness", on unless set off); takes effect at once.
    Q_PROPERTY(bool evenLoudness READ evenLoudness WRITE setEvenLoudness NOTIFY evenLoudnessChanged)
    Q_PROPERTY(bool onAir READ onAir NOTIFY onAirChanged)
    // What can go on air, and the microphones.
    Q_PROPERTY(lantern::Sources* sources READ sourcesObject CONSTANT)
    Q_PROPERTY(QVariant source READ sourceValue NOTIFY sourceChanged)
    Q_PROPERTY(QVariant now READ nowValue NOTIFY nowChanged)
    // The source has a player the station can read and control.
    Q_PROPERTY(bool playerFound READ playerFound NOTIFY playerFoundChanged)
    // The cover of what is playing.
    Q_PROPERTY(lantern::CoverArt* cover READ coverObject CONSTANT)
    Q_PROPERTY(QDateTime onAirSince READ onAirSince NOTIFY onAirSinceChanged)
    // Who can listen: the link mode, the addresses, the passcode, the name.
    Q_PROPERTY(lantern::LinkPresence* presence READ presenceObject CONSTANT)
    // The user's voice: the microphone, the talk switches and the levels.
    Q_PROPERTY(lantern::Microphone* mic READ micObject CONSTANT)
    Q_PROPERTY(QUrl link READ link NOTIFY linkChanged)
    // Where the link to share stands while on air.
    Q_PROPERTY(lantern::Station::LinkState linkState READ linkState NOTIFY linkStateChanged)
    // Where listeners on this computer reach the station while it serves
    // ("http://127.0.0.1:PORT/"); empty otherwise.
    Q_PROPERTY(QUrl localAddress READ localAddress NOTIFY localAddressChanged)
    // How many listeners the uplink was seen to carry this broadcast; 0
    // until it was full once.
    Q_PROPERTY(int room READ room NOTIFY roomChanged)
    // Where to get the tunnel program.
    Q_PROPERTY(QUrl toolPage READ toolPage CONSTANT)
    Q_PROPERTY(qint64 listeners READ listeners NOTIFY listenersChanged)
    // Of them, on the light stream.
    Q_PROPERTY(qint64 lightListeners READ lightListeners NOTIFY listenersChanged)
    // The room in light streams; 0 while there is none.
    Q_PROPERTY(int lightRoom READ lightRoom NOTIFY roomChanged)
    // Who they are, what they react, how many catch up.
    Q_PROPERTY(lantern::AudienceView* audience READ audienceObject CONSTANT)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(QDateTime stopAt READ stopAt WRITE setStopAt NOTIFY stopAtChanged)
    Q_PROPERTY(QUrl shareLink READ shareLink NOTIFY shareLinkChanged)

public:
    using LinkMode = lantern::LinkMode;
    enum class PlayerCommand { Previous, PlayPause, Next };
    Q_ENUM(PlayerCommand)
    // None: off air. Connecting: waiting for the tunnel's URL. Checking: the
    // URL is known, not yet seen to answer from the outside. Ready: it
    // answered. Unreachable: it has not answered yet (still tried).
    // ToolMissing: no tunnel program, so no link: local listeners only.
    enum class LinkState { None, Connecting, Checking, Ready, Unreachable, ToolMissing };
    Q_ENUM(LinkState)

    // What the station uses from its surroundings. The defaults are the real
    // services; tests swap in their own pieces.
    struct Environment {
        Settings* settings = nullptr;       // the shared settings when null
        AddressClient* addresses = nullptr; // the shared client when null
        std::function<QDateTime()> clock = [] { return QDateTime::currentDateTimeUtc(); };
        // Shows a desktop notification; `onClick` (may be empty) runs when it is clicked.
        std::function<void(const QString& title, const QString& body,
                           std::function<void()> onClick)>
            notify;
        std::function<void()> terminate; // ends the application (quit())
        bool watchSystem = true;         // sleep, application launch/quit
        // How often a passcode the keyring did not give is asked for again.
        std::chrono::milliseconds passcodeRetry = std::chrono::seconds(30);
        // When set, told what each captured block cost the audio path (on the
        // capture thread); for measurements.
        std::function<void(std::chrono::nanoseconds)> blockCost;
        // Makes the audio path's encoders.
        AudioPath::MakeEncoder makeEncoder = AACEncoder::make;
        // Where the link's self-check asks instead of the public URL's host
        // (LANTERN_LINK_CHECK, an origin such as http://127.0.0.1:8080), and
        // how patiently.
        QUrl linkCheckVia = QUrl(qEnvironmentVariable("LANTERN_LINK_CHECK"));
        LinkCheck::Timing linkCheckTiming;
        // How far a player's artwork address is fetched.
        FetchLimits coverLimits;
    };

    static Station& shared();
    explicit Station(Environment environment);
    ~Station() override;

    // ---- State ----
    bool onAir() const { return broadcast_ != nullptr; }
    const std::optional<AudioSource>& source() const { return source_; }
    const std::optional<NowPlaying>& now() const { return now_; }
    bool playerFound() const { return playerFound_; }
    const QDateTime& onAirSince() const { return onAirSince_; }
    const QUrl& link() const { return link_; }
    LinkState linkState() const { return linkState_; }
    const QUrl& localAddress() const { return localAddress_; }
    int room() const { return room_; }
    static QUrl toolPage();
    qint64 listeners() const { return listeners_; }
    qint64 lightListeners() const { return lightListeners_; }
    int lightRoom() const;
    const QString& status() const { return status_.text(); }
    const QDateTime& stopAt() const { return stopAt_; }
    QUrl shareLink() const;

    // ---- On air and off air ----
    Q_INVOKABLE void goOnAir();
    Q_INVOKABLE void goOffAir();
    // Goes off air and ends the application once the address is withdrawn.
    Q_INVOKABLE void quit();
    void choose(const AudioSource& source);
    // The source with this id among the sources.
    Q_INVOKABLE void choose(const QString& id);
    void setStopAt(const QDateTime& at);
    // Stops after `seconds` from now; 0 or less: don't stop.
    Q_INVOKABLE void stopAfter(double seconds);

    // ---- Who can listen ----
    // Nothing on success, else the text to show; on failure nothing changed.
    QCoro::Task<std::optional<QString>>
    setLinkMode(LinkMode mode, QString name, std::optional<QString> passcode, QString stationName);
    Q_INVOKABLE void copyLink();
    RelayControl& relay() const { return *relay_; }
    RelayControl* relayObject() const { return relay_.get(); }

    bool evenLoudness() const { return evenLoudness_->load(); }
    void setEvenLoudness(bool on);

    // The link a media player opens: the station's playlist (/listen.m3u) on
    // its public URL, the passcode in its query (a player never sees a
    // fragment). Empty without a public URL.
    QUrl playerLink() const;
    Q_INVOKABLE void copyPlayerLink();

    // ---- The parts ----
    Recordings& recordings() const { return *recordings_; }
    Recordings* recordingsObject() const { return recordings_.get(); }
    Sources& sources() const { return *sources_; }
    AudienceView& audience() const { return *audience_; }
    AudienceView* audienceObject() const { return audience_.get(); }
    Sources* sourcesObject() const { return sources_.get(); }
    LinkPresence& presence() const { return *presence_; }
    LinkPresence* presenceObject() const { return presence_.get(); }
    Microphone& mic() const { return *mic_; }
    CoverArt& cover() const { return *cover_; }
    CoverArt* coverObject() const { return cover_.get(); }
    Microphone* micObject() const { return mic_.get(); }

    // ---- The panel ----
    // The panel shell reports when the panel opens and closes.
    Q_INVOKABLE void panel(bool open);
    Q_INVOKABLE void sendToPlayer(PlayerCommand command);

    NowPlayingReader& reader() { return *reader_; }
    // The current broadcast, while on air.
    Broadcast* broadcast() const { return broadcast_.get(); }

Q_SIGNALS:
    void onAirChanged();
    void sourceChanged();
    void nowChanged();
    void playerFoundChanged();
    void onAirSinceChanged();
    void linkChanged();
    void linkStateChanged();
    void localAddressChanged();
    void roomChanged();
    void listenersChanged();
    void statusChanged();
    void evenLoudnessChanged();
    void stopAtChanged();
    void shareLinkChanged();
    // The local server accepts listeners on this port (each broadcast).
    void listening(quint16 port);

private:
    friend class StationProbe; // tests drive the timers' steps directly

    QVariant sourceValue() const;
    QVariant nowValue() const;

    void show(StatusLine::Kind kind, const QString& text);
    void clear(StatusLine::Kind kind);
    void setLink(const QUrl& link);
    void setLinkState(LinkState state);
    // Checks the public link afresh, with the passcode in use.
    void checkLink();
    // The line about the encoder's failure, or none.
    void showEncoder();
    // The line about listeners held back for want of the passcode, or none.
    void showHeldBack();
    // Emits shareLinkChanged when what it is made of changed.
    void linkPartsChanged();
    void startServing();
    // The local port the user's own tunnel sends visitors to.
    quint16 ownPort() const;
    void tunnelUp(const QUrl& url, bool changed);
    void captureProblem(AudioTap::Problem problem, const QString& name);
    void tick();
    void read(const NowPlaying& record, const std::optional<Cover>& cover);
    void appLaunched(const QString& id);
    void appQuit(const QString& id);

    Environment env_;
    Settings& settings_;
    AddressClient& addresses_;
    std::shared_ptr<Shared> shared_;
    const Renditions streams_;
    std::shared_ptr<Fanout> fanout_; // the full stream's
    // Read by the audio path as it goes.
    std::shared_ptr<std::atomic<bool>> evenLoudness_;
    std::unique_ptr<LinkPresence> presence_;
    std::unique_ptr<Microphone> mic_;
    std::unique_ptr<RelayControl> relay_;
    std::unique_ptr<CoverArt> cover_;
    std::unique_ptr<Recordings> recordings_;
    std::unique_ptr<Sources> sources_;
    std::unique_ptr<AudienceView> audience_;
    std::unique_ptr<NowPlayingReader> reader_;
    std::unique_ptr<SleepGuard> sleep_;
    std::unique_ptr<Workspace> workspace_;
    std::unique_ptr<Broadcast> broadcast_;

    std::optional<AudioSource> source_;
    std::optional<NowPlaying> now_;
    bool playerFound_ = false;
    QDateTime onAirSince_;
    QUrl link_;
    LinkState linkState_ = LinkState::None;
    QUrl localAddress_;
    int room_ = 0;
    std::unique_ptr<LinkCheck> check_;
    qint64 listeners_ = 0;
    qint64 lightListeners_ = 0;
    StatusLine status_;
    QDateTime stopAt_;
    QUrl shownShareLink_;

    QTimer ticker_;
    bool panelOpen_ = false;
};

} // namespace lantern
