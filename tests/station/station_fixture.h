// The station's test fixture: a station with its own settings, secrets and
// clock over the private world's sound server and bus, and a listener that
// notes when each byte arrived.
#pragma once

#include "core/link/tunnel_metrics.h"
#include "core/station/shared.h"
#include "core/stream/aac_encoder.h"
#include "settings/settings.h"
#include "station/broadcast.h"
#include "station/station.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/raw_client.h"
#include "support/session_bus.h"
#include "support/sound_daemon.h"
#include "support/tone.h"
#include "support/world.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <vector>

namespace lantern {

using namespace std::chrono_literals;

// What timers and threads would do, done by the test at the moment it chooses.
class StationProbe {
public:
    static void tick(Station& station) { station.tick(); }
    static void tunnelUp(Station& station, const QString& url) {
        station.broadcast()->onTunnelUp(QUrl(url));
    }
    static void tunnelDown(Station& station) { station.broadcast()->onTunnelDown(); }
    static void record(Station& station, NowPlaying record, std::optional<Cover> cover) {
        station.shared_->record(std::move(record), std::move(cover));
    }
    static void read(Station& station, const NowPlaying& record, std::optional<Cover> cover) {
        station.read(record, cover);
    }
    static StatusLine::Kind statusKind(const Station& station) { return station.status_.kind(); }
    // The uplink's room as if measured, with the ticker held so that it stays.
    static void room(Station& station, int room) {
        station.ticker_.stop();
        station.room_ = room;
        Q_EMIT station.roomChanged();
    }
    static void silence(Station& station, bool silentNow, bool heardEver) {
        station.shared_->set(&SharedState::silentNow, silentNow);
        station.shared_->set(&SharedState::heardEver, heardEver);
    }
};

// A listener of the station's stream that notes when its bytes arrived, so
// tests can tell real time, gaps and what was heard when.
class StreamEar {
public:
    using Time = std::chrono::steady_clock::time_point;

    explicit StreamEar(quint16 port, const std::string& target = "/stream?l=ear") : client_(port) {
        client_.send("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
    }
    // Reads for `span`, running the event loop meanwhile.
    void listen(std::chrono::milliseconds span) {
        for (const auto end = now() + span; now() < end && !client_.peerClosed();) {
            received(client_.readAtLeast(1, 20ms));
            QCoreApplication::processEvents();
        }
    }
    bool waitForAudio(std::chrono::milliseconds wait = 15s) {
        for (const auto end = now() + wait; body_.size() < 2000 && now() < end && !closed();)
            listen(50ms);
        return body_.size() >= 2000;
    }
    bool closed() const { return client_.peerClosed(); }
    static Time now() { return std::chrono::steady_clock::now(); }

    // Seconds of audio per second of wall time that arrived between `from`
    // and `to`, counted in whole ADTS frames (1024 samples each): 1 is real
    // time, whether the audio is music (large frames) or silence (tiny ones).
    // The audio comes in chunks (a tenth of a second each), so it is measured
    // from the first arrival after `from` to the last one before `to`, not cut
    // wherever the window happens to fall; a wait of over 300 ms at the end
    // still counts, so a stall shows.
    double pace(Time from, Time to) const {
        const std::pair<Time, std::size_t>*first = nullptr, *last = nullptr;
        for (const auto& arrival : arrivals_)
            if (arrival.first > from && arrival.first <= to) {
                if (!first) first = &arrival;
                last = &arrival;
            }
        if (!first || first == last) return 0;
        const auto end = to - last->first > 300ms ? to : last->first;
        double seconds = 0;
        for (const auto& frame : frames())
            if (frame.at >= first->second && frame.at + frame.length <= last->second)
                seconds += frame.seconds;
        return seconds / std::chrono::duration<double>(end - first->first).count();
    }
    // The longest wait between two arrivals after `from`.
    std::chrono::milliseconds longestGap(Time from) const {
        std::chrono::milliseconds longest{0};
        for (Time last = from; const auto& [at, size] : arrivals_)
            if (at > from) {
                longest = std::max(
                    longest, std::chrono::duration_cast<std::chrono::milliseconds>(at - last));
                last = at;
            }
        return longest;
    }
    // What arrived between `from` and `to`, decoded to mono at `rate`.
    std::vector<float> heard(const QString& file, Time from, Time to, int rate = 8000) const {
        // From a frame start: a decoder left to find one by itself can lock
        // onto a sync word inside a frame and decode noise.
        auto begin = offset(from);
        for (const auto& frame : frames())
            if (frame.at >= begin) {
                begin = frame.at;
                break;
            }
        std::ofstream(file.toStdString(), std::ios::binary)
            .write(body_.data() + begin, std::streamsize(offset(to) - begin));
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
        arrivals_.emplace_back(now(), body_.size());
    }
    struct Frame {
        std::size_t at, length;
        double seconds;
    };
    // The ADTS frames received so far: the stream starts on a frame (the
    // burst is whole chunks of whole frames), so they follow one another.
    std::vector<Frame> frames() const {
        std::vector<Frame> found;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(body_.data());
        for (std::size_t at = 0;;) {
            const auto frame = adtsFrameAt({bytes + at, body_.size() - at});
            if (!frame || at + frame->length > body_.size()) return found;
            found.push_back({at, frame->length, 1024.0 / frame->sampleRate});
            at += frame->length;
        }
    }
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

// Runs `call`, which the panel makes and which must return at once (under
// 100 ms) whatever the services behind it do.
inline void returnsAtOnce(const char* what, const std::function<void()>& call) {
    const auto begin = std::chrono::steady_clock::now();
    call();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 100ms) << what;
}

// A station with its own settings, secrets and clock over the private sound
// server and bus; the tunnel tool is the stand-in unless a test says otherwise.
class StationTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::World::bus();
        sound = &test::World::sound();
        qputenv("XDG_DATA_HOME", home.filePath("data").toUtf8());
        qputenv("XDG_CONFIG_HOME", home.filePath("config").toUtf8());
        qputenv("LANTERN_CLOUDFLARED", FAKE_CLOUDFLARED);
        qputenv("FAKE_TUNNEL_RECORD", home.filePath("launches").toUtf8());
        qputenv("FAKE_TUNNEL_EDGE", QByteArray::number(edge));
    }
    void TearDown() override {
        if (station) station->goOffAir();
        station.reset();
        test::settle(100ms); // answers to the address service still on their way
    }

    Station& make(AddressClient* client = nullptr, bool watchSystem = false) {
        Station::Environment environment;
        environment.settings = &settings;
        environment.addresses = client ? client : &addresses;
        environment.clock = [this] { return clock; };
        environment.notify = [this](const QString& title, const QString& body,
                                    const std::function<void()>&) {
            notices.push_back(title + " / " + body);
        };
        environment.terminate = [this] { ++terminated; };
        environment.watchSystem = watchSystem;
        environment.passcodeRetry = passcodeRetry;
        if (makeEncoder) environment.makeEncoder = makeEncoder;
        environment.linkCheckVia = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(edge));
        environment.linkCheckTiming = linkCheckTiming;
        environment.coverLimits = coverLimits;
        station = std::make_unique<Station>(environment);
        EXPECT_TRUE(test::eventually([&] { return station->presence().ready(); }))
            << "no secrets read";
        return *station;
    }
    // Goes on air with the chosen source and waits for the local server.
    quint16 onAir(Station& s) {
        QSignalSpy listening(&s, &Station::listening);
        s.goOnAir();
        if (!test::eventually([&] { return listening.count() > 0; })) return 0;
        return listening.front().front().value<quint16>();
    }
    // The tunnel tool's starts: pid and the URL it was told to forward.
    std::vector<std::pair<pid_t, std::string>> launches() const {
        std::vector<std::pair<pid_t, std::string>> started;
        std::ifstream file(home.filePath("launches").toStdString());
        for (std::string pid, url; file >> pid >> url;)
            started.emplace_back(std::stoi(pid), url);
        return started;
    }

    test::SoundDaemon* sound = nullptr;
    QTemporaryDir home;
    Settings settings{home.filePath("settings.ini")};
    AddressClient addresses{QUrl("http://127.0.0.1:9"), 2s};
    QDateTime clock = QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC);
    std::chrono::milliseconds passcodeRetry = 30s;
    AudioPath::MakeEncoder makeEncoder;
    // The stand-in tunnel's public side, where the link's self-check asks.
    const std::uint16_t edge = TunnelMetrics::freePort().value_or(0);
    LinkCheck::Timing linkCheckTiming;
    FetchLimits coverLimits;
    std::vector<QString> notices;
    int terminated = 0;
    std::unique_ptr<Station> station;
};

} // namespace lantern
