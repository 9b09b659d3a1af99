#pragma once

#include "capture/audio_source.h"
#include "capture/audio_tap.h"
#include "link/address_client.h"
#include "nowplaying/now_playing.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QImage>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QNetworkAccessManager;

namespace lantern {

class Fanout;
class MicInput;
class NowPlayingReader;
class Settings;
class SleepGuard;
class StreamServer;
class TunnelSupervisor;
class Workspace;

// The station: owns the on-air pipeline (capture, encoder, fan-out, server,
// tunnel, now-playing reader, microphone), holds everything the panel shows
// and turns the user's actions into pipeline changes.
//
// Main thread only. Every property below notifies only on a real change.
// Other threads (capture, server, tunnel, reader) never touch it directly:
// they use the lock-protected Shared state, or hop here with a queued call.
class Station : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool onAir READ onAir NOTIFY onAirChanged)
    Q_PROPERTY(std::vector<lantern::AudioSource> sources READ sources NOTIFY sourcesChanged)
    Q_PROPERTY(std::optional<lantern::AudioSource> source READ source NOTIFY sourceChanged)
    Q_PROPERTY(std::optional<lantern::NowPlaying> now READ now NOTIFY nowChanged)
    Q_PROPERTY(QImage coverImage READ coverImage NOTIFY coverImageChanged)
    Q_PROPERTY(std::optional<QDateTime> onAirSince READ onAirSince NOTIFY onAirSinceChanged)
    Q_PROPERTY(LinkMode linkMode READ linkMode NOTIFY linkModeChanged)
    Q_PROPERTY(bool asked READ asked NOTIFY askedChanged)
    Q_PROPERTY(bool micOn READ micOn NOTIFY micOnChanged)
    Q_PROPERTY(bool talkOn READ talkOn NOTIFY talkOnChanged)
    Q_PROPERTY(bool holding READ holding NOTIFY holdingChanged)
    Q_PROPERTY(float voiceLevel READ voiceLevel NOTIFY voiceLevelChanged)
    Q_PROPERTY(float musicLevel READ musicLevel NOTIFY musicLevelChanged)
    Q_PROPERTY(std::optional<QString> micDevice READ micDevice NOTIFY micDeviceChanged)
    Q_PROPERTY(std::optional<QUrl> link READ link NOTIFY linkChanged)
    Q_PROPERTY(qint64 listeners READ listeners NOTIFY listenersChanged)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(std::optional<QDateTime> stopAt READ stopAt WRITE setStopAt NOTIFY stopAtChanged)
    Q_PROPERTY(QString stationName READ stationName NOTIFY stationNameChanged)
    Q_PROPERTY(std::optional<QString> passcode READ passcode NOTIFY passcodeChanged)
    Q_PROPERTY(
        std::optional<lantern::SavedAddress> namedLink READ namedLink NOTIFY namedLinkChanged)
    Q_PROPERTY(
        std::optional<lantern::SavedAddress> privateLink READ privateLink NOTIFY privateLinkChanged)
    Q_PROPERTY(bool hotKeyOK READ hotKeyOK NOTIFY hotKeyOKChanged)
    // The passcode and the saved addresses have been read from the keychain.
    Q_PROPERTY(bool ready READ ready NOTIFY readyChanged)

public:
    enum class LinkMode { fresh, kept, named };
    Q_ENUM(LinkMode)
    static QString rawValue(LinkMode mode);
    static std::optional<LinkMode> linkModeFrom(const QString& raw);

    // What the station uses from its surroundings. The defaults are the real
    // services; tests swap in their own pieces.
    struct Environment {
        Settings* settings = nullptr;       // the shared settings when null
        AddressClient* addresses = nullptr; // the shared client when null
        QString playerctl = QStringLiteral("playerctl");
        std::function<QDateTime()> clock = [] { return QDateTime::currentDateTimeUtc(); };
        std::function<void(const QString& title, const QString& body)> notify;
        std::function<void()> terminate; // ends the application (quit())
        bool watchSystem = true;         // sleep, application launch/quit, stream-list events
        // When set, told what each captured block cost the audio path (on the
        // capture thread); for measurements.
        std::function<void(std::chrono::nanoseconds)> blockCost;
    };

    static Station& shared();
    explicit Station(Environment environment);
    ~Station() override;

    // Observable state.
    bool onAir() const { return onAir_; }
    const std::vector<AudioSource>& sources() const { return sources_; }
    const std::optional<AudioSource>& source() const { return source_; }
    const std::optional<NowPlaying>& now() const { return now_; }
    const QImage& coverImage() const { return coverImage_; }
    const std::optional<QDateTime>& onAirSince() const { return onAirSince_; }
    LinkMode linkMode() const { return linkMode_; }
    bool asked() const { return asked_; }
    bool micOn() const { return micOn_; }
    bool talkOn() const { return talkOn_; }
    bool holding() const { return holding_; }
    float voiceLevel() const { return voiceLevel_; }
    float musicLevel() const { return musicLevel_; }
    const std::optional<QString>& micDevice() const { return micDevice_; }
    const std::optional<QUrl>& link() const { return link_; }
    qint64 listeners() const { return listeners_; }
    const QString& status() const { return status_; }
    const std::optional<QDateTime>& stopAt() const { return stopAt_; }
    const QString& stationName() const { return stationName_; }
    const std::optional<QString>& passcode() const { return passcode_; }
    const std::optional<SavedAddress>& namedLink() const { return namedLink_; }
    const std::optional<SavedAddress>& privateLink() const { return privateLink_; }
    bool hotKeyOK() const { return hotKeyOK_; }
    bool ready() const { return ready_; }

    // Derived.
    bool talking() const { return micOn_ && (talkOn_ || holding_); }
    std::optional<SavedAddress> kept() const;
    bool usesKept() const { return kept().has_value(); }
    std::optional<QUrl> shareLink() const;

    // On air and off air.
    void goOnAir();
    void goOffAir();
    void quit();
    void choose(const AudioSource& source);
    void setStopAt(std::optional<QDateTime> at);

    // Link modes, passcode and name. Nothing on success, else the text to show;
    // on failure nothing has changed.
    QCoro::Task<std::optional<QString>>
    setLinkMode(LinkMode mode, QString name, std::optional<QString> passcode, QString stationName);
    void rename(const QString& name);
    void copyLink();

    // Microphone and talking.
    void setMic(bool on);
    void setTalkOn(bool on);
    void hold(bool on);
    void chooseMic(const std::optional<QString>& uid);

    // The panel shell reports when the panel opens and closes.
    void panel(bool open);

    NowPlayingReader& reader() { return *reader_; }

    // The lock-protected state the other threads share with the station.
    class Shared;

Q_SIGNALS:
    void onAirChanged();
    void sourcesChanged();
    void sourceChanged();
    void nowChanged();
    void coverImageChanged();
    void onAirSinceChanged();
    void linkModeChanged();
    void askedChanged();
    void micOnChanged();
    void talkOnChanged();
    void holdingChanged();
    void voiceLevelChanged();
    void musicLevelChanged();
    void micDeviceChanged();
    void linkChanged();
    void listenersChanged();
    void statusChanged();
    void stopAtChanged();
    void stationNameChanged();
    void passcodeChanged();
    void namedLinkChanged();
    void privateLinkChanged();
    void hotKeyOKChanged();
    void readyChanged();
    // The local server accepts listeners on this port (each broadcast).
    void listening(quint16 port);

private:
    friend class StationProbe; // tests drive the private steps directly

    // Stores a property's new value and notifies only when it differs.
    template <typename T> void assign(T& field, T value, void (Station::*changed)()) {
        if (field == value) return;
        field = std::move(value);
        Q_EMIT(this->*changed)();
    }

    void setStatus(const QString& status) { assign(status_, status, &Station::statusChanged); }
    QCoro::Task<void> loadSecrets();
    void startServer();
    void openTunnel(std::uint16_t port);
    void tunnelUp(const QUrl& url);
    void startTap(const AudioSource& source);
    void restartTap();
    void tapProblem(AudioTap::Problem problem, const QString& name);
    void tick();
    void announce();
    void startMeters();
    void read(const NowPlaying& record, const std::optional<Cover>& cover);
    void appLaunched(const QString& id);
    void appQuit(const QString& id);
    void notify(const QString& title, const QString& body);
    void onMain(std::function<void()> work);

    Environment env_;
    Settings& settings_;
    AddressClient& addresses_;

    bool onAir_ = false;
    std::vector<AudioSource> sources_;
    std::optional<AudioSource> source_;
    std::optional<NowPlaying> now_;
    QImage coverImage_;
    std::optional<QDateTime> onAirSince_;
    LinkMode linkMode_ = LinkMode::fresh;
    bool asked_ = false;
    bool micOn_ = false;
    bool talkOn_ = false;
    bool holding_ = false;
    float voiceLevel_ = 0;
    float musicLevel_ = 1.0f;
    std::optional<QString> micDevice_;
    std::optional<QUrl> link_;
    qint64 listeners_ = 0;
    QString status_;
    std::optional<QDateTime> stopAt_;
    QString stationName_;
    std::optional<QString> passcode_;
    std::optional<SavedAddress> namedLink_;
    std::optional<SavedAddress> privateLink_;
    bool hotKeyOK_ = false;
    bool ready_ = false;
    bool linkChosen_ = false; // setLinkMode has succeeded since start-up

    std::shared_ptr<Fanout> fanout_;
    std::shared_ptr<Shared> shared_;
    std::shared_ptr<StreamServer> server_;
    std::unique_ptr<TunnelSupervisor> tunnel_;
    std::unique_ptr<AudioTap> tap_;
    std::unique_ptr<NowPlayingReader> reader_;
    std::unique_ptr<MicInput> mic_;
    QTimer meterTimer_;
    QTimer ticker_;
    std::unique_ptr<SleepGuard> sleep_;
    std::unique_ptr<Workspace> workspace_;
    bool tunnelOpened_ = false;
    std::int64_t beats_ = 0;
    QString tapLine_; // the status line the capture put up, if any
    std::optional<SavedAddress> announced_;
    bool micClosePending_ = false;
    bool panelOpen_ = false;
    bool wantMic_ = false;
    bool micStarting_ = false;
    std::uint64_t broadcast_ = 0; // counts broadcasts, so late callbacks of an old one are dropped
    std::uint64_t tapRun_ = 0;    // counts taps, likewise
    std::unique_ptr<QNetworkAccessManager> network_;
};

} // namespace lantern
