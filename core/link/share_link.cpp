#include "core/link/share_link.h"

#include "core/stream/text.h"

#include <boost/url/encode.hpp>
#include <boost/url/parse.hpp>
#include <boost/url/rfc/pchars.hpp>
#include <boost/url/rfc/unreserved_chars.hpp>
#include <boost/url/url.hpp>

namespace lantern {

namespace {

std::string percentEncoded(std::string_view text, const auto& allowed) {
    boost::urls::encoding_opts options;
    options.lower_case = false;
    return boost::urls::encode(text, allowed, options);
}

} // namespace

std::string shareLink(std::string_view url, std::optional<std::string_view> passcode) {
    if (!passcode || passcode->empty()) return std::string(url);
    const auto parsed = boost::urls::parse_uri_reference(url);
    if (!parsed) return std::string(url);
    boost::urls::url link(*parsed);
    link.set_encoded_fragment("k=" + lantern::percentEncoded(*passcode));
    return std::string(link.buffer());
}

std::string keptLinkAddress(std::string_view base, std::string_view path) {
    while (path.starts_with('/'))
        path.remove_prefix(1);
    // Slashes stay: they separate the path's segments.
    const auto appended = percentEncoded(path, boost::urls::pchars + '/');
    const auto parsed = boost::urls::parse_uri_reference(base);
    if (!parsed) {
        std::string joined(base);
        while (joined.ends_with('/'))
            joined.pop_back();
        return joined + "/" + appended;
    }
    boost::urls::url address(*parsed);
    std::string joined(address.encoded_path());
    if (!joined.ends_with('/')) joined += '/';
    joined += appended;
    address.set_encoded_path(joined);
    return std::string(address.buffer());
}

} // namespace lantern
