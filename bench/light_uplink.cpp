// The light stream on a narrow uplink: fifty visitors arrive half a second
// apart through a stand-in tunnel whose uplink carries 3 Mbit/s in all
// (shared in turn, at most 256 KiB held per visitor, as a tunnel stream
// allows): about fifteen full streams, or three times as many light ones.
// Music-like audio goes through the audio path in real time, published full
// and light together. Each visitor plays as a page does: it starts once it
// has a second of audio, plays a second per second while it has audio, and
// every 3 s tells the station how far behind live it plays and how much it
// holds beyond that (and hears whether it was moved to the light stream).
//
// Prints every 5 s how the crowd fares (streams, the uplink, what the tunnel
// holds, stalled players, how far behind live they play, the room); then,
// for the last 20 s, each visitor's form, its share of real time, how long
// it stalled, whether it was refused or let go; then how many were carried
// in real time, how many stuttered, the room the station measured, and
// whether ffmpeg decodes what the light visitors got without an error.
// Exits 1 unless at least 40 were carried at 0.97 of real time or better,
// none of them stuttered, and every light stream decodes cleanly.
//
//   light_uplink
#include "core/config/station_config.h"
#include "core/station/audio_path.h"
#include "core/stream/aac_encoder.h"
#include "core/stream/stream_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <asio/use_future.hpp>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <numbers>
#include <optional>
#include <poll.h>
#include <random>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace lantern;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int visitorCount = 50;
constexpr auto arrivalEvery = 500ms;
constexpr auto warmUp = 8s; // on air before the first visitor: the whole burst is kept
constexpr auto afterLast = 60s;
constexpr auto judged = 20s; // the last stretch, the one judged
constexpr auto pollEvery = 3s;
constexpr double startAfter = 1.0; // seconds of audio a player waits for
constexpr double rate = 48000;

double seconds(Clock::duration span) {
    return std::chrono::duration<double>(span).count();
}

// A client socket to the station on 127.0.0.1 that has sent `request`, not blocking.
int sendRequest(std::uint16_t port, const std::string& request) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 16 * 1024;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

std::string visitorIP(int number) {
    return "198.51.100." + std::to_string(number + 1);
}

// One whole ADTS frame as the visitor got it.
struct Frame {
    std::size_t size = 0;
    double seconds = 0;
    Clock::time_point at; // when its last byte reached the visitor
};

struct Visitor {
    int number = 0;
    int fd = -1;
    Clock::time_point joined;
    std::string head, buffer, delivered;
    bool refused = false, letGo = false;
    std::optional<Clock::time_point> refusedAt; // as the page does, it asks again 10 s later
    int refusals = 0;
    std::optional<Clock::time_point> letGoAt; // when the tunnel saw the station end it
    // The whole frames delivered, and where the next one starts.
    std::vector<Frame> frames;
    std::size_t framed = 0;
    double audio = 0;     // seconds in the whole frames delivered
    bool garbled = false; // bytes that are no ADTS frame came where a frame should
    // The player: whether it plays yet, how far it has played, how long it
    // stalled in the judged stretch.
    bool playing = false;
    double played = 0, stalled = 0;
    // The page: its poll under way, when the next is due, what it heard.
    int pollFd = -1;
    std::string pollGot;
    Clock::time_point pollStarted, nextPoll;
    std::optional<Clock::time_point> toldLighter;
    int polls = 0, failedPolls = 0;

    void takeFrames(Clock::time_point now) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(delivered.data());
        while (!garbled && framed < delivered.size()) {
            const auto frame = adtsFrameAt({bytes + framed, delivered.size() - framed});
            if (!frame) {
                garbled = delivered.size() - framed >= 7;
                return;
            }
            if (framed + frame->length > delivered.size()) return;
            frames.push_back({frame->length, 1024 / frame->sampleRate, now});
            audio += 1024 / frame->sampleRate;
            framed += frame->length;
        }
    }

    // The player's step of `dt` seconds: it starts with a second of audio,
    // then plays what it has and stalls without.
    void play(double dt, bool judging) {
        if (!playing && audio < startAfter) return;
        playing = true;
        const double step = std::min(dt, std::max(audio - played, 0.0));
        played += step;
        if (judging) stalled += dt - step;
    }

    // How far behind live it plays: the burst's seconds, and every second
    // since it joined that it did not play.
    double lag(Clock::time_point now) const {
        return std::max(0.0, seconds(now - joined) + StationConfig::burstSeconds - played);
    }
};

// Stands where the tunnel stands on a narrow uplink: each visitor's stream
// is read from the station into a buffer of at most 256 KiB, and one uplink
// of 3 Mbit/s carries all the buffers to their visitors in turn.
class NarrowTunnel {
public:
    static constexpr double uplink = 375'000; // bytes per second
    static constexpr std::size_t buffered = 256 * 1024;

    explicit NarrowTunnel(std::uint16_t port) : port_(port) {}
    ~NarrowTunnel() {
        for (auto& visitor : visitors_) {
            ::close(visitor.fd);
            if (visitor.pollFd >= 0) ::close(visitor.pollFd);
        }
    }

    void visit(Clock::time_point now) {
        Visitor visitor;
        visitor.number = static_cast<int>(visitors_.size());
        connect(visitor, now);
        visitors_.push_back(std::move(visitor));
    }

    // A refused visitor's page asks again after the Retry-After (10 s), as
    // the page does; judged from when it got in.
    void retry(Clock::time_point now) {
        for (auto& visitor : visitors_)
            if (visitor.refused && visitor.refusedAt && now - *visitor.refusedAt >= 10s) {
                ::close(visitor.fd);
                visitor.head.clear();
                visitor.buffer.clear();
                visitor.refused = false;
                visitor.refusedAt.reset();
                connect(visitor, now);
            }
    }

    void connect(Visitor& visitor, Clock::time_point now) {
        visitor.joined = now;
        visitor.nextPoll = now + pollEvery;
        visitor.fd = sendRequest(
            port_, "GET /stream?l=v" + std::to_string(visitor.number) +
                       " HTTP/1.1\r\nCf-Connecting-IP: " + visitorIP(visitor.number) + "\r\n\r\n");
    }

    // One step: reads what the buffers have room for, then sends what the
    // uplink carries in `elapsed`, a slice of each visitor's buffer in turn.
    void step(std::chrono::duration<double> elapsed) {
        std::array<char, 16384> bytes{};
        for (auto& visitor : visitors_) {
            // A stream the station reset is dropped, with what is held of it.
            pollfd reset{visitor.fd, 0, 0};
            if (::poll(&reset, 1, 0) > 0 && (reset.revents & POLLERR)) {
                visitor.letGo = true;
                visitor.buffer.clear();
            }
            if (visitor.letGo && !visitor.letGoAt) visitor.letGoAt = Clock::now();
            while (!visitor.letGo && visitor.buffer.size() < buffered) {
                const auto room = std::min(bytes.size(), buffered - visitor.buffer.size());
                const auto got = ::recv(visitor.fd, bytes.data(), room, 0);
                if (got == 0 || (got < 0 && errno != EAGAIN)) visitor.letGo = !visitor.refused;
                if (got <= 0) break;
                visitor.buffer.append(bytes.data(), static_cast<std::size_t>(got));
                if (visitor.head.empty() && visitor.buffer.find("\r\n\r\n") != std::string::npos) {
                    const auto end = visitor.buffer.find("\r\n\r\n") + 4;
                    visitor.head = visitor.buffer.substr(0, end);
                    visitor.buffer.erase(0, end);
                    visitor.refused = !visitor.head.starts_with("HTTP/1.1 200");
                    if (visitor.refused) visitor.refusedAt = Clock::now(), ++visitor.refusals;
                }
            }
        }
        budget_ += uplink * elapsed.count();
        const auto now = Clock::now();
        // Whole slices in turn: a slice the budget cannot carry yet waits
        // for the next step (cut to what is left, every step would short the
        // same visitors).
        for (std::size_t idle = 0; idle < visitors_.size();) {
            auto& visitor = visitors_[turn_ % visitors_.size()];
            const auto slice = std::min<std::size_t>(visitor.buffer.size(), 1460);
            if (visitor.head.empty() || visitor.refused || slice == 0) {
                ++idle;
                ++turn_;
                continue;
            }
            if (budget_ < static_cast<double>(slice)) break;
            idle = 0;
            ++turn_;
            carried_ += slice;
            visitor.delivered.append(visitor.buffer, 0, slice);
            visitor.buffer.erase(0, slice);
            budget_ -= static_cast<double>(slice);
        }
        budget_ = std::min(budget_, uplink / 10); // an idle uplink saves nothing up
        for (auto& visitor : visitors_)
            visitor.takeFrames(now);
    }

    // The players' step, and the pages' polls of /now: one every 3 s on a
    // short connection of its own, saying how far behind live the page plays.
    void listen(std::chrono::duration<double> elapsed, bool judging) {
        const auto now = Clock::now();
        std::array<char, 4096> bytes{};
        for (auto& visitor : visitors_) {
            if (visitor.refused) continue;
            visitor.play(elapsed.count(), judging);
            if (visitor.pollFd >= 0) {
                for (;;) {
                    const auto got = ::recv(visitor.pollFd, bytes.data(), bytes.size(), 0);
                    if (got > 0) {
                        visitor.pollGot.append(bytes.data(), static_cast<std::size_t>(got));
                        continue;
                    }
                    if (got < 0 && errno == EAGAIN && now - visitor.pollStarted < pollEvery) break;
                    heard(visitor, now, got == 0);
                    break;
                }
            }
            if (visitor.pollFd < 0 && now >= visitor.nextPoll) {
                visitor.nextPoll += pollEvery;
                char lag[64];
                std::snprintf(lag, sizeof lag, "%.1f&ahead=%.1f", visitor.lag(now),
                              visitor.playing ? visitor.audio - visitor.played : 0.0);
                visitor.pollFd = sendRequest(
                    port_, "GET /now?lag=" + std::string(lag) + "&l=v" +
                               std::to_string(visitor.number) +
                               " HTTP/1.1\r\nHost: station\r\nCf-Connecting-IP: " +
                               visitorIP(visitor.number) + "\r\nConnection: close\r\n\r\n");
                visitor.pollStarted = now;
                visitor.pollGot.clear();
            }
        }
    }

    std::vector<Visitor>& visitors() { return visitors_; }
    // Bytes the uplink carried so far.
    std::uint64_t carried() const { return carried_; }

private:
    // A poll's answer, whole (`ended`) or not.
    static void heard(Visitor& visitor, Clock::time_point now, bool ended) {
        ::close(std::exchange(visitor.pollFd, -1));
        ++visitor.polls;
        const auto end = visitor.pollGot.find("\r\n\r\n");
        const auto body = nlohmann::json::parse(
            end == std::string::npos ? std::string() : visitor.pollGot.substr(end + 4), nullptr,
            false);
        if (!ended || !visitor.pollGot.starts_with("HTTP/1.1 200") || !body.is_object()) {
            ++visitor.failedPolls;
            return;
        }
        const auto lighter = body.find("lighter");
        if (lighter != body.end() && *lighter == true && !visitor.toldLighter)
            visitor.toldLighter = now;
    }

    std::uint16_t port_;
    std::vector<Visitor> visitors_;
    double budget_ = 0;
    std::size_t turn_ = 0; // whose slice the uplink carries next
    std::uint64_t carried_ = 0;
};

// Music-like stereo: two tones with vibrato over a bed of noise.
class Music {
public:
    void fill(std::vector<float>& block) {
        for (std::size_t i = 0; i < block.size(); i += 2, ++at_) {
            const double t = static_cast<double>(at_) / rate;
            const double tone = 0.3 * std::sin(2 * std::numbers::pi * (220 + 5 * std::sin(t)) * t) +
                                0.2 * std::sin(2 * std::numbers::pi * 1760 * t);
            block[i] = static_cast<float>(tone) + noise_(random_);
            block[i + 1] = static_cast<float>(0.8 * tone) + noise_(random_);
        }
    }

private:
    std::uint64_t at_ = 0;
    std::mt19937 random_{3};
    std::normal_distribution<float> noise_{0, 0.05f};
};

// What ffmpeg says decoding `bytes` as ADTS: empty when it decodes cleanly.
std::string decodeErrors(const std::string& bytes) {
    char errors[] = "/tmp/light_uplink.XXXXXX";
    const int errorsFd = ::mkstemp(errors);
    if (errorsFd < 0) return "no temporary file";
    ::close(errorsFd);
    const auto command =
        std::string("ffmpeg -hide_banner -v error -f aac -i - -f null - 2>") + errors;
    FILE* ffmpeg = ::popen(command.c_str(), "w");
    if (!ffmpeg) return "ffmpeg did not start";
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), ffmpeg) == bytes.size();
    const int status = ::pclose(ffmpeg);
    std::ifstream in(errors);
    std::stringstream said;
    said << in.rdbuf();
    ::unlink(errors);
    auto text = said.str();
    if (!written) text += "(not all bytes were taken)\n";
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        text += "(exit status " + std::to_string(status) + ")\n";
    return text;
}

} // namespace

int main() {
    std::signal(SIGPIPE, SIG_IGN); // an ffmpeg that stops reading is reported, not fatal
    const auto r = Renditions::make(StationConfig::burstSeconds, StationConfig::bitrate,
                                    StationConfig::lightBitrate, 256);
    StreamServer server(
        r.full, "", [](double) { return std::string("{}"); }, [] { return std::nullopt; },
        [] { return Access{}; });
    server.setLight(r.light, r.opus, double(StationConfig::lightBitrate) / StationConfig::bitrate);
    server.trustTunnel([](int) { return true; }); // every visitor stands for one through the tunnel
    auto started = server.start(asio::use_future);
    if (started.wait_for(5s) != std::future_status::ready) return 1;
    const auto port = started.get();

    // The capture: blocks of 1024 frames in real time through the audio
    // path, which encodes and publishes the full and the light stream together.
    std::atomic<bool> capturing{true};
    std::vector<Clock::time_point> fed; // when each block went in
    fed.reserve(8192);
    std::thread capture([&] {
        auto shared = std::make_shared<Shared>();
        VoiceRing ring(38400);
        AudioPath::Light light;
        light.aac = r.light;
        light.opus = r.opus;
        AudioPath path(shared, r.full, {ring, [](double) {}}, StationConfig::bitrate, {},
                       AACEncoder::make, nullptr, std::move(light));
        Music music;
        std::vector<float> block(2 * 1024);
        for (auto next = Clock::now(); capturing; next += std::chrono::nanoseconds(21'333'333)) {
            music.fill(block);
            path(block, rate);
            fed.push_back(Clock::now());
            std::this_thread::sleep_until(next);
        }
    });
    std::this_thread::sleep_for(warmUp);

    NarrowTunnel tunnel(port);
    auto& visitors = tunnel.visitors();
    const auto start = Clock::now();
    const auto end = start + arrivalEvery * (visitorCount - 1) + afterLast;
    const auto judgedFrom = end - judged;
    std::uint64_t fullAtJudged = 0, lightAtJudged = 0;
    std::vector<std::pair<double, std::size_t>> rooms; // when the room changed, to what
    auto lastRoomCheck = start;
    int ticks = 0;
    std::uint64_t carriedBefore = 0;
    for (auto last = start; Clock::now() < end; std::this_thread::sleep_for(5ms)) {
        const auto now = Clock::now();
        if (visitors.size() < visitorCount &&
            now - start >= arrivalEvery * static_cast<int>(visitors.size()))
            tunnel.visit(now);
        tunnel.retry(now);
        tunnel.step(now - last);
        const bool judging = now >= judgedFrom;
        if (judging && last < judgedFrom) {
            fullAtJudged = r.full->published();
            lightAtJudged = r.light->published();
        }
        tunnel.listen(now - last, judging);
        if (now - lastRoomCheck >= 1s) {
            lastRoomCheck = now;
            const auto room = server.room();
            if (room && (rooms.empty() || rooms.back().second != *room))
                rooms.emplace_back(seconds(now - start), *room);
            if (++ticks % 5 == 0) {
                // Every 5 s, how the crowd fares as it goes.
                std::size_t open = 0, stalledNow = 0, held = 0;
                std::vector<double> lags;
                for (const auto& visitor : visitors) {
                    held += visitor.buffer.size();
                    if (visitor.refused || visitor.letGo) continue;
                    ++open;
                    stalledNow += visitor.playing && visitor.audio <= visitor.played;
                    lags.push_back(visitor.lag(now));
                }
                std::sort(lags.begin(), lags.end());
                const auto carried = tunnel.carried();
                std::printf(
                    "%3.0f s: %2zu streams (the station counts %zu full, %zu light), uplink "
                    "%3.0f kB/s, the tunnel holds %4.1f MiB, %2zu stalled now, lag median "
                    "%4.1f s max %4.1f s, room %s\n",
                    seconds(now - start), open, r.full->ownCount(), r.light->ownCount(),
                    static_cast<double>(carried - carriedBefore) / 5000,
                    static_cast<double>(held) / (1 << 20), stalledNow,
                    lags.empty() ? 0.0 : lags[lags.size() / 2], lags.empty() ? 0.0 : lags.back(),
                    room ? std::to_string(*room).c_str() : "none");
                std::fflush(stdout);
                carriedBefore = carried;
            }
        }
        last = now;
    }
    const auto stop = Clock::now();
    // Who the station had let go by the end: once the stand-in stops carrying,
    // every socket backs up, and what the station does then is no figure.
    // (The tunnel may still hold some of a closed stream for its visitor.)
    std::vector<bool> closedByStop;
    for (const auto& visitor : visitors) {
        pollfd closed{visitor.fd, POLLRDHUP, 0};
        closedByStop.push_back(visitor.letGo ||
                               (::poll(&closed, 1, 0) > 0 && closed.revents & POLLRDHUP));
    }
    const double fullRate =
        static_cast<double>(r.full->published() - fullAtJudged) / seconds(stop - judgedFrom);
    const double lightRate =
        static_cast<double>(r.light->published() - lightAtJudged) / seconds(stop - judgedFrom);
    capturing = false;
    capture.join();

    // Measured against what was captured: a machine too busy to capture in
    // real time slows the source, not the uplink.
    const auto source =
        static_cast<double>(std::count_if(fed.begin(), fed.end(),
                                          [&](auto at) { return at >= judgedFrom && at < stop; })) *
        1024 / rate / seconds(stop - judgedFrom);
    std::printf("the source was captured at %.3f of real time; published full %.1f kB/s, light "
                "%.1f kB/s (%.2f of the full)\n",
                source, fullRate / 1000, lightRate / 1000, lightRate / fullRate);
    std::printf("the room, as it changed:");
    for (const auto& [at, room] : rooms)
        std::printf(" %zu at %.0f s;", room, at);
    std::printf("%s\n", rooms.empty() ? " never measured" : "");

    // A frame no bigger than halfway between the two forms' frames is light.
    const double lightFrame = (fullRate + lightRate) / 2 / (rate / 1024);
    const auto lightAt = [&](const Visitor& visitor, std::size_t from, std::size_t to) {
        std::size_t bytes = 0;
        for (auto i = from; i < to; ++i)
            bytes += visitor.frames[i].size;
        return to > from && static_cast<double>(bytes) / double(to - from) <= lightFrame;
    };
    int inRealTime = 0, stuttering = 0, refused = 0, letGoCount = 0, fullCount = 0, lightCount = 0;
    bool decodesCleanly = true;
    int lightDecoded = 0;
    for (auto& visitor : visitors) {
        const auto count = visitor.frames.size();
        const bool startedLight = lightAt(visitor, 0, std::min<std::size_t>(count, 47));
        const bool endsLight = lightAt(visitor, count - std::min<std::size_t>(count, 47), count);
        double audio = 0;
        for (const auto& frame : visitor.frames)
            if (frame.at >= judgedFrom) audio += frame.seconds;
        const double share = audio / seconds(stop - judgedFrom);
        const bool letGo = closedByStop[static_cast<std::size_t>(visitor.number)];
        const bool carried = !visitor.refused && !letGo;
        refused += visitor.refused;
        letGoCount += !visitor.refused && letGo;
        std::printf("v%-2d joined %4.1f s  ", visitor.number, seconds(visitor.joined - start));
        if (visitor.refused) {
            std::printf("refused (%s)\n",
                        visitor.head.substr(0, visitor.head.find("\r\n")).c_str());
            continue;
        }
        std::string form = endsLight ? "light" : "full";
        if (startedLight) form += " (joined light)";
        if (!startedLight && endsLight) {
            // Moved: when its first light frame reached it.
            std::size_t first = count;
            while (first > 0 && lightAt(visitor, first - 1, first))
                --first;
            char moved[64];
            std::snprintf(moved, sizeof moved, " (moved, heard from %.1f s)",
                          seconds(visitor.frames[std::min(first, count - 1)].at - start));
            form += moved;
        }
        if (visitor.toldLighter) {
            char told[48];
            std::snprintf(told, sizeof told, " page told at %.1f s",
                          seconds(*visitor.toldLighter - start));
            form += told;
        } else if (!startedLight && endsLight) {
            form += " PAGE NEVER TOLD";
        }
        if (visitor.garbled) form += " GARBLED";
        char fate[48] = "carried";
        if (!carried)
            std::snprintf(fate, sizeof fate, "LET GO at %.1f s",
                          visitor.letGoAt ? seconds(*visitor.letGoAt - start)
                                          : seconds(stop - start));
        std::printf("%-50s %.3f of real time (%.3f of the source)  stalled %4.1f s  %s, %.1f s "
                    "behind live  polls %d (%d failed)\n",
                    form.c_str(), share, share / source, visitor.stalled, fate, visitor.lag(stop),
                    visitor.polls, visitor.failedPolls);
        if (carried) {
            inRealTime += share / source >= 0.97;
            stuttering += visitor.stalled > 1.0;
            (endsLight ? lightCount : fullCount) += 1;
        }
        if (endsLight) {
            ++lightDecoded;
            const auto errors = decodeErrors(visitor.delivered.substr(0, visitor.framed));
            if (!errors.empty() || visitor.garbled) {
                decodesCleanly = false;
                std::printf("    v%d does not decode cleanly: %s\n", visitor.number,
                            errors.substr(0, 400).c_str());
            }
        }
    }
    const auto room = server.room();
    std::printf("%d carried at >= 0.97 of real time (%d full, %d light carried), %d stuttering, "
                "%d refused, %d let go; room %s; %d light streams %s\n",
                inRealTime, fullCount, lightCount, stuttering, refused, letGoCount,
                room ? std::to_string(*room).c_str() : "none", lightDecoded,
                decodesCleanly ? "decode cleanly" : "DO NOT DECODE CLEANLY");
    const bool met = inRealTime >= 40 && stuttering == 0 && decodesCleanly;
    std::printf("%s\n", met ? "PASS" : "FAIL");
    return met ? 0 : 1;
}
