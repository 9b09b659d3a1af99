// Request heads as a listener might send them: routing, query decoding, the
// tag cut, header fields and the visitor they name must never crash, and
// what they return must hold their promises.
#include "core/stream/http.h"
#include "core/stream/text.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto line = lantern::decodeUtf8Lossy(bytes);
    if (!lantern::isValidUtf8(line)) std::abort();
    const auto request = lantern::route(line);
    constexpr auto farthest = lantern::Route::farthest;
    if (!(request.lag >= 0 && request.lag <= farthest && request.behind >= 0 &&
          request.behind <= farthest))
        std::abort();
    for (const auto& [key, value] : lantern::query(lantern::requestTarget(line))) {
        const auto tag = lantern::prefixGraphemes(value, 64);
        if (!value.starts_with(tag)) std::abort();
    }
    lantern::query(bytes);
    if (const auto field = lantern::headerField(line, "Cf-Connecting-IP")) {
        if (line.find(*field) == std::string::npos || field->find("\r\n") != std::string_view::npos)
            std::abort();
        if (lantern::visitorKey(field, "127.0.0.1").empty()) std::abort();
    }
    return 0;
}
