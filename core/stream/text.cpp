#include "core/stream/text.h"

#include <array>
#include <boost/url/encode.hpp>
#include <boost/url/rfc/unreserved_chars.hpp>
#include <utf8proc.h>

extern "C" {
#include <libavutil/base64.h>
#include <libavutil/mem.h>
#include <libavutil/sha.h>
}

namespace lantern {

std::string sha256Base64(std::string_view bytes) {
    std::array<std::uint8_t, 32> digest{};
    AVSHA* sha = av_sha_alloc();
    if (!sha) return {};
    av_sha_init(sha, 256);
    av_sha_update(sha, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    av_sha_final(sha, digest.data());
    av_free(sha);
    std::array<char, AV_BASE64_SIZE(32)> text{};
    av_base64_encode(text.data(), text.size(), digest.data(), digest.size());
    return text.data();
}

namespace {

// Decodes one code point at `at`; returns its length in bytes, or a negative
// value when the bytes there are not a well-formed sequence.
utf8proc_ssize_t decodeOne(std::string_view bytes, std::size_t at, utf8proc_int32_t& codePoint) {
    const auto* start = reinterpret_cast<const utf8proc_uint8_t*>(bytes.data() + at);
    return utf8proc_iterate(start, static_cast<utf8proc_ssize_t>(bytes.size() - at), &codePoint);
}

} // namespace

bool isValidUtf8(std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        utf8proc_int32_t codePoint = 0;
        const auto length = decodeOne(bytes, at, codePoint);
        if (length <= 0) return false;
        at += static_cast<std::size_t>(length);
    }
    return true;
}

std::string decodeUtf8Lossy(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        utf8proc_int32_t codePoint = 0;
        const auto length = decodeOne(bytes, at, codePoint);
        if (length > 0) {
            text.append(bytes.substr(at, static_cast<std::size_t>(length)));
            at += static_cast<std::size_t>(length);
        } else {
            text.append("\xEF\xBF\xBD"); // U+FFFD
            at += 1;
        }
    }
    return text;
}

std::string prefixGraphemes(std::string_view text, std::size_t count) {
    if (count == 0) return {};
    std::size_t clusters = 0;
    utf8proc_int32_t previous = -1;
    utf8proc_int32_t state = 0;
    for (std::size_t at = 0; at < text.size();) {
        utf8proc_int32_t codePoint = 0;
        const auto length = decodeOne(text, at, codePoint);
        if (length <= 0) return std::string(text.substr(0, at)); // not text past here
        if (previous < 0 || utf8proc_grapheme_break_stateful(previous, codePoint, &state)) {
            if (clusters == count) return std::string(text.substr(0, at));
            ++clusters;
        }
        previous = codePoint;
        at += static_cast<std::size_t>(length);
    }
    return std::string(text);
}

std::string percentEncoded(std::string_view text) {
    boost::urls::encoding_opts options;
    options.lower_case = false;
    return boost::urls::encode(text, boost::urls::unreserved_chars, options);
}

} // namespace lantern
