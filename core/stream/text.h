#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lantern {

// True when `bytes` is well-formed UTF-8 (no overlong forms, no surrogates).
bool isValidUtf8(std::string_view bytes);

// Decodes bytes as UTF-8, replacing every ill-formed sequence with U+FFFD, so
// that the result is always well-formed.
std::string decodeUtf8Lossy(std::string_view bytes);

// The SHA-256 digest of `bytes` in standard Base64, as Content-Security-Policy
// hashes are written.
std::string sha256Base64(std::string_view bytes);

// `text` with every byte but RFC 3986's unreserved characters percent-encoded
// (upper-case hex), as a query value or a fragment carries a passcode.
std::string percentEncoded(std::string_view text);

// The first `count` user-perceived characters (extended grapheme clusters) of
// well-formed UTF-8 text: a flag or a letter with combining marks counts once.
std::string prefixGraphemes(std::string_view text, std::size_t count);

} // namespace lantern
