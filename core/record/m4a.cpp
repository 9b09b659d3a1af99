#include "core/record/m4a.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <system_error>
#include <unistd.h>
#include <utility>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace lantern {

namespace {

std::string averror(int code) {
    if (code == AVERROR(ENOSPC)) return "the disk is full";
    std::array<char, AV_ERROR_MAX_STRING_SIZE> text{};
    av_strerror(code, text.data(), text.size());
    return text.data();
}

struct InputCloser {
    void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
struct OutputCloser {
    void operator()(AVFormatContext* context) const {
        if (context->pb) avio_closep(&context->pb);
        avformat_free_context(context); // its chapters and their titles too
    }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

// The work file beside `out`, made new: never through a link planted there
// (by whoever else may write the folder) and never over a file that is
// there, which only moves it to the next free name. Removed when it goes,
// unless kept.
struct WorkFile {
    explicit WorkFile(const std::filesystem::path& out) {
        for (int n = 1; fd < 0 && n <= 100; ++n) {
            path = out;
            path.replace_filename("." + out.stem().string() +
                                  (n > 1 ? " " + std::to_string(n) : "") + ".part" +
                                  out.extension().string());
            fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd < 0 && errno != EEXIST) break;
        }
        if (fd < 0) path.clear();
    }
    ~WorkFile() {
        if (fd >= 0) ::close(fd);
        std::error_code ignored;
        if (!kept && !path.empty()) std::filesystem::remove(path, ignored);
    }
    WorkFile(const WorkFile&) = delete;
    WorkFile& operator=(const WorkFile&) = delete;

    std::filesystem::path path;
    int fd = -1;
    bool kept = false;
};

// An image's width and height from its header: PNG's IHDR, or a JPEG's frame
// marker; nothing for anything else.
std::optional<std::pair<int, int>> imageSize(const std::vector<std::uint8_t>& bytes) {
    const auto at = [&](std::size_t i, int count) {
        int value = 0;
        for (int k = 0; k < count; ++k)
            value = (value << 8) | bytes[i + k];
        return value;
    };
    if (bytes.size() >= 24 && bytes[0] == 0x89 && bytes[1] == 'P' && bytes[12] == 'I' &&
        bytes[13] == 'H')
        return std::pair(at(16, 4), at(20, 4));
    for (std::size_t i = 2; bytes.size() >= 4 && bytes[0] == 0xFF && bytes[1] == 0xD8 &&
                            i + 9 <= bytes.size() && bytes[i] == 0xFF;
         i += 2 + static_cast<std::size_t>(at(i + 2, 2))) {
        const auto marker = bytes[i + 1];
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC)
            return std::pair(at(i + 7, 2), at(i + 5, 2));
    }
    return std::nullopt;
}

// The artwork as an attached picture, when it is an image MP4 can carry.
bool addCover(AVFormatContext* out, const Cover& cover) {
    const auto codec = cover.type == "image/png"    ? AV_CODEC_ID_PNG
                       : cover.type == "image/jpeg" ? AV_CODEC_ID_MJPEG
                                                    : AV_CODEC_ID_NONE;
    const auto size = imageSize(cover.bytes);
    if (codec == AV_CODEC_ID_NONE || !size || size->first <= 0 || size->second <= 0) return true;
    AVStream* art = avformat_new_stream(out, nullptr);
    if (!art) return false;
    art->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    art->codecpar->codec_id = codec;
    art->codecpar->width = size->first;
    art->codecpar->height = size->second;
    art->disposition = AV_DISPOSITION_ATTACHED_PIC;
    if (av_new_packet(&art->attached_pic, static_cast<int>(cover.bytes.size())) < 0) return false;
    std::copy(cover.bytes.begin(), cover.bytes.end(), art->attached_pic.data);
    art->attached_pic.stream_index = art->index;
    art->attached_pic.flags |= AV_PKT_FLAG_KEY;
    return true;
}

bool addChapters(AVFormatContext* out, const std::vector<Chapter>& chapters, double length) {
    if (chapters.empty()) return true;
    out->chapters = static_cast<AVChapter**>(av_calloc(chapters.size(), sizeof(AVChapter*)));
    if (!out->chapters) return false;
    for (std::size_t i = 0; i < chapters.size(); ++i) {
        auto* chapter = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        if (!chapter) return false;
        out->chapters[out->nb_chapters++] = chapter;
        const double end = i + 1 < chapters.size() ? chapters[i + 1].start : length;
        chapter->id = static_cast<std::int64_t>(i);
        chapter->time_base = {1, 1000};
        chapter->start = static_cast<std::int64_t>(chapters[i].start * 1000);
        chapter->end = std::max(chapter->start, static_cast<std::int64_t>(end * 1000));
        av_dict_set(&chapter->metadata, "title", chapters[i].title.c_str(), 0);
    }
    return true;
}

} // namespace

std::optional<std::string> writeM4A(const std::filesystem::path& adts,
                                    const std::filesystem::path& out, const M4AContents& contents) {
    // Read twice: first for the length (the last chapter ends with the
    // audio), then to write, so a long show is never held in memory.
    const auto open = [&](std::unique_ptr<AVFormatContext, InputCloser>& input) {
        AVFormatContext* opened = nullptr;
        const int failed =
            avformat_open_input(&opened, adts.c_str(), av_find_input_format("aac"), nullptr);
        input.reset(opened);
        return failed < 0 ? failed : avformat_find_stream_info(opened, nullptr);
    };
    std::unique_ptr<AVFormatContext, InputCloser> input;
    if (const int failed = open(input); failed < 0)
        return "can't read the recorded audio: " + averror(failed);
    if (input->nb_streams != 1 || input->streams[0]->codecpar->codec_id != AV_CODEC_ID_AAC)
        return std::string("the recorded audio holds no AAC");
    const std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    if (!packet) return std::string("out of memory");
    double length = 0;
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        const auto* stream = input->streams[0];
        if (packet->pts != AV_NOPTS_VALUE)
            length = std::max(length, static_cast<double>(packet->pts + packet->duration) *
                                          av_q2d(stream->time_base));
        av_packet_unref(packet.get());
    }
    if (const int failed = open(input); failed < 0)
        return "can't read the recorded audio: " + averror(failed);
    const AVStream* source = input->streams[0];

    WorkFile part(out);
    if (part.fd < 0) return averror(AVERROR(errno));
    // libavformat opens (and, to move the index to the front, opens again)
    // the file it writes by name: the name of the descriptor's own file,
    // which no link in the folder can redirect.
    const auto opened = "/proc/self/fd/" + std::to_string(part.fd);
    AVFormatContext* made = nullptr;
    if (avformat_alloc_output_context2(&made, nullptr, "mp4", opened.c_str()) < 0)
        return std::string("MP4 can't be written here");
    const std::unique_ptr<AVFormatContext, OutputCloser> output(made);
    AVStream* audio = avformat_new_stream(output.get(), nullptr);
    if (!audio || avcodec_parameters_copy(audio->codecpar, source->codecpar) < 0)
        return std::string("out of memory");
    audio->codecpar->codec_tag = 0;
    audio->time_base = source->time_base;
    av_dict_set(&output->metadata, "title", contents.title.c_str(), 0);
    if (!addChapters(output.get(), contents.chapters, length) ||
        (contents.cover && !addCover(output.get(), *contents.cover)))
        return std::string("out of memory");

    if (const int failed = avio_open(&output->pb, opened.c_str(), AVIO_FLAG_WRITE); failed < 0)
        return averror(failed);
    AVDictionary* options = nullptr;
    av_dict_set(&options, "movflags", "faststart", 0); // players start before the whole file
    int failed = avformat_write_header(output.get(), &options);
    av_dict_free(&options);
    // The muxer takes the artwork as a packet of its stream.
    for (unsigned i = 0; failed >= 0 && i < output->nb_streams; ++i)
        if (output->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC) {
            const std::unique_ptr<AVPacket, PacketFreer> art(
                av_packet_clone(&output->streams[i]->attached_pic));
            if (art) art->pts = art->dts = 0;
            failed = art ? av_write_frame(output.get(), art.get()) : AVERROR(ENOMEM);
        }
    while (failed >= 0 && av_read_frame(input.get(), packet.get()) >= 0) {
        packet->stream_index = audio->index;
        packet->pos = -1;
        av_packet_rescale_ts(packet.get(), source->time_base, audio->time_base);
        failed = av_write_frame(output.get(), packet.get());
        av_packet_unref(packet.get());
    }
    if (failed >= 0) failed = av_write_trailer(output.get());
    if (failed >= 0 && output->pb->error < 0) failed = output->pb->error;
    if (failed >= 0) failed = avio_closep(&output->pb);
    if (failed < 0) return averror(failed);
    std::error_code error;
    std::filesystem::rename(part.path, out, error);
    if (error) return error.message();
    part.kept = true;
    return std::nullopt;
}

} // namespace lantern
