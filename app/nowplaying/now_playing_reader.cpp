#include "nowplaying/now_playing_reader.h"

#include "core/system/guarded.h"
#include "nowplaying/cover_file.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <atomic>

namespace lantern {

namespace {

const QString busPath = QStringLiteral("/com/brindle/lanternfm");
const QString busInterface = QStringLiteral("com.brindle.lanternfm");
const QString mprisPrefix = QStringLiteral("org.mpris.MediaPlayer2.");
const QString mprisPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString playerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
constexpr int tickMs = 3000;
constexpr int answerMs = 5000; // a player that takes longer counts as none

NowPlaying emptyRecord(const QString& source, bool playing) {
    return NowPlaying{"", "", "", std::nullopt, playing, source.toStdString()};
}

// A D-Bus value that may arrive still marshalled.
QVariantMap mapOf(const QVariant& value) {
    if (value.canConvert<QDBusArgument>())
        return qdbus_cast<QVariantMap>(value.value<QDBusArgument>());
    return value.toMap();
}

QVariant unwrapped(const QVariant& value) {
    return value.canConvert<QDBusVariant>() ? value.value<QDBusVariant>().variant() : value;
}

// xesam:artist is a list of names; some players send a single string.
QString artistsOf(const QVariant& value) {
    if (value.canConvert<QDBusArgument>())
        return qdbus_cast<QStringList>(value.value<QDBusArgument>()).join(QStringLiteral(", "));
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

QString textOf(const QVariantMap& map, const char* key) {
    const auto value = map.value(QLatin1String(key));
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

} // namespace

// Keeps the companion player's latest note; lives on the thread that made the
// reader (the main thread), where the session bus delivers the signal.
class NoteReceiver : public QObject {
    Q_OBJECT
public:
    explicit NoteReceiver(std::shared_ptr<Guarded<std::optional<QString>>> note)
        : note_(std::move(note)) {
        QDBusConnection::sessionBus().connect(QString(), busPath, busInterface,
                                              QStringLiteral("nowPlaying"), QStringLiteral("s"),
                                              this, SLOT(received(QString)));
    }

public Q_SLOTS:
    void received(const QString& text) { note_->set(text); }

private:
    std::shared_ptr<Guarded<std::optional<QString>>> note_;
};

// The reader's work, on its own thread: the poll, the players' change
// signals, the readings and the commands. Blocking D-Bus calls block this
// thread alone, for at most five seconds each.
class ReaderWorker : public QObject {
    Q_OBJECT
public:
    ReaderWorker(NowPlayingReader::OnRead onRead,
                 std::shared_ptr<Guarded<std::optional<QString>>> note,
                 std::shared_ptr<Guarded<bool>> stopped,
                 std::shared_ptr<std::atomic<bool>> readable)
        : onRead_(std::move(onRead)), note_(std::move(note)), stopped_(std::move(stopped)),
          readable_(std::move(readable)), timer_(this), soon_(this) {
        timer_.setInterval(tickMs);
        timer_.setTimerType(Qt::PreciseTimer);
        connect(&timer_, &QTimer::timeout, this, &ReaderWorker::read);
        // A burst of change signals is one reading.
        soon_.setSingleShot(true);
        soon_.setInterval(100);
        connect(&soon_, &QTimer::timeout, this, &ReaderWorker::read);
    }

    void follow(const AudioSource& source) {
        stopped_->set(false);
        source_ = source;
        lastTitle_.clear();
        cover_.reset();
        if (NowPlayingReader::isCompanion(source.id)) tell(QStringLiteral("ask"), {});
        timer_.start(); // ticks count from now, however long this reading takes
        read();
    }

    void stop() {
        timer_.stop();
        soon_.stop();
        watch(QString());
    }

    void send(NowPlayingReader::Command command) {
        if (!source_) return;
        if (NowPlayingReader::isCompanion(source_->id))
            return tell(QStringLiteral("command"), {NowPlayingReader::word(command)});
        const auto player = playerFor(source_->id);
        if (!player) return;
        static const char* const methods[] = {"PlayPause", "Next", "Previous"};
        auto call = QDBusMessage::createMethodCall(
            *player, mprisPath, playerInterface, QLatin1String(methods[static_cast<int>(command)]));
        QDBusConnection::sessionBus().call(call, QDBus::Block, answerMs);
        read();
    }

private Q_SLOTS:
    void changed(const QString& interface, const QVariantMap&, const QStringList&) {
        if (interface == playerInterface && !stopped_->get() && timer_.isActive()) soon_.start();
    }

private:
    void read() {
        if (!source_ || stopped_->get()) return;
        const auto& source = *source_;
        if (NowPlayingReader::isCompanion(source.id)) {
            *readable_ = true;
            if (const auto note = note_->get())
                if (auto parsed = parseLanternNote(note->toStdString(), source.name.toStdString()))
                    return onRead_(std::move(parsed->first), noteCover(parsed->second));
            return onRead_(emptyRecord(source.name, true), std::nullopt);
        }
        if (source.id == AudioSource::wholeMac().id) {
            *readable_ = false;
            return onRead_(emptyRecord(source.name, true), std::nullopt);
        }
        const auto player = playerFor(source.id);
        *readable_ = player.has_value();
        watch(player.value_or(QString()));
        if (!player) return onRead_(emptyRecord(source.name, false), std::nullopt);
        readPlayer(*player, source.name);
    }

    void readPlayer(const QString& player, const QString& sourceName) {
        auto call = QDBusMessage::createMethodCall(player, mprisPath, propertiesInterface,
                                                   QStringLiteral("GetAll"));
        call.setArguments({playerInterface});
        const auto reply = QDBusConnection::sessionBus().call(call, QDBus::Block, answerMs);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return onRead_(emptyRecord(sourceName, false), std::nullopt);
        const auto properties = mapOf(reply.arguments().front());
        const auto status =
            unwrapped(properties.value(QStringLiteral("PlaybackStatus"))).toString();
        const auto metadata = mapOf(unwrapped(properties.value(QStringLiteral("Metadata"))));
        const auto title = textOf(metadata, "xesam:title");
        // A stopped player, or one without a title, has nothing to tell.
        if (status == QStringLiteral("Stopped") || title.isEmpty())
            return onRead_(emptyRecord(sourceName, false), std::nullopt);

        NowPlaying record{title.toStdString(),
                          artistsOf(metadata.value(QStringLiteral("xesam:artist"))).toStdString(),
                          textOf(metadata, "xesam:album").toStdString(),
                          std::nullopt,
                          status == QStringLiteral("Playing"),
                          sourceName.toStdString()};
        std::optional<Cover> cover;
        const QUrl art(textOf(metadata, "mpris:artUrl"), QUrl::StrictMode);
        if (art.isLocalFile()) {
            // Artwork in a file travels as bytes, read once per title.
            if (title != lastTitle_) cover_ = coverFromFile(art.toLocalFile());
            cover = cover_;
        } else if (art.isValid() && (art.scheme() == QStringLiteral("https") ||
                                     art.scheme() == QStringLiteral("http"))) {
            record.coverURL = art.toString(QUrl::FullyEncoded).toStdString();
        }
        lastTitle_ = title;
        onRead_(std::move(record), std::move(cover));
    }

    // The companion's cover as it is served: decoded and encoded afresh, as a
    // file's is, once for each image it sends.
    std::optional<Cover> noteCover(const std::optional<Cover>& sent) {
        if (!sent) return std::nullopt;
        if (sent->bytes != noteCoverSent_) {
            noteCoverSent_ = sent->bytes;
            noteCover_ =
                coverFromBytes(QByteArray(reinterpret_cast<const char*>(sent->bytes.data()),
                                          static_cast<qsizetype>(sent->bytes.size())));
        }
        return noteCover_;
    }

    // The MPRIS player for a source: named as its id, or as its id, "." and more.
    static std::optional<QString> playerFor(const QString& id) {
        const auto names = QDBusConnection::sessionBus().interface()->registeredServiceNames();
        if (!names.isValid()) return std::nullopt;
        for (const auto& name : names.value()) {
            if (!name.startsWith(mprisPrefix)) continue;
            const auto player = name.mid(mprisPrefix.size());
            if (player == id || player.startsWith(id + '.')) return name;
        }
        return std::nullopt;
    }

    // Follows the change signals of `player` alone (none when empty).
    void watch(const QString& player) {
        if (player == watched_) return;
        auto bus = QDBusConnection::sessionBus();
        const auto member = QStringLiteral("PropertiesChanged");
        if (!watched_.isEmpty())
            bus.disconnect(watched_, mprisPath, propertiesInterface, member, this,
                           SLOT(changed(QString, QVariantMap, QStringList)));
        watched_ = player;
        if (!watched_.isEmpty())
            bus.connect(watched_, mprisPath, propertiesInterface, member, this,
                        SLOT(changed(QString, QVariantMap, QStringList)));
    }

    static void tell(const QString& member, const QVariantList& arguments) {
        auto message = QDBusMessage::createSignal(busPath, busInterface, member);
        message.setArguments(arguments);
        QDBusConnection::sessionBus().send(message);
    }

    const NowPlayingReader::OnRead onRead_;
    const std::shared_ptr<Guarded<std::optional<QString>>> note_;
    const std::shared_ptr<Guarded<bool>> stopped_;
    const std::shared_ptr<std::atomic<bool>> readable_;
    QTimer timer_;
    QTimer soon_;
    std::optional<AudioSource> source_;
    QString lastTitle_;
    std::optional<Cover> cover_;
    std::vector<std::uint8_t> noteCoverSent_;
    std::optional<Cover> noteCover_;
    QString watched_;
};

class NowPlayingReader::Impl {
public:
    explicit Impl(OnRead onRead)
        : note_(std::make_shared<Guarded<std::optional<QString>>>()),
          receiver_(std::make_unique<NoteReceiver>(note_)) {
        thread_.setObjectName(QStringLiteral("lantern.nowpl"));
        worker_ = new ReaderWorker(std::move(onRead), note_, stopped_, readable_);
        worker_->moveToThread(&thread_);
        thread_.start();
    }

    ~Impl() {
        // The worker and its timers end on their own thread, then the thread.
        QMetaObject::invokeMethod(
            worker_, [worker = worker_] { delete worker; }, Qt::BlockingQueuedConnection);
        thread_.quit();
        thread_.wait();
    }

    template <typename Work> void post(Work work) {
        QMetaObject::invokeMethod(worker_, std::move(work), Qt::QueuedConnection);
    }

    ReaderWorker* worker_ = nullptr;
    std::shared_ptr<Guarded<std::optional<QString>>> note_;
    std::unique_ptr<NoteReceiver> receiver_;
    std::shared_ptr<Guarded<bool>> stopped_ = std::make_shared<Guarded<bool>>();
    std::shared_ptr<std::atomic<bool>> readable_ = std::make_shared<std::atomic<bool>>(false);
    QThread thread_;
};

QString NowPlayingReader::word(Command command) {
    switch (command) {
    case Command::playPause:
        return QStringLiteral("playpause");
    case Command::next:
        return QStringLiteral("next track");
    case Command::previous:
        return QStringLiteral("previous track");
    }
    return {};
}

bool NowPlayingReader::isCompanion(const QString& id) {
    return id == QStringLiteral("com.brindle.hearken") ||
           id == QStringLiteral("com.brindle.hearken.store");
}

NowPlayingReader::NowPlayingReader(OnRead onRead)
    : impl_(std::make_shared<Impl>(std::move(onRead))) {}

NowPlayingReader::~NowPlayingReader() = default;

void NowPlayingReader::follow(const AudioSource& source) {
    impl_->post([worker = impl_->worker_, source] { worker->follow(source); });
}
void NowPlayingReader::stop() {
    impl_->stopped_->set(true);
    impl_->post([worker = impl_->worker_] { worker->stop(); });
}
void NowPlayingReader::send(Command command) {
    impl_->post([worker = impl_->worker_, command] { worker->send(command); });
}
bool NowPlayingReader::readable() const {
    return impl_->readable_->load();
}

} // namespace lantern

#include "now_playing_reader.moc"
