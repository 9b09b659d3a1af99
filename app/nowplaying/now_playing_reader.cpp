#include "nowplaying/now_playing_reader.h"

#include "system/child_process.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QObject>
#include <QUrl>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <chrono>
#include <pthread.h>
#include <thread>

namespace lantern {

namespace {

const QString busPath = QStringLiteral("/com/brindle/lanternfm");
const QString busInterface = QStringLiteral("com.brindle.lanternfm");
constexpr auto tick = std::chrono::seconds(3);
constexpr auto watchdog = std::chrono::seconds(5);
constexpr qint64 largestCover = 10 * 1024 * 1024;

// Runs a program with explicit arguments and returns what it printed, or
// nothing when it cannot start, exits non-zero, or is still running after five
// seconds (then it is killed). Standard error is discarded.
std::optional<std::string> run(const std::vector<std::string>& arguments) {
    ChildOptions options;
    options.searchPath = true;
    auto result = runChild(arguments, watchdog, options);
    if (result.status != 0) return std::nullopt;
    return std::move(result.output);
}

NowPlaying emptyRecord(const QString& source, bool playing) {
    return NowPlaying{"", "", "", std::nullopt, playing, source.toStdString()};
}

} // namespace

// Keeps the companion player's latest note; lives on the thread that made the
// reader (the main thread), where the session bus delivers the signal.
class NoteReceiver : public QObject {
    Q_OBJECT
public:
    explicit NoteReceiver(std::shared_ptr<LockedText> note) : note_(std::move(note)) {
        QDBusConnection::sessionBus().connect(QString(), busPath, busInterface,
                                              QStringLiteral("nowPlaying"), QStringLiteral("s"),
                                              this, SLOT(received(QString)));
    }

public Q_SLOTS:
    void received(const QString& text) { note_->set(text); }

private:
    std::shared_ptr<LockedText> note_;
};

class NowPlayingReader::Impl {
public:
    Impl(OnRead onRead, QString playerctl)
        : onRead_(std::move(onRead)), playerctl_(playerctl.toStdString()),
          note_(std::make_shared<LockedText>()), receiver_(std::make_unique<NoteReceiver>(note_)),
          timer_(io_), thread_([this] {
              pthread_setname_np(pthread_self(), "lantern.nowpl");
              io_.run();
          }) {}

    ~Impl() {
        work_.reset();
        io_.stop();
        thread_.join();
    }

    void follow(AudioSource source) {
        asio::post(io_, [this, source = std::move(source)] {
            stopped_.set(false);
            source_ = source;
            lastTitle_.clear();
            cover_.reset();
            if (isCompanion(source.id)) emit(QStringLiteral("ask"), {});
            timer_.cancel();
            due_ = std::chrono::steady_clock::now();
            schedule();
        });
    }

    void stop() {
        stopped_.set(true);
        asio::post(io_, [this] { timer_.cancel(); });
    }

    void send(Command command) {
        asio::post(io_, [this, command] {
            if (!source_) return;
            if (isCompanion(source_->id)) return emit(QStringLiteral("command"), {word(command)});
            const auto player = playerFor(source_->id);
            if (!player) return;
            static const char* const verbs[] = {"play-pause", "next", "previous"};
            run({playerctl_, "--player=" + *player, verbs[static_cast<int>(command)]});
            read();
        });
    }

    bool readable() const { return readable_.load(); }

private:
    void schedule() {
        timer_.expires_at(due_);
        timer_.async_wait([this](std::error_code error) {
            if (error) return;
            read();
            due_ += tick;
            // Ticks missed while a reading ran are coalesced into one.
            if (due_ < std::chrono::steady_clock::now()) due_ = std::chrono::steady_clock::now();
            schedule();
        });
    }

    void read() {
        if (!source_ || stopped_.get()) return;
        const auto& source = *source_;
        if (isCompanion(source.id)) {
            readable_ = true;
            if (const auto note = note_->get())
                if (auto parsed = parseLanternNote(note->toStdString(), source.name.toStdString()))
                    return onRead_(std::move(parsed->first), std::move(parsed->second));
            return onRead_(emptyRecord(source.name, true), std::nullopt);
        }
        if (source.id == AudioSource::wholeMac().id) {
            readable_ = false;
            return onRead_(emptyRecord(source.name, true), std::nullopt);
        }
        const auto player = playerFor(source.id);
        readable_ = player.has_value();
        if (!player) return onRead_(emptyRecord(source.name, false), std::nullopt);
        readPlayer(*player, source.name);
    }

    void readPlayer(const std::string& player, const QString& sourceName) {
        const auto output =
            run({playerctl_, "--player=" + player, "metadata", "--format",
                 "{{title}}\t{{artist}}\t{{album}}\t{{mpris:artUrl}}\t{{lc(status)}}"});
        const auto text =
            output ? QString::fromUtf8(output->data(), static_cast<qsizetype>(output->size()))
                         .trimmed()
                   : QString();
        auto record = text.endsWith(QStringLiteral("\tstopped"))
                          ? std::nullopt
                          : parseScriptOutput(text.toStdString(), sourceName.toStdString());
        if (!record) return onRead_(emptyRecord(sourceName, false), std::nullopt);

        std::optional<Cover> cover;
        if (record->coverURL && QUrl(QString::fromStdString(*record->coverURL)).isLocalFile()) {
            // Artwork in a file travels as bytes, read once per title.
            if (record->title != lastTitle_)
                cover_ = coverFile(QString::fromStdString(*record->coverURL));
            record->coverURL.reset();
            cover = cover_;
        }
        lastTitle_ = record->title;
        onRead_(std::move(*record), std::move(cover));
    }

    static std::optional<Cover> coverFile(const QString& url) {
        QFile file(QUrl(url).toLocalFile());
        if (file.size() > largestCover || !file.open(QIODevice::ReadOnly)) return std::nullopt;
        const auto bytes = file.read(largestCover + 1);
        if (bytes.size() <= 8 || bytes.size() > largestCover) return std::nullopt;
        return coverOf(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
    }

    // The MPRIS player for a source: named as its id, or as its id, "." and more.
    std::optional<std::string> playerFor(const QString& id) const {
        const auto list = run({playerctl_, "--list-all"});
        if (!list) return std::nullopt;
        for (const auto& line : QString::fromStdString(*list).split('\n', Qt::SkipEmptyParts)) {
            const auto name = line.trimmed();
            if (name == id || name.startsWith(id + '.')) return name.toStdString();
        }
        return std::nullopt;
    }

    static void emit(const QString& member, const QVariantList& arguments) {
        auto message = QDBusMessage::createSignal(busPath, busInterface, member);
        message.setArguments(arguments);
        QDBusConnection::sessionBus().send(message);
    }

    const OnRead onRead_;
    const std::string playerctl_;
    std::shared_ptr<LockedText> note_;
    std::unique_ptr<NoteReceiver> receiver_;
    LockedFlag stopped_;
    std::atomic<bool> readable_{false};

    // The reader's thread alone touches these.
    std::optional<AudioSource> source_;
    std::string lastTitle_;
    std::optional<Cover> cover_;
    std::chrono::steady_clock::time_point due_;

    asio::io_context io_{1};
    asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
    asio::steady_timer timer_;
    std::thread thread_;
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

NowPlayingReader::NowPlayingReader(OnRead onRead, QString playerctl)
    : impl_(std::make_shared<Impl>(std::move(onRead), std::move(playerctl))) {}

NowPlayingReader::~NowPlayingReader() = default;

void NowPlayingReader::follow(const AudioSource& source) {
    impl_->follow(source);
}
void NowPlayingReader::stop() {
    impl_->stop();
}
void NowPlayingReader::send(Command command) {
    impl_->send(command);
}
bool NowPlayingReader::readable() const {
    return impl_->readable();
}

} // namespace lantern

#include "now_playing_reader.moc"
