#include "core/record/recorder.h"

#include "core/record/m4a.h"
#include "core/stream/aac_encoder.h"

#include <algorithm>
#include <asio/use_future.hpp>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace lantern {

namespace {

using namespace std::chrono_literals;

// How often what was written is pushed to the disk itself: a power cut loses
// at most this and what the disk was still taking.
constexpr auto syncEvery = 5s;
// Bounds on what a journal left in the folder may hold.
constexpr std::size_t longestText = 1000;
constexpr std::uintmax_t largestCover = 16U << 20;

std::filesystem::path beside(const std::filesystem::path& file, const char* what) {
    auto path = file;
    path.replace_filename("." + file.filename().string() + what);
    return path;
}

// The seconds of audio in `bytes`: whole ADTS frames of 1,024 samples each.
double adtsSeconds(std::span<const std::uint8_t> bytes) {
    double seconds = 0;
    for (auto frame = adtsFrameAt(bytes); frame && frame->length <= bytes.size();
         frame = adtsFrameAt(bytes)) {
        seconds += 1024.0 / frame->sampleRate;
        bytes = bytes.subspan(frame->length);
    }
    return seconds;
}

// `at` in local time, as strftime's `format` puts it.
std::string localTime(std::chrono::system_clock::time_point at, const char* format) {
    const auto time = std::chrono::system_clock::to_time_t(at);
    std::tm local{};
    ::localtime_r(&time, &local);
    std::array<char, 32> text{};
    std::strftime(text.data(), text.size(), format, &local);
    return text.data();
}

// A journal's text, bounded and free of what could end its line.
std::optional<std::string> textIn(const nlohmann::json& line, const char* key) {
    const auto found = line.find(key);
    if (found == line.end() || !found->is_string()) return std::nullopt;
    auto text = found->get<std::string>();
    if (text.size() > longestText) text.resize(longestText);
    return text;
}

// What a journal holds: the title, the chapters and the cover's type. Lines
// that are not what this recorder writes are passed over.
M4AContents readJournal(const std::filesystem::path& journal, const std::filesystem::path& cover) {
    M4AContents contents;
    std::ifstream in(journal);
    std::string text;
    std::optional<std::string> coverType;
    while (std::getline(in, text)) {
        const auto line = nlohmann::json::parse(text, nullptr, false);
        if (!line.is_object()) continue;
        if (auto title = textIn(line, "title")) contents.title = std::move(*title);
        if (auto type = textIn(line, "cover")) coverType = std::move(*type);
        const auto at = line.find("at");
        auto chapter = textIn(line, "chapter");
        if (chapter && at != line.end() && at->is_number()) {
            const double start = at->get<double>();
            const double after = contents.chapters.empty() ? 0 : contents.chapters.back().start;
            if (std::isfinite(start) && start >= after)
                contents.chapters.push_back({start, std::move(*chapter)});
        }
    }
    std::error_code error;
    const auto kind = std::filesystem::symlink_status(cover, error).type();
    if (coverType && kind == std::filesystem::file_type::regular &&
        std::filesystem::file_size(cover, error) <= largestCover) {
        std::ifstream image(cover, std::ios::binary);
        Cover found{{std::istreambuf_iterator<char>(image), {}}, *coverType};
        if (!error && !found.bytes.empty()) contents.cover = std::move(found);
    }
    return contents;
}

void removeWork(const std::filesystem::path& file) {
    std::error_code ignored;
    for (const char* what : {".aac", ".json", ".cover"})
        std::filesystem::remove(beside(file, what), ignored);
}

} // namespace

std::filesystem::path recordingPath(const std::filesystem::path& folder, std::string_view station,
                                    std::chrono::system_clock::time_point began) {
    // What a file name cannot hold, or hides it, or other systems refuse.
    std::string name(station.substr(0, 120));
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F ||
            std::string_view("/\\:*?\"<>|").find(c) != std::string_view::npos)
            c = '_';
    while (!name.empty() && (name.front() == '.' || name.front() == ' '))
        name.erase(0, 1);
    const auto base = (name.empty() ? std::string("Lantern FM") : name) + " " +
                      localTime(began, "%Y-%m-%d %H-%M");
    std::error_code error;
    for (int n = 1;; ++n) {
        auto path = folder / (base + (n > 1 ? " " + std::to_string(n) : "") + ".m4a");
        if (!std::filesystem::exists(std::filesystem::symlink_status(path, error)) &&
            !std::filesystem::exists(std::filesystem::symlink_status(beside(path, ".aac"), error)))
            return path;
    }
}

std::vector<std::filesystem::path> finishLeftRecordings(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> finished;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const auto name = entry.path().filename().string();
        if (!name.starts_with(".") || !name.ends_with(".m4a.aac") ||
            entry.symlink_status(error).type() != std::filesystem::file_type::regular)
            continue;
        auto file = folder / name.substr(1, name.size() - 5);
        auto contents = readJournal(beside(file, ".json"), beside(file, ".cover"));
        // A finished file of that name (the crash came after it was made)
        // is kept; this one takes the next free name.
        auto out = file;
        for (int n = 2; std::filesystem::exists(std::filesystem::symlink_status(out, error)); ++n)
            out = folder / (file.stem().string() + " " + std::to_string(n) + ".m4a");
        if (!writeM4A(entry.path(), out, contents)) {
            removeWork(file);
            finished.push_back(out);
        }
    }
    return finished;
}

Recorder::Recorder(std::shared_ptr<Fanout> fanout, std::filesystem::path folder, Source source,
                   std::chrono::system_clock::time_point began,
                   std::function<void(const Report&)> report)
    : fanout_(std::move(fanout)), folder_(std::move(folder)), source_(std::move(source)),
      began_(began), report_(std::move(report)),
      // Joined here, so that nothing published from now on is missed.
      seat_(fanout_->join(std::nullopt, false)), thread_([this] { run(); }) {}

Recorder::~Recorder() {
    stopping_ = true; // what is queued is written first: see run()
    thread_.join();
    fanout_->leave(seat_);
}

bool Recorder::open(std::string& problem) {
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (error) {
        problem = "can't make the folder " + folder_.string() + " (" + error.message() + ")";
        return false;
    }
    file_ = recordingPath(folder_, source_.station, began_);
    constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
    audio_ = ::open(beside(file_, ".aac").c_str(), flags, 0644);
    journal_ = audio_ < 0 ? -1 : ::open(beside(file_, ".json").c_str(), flags, 0644);
    if (audio_ < 0 || journal_ < 0) {
        problem = errno == ENOSPC
                      ? "the disk is full"
                      : "can't write to " + folder_.string() + " (" + std::strerror(errno) + ")";
        if (audio_ >= 0) { // only what this recorder made goes
            ::close(audio_);
            std::filesystem::remove(beside(file_, ".aac"), error);
        }
        audio_ = journal_ = -1;
        return false;
    }
    note(nlohmann::json{{"title", source_.station + ", " + localTime(began_, "%Y-%m-%d")}}.dump());
    return true;
}

bool Recorder::write(int fd, std::span<const std::uint8_t> bytes, std::string& problem) {
    while (!bytes.empty()) {
        const auto written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            problem = written < 0 && errno != ENOSPC ? std::strerror(errno) : "the disk is full";
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return true;
}

// One line of the journal, on the disk at once: chapters are few and small.
void Recorder::note(const std::string& line) {
    std::string problem;
    const auto text = line + "\n";
    if (write(journal_, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, problem))
        ::fdatasync(journal_);
}

void Recorder::run() {
    std::string problem;
    if (!open(problem)) {
        report_({.stopped = problem, .saved = std::nullopt, .seconds = 0});
        return;
    }
    // The burst is audio from before the recording began.
    bool skipBurst = fanout_->burstSize() > 0;
    std::optional<std::string> chapter;
    bool coverKept = false;
    auto synced = std::chrono::steady_clock::now();
    std::vector<Chunk> chunks;
    for (;;) {
        chunks.clear();
        if (stopping_) {
            // Stopped while audio still comes: what is queued now is the last.
            seat_->takeAll(chunks);
            seat_->end();
        } else {
            auto next = seat_->next(asio::use_future);
            // Only a seat with nothing queued waits, so ending it now loses nothing.
            while (next.wait_for(100ms) != std::future_status::ready)
                if (stopping_) seat_->end();
            if (auto chunk = next.get()) chunks.push_back(std::move(*chunk));
            seat_->takeAll(chunks);
        }
        if (chunks.empty()) break; // ended, and everything queued is written
        if (std::exchange(skipBurst, false)) chunks.erase(chunks.begin());
        for (const auto& piece : chunks) {
            const auto at = piece.publishedAt(0);
            auto now = at && source_.chapterAt ? source_.chapterAt(*at) : std::nullopt;
            if (now && now != chapter) {
                note(nlohmann::json{{"at", seconds_.load()}, {"chapter", *now}}.dump());
                chapter = std::move(now);
            }
            if (!coverKept && chapter && source_.cover) {
                if (auto cover = source_.cover()) {
                    std::string ignored;
                    const int fd =
                        ::open(beside(file_, ".cover").c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
                    if (fd >= 0 && write(fd, cover->bytes, ignored))
                        note(nlohmann::json{{"cover", cover->type}}.dump());
                    if (fd >= 0) ::close(fd);
                    coverKept = true;
                }
            }
            if (!write(audio_, piece.bytes(), problem)) {
                seat_->end();
                return finish(problem);
            }
            seconds_ = seconds_.load() + adtsSeconds(piece.bytes());
        }
        if (std::chrono::steady_clock::now() - synced >= syncEvery) {
            ::fdatasync(audio_);
            synced = std::chrono::steady_clock::now();
        }
    }
    finish(std::nullopt);
}

void Recorder::finish(std::optional<std::string> stopped) {
    ::close(audio_);
    ::close(journal_);
    // On a full disk the file cannot be made yet: the audio and its journal
    // stay, and the next start finishes them.
    const auto contents = readJournal(beside(file_, ".json"), beside(file_, ".cover"));
    const auto failed = writeM4A(beside(file_, ".aac"), file_, contents);
    if (!failed) removeWork(file_);
    if (failed && !stopped) stopped = *failed;
    report_({.stopped = stopped,
             .saved = failed ? std::nullopt : std::optional(file_),
             .seconds = seconds_.load()});
}

} // namespace lantern
