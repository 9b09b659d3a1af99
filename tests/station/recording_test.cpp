// Shows kept as files: what ffprobe and a decoder find in them, after a
// normal end and after a crash, and a full disk that stops the recording but
// never the broadcast.
#include "core/record/m4a.h"
#include "core/record/recorder.h"
#include "station/playing_station.h"
#include "support/tone.h"

#include <QDir>
#include <QImage>
#include <csignal>
#include <sys/mount.h>

namespace lantern::test {
namespace {

const std::vector<std::string> tracks{"Harbour Lights|The Gulls|Low Tide|",
                                      "Night Ferry|The Gulls|Low Tide|"};

std::vector<std::string> recordingInto(const QTemporaryDir& folder) {
    return {"--recordShows=true", "--recordingsFolder=" + folder.filePath("shows").toStdString()};
}

nlohmann::json probe(const std::string& file) {
    const auto run = runProgram({"ffprobe", "-v", "error", "-show_streams", "-show_format",
                                 "-show_chapters", "-of", "json", file},
                                30s);
    return nlohmann::json::parse(run.output, nullptr, false);
}

void nextTrack() {
    runProgram({"dbus-send", "--session", "--print-reply",
                "--dest=org.mpris.MediaPlayer2.playertone", "/org/mpris/MediaPlayer2",
                "org.mpris.MediaPlayer2.Player.Next"});
}

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration time) {
    return std::chrono::duration<double>(time).count();
}

// The broadcast as one MP4 file of the listeners' AAC: as long as the time
// on air, the source's tone, a chapter per track where it began, the first
// track's cover as its artwork.
TEST(Recording, AShowIsOneFileWithAChapterPerTrack) {
    QTemporaryDir folder;
    QImage cover(64, 64, QImage::Format_RGB32);
    cover.fill(Qt::red);
    ASSERT_TRUE(cover.save(folder.filePath("cover.png")));
    const auto began = Clock::now();
    PlayingStation station(
        {"Harbour Lights|The Gulls|Low Tide|file://" + folder.filePath("cover.png").toStdString(),
         tracks[1]},
        recordingInto(folder));
    ASSERT_NE(station.port, 0);
    ASSERT_TRUE(eventually([&] { return nowTitle(station.port) == "Harbour Lights"; }, 10s));
    std::this_thread::sleep_for(4s);
    nextTrack();
    ASSERT_TRUE(eventually([&] { return nowTitle(station.port) == "Night Ferry"; }, 8s));
    const auto changed = seconds(Clock::now() - began);
    std::this_thread::sleep_for(5s);
    EXPECT_EQ(station.station->stop(SIGTERM), 0);
    const auto onAir = seconds(Clock::now() - began);
    const auto file = station.station->line("recorded: ", 1s).value_or("");
    ASSERT_FALSE(file.empty()) << "no recording was named";
    EXPECT_TRUE(file.ends_with(".m4a")) << file;
    EXPECT_TRUE(QFileInfo(QString::fromStdString(file)).fileName().startsWith("Attic Waves 20"));

    const auto found = probe(file);
    ASSERT_TRUE(found.is_object()) << "ffprobe could not read " << file;
    const auto& audio = found["streams"][0];
    EXPECT_EQ(audio.value("codec_name", ""), "aac");
    EXPECT_NEAR(std::stod(audio.value("bit_rate", "0")), 192000, 20000);
    EXPECT_NE(found["format"].value("format_name", "").find("mp4"), std::string::npos);
    // On air from a little after the clock above started to a little before it stopped.
    EXPECT_NEAR(std::stod(found["format"].value("duration", "0")), onAir, 1.5);
    EXPECT_NE(found["format"]["tags"].value("title", "").find("Attic Waves"), std::string::npos);
    EXPECT_TRUE(std::any_of(found["streams"].begin(), found["streams"].end(), [](const auto& s) {
        return s["disposition"].value("attached_pic", 0) == 1 && s.value("width", 0) == 64;
    })) << "the cover is not its artwork";
    const auto& chapters = found["chapters"];
    ASSERT_EQ(chapters.size(), 2u) << chapters.dump();
    EXPECT_EQ(chapters[0]["tags"].value("title", ""), "The Gulls - Harbour Lights");
    EXPECT_NEAR(std::stod(chapters[0].value("start_time", "9")), 0, 1.5);
    EXPECT_EQ(chapters[1]["tags"].value("title", ""), "The Gulls - Night Ferry");
    EXPECT_NEAR(std::stod(chapters[1].value("start_time", "0")), changed, 1.5);
    EXPECT_TRUE(sounds(decodeMono(file, 16000), 16000, 440)) << "the tone is not in the file";
    EXPECT_EQ(QDir(folder.filePath("shows")).entryList(QDir::Hidden | QDir::Files).size(), 1)
        << "working files were left";
}

// Killed with -9, the station leaves its recording to the next start, which
// finishes it with what was written up to a few seconds before the kill.
TEST(Recording, AKilledStationsRecordingIsFinishedAtTheNextStart) {
    QTemporaryDir folder;
    {
        PlayingStation station(tracks, recordingInto(folder));
        ASSERT_TRUE(eventually([&] { return nowTitle(station.port) == "Harbour Lights"; }, 10s));
        std::this_thread::sleep_for(8s);
        station.station->stop(SIGKILL);
    }
    const auto shows = folder.filePath("shows");
    EXPECT_TRUE(QDir(shows).entryList({"*.m4a"}, QDir::Files).isEmpty());
    LanternRun next(folder, {"--recordingsFolder=" + shows.toStdString()});
    const auto said = next.line("Finished the recording of ");
    ASSERT_TRUE(said) << "the next start did not finish the recording";
    const auto file = shows.toStdString() + "/" + *said + ".m4a";
    EXPECT_TRUE(said->starts_with("Attic Waves 20")) << *said;
    const auto found = probe(file);
    EXPECT_GE(std::stod(found["format"].value("duration", "0")), 8 - 3.0);
    EXPECT_EQ(found["chapters"][0]["tags"].value("title", ""), "The Gulls - Harbour Lights");
    EXPECT_TRUE(sounds(decodeMono(file, 16000), 16000, 440));
    EXPECT_EQ(QDir(shows).entryList(QDir::Hidden | QDir::Files).size(), 1);
    EXPECT_EQ(next.lines("Finished the recording of ", 2, 2s).size(), 1u) << "said more than once";
}

// A disk that fills up stops the recording, says so and keeps what was
// written, while a listener goes on at real time; a folder that cannot be
// made is said as well.
TEST(Recording, AFullDiskStopsTheRecordingNotTheBroadcast) {
    QTemporaryDir folder;
    const auto small = folder.filePath("small").toStdString();
    QDir().mkpath(QString::fromStdString(small));
    // 200 KiB: about eight seconds of the stream.
    ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=200k"), 0)
        << "a tmpfs needs root: " << std::strerror(errno);
    {
        PlayingStation station(tracks, {"--recordShows=true", "--recordingsFolder=" + small});
        StreamEar here(station.port, "/stream?k=pw");
        ASSERT_TRUE(here.waitForAudio());
        here.listen(2s);
        const auto from = StreamEar::now();
        here.listen(11s); // the disk fills after about eight
        EXPECT_TRUE(station.station->line("Recording stopped: the disk is full", 5s));
        EXPECT_NEAR(here.pace(from, StreamEar::now()), 1.0, 0.1) << "the full disk slowed it";
        EXPECT_LT(here.longestGap(from), 1s);
    }
    const auto left = QDir(QString::fromStdString(small)).entryInfoList(QDir::Hidden | QDir::Files);
    qint64 kept = 0;
    for (const auto& file : left)
        kept += file.size();
    EXPECT_GT(kept, 150 * 1024) << "what was written was not kept";
    ::umount2(small.c_str(), MNT_DETACH);

    QFile blocker(folder.filePath("plain-file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    PlayingStation unmade(tracks,
                          {"--recordShows=true",
                           "--recordingsFolder=" + blocker.fileName().toStdString() + "/shows"});
    EXPECT_TRUE(unmade.station->line("Recording stopped: can't make the folder "));
    EXPECT_TRUE(StreamEar(unmade.port, "/stream?k=pw").waitForAudio());
}

// Names: the station's name and the minute on air; what a file name cannot
// hold or would hide the file is replaced, and a name in use gets a number.
// A link planted where the file is being made is never written through: the
// file is still made, beside it.
TEST(Recording, NamesAreSafeNeverReusedAndNoLinkIsFollowed) {
    QTemporaryDir folder;
    const std::filesystem::path where = folder.path().toStdString();
    const auto at = std::chrono::system_clock::now();
    const auto first = recordingPath(where, "../Attic/Waves", at);
    EXPECT_EQ(first.parent_path(), where);
    EXPECT_TRUE(first.filename().string().starts_with("_Attic_Waves 20")) << first;
    QFile(QString::fromStdString(first.string())).open(QIODevice::WriteOnly);
    const auto second = recordingPath(where, "../Attic/Waves", at);
    EXPECT_EQ(second.stem().string(), first.stem().string() + " 2");
    EXPECT_TRUE(
        recordingPath(where, ".hidden\nname", at).filename().string().starts_with("hidden_name "));

    const auto audio = where / "show.aac", victim = where / "victim", out = where / "show.m4a";
    ASSERT_EQ(runProgram({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=d=2", "-c:a", "aac",
                          "-f", "adts", audio.string()})
                  .status,
              0);
    std::ofstream(victim) << "keep me";
    std::filesystem::create_symlink(victim, where / ".show.part.m4a");
    EXPECT_EQ(writeM4A(audio, out, {}), std::nullopt);
    EXPECT_NE(probe(out.string())["format"].value("format_name", "").find("mp4"),
              std::string::npos);
    std::ifstream kept(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep me");
}

} // namespace
} // namespace lantern::test
