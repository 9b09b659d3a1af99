// The station against a private sound server, with the tunnel tool's stand-in
// and a clock of the test's own where timing matters.
#include "capture/audio_tap.h"
#include "link/keychain.h"
#include "nowplaying/now_playing_reader.h"
#include "station/settings.h"
#include "station/shared_state.h"
#include "station/station_fixture.h"
#include "support/child_process.h"
#include "support/fake_address_service.h"
#include "support/sound_daemon.h"
#include "support/qt_wait.h"
#include "support/raw_client.h"
#include "support/tone.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <thread>

extern lantern::test::SoundDaemon* sound;

namespace lantern {

namespace {

using test::eventually;

SavedAddress address(const QString& path) {
    return {path, "https://lantern.example" + path, "secret-" + path, false};
}

TEST_F(StationTest, StartsWithDefaultsAndDerivesTheLinkMode) {
    {
        auto& s = make();
        EXPECT_EQ(s.linkMode(), Station::LinkMode::fresh);
        EXPECT_FALSE(s.asked());
        EXPECT_TRUE(s.stationName().isEmpty());
        EXPECT_FALSE(s.passcode());
        EXPECT_FALSE(s.micDevice());
        EXPECT_EQ(s.musicLevel(), 1.0f);
        EXPECT_FALSE(s.onAir());
        ASSERT_TRUE(s.source());
        EXPECT_EQ(s.source()->id, "whole-mac");
        EXPECT_EQ(s.sources().front().id, "whole-mac");
        EXPECT_FALSE(s.shareLink());
    }
    // Saved named and kept addresses with no stored mode: named wins.
    Keychain::write("address.named", encode(address("/myname")));
    Keychain::write("address.private", encode(address("/s/abc123")));
    settings.setValue("stationName", "Night Shift");
    settings.setValue("askedWhoCanListen", true);
    settings.setValue("micDevice", "fakemic");
    {
        auto& s = make();
        EXPECT_EQ(s.linkMode(), Station::LinkMode::named);
        EXPECT_EQ(s.stationName(), "Night Shift");
        EXPECT_TRUE(s.asked());
        EXPECT_EQ(s.micDevice(), "fakemic");
        // A stable address is shown even off air.
        ASSERT_TRUE(s.shareLink());
        EXPECT_EQ(s.shareLink()->toString().toStdString(), "http://127.0.0.1:9/myname");
    }
    // A malformed stored mode counts as absent.
    settings.setValue("linkMode", "sideways");
    EXPECT_EQ(make().linkMode(), Station::LinkMode::named);
    // A stored mode wins, even when its address is missing.
    Keychain::remove("address.private");
    settings.setValue("linkMode", "kept");
    {
        auto& s = make();
        EXPECT_EQ(s.linkMode(), Station::LinkMode::kept);
        EXPECT_FALSE(s.usesKept());
        EXPECT_FALSE(s.shareLink()); // off air, no tunnel URL to fall back on
    }
    Keychain::remove("address.named");
    settings.remove("linkMode");
    Keychain::write("address.private", encode(address("/s/abc123")));
    EXPECT_EQ(make().linkMode(), Station::LinkMode::kept);
}

TEST_F(StationTest, GoesOnAirOnceAndServesThePageAndTheRecord) {
    settings.setValue("stationName", "Kitchen Radio");
    auto& s = make();
    QSignalSpy listening(&s, &Station::listening);
    const auto port = onAir(s);
    ASSERT_NE(port, 0);
    const auto since = s.onAirSince();
    EXPECT_EQ(since, clock);
    s.goOnAir();
    clock = clock.addSecs(5);
    s.goOnAir();
    QCoreApplication::processEvents();
    EXPECT_EQ(listening.count(), 1);
    EXPECT_EQ(s.onAirSince(), since);

    const auto page = test::fetch(port, "/");
    EXPECT_NE(page.find("<audio"), std::string::npos);
    EXPECT_NE(page.find("This station needs the link with its passcode"), std::string::npos);
    const auto now = test::fetch(port, "/now?lag=0");
    const auto body = nlohmann::json::parse(now.substr(now.find("\r\n\r\n") + 4));
    EXPECT_EQ(body["station"], "Kitchen Radio");
    EXPECT_EQ(body["listeners"], 0);

    // The tunnel's URL arrives and clears "Going on air…".
    ASSERT_TRUE(eventually([&] { return s.link().has_value(); }));
    EXPECT_EQ(s.link(), QUrl("https://quiet-river-4821.trycloudflare.com"));
    EXPECT_EQ(s.status(), "");
    EXPECT_EQ(launches(), 1);
}

TEST_F(StationTest, AServerThatStartsAfterGoingOffAirOpensNoTunnel) {
    auto& s = make();
    QSignalSpy listening(&s, &Station::listening);
    s.choose(AudioSource::wholeMac());
    s.goOnAir();
    s.goOffAir(); // before the server's start has been reported
    // And a new broadcast right away: only its own server may open a tunnel.
    s.goOnAir();
    ASSERT_TRUE(eventually([&] { return s.link().has_value(); }));
    std::this_thread::sleep_for(300ms);
    QCoreApplication::processEvents();
    EXPECT_EQ(listening.count(), 1);
    EXPECT_EQ(launches(), 1);

    s.goOffAir();
    s.goOnAir();
    s.goOffAir();
    std::this_thread::sleep_for(500ms);
    QCoreApplication::processEvents();
    EXPECT_EQ(launches(), 1);
    EXPECT_FALSE(StationProbe::hasTunnel(s));
    EXPECT_FALSE(s.onAir());
}

TEST_F(StationTest, TellsTheUserOnlyWhenTheFreshLinkChanges) {
    qputenv("LANTERN_CLOUDFLARED", home.filePath("no-such-program").toUtf8());
    auto& s = make();
    ASSERT_NE(onAir(s), 0);
    EXPECT_EQ(s.status(), "cloudflared isn't installed");
    EXPECT_TRUE(s.onAir());

    StationProbe::tunnelUp(s, "https://first-link.trycloudflare.com");
    EXPECT_TRUE(notices.empty());
    StationProbe::tunnelUp(s, "https://second-link.trycloudflare.com");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0], "Your link changed / Share the new one: second-link.trycloudflare.com");
    StationProbe::tunnelUp(s, "https://second-link.trycloudflare.com");
    EXPECT_EQ(notices.size(), 1u);
    EXPECT_EQ(s.shareLink(), QUrl("https://second-link.trycloudflare.com"));

    // A new broadcast starts over: its first URL is not news.
    s.goOffAir();
    EXPECT_FALSE(s.shareLink());
    ASSERT_NE(onAir(s), 0);
    StationProbe::tunnelUp(s, "https://third-link.trycloudflare.com");
    EXPECT_EQ(notices.size(), 1u);
}

TEST_F(StationTest, ATunnelThatEndsShowsReconnectingUntilTheNextURL) {
    qputenv("FAKE_TUNNEL_EXIT", "1");
    auto& s = make();
    ASSERT_NE(onAir(s), 0);
    ASSERT_TRUE(eventually([&] { return s.link().has_value(); }));
    ASSERT_TRUE(eventually([&] { return s.status() == "Reconnecting\u2026"; }, 5s));
    // The supervisor starts the tool again after a second; its URL clears the line.
    ASSERT_TRUE(eventually([&] { return s.status().isEmpty(); }, 5s));
    EXPECT_GE(launches(), 2);
    EXPECT_TRUE(notices.empty()); // the same URL came back
}

TEST_F(StationTest, NowRecordForTheListenersMoment) {
    auto& s = make();
    // No name and no record: the default name, playing, nothing else.
    auto bare = nlohmann::json::parse(StationProbe::nowJSON(s, 0, 3));
    EXPECT_EQ(bare,
              nlohmann::json::parse(R"({"listeners":3,"station":"Lantern FM","playing":true})"));

    s.rename("  Porch \n");
    EXPECT_EQ(s.stationName(), "Porch");
    StationProbe::record(s, {"Old Song", "A", "B", std::nullopt, true, "Player"}, std::nullopt);
    std::this_thread::sleep_for(1200ms);
    StationProbe::record(s, {"New Song", "C", "D", "https://art.example/1.jpg", false, "Player"},
                         Cover{{0x89, 'P', 'N', 'G'}, "image/png"});
    const auto live = nlohmann::json::parse(StationProbe::nowJSON(s, 0, 1));
    EXPECT_EQ(live["station"], "Porch");
    EXPECT_EQ(live["title"], "New Song");
    EXPECT_EQ(live["coverURL"], "https://art.example/1.jpg");
    EXPECT_EQ(live["playing"], false);
    EXPECT_EQ(live["hasCover"], true);
    // A listener a second behind still hears the old song.
    const auto behind = nlohmann::json::parse(StationProbe::nowJSON(s, 1.0, 1));
    EXPECT_EQ(behind["title"], "Old Song");
    EXPECT_EQ(behind["playing"], true);
    EXPECT_FALSE(behind.contains("coverURL"));
}

TEST_F(StationTest, TickerShowsAndClearsTheSilenceLines) {
    auto& s = make();
    ASSERT_NE(onAir(s), 0);
    ASSERT_TRUE(eventually([&] { return s.link().has_value(); }));
    StationProbe::stopCapture(s);

    StationProbe::silence(s, true, false);
    StationProbe::tick(s);
    EXPECT_EQ(s.status(), "No sound from Everything \u2014 check that it plays through the default "
                          "sound output");
    StationProbe::silence(s, true, true);
    StationProbe::tick(s);
    EXPECT_EQ(s.status(), "Everything is quiet");
    StationProbe::silence(s, false, true);
    StationProbe::tick(s);
    EXPECT_EQ(s.status(), "");
    // Lines the ticker did not make are left alone.
    StationProbe::setStatus(s, "Couldn't hear Everything after the output changed");
    StationProbe::tick(s);
    EXPECT_EQ(s.status(), "Couldn't hear Everything after the output changed");
}

TEST_F(StationTest, StopsByItselfAtTheChosenTime) {
    auto& s = make();
    ASSERT_NE(onAir(s), 0);
    s.setStopAt(clock.addSecs(1800));
    clock = clock.addSecs(1799);
    StationProbe::tick(s);
    EXPECT_TRUE(s.onAir());
    clock = clock.addSecs(1);
    StationProbe::tick(s);
    EXPECT_FALSE(s.onAir());
    EXPECT_FALSE(s.stopAt());
    // A time already past stops the next broadcast at its first tick.
    ASSERT_NE(onAir(s), 0);
    s.setStopAt(clock.addSecs(-60));
    StationProbe::tick(s);
    EXPECT_FALSE(s.onAir());
}

TEST_F(StationTest, GoingOffAirTakesEverythingDown) {
    qputenv("FAKE_TUNNEL_FORWARD", home.filePath("forward").toUtf8());
    auto& s = make();
    const auto port = onAir(s);
    ASSERT_NE(port, 0);
    ASSERT_TRUE(eventually([&] { return s.link().has_value(); }));
    test::RawClient listener(port);
    ASSERT_TRUE(listener.send("GET /stream?l=me HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_FALSE(listener.readAtLeast(100).empty());
    ASSERT_TRUE(eventually([&] { return s.listeners() == 1; }, 3s));

    std::ifstream record(home.filePath("launches").toStdString());
    pid_t tunnelPid = 0;
    record >> tunnelPid;
    ASSERT_GT(tunnelPid, 0);

    s.setStopAt(clock.addSecs(600));
    s.goOffAir();
    EXPECT_FALSE(s.onAir());
    EXPECT_FALSE(s.onAirSince());
    EXPECT_FALSE(s.link());
    EXPECT_FALSE(s.stopAt());
    EXPECT_EQ(s.listeners(), 0);
    EXPECT_EQ(s.status(), "");
    EXPECT_TRUE(listener.closedByPeer(2s));          // the listener's stream ended
    EXPECT_FALSE(test::RawClient(port).connected()); // the server is closed
    EXPECT_TRUE(eventually([&] { return test::processGone(tunnelPid); }, 3s)); // the tool is gone
    s.goOffAir();                                                           // twice is harmless
}

TEST_F(StationTest, ChangingTheSourceKeepsTheListenerAndChangesTheSound) {
    sound->play("tone-low", 1000);
    sound->play("tone-high", 2500);
    auto& s = make();
    QSignalSpy listening(&s, &Station::listening);
    s.choose({"tone-low", "Low tone", std::nullopt});
    s.goOnAir();
    ASSERT_TRUE(eventually([&] { return listening.count() > 0; }));
    const auto port = listening.front().front().value<quint16>();

    test::RawClient listener(port);
    ASSERT_TRUE(listener.send("GET /stream HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string bytes;
    const auto gather = [&](std::chrono::milliseconds span) {
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end && !listener.peerClosed()) {
            bytes += listener.readAtLeast(1, 200ms);
            QCoreApplication::processEvents();
        }
    };
    // Audio first (the first captured block can take a while), then 3 s of it.
    bytes = listener.readAtLeast(2000, 15s);
    ASSERT_GE(bytes.size(), 2000u);
    gather(3s);
    s.choose({"tone-high", "High tone", std::nullopt});
    gather(3s);
    EXPECT_FALSE(listener.peerClosed());
    EXPECT_TRUE(s.onAir());

    const auto file = home.filePath("heard.aac").toStdString();
    const auto head = bytes.find("\r\n\r\n");
    ASSERT_NE(head, std::string::npos);
    std::ofstream(file, std::ios::binary)
        .write(bytes.data() + head + 4, std::streamsize(bytes.size() - head - 4));
    const auto samples = test::decodeMono(file, 8000);
    ASSERT_GT(samples.size(), 8000u * 4);
    const std::span<const float> all(samples);
    EXPECT_NEAR(test::dominantFrequency(all.subspan(4000, 8000), 8000), 1000, 20);
    EXPECT_NEAR(test::dominantFrequency(all.last(8000), 8000), 2500, 20);
}

// The programs the station runs (playerctl every few seconds, the tunnel
// tool) start with standard input, output and error only: none holds the
// listening socket (which would keep accepting after going off air) or a
// listener's socket.
TEST_F(StationTest, ChildrenHoldNoneOfTheStationsDescriptors) {
    const auto report = home.filePath("descriptors");
    qputenv("FD_REPORT", report.toUtf8());
    qputenv("LANTERN_CLOUDFLARED", FD_REPORT_PROGRAM);
    playerctl = FD_REPORT_PROGRAM;
    auto& s = make();
    s.choose({"some-player", "Some Player", std::nullopt}); // one the reader asks playerctl about
    const auto port = onAir(s);
    ASSERT_NE(port, 0);
    test::RawClient first(port), second(port);
    first.send("GET /stream HTTP/1.1\r\n\r\n");
    second.send("GET /stream?l=second HTTP/1.1\r\n\r\n");
    ASSERT_FALSE(first.readAtLeast(10).empty());
    ASSERT_FALSE(second.readAtLeast(10).empty());
    QFile::remove(report); // from here on children start while listeners are connected
    const auto reports = [&] {
        QFile file(report);
        if (!file.open(QIODevice::ReadOnly)) return QStringList();
        return QString::fromUtf8(file.readAll()).split("started as ", Qt::SkipEmptyParts);
    };
    // The reader runs "playerctl" every 3 s; the tunnel tool is restarted after failing.
    ASSERT_TRUE(eventually([&] { return reports().size() >= 3; }, 8s)) << reports().join("|").toStdString();
    for (const auto& block : reports()) {
        const auto lines = block.split('\n', Qt::SkipEmptyParts);
        for (const auto& line : lines.mid(1))
            EXPECT_TRUE(line.startsWith("0 ") || line.startsWith("1 ") || line.startsWith("2 "))
                << "a child holds " << line.toStdString();
    }
}

// A keychain that hangs (a Secret Service waiting for the user to unlock
// it, or stuck) never holds up the panel. The station goes on air at once but
// lets no listener in before it knows the passcode; when the keychain gives
// up, the passcode comes from the file it falls back on.
TEST_F(StationTest, AHangingKeychainHoldsUpNothingButTheListeners) {
    QDir().mkpath(home.filePath("data/lantern-fm"));
    QFile secret(home.filePath("data/lantern-fm/passcode"));
    ASSERT_TRUE(secret.open(QIODevice::WriteOnly));
    secret.write("from-the-file");
    secret.close();
    const auto hung = test::startProgram({HUNG_SERVICE, "org.freedesktop.secrets"});
    ASSERT_TRUE(eventually([] {
        return test::runProgram({"dbus-send", "--session", "--print-reply",
                                 "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus.NameHasOwner",
                                 "string:org.freedesktop.secrets"})
                   .output.find("true") != std::string::npos;
    }));

    Station::Environment environment;
    environment.settings = &settings;
    environment.addresses = &addresses;
    environment.watchSystem = false;
    const auto timed = [](const char* what, const std::function<void()>& call) {
        const auto begin = std::chrono::steady_clock::now();
        call();
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 100ms) << what;
    };
    timed("start-up", [&] { station = std::make_unique<Station>(environment); });
    auto& s = *station;
    QSignalSpy listening(&s, &Station::listening);
    timed("go on air", [&] { s.goOnAir(); });
    for (const auto end = std::chrono::steady_clock::now() + 1500ms;
         std::chrono::steady_clock::now() < end;)
        timed("the event loop", [] { QCoreApplication::processEvents(); });
    EXPECT_TRUE(s.onAir());
    EXPECT_FALSE(s.ready());
    EXPECT_EQ(listening.count(), 0) << "listeners were let in before the passcode was known";

    test::endProgram(hung); // the bus tells the waiting keychain that the service went
    ASSERT_TRUE(eventually([&] { return listening.count() == 1; }, 10s));
    EXPECT_EQ(s.passcode(), "from-the-file");
    const auto port = listening.front().front().value<quint16>();
    EXPECT_TRUE(test::fetch(port, "/now").starts_with("HTTP/1.1 404"));
    EXPECT_TRUE(test::fetch(port, "/now?k=from-the-file").starts_with("HTTP/1.1 200"));
}

TEST_F(StationTest, ListeningPageInHeadlessChromium) {
    sound->play("page-player", 440);
    settings.setValue("stationName", "Attic Waves");
    auto& s = make();
    const auto port = onAir(s);
    ASSERT_NE(port, 0);
    // The page shows what the history says; the reader must not overwrite it.
    s.reader().stop();
    StationProbe::record(
        s, {"Harbour Lights", "The Gulls", "Low Tide", std::nullopt, true, "Player"}, std::nullopt);
    const auto check = test::runProgram({"/usr/bin/python3", PAGE_CHECK, "chromium",
                                         "http://127.0.0.1:" + std::to_string(port) + "/",
                                         "Attic Waves", "Harbour Lights"},
                                        90s);
    std::printf("%s", check.output.c_str()); // says which audio path ran
    EXPECT_EQ(check.status, 0) << check.output << check.error;
}

} // namespace
} // namespace lantern
