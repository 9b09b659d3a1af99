// The station's test fixture: a station with its own settings, secrets and
// clock over the private world's sound server and bus, and a listener that
// notes when each byte arrived.
#pragma once

#include "core/station/shared.h"
#include "core/stream/aac_encoder.h"
#include "settings/settings.h"
#include "station/broadcast.h"
#include "station/station.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/raw_client.h"
#include "support/reserved_port.h"
#include "support/session_bus.h"
#include "support/sound_daemon.h"
#include "support/tone.h"
#include "support/world.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <ranges>
#include <vector>

namespace lantern {

using namespace std::chrono_literals;

// What timers and threads would do, done by the test at the moment it chooses.
class StationProbe {
public:
    static void tick(Station& s, int times = 1) {
        while (times--)
            s.tick();
    }
    static void tunnelUp(Station& s, const QString& url) { s.broadcast()->onTunnelUp(QUrl(url)); }
    static void tunnelDown(Station& s) { s.broadcast()->onTunnelDown(); }
    static void record(Station& s, NowPlaying record, std::optional<Cover> cover) {
        s.shared_->record(std::move(record), std::move(cover));
    }
    static void read(Station& s, const NowPlaying& r, std::optional<Cover> c) { s.read(r, c); }
    static StatusLine::Kind statusKind(const Station& station) { return station.status_.kind(); }
    // The uplink's room and the listeners behind live as if measured, with
    // the ticker held so that they stay.
    static void room(Station& station, int room, int listeners = 0, int catchingUp = 0) {
        station.ticker_.stop();
        station.room_ = room;
        station.listeners_ = listeners;
        station.audience_->catchingUp_ = catchingUp;
        Q_EMIT station.roomChanged();
        Q_EMIT station.listenersChanged();
        Q_EMIT station.audience_->changed();
    }
    // The capture's silence as if heard, and the ticker's turn to tell of it.
    static void silence(Station& s, bool silentNow, bool heardEver) {
        s.shared_->set(&SharedState::silentNow, silentNow);
        s.shared_->set(&SharedState::heardEver, heardEver);
        s.tick();
    }
};

// A listener's answer to POST `path` with a JSON `body`: its status.
inline int posted(std::uint16_t port, const std::string& path, const std::string& body) {
    test::RawClient client(port);
    client.send("POST " + path + " HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body);
    const auto answer = client.readUntilClosed();
    return answer.starts_with("HTTP/1.1 ") ? std::atoi(answer.c_str() + 9) : 0;
}

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
            if (const auto bytes = client_.readAtLeast(1, 20ms); !bytes.empty())
                arrivals_.emplace_back(now(), (stream_ += bytes).size());
            QCoreApplication::processEvents();
        }
    }
    // Listens, `step` at a time, until `done()` holds or `wait` passes.
    bool listenUntil(auto done, std::chrono::milliseconds wait,
                     std::chrono::milliseconds step = 20ms) {
        return test::eventually([&] { return listen(step), done(); }, wait);
    }
    bool waitForAudio(std::chrono::milliseconds wait = 15s) {
        return listenUntil([&] { return audioBytes() >= 2000 || closed(); }, wait, 50ms) &&
               audioBytes() >= 2000;
    }
    bool closed() const { return client_.peerClosed(); }
    // The audio as it came, and when its byte at `offset` had come.
    std::string_view audio() const { return std::string_view(stream_).substr(body()); }
    Time arrivedAt(std::size_t offset) const {
        return std::ranges::upper_bound(arrivals_, body() + offset, {}, &Arrival::second)->first;
    }
    // When a player that starts as the audio comes plays its byte at `offset`.
    Time playedAt(std::size_t offset) const {
        double seconds = 0;
        for (const auto& frame : frames())
            if (frame.at < body() + offset) seconds += frame.seconds;
        return arrivedAt(0) +
               std::chrono::duration_cast<Time::duration>(std::chrono::duration<double>(seconds));
    }
    static Time now() { return std::chrono::steady_clock::now(); }

    // How audio must arrive: once it flows and `warmUp` has passed (its
    // burst), over `window` at `slowest` to `fastest` times real time with no
    // wait over `maxGap`.
    struct Pace {
        std::chrono::milliseconds warmUp = 2s, window = 10s;
        double slowest = 0.9, fastest = 1.1;
        std::chrono::milliseconds maxGap = 1s;
    };
    // Whether the audio arrives at `want` on a connection that stays open;
    // `meanwhile` (which keeps listening, as anything it waits for must) runs
    // at the window's start, which it extends.
    ::testing::AssertionResult realTime(Pace want, const std::function<void()>& meanwhile = {}) {
        if (!waitForAudio()) return ::testing::AssertionFailure() << "no audio";
        listen(want.warmUp);
        const auto from = now();
        if (meanwhile) meanwhile();
        listen(want.window);
        const auto speed = pace(from, now());
        const auto gap = longestGap(from);
        return ::testing::AssertionResult(speed >= want.slowest && speed <= want.fastest &&
                                          gap <= want.maxGap && !closed())
               << "audio at " << speed << " times real time, a wait of " << gap.count() << " ms"
               << (closed() ? ", then closed" : "");
    }
    // Seconds of audio per second of wall time that arrived between `from`
    // and `to`, counted in whole ADTS frames (1024 samples each): 1 is real
    // time, whether the audio is music (large frames) or silence (tiny ones).
    // The audio comes in chunks (a tenth of a second each), so it is measured
    // from the first arrival after `from` to the last one before `to`, not cut
    // wherever the window happens to fall; a wait of over 300 ms at the end
    // still counts, so a stall shows.
    double pace(Time from, Time to) const {
        const auto within = [&](auto& a) { return a.first > from && a.first <= to; };
        const auto first = std::ranges::find_if(arrivals_, within);
        const auto last = std::ranges::find_if(arrivals_ | std::views::reverse, within);
        if (first == arrivals_.end() || &*first == &*last) return 0;
        const auto end = to - last->first > 300ms ? to : last->first;
        double seconds = 0;
        for (const auto& frame : frames())
            if (frame.at >= first->second && frame.at + frame.length <= last->second)
                seconds += frame.seconds;
        return seconds / std::chrono::duration<double>(end - first->first).count();
    }
    // The longest wait between two arrivals after `from`.
    std::chrono::milliseconds longestGap(Time from) const {
        std::chrono::nanoseconds longest{0};
        for (Time last = from; const auto& [at, size] : arrivals_)
            if (at > from) longest = std::max(longest, at - std::exchange(last, at));
        return std::chrono::duration_cast<std::chrono::milliseconds>(longest);
    }
    // What arrived between `from` and `to`, decoded to mono at `rate`.
    std::vector<float> heard(const QString& file, Time from, Time to, int rate = 8000) const {
        // From a frame start: a decoder left to find one by itself can lock
        // onto a sync word inside a frame and decode noise.
        const auto frames = this->frames();
        const auto first =
            std::ranges::find_if(frames, [&](auto& f) { return f.at >= offset(from); });
        const auto begin = first == frames.end() ? offset(from) : first->at;
        std::ofstream(file.toStdString(), std::ios::binary)
            .write(stream_.data() + begin, std::streamsize(offset(to) - begin));
        return test::decodeMono(file.toStdString(), rate);
    }
    std::vector<float> heard(Time from, Time to) const {
        return heard(scratch_.filePath("heard.aac"), from, to);
    }
    // Whether `hertz` sounds in what arrived between `from` and `to`, at
    // least a quarter second of it.
    bool sounds(double hertz, Time from, Time to) const {
        const auto samples = heard(from, to);
        return samples.size() > 2000 && test::sounds(samples, 8000, hertz);
    }

private:
    // Where the body begins, past the head; the end of what came while none.
    std::size_t body() const {
        const auto end = stream_.find("\r\n\r\n");
        return end == std::string::npos ? stream_.size() : end + 4;
    }
    std::size_t audioBytes() const { return stream_.size() - body(); }
    struct Frame {
        std::size_t at, length;
        double seconds;
    };
    // The ADTS frames received so far: the stream starts on a frame (the
    // burst is whole chunks of whole frames), so they follow one another.
    std::vector<Frame> frames() const {
        std::vector<Frame> found;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(stream_.data());
        for (std::size_t at = body(); at < stream_.size();) {
            const auto frame = adtsFrameAt({bytes + at, stream_.size() - at});
            if (!frame || at + frame->length > stream_.size()) break;
            found.push_back({at, frame->length, 1024.0 / frame->sampleRate});
            at += frame->length;
        }
        return found;
    }
    // How much had arrived at `at`.
    std::size_t offset(Time at) const {
        const auto after = std::ranges::upper_bound(arrivals_, at, {}, &Arrival::first);
        return after == arrivals_.begin() ? 0 : std::prev(after)->second;
    }

    test::RawClient client_;
    std::string stream_;                          // head and body as they came
    using Arrival = std::pair<Time, std::size_t>; // when, and how much had come then
    std::vector<Arrival> arrivals_;
    QTemporaryDir scratch_;
};

// Runs `call`, which the panel makes and which must return at once (under
// 100 ms) whatever the services behind it do; again and again for `span`.
inline void returnsAtOnce(const char* what, const std::function<void()>& call,
                          std::chrono::milliseconds span = 0ms) {
    for (const auto end = StreamEar::now() + span;;) {
        const auto begin = StreamEar::now();
        call();
        EXPECT_LT(StreamEar::now() - begin, 100ms) << what;
        if (StreamEar::now() >= end) return;
    }
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
        qputenv("FAKE_TUNNEL_EDGE", QByteArray::number(edge.port()));
    }
    void TearDown() override {
        if (station) station->goOffAir();
        station.reset();
        test::settle(100ms); // answers to the address service still on their way
    }

    // The station's surroundings: this test's pieces.
    Station::Environment environment(AddressClient* client = nullptr, bool watchSystem = false) {
        return {.settings = &settings,
                .addresses = client ? client : &addresses,
                .clock = [this] { return clock; },
                .notify = [this](auto&& t, auto&& b, auto&&) { notices.push_back(t + " / " + b); },
                .terminate = [this] { ++terminated; },
                .watchSystem = watchSystem,
                .passcodeRetry = passcodeRetry,
                .blockCost = {},
                .makeEncoder = makeEncoder,
                .linkCheckVia = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(edge.port())),
                .linkCheckTiming = linkCheckTiming,
                .coverLimits = coverLimits};
    }
    Station& make(AddressClient* client = nullptr, bool watchSystem = false) {
        station = std::make_unique<Station>(environment(client, watchSystem));
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
    AudioPath::MakeEncoder makeEncoder = AACEncoder::make;
    // The stand-in tunnel's public side, where the link's self-check asks:
    // held for this test so that no other one is handed it.
    test::ReservedPort edge;
    LinkCheck::Timing linkCheckTiming;
    FetchLimits coverLimits;
    std::vector<QString> notices;
    int terminated = 0;
    std::unique_ptr<Station> station;
};

} // namespace lantern
