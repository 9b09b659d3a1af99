// The station's test fixture: a station with its own settings, secrets and
// clock, and a way into its private steps.
#pragma once

#include "capture/audio_tap.h"
#include "station/settings.h"
#include "station/shared_state.h"
#include "station/station.h"
#include "support/qt_wait.h"
#include "support/raw_client.h"
#include "support/tone.h"

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
    // How many captures have been started (each restart counts).
    static std::uint64_t captures(Station& station) { return station.tapRun_; }
    static float gain(Station& station) { return station.shared_->get(&Station::Shared::gain); }
};

using namespace std::chrono_literals;

// A listener of the station's stream that notes when its bytes arrived, so
// tests can tell real time, gaps and what was heard when.
class StreamEar {
public:
    using Time = std::chrono::steady_clock::time_point;

    explicit StreamEar(quint16 port) : client_(port) {
        client_.send("GET /stream?l=ear HTTP/1.1\r\nHost: x\r\n\r\n");
    }

    // Reads for `span`, running the event loop meanwhile.
    void listen(std::chrono::milliseconds span) {
        const auto end = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < end && !client_.peerClosed()) {
            received(client_.readAtLeast(1, 20ms));
            QCoreApplication::processEvents();
        }
    }
    // Waits for the head and some audio; when it came.
    std::optional<Time> waitForAudio(std::chrono::milliseconds wait = 15s) {
        const auto end = std::chrono::steady_clock::now() + wait;
        while (body_.size() < 2000 && std::chrono::steady_clock::now() < end && !closed())
            listen(50ms);
        if (body_.size() < 2000) return std::nullopt;
        return arrivals_.back().first;
    }
    bool closed() const { return client_.peerClosed(); }

    // Seconds of audio per second of wall time that arrived between `from`
    // and `to`, counted in whole ADTS frames (1024 samples each): 1 is real
    // time, whether the audio is music (large frames) or silence (tiny ones).
    double pace(Time from, Time to) const {
        static constexpr double rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                           22050, 16000, 12000, 11025, 8000,  7350};
        const auto* bytes = reinterpret_cast<const unsigned char*>(body_.data());
        std::size_t at = offset(from);
        const std::size_t end = offset(to);
        double seconds = 0;
        while (at + 7 <= end) {
            const bool sync = bytes[at] == 0xFF && (bytes[at + 1] & 0xF6) == 0xF0;
            const std::size_t length = ((bytes[at + 3] & 0x03u) << 11) | (bytes[at + 4] << 3) |
                                       (bytes[at + 5] >> 5);
            const unsigned index = (bytes[at + 2] >> 2) & 0x0F;
            if (!sync || length < 7 || index > 12) {
                ++at; // inside a frame: look for the next header
                continue;
            }
            if (at + length > end) break;
            seconds += 1024.0 / rates[index];
            at += length;
        }
        return seconds / std::chrono::duration<double>(to - from).count();
    }
    // The longest wait between two arrivals after `from`.
    std::chrono::milliseconds longestGap(Time from) const {
        std::chrono::milliseconds longest{0};
        Time last = from;
        for (const auto& [at, size] : arrivals_) {
            if (at <= from) continue;
            longest = std::max(longest, std::chrono::duration_cast<std::chrono::milliseconds>(at - last));
            last = at;
        }
        return longest;
    }
    // What arrived between `from` and `to`, decoded to mono at `rate` (the
    // decoder finds the first whole frame by itself).
    std::vector<float> heard(const QString& file, Time from, Time to, int rate = 8000) const {
        const auto begin = offset(from), end = offset(to);
        std::ofstream(file.toStdString(), std::ios::binary)
            .write(body_.data() + begin, std::streamsize(end - begin));
        return test::decodeMono(file.toStdString(), rate);
    }

private:
    void received(const std::string& bytes) {
        if (bytes.empty()) return;
        if (!headDone_) {
            head_ += bytes;
            const auto end = head_.find("\r\n\r\n");
            if (end == std::string::npos) return;
            headDone_ = true;
            body_ = head_.substr(end + 4);
        } else {
            body_ += bytes;
        }
        arrivals_.emplace_back(std::chrono::steady_clock::now(), body_.size());
    }
    // Body bytes that had arrived by `at`.
    std::size_t offset(Time at) const {
        std::size_t size = 0;
        for (const auto& [when, total] : arrivals_)
            if (when <= at) size = total;
        return size;
    }

    test::RawClient client_;
    std::string head_, body_;
    bool headDone_ = false;
    std::vector<std::pair<Time, std::size_t>> arrivals_;
};

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
        environment.playerctl = playerctl;
        station = std::make_unique<Station>(environment);
        EXPECT_TRUE(test::eventually([&] { return station->ready(); })) << "no secrets read";
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
    QString playerctl = QStringLiteral("playerctl");
    std::vector<QString> notices;
    int terminated = 0;
    std::unique_ptr<Station> station;
};

} // namespace lantern
