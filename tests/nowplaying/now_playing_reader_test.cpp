#include "core/system/guarded.h"
#include "nowplaying/now_playing_reader.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/session_bus.h"
#include "support/world.h"

#include <QBuffer>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>
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

// A reader with every reading recorded, and stand-in players that end with it.
struct Reader {
    ~Reader() {
        reader.stop();
        std::ranges::for_each(players, endProgram);
    }
    // The first reading after `act`, once it came.
    template <typename Act> Reading after(Act act, std::chrono::milliseconds wait = 4s) {
        const auto count = readings.get().size();
        act();
        if (eventually([&] { return readings.get().size() > count; }, wait))
            return readings.get()[count];
        ADD_FAILURE() << "no reading within " << wait.count() << " ms";
        return {};
    }
    // dbus-standin.py "player NAME STATUS TRACK..." or "hung NAME" (a player
    // that never answers), once org.mpris.MediaPlayer2.NAME is on the bus.
    void start(QStringList arguments) {
        const auto name = "org.mpris.MediaPlayer2." + arguments[1];
        if (arguments[0] == "hung") arguments[1] = name;
        std::vector<std::string> command{DBUS_STANDIN};
        std::ranges::transform(arguments, std::back_inserter(command), &QString::toStdString);
        players.push_back(startProgram(command));
        EXPECT_TRUE(eventually([&] { return bus.hasOwner(name.toUtf8().constData()); }));
    }

    SessionBus& bus = World::bus(); // before the reader
    Guarded<std::vector<Reading>> readings;
    std::vector<pid_t> players;
    NowPlayingReader reader{[this](NowPlaying record, std::optional<Cover> cover) {
        readings.with([&](auto& all) {
            all.push_back(
                {std::move(record), std::move(cover), Clock::now(), std::this_thread::get_id()});
        });
    }};
};

// Any MPRIS player, over D-Bus: playing, paused, stopped (as nothing),
// found by its instance name too; an application without a player is not
// playing.
TEST(NowPlayingReader, ReadsMPRISPlayers) {
    Reader r;
    r.start({"player", "fakeplaying", "Playing", "Song|Singer|Record|https://img.example/c.jpg"});
    r.start({"player", "fakepaused", "Paused", "Other|Band|LP|"});
    r.start({"player", "fakestopped", "Stopped", "Gone|X|Y|"});
    r.start({"player", "fakevlc.instance123", "Playing", "Tune|A|B|"});
    const std::pair<const char*, NowPlaying> rows[] = {
        {"fakeplaying", {"Song", "Singer", "Record", "https://img.example/c.jpg", true, "P"}},
        {"fakepaused", {"Other", "Band", "LP", std::nullopt, false, "P"}},
        {"fakestopped", {"", "", "", std::nullopt, false, "P"}},
        {"fakevlc", {"Tune", "A", "B", std::nullopt, true, "P"}},
        {"ghost", {"", "", "", std::nullopt, false, "P"}},
    };
    for (const auto& [id, expected] : rows) {
        const auto reading = r.after([&] { r.reader.follow({id, "P", {}}); });
        EXPECT_EQ(reading.record, expected) << id;
        EXPECT_FALSE(reading.cover) << "an http cover stays a URL";
    }
    EXPECT_FALSE(r.reader.readable());
}

// An 8×8 image of one colour, with one clear pixel when `clear`, as `format`.
QByteArray encoded(QColor colour, const char* format, bool clear = false, int quality = -1) {
    QImage image(8, 8, clear ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    image.fill(colour);
    if (clear) image.setPixelColor(0, 0, Qt::transparent);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    image.save(&buffer, format, quality);
    return bytes;
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

QColor colourOf(const Cover& cover) {
    return QImage::fromData(cover.bytes.data(), int(cover.bytes.size())).pixelColor(4, 4);
}

// Artwork in a file is decoded and served encoded afresh (a transparent one as
// PNG, an opaque one as JPEG), read once per title. Titles come from tags and
// web pages: one holding tabs and a file path stays a title, and artwork that
// names the process's environment, a FIFO, a huge file, text, a link into
// /proc or a device gives no cover (nothing for /cover).
TEST(NowPlayingReader, FileArtworkIsReadOncePerTitleAndOnlyFromAnImageFile) {
    QTemporaryDir folder;
    const auto file = [&](const char* name) { return folder.filePath(name); };
    writeFile(file("one.png"), encoded(Qt::red, "PNG", true));
    writeFile(file("two.jpg"), encoded(Qt::blue, "JPEG"));
    ASSERT_EQ(::mkfifo(file("fifo").toUtf8().constData(), 0600), 0);
    writeFile(file("big.jpg"), encoded(Qt::red, "JPEG") + QByteArray(20 * 1024 * 1024, '\0'));
    writeFile(file("notes.txt"), "SECRET=not for listeners\n");
    ASSERT_TRUE(QFile::link("/proc/self/environ", file("link.png")));
    const QStringList hostile{"/proc/self/environ", file("fifo"),     file("big.jpg"),
                              file("notes.txt"),    file("link.png"), "/dev/zero"};
    const QString tabbed = "Song\t\t\tfile:///proc/self/environ\tplaying";
    QStringList player{"player", "fakeart", "Playing", "One|A|B|file://" + file("one.png"),
                       "Two|A|B|file://" + file("two.jpg")};
    for (int i = 0; i < hostile.size(); ++i)
        player << tabbed + QString::number(i) + "|A|B|file://" + hostile[i];
    Reader r;
    r.start(player);
    auto reading = r.after([&] { r.reader.follow({"fakeart", "Art", {}}); });
    ASSERT_TRUE(reading.cover);
    EXPECT_FALSE(reading.record.coverURL);
    EXPECT_EQ(reading.cover->type, "image/png");
    EXPECT_EQ(colourOf(*reading.cover), QColor(Qt::red));

    writeFile(file("one.png"), encoded(Qt::green, "PNG", true)); // same title: not read again
    reading = r.after([] {});
    ASSERT_TRUE(reading.cover);
    EXPECT_EQ(colourOf(*reading.cover), QColor(Qt::red));

    const auto next = [&] { r.reader.send(NowPlayingReader::Command::next); };
    reading = r.after(next, 2500ms); // a new title reads its file
    ASSERT_TRUE(reading.cover) << "no fresh reading right after the command";
    EXPECT_EQ(reading.record.title, "Two");
    EXPECT_EQ(reading.cover->type, "image/jpeg");
    EXPECT_NEAR(colourOf(*reading.cover).blueF(), 1.0, 0.05);
    for (int i = 0; i < hostile.size(); ++i) {
        reading = r.after(next, 6s);
        EXPECT_EQ(reading.record.title, (tabbed + QString::number(i)).toStdString());
        EXPECT_FALSE(reading.cover || reading.record.coverURL) << hostile[i].toStdString();
    }
}

TEST(NowPlayingReader, HangingPlayerIsCutOffByTheWatchdog) {
    Reader r;
    r.start({"hung", "fakehung"});
    const auto start = Clock::now();
    const auto reading = r.after([&] { r.reader.follow({"fakehung", "Hung", {}}); }, 8s);
    ASSERT_EQ(reading.record, (NowPlaying{"", "", "", std::nullopt, false, "Hung"}));
    EXPECT_GE(reading.at - start, 4500ms);
    EXPECT_NE(reading.thread, std::this_thread::get_id()) << "D-Bus calls block the main thread";
    endProgram(std::exchange(r.players[0], -1));             // the hung player goes
    r.start({"player", "fakehung", "Playing", "Back|A|B|"}); // found by the next poll
    ASSERT_TRUE(eventually([&] { return r.readings.get().back().record.title == "Back"; }, 8s));
    r.reader.stop();
    const auto count = r.readings.get().size();
    settle(3500ms);
    EXPECT_EQ(r.readings.get().size(), count) << "read after stop";
}

// Records the companion signals the reader sends on the bus.
class CompanionListener : public QObject {
    Q_OBJECT
public:
    CompanionListener() {
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
    Reader r; // on its bus
    CompanionListener listener;
    const auto reading = r.after([&] { r.reader.follow({"com.brindle.hearken", "Hearken", {}}); });
    ASSERT_EQ(reading.record, (NowPlaying{"", "", "", std::nullopt, true, "Hearken"}));
    EXPECT_TRUE(eventually([&] { return listener.asks == 1; }, 2s));

    // Its cover is served as a file's is: decoded and encoded afresh, or none.
    const auto send = [&](const QString& title, const QByteArray& cover) {
        QDBusConnection::sessionBus().send(
            QDBusMessage::createSignal("/com/brindle/lanternfm", "com.brindle.lanternfm",
                                       "nowPlaying")
            << QString(R"({"title":"%1","artist":"A","album":"B","playing":false,"cover":"%2"})")
                   .arg(title, QString::fromLatin1(cover.toBase64())));
        EXPECT_TRUE(eventually(
            [&] { return r.readings.get().back().record.title == title.toStdString(); }, 5s));
        return r.readings.get().back();
    };
    // Compressed harder than the reader compresses, so that its own bytes differ.
    const auto image = encoded(Qt::transparent, "PNG", true, 0);
    const auto noted = send("Note", image);
    EXPECT_EQ(noted.record, (NowPlaying{"Note", "A", "B", std::nullopt, false, "Hearken"}));
    ASSERT_TRUE(noted.cover);
    EXPECT_EQ(noted.cover->type, "image/png");
    EXPECT_NE(noted.cover->bytes, std::vector<std::uint8_t>(image.begin(), image.end()))
        << "the companion's own bytes were served";
    EXPECT_FALSE(send("Junk", QByteArray("\x89PNG\r\n\x1a\n<script>")).cover);

    const auto count = r.readings.get().size();
    r.reader.send(NowPlayingReader::Command::next);
    EXPECT_TRUE(eventually([&] { return listener.commands == QStringList{"next track"}; }, 2s));
    EXPECT_EQ(r.readings.get().size(), count) << "a companion command does not read at once";
}

} // namespace

#include "now_playing_reader_test.moc"
