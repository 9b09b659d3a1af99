// The station's test fixture: a station with its own settings, secrets and
// clock, and a way into its private steps.
#pragma once

#include "capture/audio_tap.h"
#include "station/settings.h"
#include "station/shared_state.h"
#include "station/station.h"
#include "support/qt_wait.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>

namespace lantern {

// Reaches the station's private steps, as the timers and callbacks would.
class StationProbe {
public:
    static void tick(Station& station) { station.tick(); }
    static void tunnelUp(Station& station, const QString& url) { station.tunnelUp(QUrl(url)); }
    static std::string nowJSON(Station& station, double lag, std::size_t listeners) {
        return station.shared_->nowJSON(lag, listeners);
    }
    static void record(Station& station, NowPlaying record, std::optional<Cover> cover) {
        station.shared_->record(std::move(record), std::move(cover));
    }
    // Ends the capture so the test alone decides what the silence state says.
    static void stopCapture(Station& station) {
        if (station.tap_) station.tap_->stop();
        station.tap_.reset();
    }
    static void silence(Station& station, bool silentNow, bool heardEver) {
        station.shared_->set(&Station::Shared::silentNow, silentNow);
        station.shared_->set(&Station::Shared::heardEver, heardEver);
    }
    static void setStatus(Station& station, const QString& text) { station.setStatus(text); }
    static bool hasTunnel(Station& station) { return station.tunnel_ != nullptr; }
    static const std::optional<SavedAddress>& announced(Station& station) {
        return station.announced_;
    }
    static void read(Station& station, const NowPlaying& record, std::optional<Cover> cover) {
        station.read(record, cover);
    }
    static void appLaunched(Station& station, const QString& id) { station.appLaunched(id); }
    static void appQuit(Station& station, const QString& id) { station.appQuit(id); }
    static void processesChanged(Station& station) { station.processesChanged(); }
    // How many captures have been started (each restart counts).
    static std::uint64_t captures(Station& station) { return station.tapRun_; }
    static float gain(Station& station) { return station.shared_->get(&Station::Shared::gain); }
};

using namespace std::chrono_literals;

// A station with its own settings, secrets and clock; the tunnel tool is the
// stand-in unless a test says otherwise.
class StationTest : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("XDG_DATA_HOME", home.filePath("data").toUtf8());
        qputenv("XDG_CONFIG_HOME", home.filePath("config").toUtf8());
        qputenv("LANTERN_CLOUDFLARED", FAKE_CLOUDFLARED);
        qputenv("FAKE_TUNNEL_RECORD", home.filePath("launches").toUtf8());
        qunsetenv("FAKE_TUNNEL_EXIT");
        qunsetenv("FAKE_TUNNEL_URL");
        qunsetenv("FAKE_TUNNEL_FORWARD");
    }

    Station& make(AddressClient* client = nullptr, bool watchSystem = false) {
        Station::Environment environment;
        environment.settings = &settings;
        environment.addresses = client ? client : &addresses;
        environment.clock = [this] { return clock; };
        environment.notify = [this](const QString& title, const QString& body) {
            notices.push_back(title + " / " + body);
        };
        environment.terminate = [this] { ++terminated; };
        environment.watchSystem = watchSystem;
        station = std::make_unique<Station>(environment);
        return *station;
    }

    // Goes on air with the chosen source (a new station has the whole
    // computer) and waits for the local server.
    quint16 onAir(Station& s) {
        QSignalSpy listening(&s, &Station::listening);
        s.goOnAir();
        if (!test::eventually([&] { return listening.count() > 0; })) return 0;
        return listening.front().front().value<quint16>();
    }

    int launches() const {
        std::ifstream file(home.filePath("launches").toStdString());
        return static_cast<int>(std::count(std::istreambuf_iterator<char>(file),
                                           std::istreambuf_iterator<char>(), '\n'));
    }

    void TearDown() override {
        if (station) station->goOffAir();
        station.reset();
    }

    QTemporaryDir home;
    Settings settings{home.filePath("settings.ini")};
    AddressClient addresses{QUrl("http://127.0.0.1:9"), 2s};
    QDateTime clock = QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC);
    std::vector<QString> notices;
    int terminated = 0;
    std::unique_ptr<Station> station;
};

} // namespace lantern
