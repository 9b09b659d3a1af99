// The headless station as the out-of-process cases run it: on the test's
// sound server and bus, playing a tone that a real MPRIS player names, with
// the passcode "pw"; and the check that a listener hears real time.
#pragma once

#include "capture/audio_processes.h"
#include "station/station_fixture.h"
#include "support/lantern_run.h"

#include <QDir>
#include <nlohmann/json.hpp>

namespace lantern::test {

// The station's own record of what plays now; {} without an answer.
inline nlohmann::json nowRecord(std::uint16_t port, const std::string& query = "&k=pw") {
    return fetchJSON(port, "/now?lag=0" + query).second;
}
inline std::string nowTitle(std::uint16_t port) {
    return nowRecord(port).value("title", "");
}

inline const std::vector<std::string> twoTracks{"Harbour Lights|The Gulls|Low Tide|",
                                                "Night Ferry|The Gulls|Low Tide|"};

// A station playing "playertone", which a real MPRIS player of that name
// plays from `tracks`; `options` adds to how it is started.
struct PlayingStation {
    explicit PlayingStation(const std::vector<std::string>& tracks = twoTracks,
                            std::vector<std::string> arguments = {},
                            LanternRun::Options options = {}) {
        World::bus();
        World::sound().play("playertone", 440);
        EXPECT_TRUE(eventually([] { return !AudioProcesses::of("playertone").empty(); }));
        std::vector<std::string> command{DBUS_STANDIN, "player", "playertone", "Playing"};
        command.insert(command.end(), tracks.begin(), tracks.end());
        player = startProgram(command);
        // Named on the bus before the station looks for it.
        EXPECT_TRUE(
            eventually([] { return World::bus().hasOwner("org.mpris.MediaPlayer2.playertone"); }));
        options.sessionBus = true;
        options.passcode = "pw";
        arguments.insert(arguments.end(), {"--source=playertone", "--stationName=Attic Waves"});
        station = std::make_unique<LanternRun>(home, std::move(arguments), options);
        port = station->port();
    }
    ~PlayingStation() {
        station.reset();
        endProgram(player);
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port) + path + "?k=pw";
    }
    // The player goes on to its next track.
    static void next() {
        runProgram({"dbus-send", "--session", "--print-reply",
                    "--dest=org.mpris.MediaPlayer2.playertone", "/org/mpris/MediaPlayer2",
                    "org.mpris.MediaPlayer2.Player.Next"});
    }

    QTemporaryDir home;
    pid_t player = -1;
    std::unique_ptr<LanternRun> station;
    std::uint16_t port = 0;
};

} // namespace lantern::test
