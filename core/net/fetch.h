#pragma once

#include "core/net/connection.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

namespace lantern {

// How far a fetch of an address someone else named (a player's artwork) may go.
struct FetchLimits {
    std::size_t bytes = std::size_t{10} << 20; // of the body; beyond, it is dropped
    std::chrono::milliseconds time{10000};     // for the whole fetch, redirects included
    int redirects = 3;                         // each to the same host
    // The addresses the host may be reached at.
    std::function<bool(const sockaddr&)> allowed = isPublicAddress;
};

// Fetches an http or https address with GET: the body of its 200 answer, or
// why there is none ("too large", "too slow", a status, a redirect to
// another host...). Blocks its thread; any thread.
struct FetchFailure {
    std::string why;
};
std::variant<std::string, FetchFailure> fetch(std::string_view url, const FetchLimits& limits,
                                              const std::atomic<bool>& stopping);

} // namespace lantern
