#include "station/station.h"

#include "capture/workspace.h"
#include "core/config/station_config.h"
#include "core/signal/silence.h"
#include "core/station/shared.h"
#include "core/stream/fanout.h"
#include "nowplaying/now_playing_reader.h"
#include "nowplaying/track.h"
#include "settings/settings.h"
#include "station/assign.h"
#include "station/broadcast.h"
#include "station/listening_page.h"
#include "station/microphone.h"
#include "system/log.h"
#include "system/notifications.h"
#include "system/sleep_guard.h"

#include <QCoreApplication>
#include <QPointer>

namespace lantern {

namespace {

const QString goingOnAir = QStringLiteral("Going on air\u2026");
const QString reconnecting = QStringLiteral("Reconnecting\u2026");
const QString soundServerGone = QStringLiteral("Reconnecting to the sound server\u2026");
const QString heldBackLine =
    QStringLiteral("Couldn't read your passcode from the keyring \u2014 listeners are held back");
constexpr int announceEvery = 60; // ticks between live calls to the address service

// Lines for whoever watches the console (the headless run's log).
void console(const QString& line) {
    qCInfo(stationLog).noquote() << line;
}

QString notRunning(const QString& name) {
    return QString::fromStdString(notRunningLine(name.toStdString()));
}

template <typename T> QVariant optionalValue(const std::optional<T>& value) {
    return value ? QVariant::fromValue(*value) : QVariant();
}

} // namespace

Station& Station::shared() {
    // Lives until the process ends; callbacks reach it from other threads.
    static auto* station = new Station(Environment{});
    return *station;
}

Station::Station(Environment environment)
    : env_(std::move(environment)), settings_(env_.settings ? *env_.settings : Settings::shared()),
      addresses_(env_.addresses ? *env_.addresses : AddressClient::shared()),
      shared_(std::make_shared<Shared>()),
      streams_(Renditions::make(StationConfig::burstSeconds, StationConfig::bitrate,
                                StationConfig::lightBitrate, StationConfig::perListenerLimit)),
      fanout_(streams_.full), evenLoudness_(std::make_shared<std::atomic<bool>>(
                                  !settings_.string(QStringLiteral("evenLoudness")) ||
                                  settings_.flag(QStringLiteral("evenLoudness")))),
      presence_(std::make_unique<LinkPresence>(settings_, addresses_, shared_, env_.passcodeRetry)),
      mic_(std::make_unique<Microphone>(settings_, shared_)),
      relay_(std::make_unique<RelayControl>(settings_, *presence_, env_.passcodeRetry)),
      cover_(std::make_unique<CoverArt>(env_.coverLimits)),
      recordings_(std::make_unique<Recordings>(
          settings_,
          [this](const QString& title, const QString& body, std::function<void()> onClick) {
              env_.notify(title, body, std::move(onClick));
          })),
      sources_(std::make_unique<Sources>()),
      audience_(std::make_unique<AudienceView>(settings_, streams_, shared_)),
      check_(std::make_unique<LinkCheck>(env_.linkCheckVia, env_.linkCheckTiming)) {
    if (!env_.notify) env_.notify = postNotification;
    if (!env_.terminate) env_.terminate = [] { QCoreApplication::exit(0); };

    if (!sources_->all().empty()) source_ = sources_->all().front();
    recordings_->finishLeft();

    for (auto changed :
         {&LinkPresence::passcodeChanged, &LinkPresence::namedChanged, &LinkPresence::keptChanged,
          &LinkPresence::modeChanged, &LinkPresence::heldBackChanged})
        connect(presence_.get(), changed, this, &Station::linkPartsChanged);
    // Streams under way follow who may listen at once: a passcode set on air
    // lets go of every listener who did not bring it.
    connect(presence_.get(), &LinkPresence::accessChanged, this, [this] {
        if (broadcast_) broadcast_->recheckListeners();
    });
    connect(presence_.get(), &LinkPresence::heldBackChanged, this, &Station::showHeldBack);
    // A link still being checked is asked with the passcode in use now.
    connect(presence_.get(), &LinkPresence::passcodeChanged, this, [this] {
        if (linkState_ == LinkState::Checking || linkState_ == LinkState::Unreachable) checkLink();
    });
    connect(check_.get(), &LinkCheck::answered, this, [this] { setLinkState(LinkState::Ready); });
    connect(check_.get(), &LinkCheck::unreachable, this,
            [this] { setLinkState(LinkState::Unreachable); });

    connect(relay_.get(), &RelayControl::status, this, [this](const QString& line) {
        line.isEmpty() ? clear(StatusLine::Kind::relay) : show(StatusLine::Kind::relay, line);
    });
    connect(recordings_.get(), &Recordings::status, this, [this](const QString& line) {
        line.isEmpty() ? clear(StatusLine::Kind::recording)
                       : show(StatusLine::Kind::recording, line);
    });
    connect(mic_.get(), &Microphone::problem, this,
            [this](const QString& message) { show(StatusLine::Kind::microphone, message); });
    // A microphone that works says more than why an earlier one did not.
    connect(mic_.get(), &Microphone::onChanged, this, [this] {
        if (mic_->on()) clear(StatusLine::Kind::microphone);
    });

    // The reader's thread records what it read for the now route, then tells
    // the main thread.
    reader_ =
        std::make_unique<NowPlayingReader>([shared = shared_, self = QPointer<Station>(this)](
                                               NowPlaying record, std::optional<Cover> cover) {
            shared->record(record, cover);
            QMetaObject::invokeMethod(
                self,
                [self, record, cover] {
                    if (self) self->read(record, cover);
                },
                Qt::QueuedConnection);
        });

    ticker_.setInterval(1000);
    connect(&ticker_, &QTimer::timeout, this, &Station::tick);

    if (env_.watchSystem) {
        sleep_ = std::make_unique<SleepGuard>([this] { goOffAir(); });
        workspace_ = std::make_unique<Workspace>();
        connect(workspace_.get(), &Workspace::launched, this, &Station::appLaunched);
        connect(workspace_.get(), &Workspace::quit, this, &Station::appQuit);
    }
    presence_->load();
}

Station::~Station() {
    broadcast_.reset();
    reader_->stop();
}

// ---- State ----

QUrl Station::shareLink() const {
    return presence_->shareLink(link_.isEmpty() ? std::nullopt : std::optional(link_))
        .value_or(QUrl());
}

QVariant Station::sourceValue() const {
    return optionalValue(source_);
}
QVariant Station::nowValue() const {
    return now_ ? QVariant::fromValue(Track::from(*now_)) : QVariant();
}

void Station::show(StatusLine::Kind kind, const QString& text) {
    if (status_.show(kind, text)) Q_EMIT statusChanged();
}

void Station::clear(StatusLine::Kind kind) {
    if (status_.clear(kind)) Q_EMIT statusChanged();
}

void Station::setLink(const QUrl& link) {
    assign(*this, link_, link, &Station::linkChanged);
    linkPartsChanged();
}

void Station::setLinkState(LinkState state) {
    assign(*this, linkState_, state, &Station::linkStateChanged);
}

void Station::checkLink() {
    setLinkState(LinkState::Checking);
    check_->check(link_, presence_->passcode());
}

QUrl Station::toolPage() {
    return QUrl(QStringLiteral("https://developers.cloudflare.com/cloudflare-one/connections/"
                               "connect-networks/downloads/"));
}

void Station::linkPartsChanged() {
    assign(*this, shownShareLink_, shareLink(), &Station::shareLinkChanged);
}

// ---- On air and off air ----

void Station::goOnAir() {
    if (broadcast_ || !source_) return;
    mic_->stopTalking();
    reader_->follow(*source_);
    shared_->set(&SharedState::heardEver, false);
    shared_->restart();
    broadcast_ = std::make_unique<Broadcast>(
        Broadcast::Parts{fanout_, shared_, mic_->input(), std::string(listeningPage()),
                         env_.blockCost, env_.makeEncoder, evenLoudness_, streams_.light,
                         streams_.opus},
        *source_);
    auto* broadcast = broadcast_.get();
    audience_->follow(broadcast);
    connect(broadcast, &Broadcast::listening, this, [this](quint16 port) {
        assign(*this, localAddress_, QUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port)),
               &Station::localAddressChanged);
        Q_EMIT listening(port);
    });
    connect(broadcast, &Broadcast::serverFailed, this, [this](const QString& error) {
        console(QStringLiteral("couldn't start: ") + error);
        goOffAir();
        show(StatusLine::Kind::message, QStringLiteral("Couldn't go on air: ") + error);
    });
    // Without the tunnel program nothing is connecting: the link card says
    // what is missing, and the line has nothing more to say.
    connect(broadcast, &Broadcast::tunnelMissing, this, [this] {
        setLinkState(LinkState::ToolMissing);
        clear(StatusLine::Kind::broadcast);
    });
    connect(broadcast, &Broadcast::tunnelUp, this, &Station::tunnelUp);
    connect(broadcast, &Broadcast::tunnelDown, this, [this] {
        check_->stop();
        setLinkState(LinkState::Connecting);
        show(StatusLine::Kind::broadcast, reconnecting);
    });
    connect(broadcast, &Broadcast::captureProblem, this, &Station::captureProblem);
    connect(broadcast, &Broadcast::encoderFailureChanged, this, &Station::showEncoder);
    connect(broadcast, &Broadcast::lightFailed, this, [this](const QString& why) {
        console(why);
        show(StatusLine::Kind::message, why);
    });
    recordings_->follow(broadcast);
    Q_EMIT onAirChanged();
    assign(*this, onAirSince_, env_.clock(), &Station::onAirSinceChanged);
    setLinkState(LinkState::Connecting);
    show(StatusLine::Kind::broadcast, goingOnAir);
    if (!source_->whole() && !Workspace::isRunning(source_->id))
        show(StatusLine::Kind::running, notRunning(source_->name));

    // Listeners are let in once the passcode is known.
    if (presence_->ready())
        startServing();
    else
        connect(
            presence_.get(), &LinkPresence::readyChanged, broadcast, [this] { startServing(); },
            Qt::SingleShotConnection);
    if (sleep_) sleep_->hold();
    ticker_.start();
}

void Station::startServing() {
    if (!broadcast_) return;
    auto limits = StreamServer::Limits::forThisProcess();
    // As many listeners as the process's descriptors allow, or fewer when the
    // setting "maxListeners" says so.
    if (const auto most = settings_.value(QStringLiteral("maxListeners")).toLongLong(); most > 0)
        limits.maxListeners = std::min(limits.maxListeners, static_cast<std::size_t>(most));
    std::optional<Broadcast::OwnTunnel> own;
    if (const auto tunnel = presence_->ownInUse())
        own = Broadcast::OwnTunnel{tunnel->host, tunnel->token, ownPort()};
    relay_->start(*broadcast_);
    broadcast_->serve(limits, std::move(own));
}

void Station::setEvenLoudness(bool on) {
    if (on == evenLoudness()) return;
    settings_.setValue(QStringLiteral("evenLoudness"), on);
    *evenLoudness_ = on;
    Q_EMIT evenLoudnessChanged();
}

void Station::tunnelUp(const QUrl& url, bool changed) {
    if (!broadcast_) return;
    setLink(url);
    console(QStringLiteral("on air: ") + url.toString(QUrl::FullyEncoded));
    clear(StatusLine::Kind::broadcast);
    checkLink();
    if (presence_->usesKept()) {
        presence_->setOnAirLink(url);
    } else if (changed) {
        const auto host = url.host(QUrl::FullyEncoded);
        env_.notify(QStringLiteral("Your link changed"),
                    QStringLiteral("Share the new one: ") +
                        (host.isEmpty() ? url.toString(QUrl::FullyEncoded) : host),
                    {});
    }
}

// The capture says what keeps it from the sound, and when that is over.
void Station::captureProblem(AudioTap::Problem problem, const QString& name) {
    switch (problem) {
    case AudioTap::Problem::none:
        return clear(StatusLine::Kind::capture);
    case AudioTap::Problem::cannotHear:
        return show(StatusLine::Kind::capture, QStringLiteral("Couldn't hear ") + name);
    case AudioTap::Problem::outputChanged:
        return show(StatusLine::Kind::capture, QStringLiteral("Couldn't hear ") + name +
                                                   QStringLiteral(" after the output changed"));
    case AudioTap::Problem::serverGone:
        return show(StatusLine::Kind::capture, soundServerGone);
    }
}

int Station::lightRoom() const {
    return static_cast<int>(room_ * StationConfig::bitrate / StationConfig::lightBitrate);
}

void Station::tick() {
    const auto light = static_cast<qint64>(streams_.lightCount());
    if (light != lightListeners_) {
        lightListeners_ = light;
        Q_EMIT listenersChanged();
    }
    assign(*this, listeners_, static_cast<qint64>(fanout_->count()), &Station::listenersChanged);
    audience_->tick(listeners_);
    if (!broadcast_) return; // the ticker runs on air only
    recordings_->tick();
    const auto room = broadcast_->room();
    shared_->set(&SharedState::room, room);
    assign(*this, room_, static_cast<int>(room.value_or(0)), &Station::roomChanged);
    if (broadcast_->beat() % announceEvery == 0 && !broadcast_->reconnecting())
        presence_->reannounce();
    if (stopAt_.isValid() && env_.clock() >= stopAt_) return goOffAir();
    // A failed encoder's line comes back once what replaced it is over.
    if (broadcast_->encoderFailure()) {
        if (status_.kind() == StatusLine::Kind::none) showEncoder();
        return;
    }
    // Silence is worth a line only once listeners can hear it (through the
    // link, or on this computer when there is none), and a line about the
    // tunnel or the capture itself says more.
    const bool heardSomewhere = !link_.isEmpty() || linkState_ == LinkState::ToolMissing;
    if (!source_ || !heardSomewhere || broadcast_->reconnecting() ||
        status_.kind() == StatusLine::Kind::capture)
        return;
    const auto& source = *source_;
    const bool running = source.whole() || Workspace::isRunning(source.id);
    // Only a source with a player says whether it plays.
    std::optional<bool> playing;
    if (reader_->readable())
        if (const auto entry = shared_->playingAt(NowPlayingHistory::Clock::now()))
            playing = entry->playing;
    const bool silent = shared_->get(&SharedState::silentNow);
    const bool heard = shared_->get(&SharedState::heardEver);
    if (const auto line =
            silenceStatus(source.name.toStdString(), running, playing, silent, heard)) {
        show(running ? StatusLine::Kind::silence : StatusLine::Kind::running,
             QString::fromStdString(*line));
    } else {
        clear(StatusLine::Kind::silence);
        clear(StatusLine::Kind::running);
    }
}

void Station::showEncoder() {
    if (!broadcast_) return;
    if (const auto& why = broadcast_->encoderFailure())
        show(StatusLine::Kind::encoder, QStringLiteral("The encoder stopped: ") + *why);
    else
        clear(StatusLine::Kind::encoder);
}

void Station::goOffAir() {
    if (!broadcast_) return;
    broadcast_.reset();
    recordings_->follow(nullptr);
    audience_->follow(nullptr);
    relay_->stop();
    assign(*this, onAirSince_, QDateTime(), &Station::onAirSinceChanged);
    console(QStringLiteral("off air"));
    Q_EMIT onAirChanged();
    if (sleep_) sleep_->release();
    ticker_.stop();
    check_->stop();
    setLinkState(LinkState::None);
    assign(*this, localAddress_, QUrl(), &Station::localAddressChanged);
    shared_->set(&SharedState::room, std::optional<std::size_t>());
    assign(*this, room_, 0, &Station::roomChanged);
    setLink({});
    assign(*this, listeners_, qint64(0), &Station::listenersChanged);
    setStopAt({});
    presence_->setOnAirLink(std::nullopt);
    mic_->setMic(false);
    if (!panelOpen_) reader_->stop();
    if (status_.clearAll()) Q_EMIT statusChanged();
    showHeldBack();
}

void Station::showHeldBack() {
    if (presence_->heldBack())
        show(StatusLine::Kind::keyring, heldBackLine);
    else
        clear(StatusLine::Kind::keyring);
}

void Station::quit() {
    // The address is withdrawn before the process ends.
    [](QPointer<Station> self, LinkPresence& presence,
       std::function<void()> terminate) -> QCoro::Task<void> {
        auto withdrawal = presence.withdraw();
        if (self) self->goOffAir();
        co_await withdrawal;
        terminate();
    }(this, *presence_, env_.terminate);
}

void Station::choose(const AudioSource& source) {
    assign(*this, source_, std::optional(source), &Station::sourceChanged);
    assign(*this, now_, std::optional<NowPlaying>(), &Station::nowChanged);
    assign(*this, playerFound_, false, &Station::playerFoundChanged);
    cover_->clear();
    if (panelOpen_ || broadcast_) reader_->follow(source);
    if (!broadcast_) return;
    clear(StatusLine::Kind::capture);
    clear(StatusLine::Kind::running);
    broadcast_->capture(source); // a new audio path; listeners stay connected
    if (!source.whole() && !Workspace::isRunning(source.id))
        show(StatusLine::Kind::running, notRunning(source.name));
}

void Station::choose(const QString& id) {
    for (const auto& source : sources_->all())
        if (source.id == id) return choose(source);
}

void Station::setStopAt(const QDateTime& at) {
    assign(*this, stopAt_, at, &Station::stopAtChanged);
}

void Station::stopAfter(double seconds) {
    setStopAt(seconds > 0 ? env_.clock().addMSecs(static_cast<qint64>(seconds * 1000))
                          : QDateTime());
}

// ---- Who can listen ----

QCoro::Task<std::optional<QString>> Station::setLinkMode(LinkMode mode, QString name,
                                                         std::optional<QString> passcode,
                                                         QString stationName) {
    QPointer<Station> self(this);
    auto& presence = *presence_;
    const bool wasOwn = presence.ownInUse().has_value();
    auto failure = co_await presence.setLinkMode(mode, std::move(name), std::move(passcode),
                                                 std::move(stationName));
    if (failure || !self || !broadcast_) co_return failure;
    // The own tunnel and a quick one are different programs on different
    // ports: the broadcast starts again with the other.
    if (wasOwn != presence.ownInUse().has_value()) {
        goOffAir();
        goOnAir();
    } else if (!link_.isEmpty()) {
        presence.setOnAirLink(link_);
    }
    co_return failure;
}

quint16 Station::ownPort() const {
    const auto port = settings_.value(QStringLiteral("tunnelPort")).toUInt();
    return port > 0 && port < 65536 ? static_cast<quint16>(port)
                                    : Broadcast::OwnTunnel::defaultPort;
}

void Station::copyLink() {
    LinkPresence::copy(shareLink());
}

QUrl Station::playerLink() const {
    return presence_->playerLink(link_);
}

void Station::copyPlayerLink() {
    LinkPresence::copy(playerLink());
}

// ---- The panel and events ----

void Station::panel(bool open) {
    panelOpen_ = open;
    if (!open && !broadcast_)
        reader_->stop();
    else if (source_)
        reader_->follow(*source_);
    if (open) sources_->refresh();
    mic_->setPanelOpen(open);
}

void Station::sendToPlayer(PlayerCommand command) {
    static constexpr NowPlayingReader::Command commands[] = {NowPlayingReader::Command::previous,
                                                             NowPlayingReader::Command::playPause,
                                                             NowPlayingReader::Command::next};
    reader_->send(commands[static_cast<int>(command)]);
}

void Station::read(const NowPlaying& record, const std::optional<Cover>& cover) {
    assign(*this, now_, std::optional(record), &Station::nowChanged);
    assign(*this, playerFound_, reader_->readable(), &Station::playerFoundChanged);
    cover_->follow(record, cover);
}

// The capture follows the application's playback streams by itself; all
// that is left to do is to drop the line that said it was not running.
void Station::appLaunched(const QString& id) {
    if (broadcast_ && source_ &&
        SourceWatch::shouldReattach(source_->id.toStdString(), id.toStdString()))
        clear(StatusLine::Kind::running);
}

void Station::appQuit(const QString& id) {
    if (broadcast_ && source_ && source_->id == id)
        show(StatusLine::Kind::running, notRunning(source_->name));
}

} // namespace lantern
