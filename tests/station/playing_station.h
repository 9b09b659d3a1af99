// The headless station on the test's sound server and bus, playing a tone
// that a real MPRIS player names, as listeners' players and servers meet it.
#pragma once

#include "capture/audio_processes.h"
#include "station/station_fixture.h"
#include "support/lantern_run.h"

#include <QDir>
#include <nlohmann/json.hpp>

namespace lantern::test {

// The station's own record of what plays now (with the passcode "pw").
inline nlohmann::json nowRecord(std::uint16_t port) {
    const auto answer = fetch(port, "/now?lag=0&k=pw");
    const auto json = nlohmann::json::parse(
        answer.substr(std::min(answer.size(), answer.find("\r\n\r\n") + 4)), nullptr, false);
    return json.is_object() ? json : nlohmann::json::object();
}
inline std::string nowTitle(std::uint16_t port) {
    return nowRecord(port).value("title", "");
}

// A station playing "playertone", which a real MPRIS player of that name
// plays, with the passcode "pw"; `prepare` may set up more in its home first.
struct PlayingStation {
    explicit PlayingStation(const std::vector<std::string>& tracks,
                            std::vector<std::string> arguments = {},
                            const std::function<void(const QTemporaryDir& home)>& prepare = {}) {
        World::bus();
        World::sound().play("playertone", 440);
        EXPECT_TRUE(eventually([] { return !AudioProcesses::of("playertone").empty(); }));
        std::vector<std::string> command{FAKE_MPRIS_PLAYER, "playertone", "Playing"};
        command.insert(command.end(), tracks.begin(), tracks.end());
        player = startProgram(command);
        // Named on the bus before the station looks for it.
        EXPECT_TRUE(
            eventually([] { return World::bus().hasOwner("org.mpris.MediaPlayer2.playertone"); }));
        QDir().mkpath(home.filePath("data/lantern-fm"));
        QFile secret(home.filePath("data/lantern-fm/passcode"));
        if (secret.open(QIODevice::WriteOnly)) secret.write("pw");
        secret.close();
        if (prepare) prepare(home);
        LanternRun::Options options;
        options.sessionBus = true;
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

    QTemporaryDir home;
    pid_t player = -1;
    std::unique_ptr<LanternRun> station;
    std::uint16_t port = 0;
};

} // namespace lantern::test
