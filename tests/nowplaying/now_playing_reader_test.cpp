#include "nowplaying/now_playing_reader.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/session_bus.h"
#include "support/world.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/stat.h>
#include <thread>

using namespace lantern;
using namespace lantern::test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Reading {
    NowPlaying record;
    std::optional<Cover> cover;
    Clock::time_point at;
    std::thread::id thread;
};

// A reader with every reading recorded, and fake players that end with it.
class Reader {
public:
    Reader()
        : bus(&World::bus()), reader([this](NowPlaying record, std::optional<Cover> cover) {
              std::lock_guard lock(mutex_);
              readings_.push_back(
                  {std::move(record), std::move(cover), Clock::now(), std::this_thread::get_id()});
          }) {}
    ~Reader() {
        reader.stop();
        for (auto pid : players_)
            endProgram(pid);
    }

    std::vector<Reading> readings() {
        std::lock_guard lock(mutex_);
        return readings_;
    }
    // Waits for the reading after the `count` seen so far.
    std::optional<Reading> next(std::size_t count, std::chrono::milliseconds wait = 4s) {
        if (!eventually([&] { return readings().size() > count; }, wait)) return std::nullopt;
        return readings()[count];
    }

    // A player that takes its name and never answers.
    pid_t hung(const QString& name) {
        return start({HUNG_SERVICE, "org.mpris.MediaPlayer2." + name.toStdString()}, name);
    }
    pid_t player(const QString& name, const QString& status, const QStringList& tracks = {}) {
        std::vector<std::string> command{FAKE_MPRIS_PLAYER, name.toStdString(),
                                         status.toStdString()};
        for (const auto& track : tracks)
            command.push_back(track.toStdString());
        return start(command, name);
    }

    SessionBus* bus;
    NowPlayingReader reader;

private:
    pid_t start(const std::vector<std::string>& command, const QString& name) {
        const auto pid = startProgram(command);
        players_.push_back(pid);
        const auto owned = ("org.mpris.MediaPlayer2." + name).toStdString();
        eventually([&] { return bus->hasOwner(owned.c_str()); }, 5s);
        return pid;
    }

    std::mutex mutex_;
    std::vector<Reading> readings_;
    std::vector<pid_t> players_;
};

AudioSource source(const QString& id, const QString& name) {
    return AudioSource{id, name, QString()};
}

NowPlaying empty(const std::string& source, bool playing) {
    return NowPlaying{"", "", "", std::nullopt, playing, source};
}

// Any MPRIS player, over D-Bus: playing, paused, stopped (as nothing),
// found by its instance name too; an application without a player is not
// playing.
TEST(NowPlayingReader, ReadsMPRISPlayers) {
    Reader r;
    r.player("fakeplaying", "Playing", {"Song|Singer|Record|https://img.example/c.jpg"});
    r.player("fakepaused", "Paused", {"Other|Band|LP|"});
    r.player("fakestopped", "Stopped", {"Gone|X|Y|"});
    r.player("fakevlc.instance123", "Playing", {"Tune|A|B|"});
    const std::pair<const char*, NowPlaying> rows[] = {
        {"fakeplaying", {"Song", "Singer", "Record", "https://img.example/c.jpg", true, "P"}},
        {"fakepaused", {"Other", "Band", "LP", std::nullopt, false, "P"}},
        {"fakestopped", empty("P", false)},
        {"fakevlc", {"Tune", "A", "B", std::nullopt, true, "P"}},
        {"ghost", empty("P", false)},
    };
    for (const auto& [id, expected] : rows) {
        const auto count = r.readings().size();
        r.reader.follow(source(id, "P"));
        const auto reading = r.next(count);
        ASSERT_TRUE(reading) << id;
        EXPECT_EQ(reading->record, expected) << id;
        EXPECT_FALSE(reading->cover) << "an http cover stays a URL";
    }
    EXPECT_FALSE(r.reader.readable());
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray imageFile(QColor color, const char* format, bool transparent = false) {
    QImage image(8, 8, transparent ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    image.fill(color);
    if (transparent) image.setPixelColor(0, 0, Qt::transparent);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QColor colourOf(const Cover& cover) {
    const auto image =
        QImage::fromData(QByteArray(reinterpret_cast<const char*>(cover.bytes.data()),
                                    static_cast<qsizetype>(cover.bytes.size())));
    return image.pixelColor(4, 4);
}

// Artwork in a file is decoded and served encoded afresh, read once per title:
// a transparent one as PNG, an opaque one as JPEG.
TEST(NowPlayingReader, FileArtworkIsReadOncePerTitle) {
    QTemporaryDir folder;
    const auto first = folder.filePath("one.png"), second = folder.filePath("two.jpg");
    writeFile(first, imageFile(Qt::red, "PNG", true));
    writeFile(second, imageFile(Qt::blue, "JPEG"));
    Reader r;
    r.player("fakeart", "Playing", {"One|A|B|file://" + first, "Two|A|B|file://" + second});
    r.reader.follow(source("fakeart", "Art"));
    auto reading = r.next(0);
    ASSERT_TRUE(reading && reading->cover);
    EXPECT_FALSE(reading->record.coverURL);
    EXPECT_EQ(reading->cover->type, "image/png");
    EXPECT_EQ(colourOf(*reading->cover), QColor(Qt::red));

    writeFile(first, imageFile(Qt::green, "PNG", true)); // same title: not read again
    reading = r.next(1);
    ASSERT_TRUE(reading && reading->cover);
    EXPECT_EQ(colourOf(*reading->cover), QColor(Qt::red));

    r.reader.send(NowPlayingReader::Command::next); // a new title reads its file
    reading = r.next(2, 2500ms);
    ASSERT_TRUE(reading && reading->cover) << "no fresh reading right after the command";
    EXPECT_EQ(reading->record.title, "Two");
    EXPECT_EQ(reading->cover->type, "image/jpeg");
    EXPECT_NEAR(colourOf(*reading->cover).blueF(), 1.0, 0.05);
}

// Titles come from tags and web pages: a title holding tabs and a file path
// stays a title, and artwork that names the process's environment, a FIFO, a
// huge file, text, or a link into /proc gives no cover (nothing for /cover).
TEST(NowPlayingReader, HostileTitlesAndArtworkServeNoFile) {
    QTemporaryDir folder;
    const auto fifo = folder.filePath("fifo"), big = folder.filePath("big.jpg"),
               text = folder.filePath("notes.txt"), link = folder.filePath("link.png");
    ASSERT_EQ(::mkfifo(fifo.toUtf8().constData(), 0600), 0);
    writeFile(big, imageFile(Qt::red, "JPEG") + QByteArray(20 * 1024 * 1024, '\0'));
    writeFile(text, "SECRET=not for listeners\n");
    ASSERT_TRUE(QFile::link("/proc/self/environ", link));
    const QString tabbed = "Song\t\t\tfile:///proc/self/environ\tplaying";
    const QStringList artworks{"file:///proc/self/environ",
                               "file://" + fifo,
                               "file://" + big,
                               "file://" + text,
                               "file://" + link,
                               "file:///dev/zero"};
    QStringList tracks;
    for (int i = 0; i < artworks.size(); ++i)
        tracks << tabbed + QString::number(i) + "|A|B|" + artworks[i];
    Reader r;
    r.player("fakehostile", "Playing", tracks);
    r.reader.follow(source("fakehostile", "Hostile"));
    for (int i = 0; i < artworks.size(); ++i) {
        const auto count = r.readings().size();
        if (i > 0) r.reader.send(NowPlayingReader::Command::next);
        const auto reading = r.next(count, 6s);
        ASSERT_TRUE(reading) << artworks[i].toStdString();
        EXPECT_EQ(reading->record.title, (tabbed + QString::number(i)).toStdString());
        EXPECT_FALSE(reading->cover) << artworks[i].toStdString();
        EXPECT_FALSE(reading->record.coverURL) << artworks[i].toStdString();
    }
}

TEST(NowPlayingReader, HangingPlayerIsCutOffByTheWatchdog) {
    Reader r;
    const auto hung = r.hung("fakehung");
    const auto start = Clock::now();
    r.reader.follow(source("fakehung", "Hung"));
    const auto reading = r.next(0, 8s);
    ASSERT_TRUE(reading);
    EXPECT_GE(reading->at - start, 4500ms);
    EXPECT_EQ(reading->record, empty("Hung", false));
    EXPECT_NE(reading->thread, std::this_thread::get_id()) << "D-Bus calls block the main thread";
    endProgram(hung);
    r.player("fakehung", "Playing", {"Back|A|B|"}); // found by the next poll
    ASSERT_TRUE(eventually(
        [&] { return !r.readings().empty() && r.readings().back().record.title == "Back"; }, 8s));
    r.reader.stop();
    const auto count = r.readings().size();
    settle(3500ms);
    EXPECT_EQ(r.readings().size(), count) << "read after stop";
}

// Records the companion signals the reader sends on the bus.
class CompanionListener : public QObject {
    Q_OBJECT
public:
    CompanionListener() {
        World::bus();
        auto bus = QDBusConnection::sessionBus();
        bus.connect({}, "/com/brindle/lanternfm", "com.brindle.lanternfm", "ask", this,
                    SLOT(asked()));
        bus.connect({}, "/com/brindle/lanternfm", "com.brindle.lanternfm", "command", "s", this,
                    SLOT(commanded(QString)));
    }
    int asks = 0;
    QStringList commands;
public Q_SLOTS:
    void asked() { ++asks; }
    void commanded(const QString& word) { commands << word; }
};

TEST(NowPlayingReader, CompanionNotesAskAndCommands) {
    CompanionListener listener;
    Reader r;
    r.reader.follow(source("com.brindle.hearken", "Hearken"));
    auto reading = r.next(0);
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->record, empty("Hearken", true));
    EXPECT_TRUE(eventually([&] { return listener.asks == 1; }, 2s));

    // Its cover is served as a file's is: decoded and encoded afresh, or none.
    const auto send = [&](const QString& title, const QByteArray& cover) {
        auto note = QDBusMessage::createSignal("/com/brindle/lanternfm", "com.brindle.lanternfm",
                                               "nowPlaying");
        note.setArguments({QString(R"({"title":"%1","artist":"Band","album":"LP","playing":)"
                                   R"(false,"cover":"%2"})")
                               .arg(title, QString::fromLatin1(cover.toBase64()))});
        QDBusConnection::sessionBus().send(note);
        EXPECT_TRUE(eventually(
            [&] {
                return !r.readings().empty() &&
                       r.readings().back().record.title == title.toStdString();
            },
            5s));
        return r.readings().back();
    };
    QImage clear(2, 2, QImage::Format_ARGB32);
    clear.fill(Qt::transparent);
    QByteArray image;
    QBuffer buffer(&image);
    clear.save(&buffer, "PNG", 0);
    const auto noted = send("Note", image);
    EXPECT_EQ(noted.record, (NowPlaying{"Note", "Band", "LP", std::nullopt, false, "Hearken"}));
    ASSERT_TRUE(noted.cover);
    EXPECT_EQ(noted.cover->type, "image/png");
    EXPECT_NE(QByteArray(reinterpret_cast<const char*>(noted.cover->bytes.data()),
                         qsizetype(noted.cover->bytes.size())),
              image)
        << "the companion's own bytes were served";
    EXPECT_FALSE(send("Junk", QByteArray("\x89PNG\r\n\x1a\n<script>")).cover);

    const auto count = r.readings().size();
    r.reader.send(NowPlayingReader::Command::next);
    EXPECT_TRUE(eventually([&] { return listener.commands == QStringList{"next track"}; }, 2s));
    EXPECT_EQ(r.readings().size(), count) << "a companion command does not read at once";
}

} // namespace

#include "now_playing_reader_test.moc"
