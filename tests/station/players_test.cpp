// Media players as listeners run them, against the headless station on the
// test's sound server and bus: mpv (no config, no scripts) shows the title a
// real MPRIS player plays and follows a change where the audio carries it;
// ffmpeg asking for titles decodes without an error; mpv opens the player
// link through the tunnel's public side.
#include "station/playing_station.h"
#include "support/child_process.h"
#include "support/lantern_run.h"

#include <QDir>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace lantern::test {
namespace {

// mpv playing `url` with no configuration, asked for its properties over its
// JSON IPC socket.
class Mpv {
public:
    Mpv(const std::string& url, const QTemporaryDir& folder)
        : socketPath_(folder.filePath("mpv.socket").toStdString()) {
        pid_ = startProgram({"mpv", "--no-config", "--no-video", "--ao=null", "--really-quiet",
                             "--input-ipc-server=" + socketPath_, url});
    }
    ~Mpv() {
        if (fd_ >= 0) ::close(fd_);
        if (pid_ > 0) endProgram(pid_);
    }
    Mpv(const Mpv&) = delete;
    Mpv& operator=(const Mpv&) = delete;

    // A property's value; null while mpv has none (or has not started).
    nlohmann::json get(const std::string& property) {
        if (fd_ < 0 && !connect()) return nullptr;
        const nlohmann::json ask = {{"command", {"get_property", property}},
                                    {"request_id", ++asked_}};
        const auto line = ask.dump() + "\n";
        if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return nullptr;
        for (;;) { // events come between the answers
            for (auto end = pending_.find('\n'); end != std::string::npos;
                 end = pending_.find('\n')) {
                const auto answer = nlohmann::json::parse(pending_.substr(0, end), nullptr, false);
                pending_.erase(0, end + 1);
                if (answer.is_object() && answer.value("request_id", -1) == asked_)
                    return answer.value("error", "") == "success" ? answer["data"] : nullptr;
            }
            char bytes[4096];
            const auto got = ::read(fd_, bytes, sizeof bytes);
            if (got <= 0) return nullptr;
            pending_.append(bytes, static_cast<std::size_t>(got));
        }
    }
    std::string title() {
        const auto value = get("metadata/by-key/icy-title");
        return value.is_string() ? value.get<std::string>() : "";
    }
    // Seconds of the stream its demuxer has read.
    double read() {
        const auto value = get("demuxer-cache-time");
        return value.is_number() ? value.get<double>() : -1;
    }

private:
    bool connect() {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        socketPath_.copy(address.sun_path, sizeof address.sun_path - 1);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            return false;
        }
        timeval wait{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        fd_ = fd;
        return true;
    }

    std::string socketPath_;
    pid_t pid_ = -1;
    int fd_ = -1;
    int asked_ = 0;
    std::string pending_;
};

// The change is carried by the audio the station captured when it read it:
// where mpv's reading stood at that moment. mpv shows it within 1 s of
// reading that far; a title with a quote, a semicolon, an emoji and 300
// characters arrives whole.
TEST(MediaPlayers, MpvShowsEachTitleWhereItsAudioBegins) {
    const std::string next = "Don't Stop; Ferry \xF0\x9F\x8E\xB5 " + std::string(280, 'a');
    PlayingStation station({"Harbour Lights|The Gulls|Low Tide|", next + "|The Gulls|Low Tide|"});
    ASSERT_NE(station.port, 0);
    ASSERT_TRUE(eventually([&] { return nowTitle(station.port) == "Harbour Lights"; }, 10s));
    QTemporaryDir folder;
    Mpv mpv(station.url("/stream"), folder);
    ASSERT_TRUE(eventually([&] { return mpv.title() == "The Gulls - Harbour Lights"; }, 15s))
        << "mpv shows \"" << mpv.title() << "\"";
    EXPECT_EQ(mpv.get("metadata/by-key/icy-name"), "Attic Waves");
    std::this_thread::sleep_for(3s); // past the burst: mpv reads as the station sends

    runProgram({"dbus-send", "--session", "--print-reply",
                "--dest=org.mpris.MediaPlayer2.playertone", "/org/mpris/MediaPlayer2",
                "org.mpris.MediaPlayer2.Player.Next"});
    double carried = -1;
    ASSERT_TRUE(eventually(
        [&] {
            const auto at = mpv.read();
            return nowTitle(station.port) != "Harbour Lights" && (carried = at) >= 0;
        },
        8s))
        << "the station did not read the change";
    double shown = -1;
    const std::string expected =
        "The Gulls - Don\xE2\x80\x99t Stop; Ferry \xF0\x9F\x8E\xB5 " + std::string(280, 'a');
    ASSERT_TRUE(eventually(
        [&] {
            const auto at = mpv.read();
            return mpv.title() == expected && (shown = at) >= 0;
        },
        10s))
        << "mpv shows \"" << mpv.title() << "\"";
    std::cout << "mpv showed the change " << shown - carried << " s of stream after its audio\n";
    EXPECT_GE(shown - carried, -0.2) << "shown before its audio";
    EXPECT_LE(shown - carried, 1.0) << "shown late";

    const auto decoded = runProgram({"ffmpeg", "-nostdin", "-v", "error", "-icy", "1", "-i",
                                     station.url("/stream"), "-t", "20", "-f", "null", "-"},
                                    60s);
    EXPECT_EQ(decoded.status, 0);
    EXPECT_EQ(decoded.error, "") << "ffmpeg, reading titles, met errors";
}

// The player link, opened in mpv through the tunnel's public side: the
// playlist names the stream there, with the passcode, and it plays.
TEST(MediaPlayers, MpvPlaysThePlayerLinkThroughTheTunnel) {
    PlayingStation station({"Harbour Lights|The Gulls|Low Tide|"});
    ASSERT_NE(station.port, 0);
    const auto edge = "http://127.0.0.1:" + std::to_string(station.station->edgePort());
    QTemporaryDir folder;
    Mpv mpv(edge + "/listen.m3u?k=pw", folder);
    ASSERT_TRUE(eventually([&] { return mpv.get("path") == edge + "/stream?k=pw"; }, 15s))
        << mpv.get("path");
    ASSERT_TRUE(eventually(
        [&] {
            const auto played = mpv.get("time-pos");
            return played.is_number() && played.get<double>() > 3;
        },
        20s))
        << "mpv did not play it";
    EXPECT_EQ(mpv.title(), "The Gulls - Harbour Lights");
}

} // namespace
} // namespace lantern::test
