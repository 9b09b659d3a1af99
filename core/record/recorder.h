#pragma once

#include "core/nowplaying/cover.h"
#include "core/stream/fanout.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace lantern {

// Keeps what the fan-out publishes (the listeners' own bytes) as a file, from
// a thread of its own: a slow disk holds up nothing but this recorder, whose
// place in the fan-out drops the audio it cannot take. The audio and a journal
// of its chapters are written as they come, hidden beside the file to be, so
// a crash loses at most the last seconds; when the recorder ends they become
// one MP4 audio file with a chapter per track and per stretch of talk.
class Recorder {
public:
    struct Source {
        std::string station; // the station's name
        // What the audio published at a moment is ("Artist - Title", "Talk"),
        // or nothing known.
        std::function<std::optional<std::string>(Chunk::Clock::time_point)> chapterAt;
        // The cover of what plays now.
        std::function<std::optional<Cover>()> cover;
    };
    struct Report {
        // Why the recording stopped before its end, in the user's words.
        std::optional<std::string> stopped;
        // The finished file, once it is, and its length in seconds.
        std::optional<std::filesystem::path> saved;
        double seconds = 0;
    };

    // Starts at once in `folder` (made when missing), the file named after
    // the station and `began`; `report` is called on the recorder's thread.
    Recorder(std::shared_ptr<Fanout> fanout, std::filesystem::path folder, Source source,
             std::chrono::system_clock::time_point began,
             std::function<void(const Report&)> report);
    // Writes what is still queued, finishes the file and waits for that.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Seconds of audio recorded so far.
    double seconds() const { return seconds_.load(); }

private:
    void run();
    bool open(std::string& problem);
    bool write(int fd, std::span<const std::uint8_t> bytes, std::string& problem);
    void note(const std::string& line);
    void finish(std::optional<std::string> stopped);

    const std::shared_ptr<Fanout> fanout_;
    const std::filesystem::path folder_;
    const Source source_;
    const std::chrono::system_clock::time_point began_;
    const std::function<void(const Report&)> report_;
    std::filesystem::path file_; // the finished file to be
    int audio_ = -1, journal_ = -1;
    std::atomic<double> seconds_{0};
    std::atomic<bool> stopping_{false};
    std::shared_ptr<Listener> seat_;
    std::thread thread_;
};

// "STATION YYYY-MM-DD HH-MM.m4a" in local time, with what a file name cannot
// hold replaced; " 2", " 3"… before the extension when `folder` has that name.
std::filesystem::path recordingPath(const std::filesystem::path& folder, std::string_view station,
                                    std::chrono::system_clock::time_point began);

// Finishes into MP4 files the recordings a crash left in `folder`, with the
// chapters known so far: the files made.
std::vector<std::filesystem::path> finishLeftRecordings(const std::filesystem::path& folder);

} // namespace lantern
