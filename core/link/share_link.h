#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace lantern {

// The link to share: `url` with the passcode carried in its fragment as
// "k=" and the passcode percent-encoded (only RFC 3986 unreserved characters
// stay as they are). Any earlier fragment is replaced. Without a passcode,
// or when `url` is not a URL reference, `url` comes back unchanged.
std::string shareLink(std::string_view url, std::optional<std::string_view> passcode);

// The public address of an address-service path under `base`: leading
// slashes of the path are dropped, its segments are appended after exactly one
// slash (the base's own path stays in front), and characters a path may not
// hold are percent-encoded.
std::string keptLinkAddress(std::string_view base, std::string_view path);

} // namespace lantern
