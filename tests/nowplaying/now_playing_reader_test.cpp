#include "nowplaying/now_playing_reader.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/session_bus.h"
#include "support/world.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <mutex>
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
        const auto owned = "org.mpris.MediaPlayer2." + name.toStdString();
        const auto pid = startProgram({HUNG_SERVICE, owned});
        players_.push_back(pid);
        eventually([&] { return bus->hasOwner(owned.c_str()); }, 5s);
        return pid;
    }
    pid_t player(const QString& name, const QString& status, const QStringList& tracks = {}) {
        std::vector<std::string> command{FAKE_MPRIS_PLAYER, name.toStdString(),
                                         status.toStdString()};
        for (const auto& track : tracks)
            command.push_back(track.toStdString());
        const auto pid = startProgram(command);
        players_.push_back(pid);
        eventually(
            [&] { return bus->hasOwner(("org.mpris.MediaPlayer2." + name).toUtf8().constData()); },
            5s);
        return pid;
    }

    SessionBus* bus;
    NowPlayingReader reader;

private:
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

// A reading at once, then one every three seconds, on the reader's own
// thread; none after stop. Everything else than a player reads as an empty
// record that plays.
TEST(NowPlayingReader, ReadsAtOnceThenEveryThreeSeconds) {
    Reader r;
    const auto start = Clock::now();
    r.reader.follow(AudioSource::wholeMac());
    const auto first = r.next(0, 1s);
    ASSERT_TRUE(first);
    EXPECT_LT(first->at - start, 1s);
    EXPECT_EQ(first->record, empty("Everything", true));
    EXPECT_NE(first->thread, std::this_thread::get_id());
    const auto second = r.next(1, 4s);
    ASSERT_TRUE(second);
    EXPECT_NEAR(std::chrono::duration<double>(second->at - first->at).count(), 3.0, 0.5);
    r.reader.stop();
    settle(3500ms);
    EXPECT_EQ(r.readings().size(), 2u);
}

// Any MPRIS player through playerctl: playing, paused, stopped (as nothing),
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

QByteArray png(char mark) {
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(16, mark);
}

TEST(NowPlayingReader, FileArtworkIsReadOncePerTitle) {
    QTemporaryDir folder;
    const auto first = folder.filePath("one.png"), second = folder.filePath("two.jpg");
    auto writeFile = [](const QString& path, const QByteArray& bytes) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    };
    writeFile(first, png('a'));
    writeFile(second, QByteArray("\xFF\xD8\xFF\xE0 jpeg bytes", 16));
    Reader r;
    r.player("fakeart", "Playing", {"One|A|B|file://" + first, "Two|A|B|file://" + second});
    r.reader.follow(source("fakeart", "Art"));
    auto reading = r.next(0);
    ASSERT_TRUE(reading && reading->cover);
    EXPECT_FALSE(reading->record.coverURL);
    EXPECT_EQ(reading->cover->type, "image/png");
    const auto firstBytes = reading->cover->bytes;

    writeFile(first, png('b')); // same title: the next tick must not read it again
    reading = r.next(1);
    ASSERT_TRUE(reading && reading->cover);
    EXPECT_EQ(reading->cover->bytes, firstBytes);

    r.reader.send(NowPlayingReader::Command::next); // a new title reads its file
    reading = r.next(2, 2500ms);
    ASSERT_TRUE(reading && reading->cover) << "no fresh reading right after the command";
    EXPECT_EQ(reading->record.title, "Two");
    EXPECT_EQ(reading->cover->type, "image/jpeg");

    r.reader.send(NowPlayingReader::Command::previous);
    r.reader.follow(source("fakeart", "Art")); // follow forgets the title: read again
    ASSERT_TRUE(eventually([&] { return r.readings().size() >= 5; }, 2s));
    const auto last = r.readings().back();
    EXPECT_EQ(last.record.title, "One");
    ASSERT_TRUE(last.cover);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(last.cover->bytes.data()),
                         static_cast<qsizetype>(last.cover->bytes.size())),
              png('b'));
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
    endProgram(hung);
    r.player("fakehung", "Playing", {"Back|A|B|"});
    ASSERT_TRUE(eventually(
        [&] { return !r.readings().empty() && r.readings().back().record.title == "Back"; }, 8s));
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

    auto note =
        QDBusMessage::createSignal("/com/brindle/lanternfm", "com.brindle.lanternfm", "nowPlaying");
    note.setArguments({QString(
        R"({"title":"Note","artist":"Band","album":"LP","playing":false,"cover":"iVBORw0KGgoA"})")});
    QDBusConnection::sessionBus().send(note);
    ASSERT_TRUE(eventually(
        [&] { return !r.readings().empty() && r.readings().back().record.title == "Note"; }, 5s));
    const auto noted = r.readings().back();
    EXPECT_EQ(noted.record, (NowPlaying{"Note", "Band", "LP", std::nullopt, false, "Hearken"}));
    ASSERT_TRUE(noted.cover);
    EXPECT_EQ(noted.cover->type, "image/png");

    const auto count = r.readings().size();
    r.reader.send(NowPlayingReader::Command::next);
    EXPECT_TRUE(eventually([&] { return listener.commands == QStringList{"next track"}; }, 2s));
    EXPECT_EQ(r.readings().size(), count) << "a companion command does not read at once";
}

} // namespace

#include "now_playing_reader_test.moc"
