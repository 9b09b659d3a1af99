#include "core/stream/http.h"
#include "core/stream/text.h"

#include <clocale>
#include <gtest/gtest.h>
#include <string>

using namespace lantern;

namespace {

TEST(HTTP, RoutesRequestLines) {
    const std::pair<std::string, Route> rows[] = {
        {"GET / HTTP/1.1", Route::page()},
        {"GET /", Route::page()},              // the version is optional
        {"get / HTTP/1.1", Route::notFound()}, // the method is case-sensitive
        {"POST /stream HTTP/1.1", Route::notFound()},
        {"HEAD /stream?k=x HTTP/1.1", Route::streamCheck()},
        {"HEAD / HTTP/1.1", Route::notFound()},
        {"", Route::notFound()},
        {"GET  /stream  HTTP/1.1", Route::stream()}, // runs of spaces are one separator
        {"GET /stream/ HTTP/1.1", Route::notFound()},
        {"GET /%73tream HTTP/1.1", Route::notFound()}, // paths are not decoded
        {"GET ?/stream HTTP/1.1", Route::stream()},    // empty pieces are dropped
        {"GET /cover?k=x HTTP/1.1", Route::cover()},
        {"GET /listen.m3u?k=x HTTP/1.1", Route::playlist()},
        {"GET /now HTTP/1.1", Route::now(0)},
        {"GET /now?lag=12.5 HTTP/1.1", Route::now(12.5)},
        {"GET /now?lag=-3 HTTP/1.1", Route::now(0)},
        {"GET /now?lag=500 HTTP/1.1", Route::now(60)},
        {"GET /now?lag=abc HTTP/1.1", Route::now(0)},
        {"GET /now?lag=1&lag=7 HTTP/1.1", Route::now(7)},
        {"GET /now?lag=0x1p3 HTTP/1.1", Route::now(8)},
        {"GET /now?lag=+5 HTTP/1.1", Route::now(0)}, // "+" is a space: leading white space
    };
    for (const auto& [line, expected] : rows) {
        const auto got = route(line);
        EXPECT_EQ(got.kind, expected.kind) << line;
        EXPECT_DOUBLE_EQ(got.lag, expected.lag) << line;
    }
}

// The lag parses with a "." whatever decimal separator the process locale uses.
TEST(HTTP, LagIgnoresTheProcessLocale) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    const char* chosen = nullptr;
    for (const auto* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"})
        if (!chosen && std::setlocale(LC_ALL, name)) chosen = name;
    ASSERT_TRUE(chosen)
        << "no locale with a decimal comma is installed (the test command makes one)";
    const auto dotted = route("GET /now?lag=12.5 HTTP/1.1");
    const auto commaed = route("GET /now?lag=12,5 HTTP/1.1");
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ(dotted, Route::now(12.5));
    EXPECT_EQ(commaed, Route::now(0));
}

TEST(HTTP, DecodesQueries) {
    const std::pair<std::string, Query> rows[] = {
        {"/x?a+b=c%20d", {{"a b", "c d"}}},
        {"/x?x=%zz", {{"x", "%zz"}}},     // a malformed escape stays
        {"/x?x=a+%2", {{"x", "a %2"}}},   // ... with "+" still a space
        {"/x?x=%FF+a", {{"x", "%FF a"}}}, // bytes that are not UTF-8 stay escaped
        {"/x?x=%C3%A9", {{"x", "\xC3\xA9"}}},
        {"/x?", {}},
        {"/x", {}},
        {"/x?k", {{"k", ""}}},
        {"/x?k=a=b", {{"k", "a=b"}}},
        {"/x?=v", {{"v", ""}}},
        {"/x?a=1&&b=2&", {{"a", "1"}, {"b", "2"}}},
        {"/x?a=1&a=2", {{"a", "2"}}},
    };
    for (const auto& [target, expected] : rows)
        EXPECT_EQ(query(target), expected) << target;
}

TEST(HTTP, ComparesPasscodesByteForByte) {
    struct Row {
        std::string station;
        std::optional<std::string> given;
        bool matches;
    };
    const Row rows[] = {
        {"open sesame", "open sesame", true},
        {"abc", std::nullopt, false},
        {"", std::nullopt, false},
        {"", "", true},
        {"abc", "", false},
        {"abc", std::string("abc\0", 4), false},
        {"abcd", "abc", false},
        {"abc", "ABC", false},
        {"\xC3\xA9", "e\xCC\x81", false}, // not normalised
    };
    for (const auto& row : rows) {
        const auto given = row.given ? std::optional<std::string_view>(*row.given) : std::nullopt;
        EXPECT_EQ(passcodeMatches(row.station, given), row.matches)
            << row.station << " / " << row.given.value_or("<none>");
    }
}

// Who a request comes from: the tunnel's header when it holds an address,
// an IPv6 address by its /64, the peer otherwise; header names in any case.
TEST(HTTP, VisitorsAndHeaderFields) {
    const std::string head = "GET /now HTTP/1.1\r\nHost: x\r\ncf-connecting-ip:  198.51.100.7 "
                             "\r\nCf-Connecting-IP: 203.0.113.1\r\nX-Empty:";
    EXPECT_EQ(headerField(head, "Cf-Connecting-IP"), "198.51.100.7");
    EXPECT_EQ(headerField(head, "x-empty"), "");
    EXPECT_EQ(headerField(head, "GET /now HTTP/1.1"), std::nullopt);
    EXPECT_EQ(headerField("GET / HTTP/1.1", "Host"), std::nullopt);
    const std::tuple<std::optional<std::string_view>, std::string_view, std::string> rows[] = {
        {"198.51.100.7", "127.0.0.1", "198.51.100.7"},
        {"2001:db8:aa:bb:1:2:3:4", "127.0.0.1", "2001:db8:aa:bb::/64"},
        {"::ffff:198.51.100.7", "127.0.0.1", "198.51.100.7"},
        {std::nullopt, "127.0.0.1", "127.0.0.1"},
        {"198.51.100.7, 10.0.0.1", "127.0.0.1", "127.0.0.1"},
        {"", "::1", "::/64"},
    };
    for (const auto& [header, peer, expected] : rows)
        EXPECT_EQ(visitorKey(header, peer), expected) << header.value_or("<none>");
}

// Every answer carries its reason and the fields that keep a browser from
// sniffing, framing or leaking it, in one order; the tests of the server
// compare with this function, so it is written out here once.
TEST(HTTP, AResponseHeadIsWrittenOutWhole) {
    EXPECT_EQ(responseHead(206, "audio/aac", 2, {{"Content-Range", "bytes 0-1/*"}}),
              "HTTP/1.1 206 Partial Content\r\nAccess-Control-Allow-Origin: *\r\nConnection: "
              "close\r\nReferrer-Policy: no-referrer\r\nX-Content-Type-Options: nosniff\r\n"
              "Content-Type: audio/aac\r\nContent-Length: 2\r\nContent-Range: bytes 0-1/*\r\n\r\n");
    for (const auto& [status, line] :
         {std::pair(400, "400 Bad Request"), std::pair(416, "416 Range Not Satisfiable")})
        EXPECT_TRUE(responseHead(status, std::nullopt, 0)
                        .starts_with("HTTP/1.1 " + std::string(line) + "\r\n"))
            << status;
}

// The page may run only its own script and style: each by its hash.
TEST(HTTP, ThePagePolicyAllowsItsOwnInlineCodeAlone) {
    const auto policy = pagePolicy("<style>a{}</style><script>go()</script><script>x</script>");
    EXPECT_NE(policy.find("default-src 'none'"), std::string::npos);
    EXPECT_NE(policy.find("script-src 'sha256-" + sha256Base64("go()") + "' 'sha256-" +
                          sha256Base64("x") + "';"),
              std::string::npos)
        << policy;
    EXPECT_NE(policy.find("style-src 'sha256-" + sha256Base64("a{}") + "';"), std::string::npos);
    EXPECT_EQ(sha256Base64(""), "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=");
    EXPECT_NE(pagePolicy("<p>no code</p>").find("script-src 'none'"), std::string::npos);
}

// A player's title block: whole 16-byte units after a length byte, the title
// whole and unable to end its field early (a quote, a line break), a long
// one cut at a character's start; ranges a probe may ask for; the origin a
// playlist names, only from a Host that is one.
TEST(HTTP, TitleBlocksRangesAndOrigins) {
    const auto text = [](const std::string& block) {
        EXPECT_EQ(block.size(), 1 + 16 * static_cast<unsigned char>(block[0]));
        return std::string(block.c_str() + 1); // up to the zero padding
    };
    const std::string emoji = "\xF0\x9F\x8E\xB5";
    EXPECT_EQ(text(Icy::block("Guns N' Roses - Don't Cry; Live " + emoji + "\n")),
              "StreamTitle='Guns N\xE2\x80\x99 Roses - Don\xE2\x80\x99t Cry; Live " + emoji +
                  " ';");
    EXPECT_EQ(Icy::block(""), std::string(1, '\1') + "StreamTitle='';" + std::string(1, '\0'));
    const std::string long300(300, 'a');
    EXPECT_EQ(text(Icy::block(long300)), "StreamTitle='" + long300 + "';");
    std::string huge;
    for (int i = 0; i < 2000; ++i)
        huge += "\xC3\xA9"; // é, two bytes each
    const auto cut = text(Icy::block(huge));
    EXPECT_LE(cut.size(), 255u * 16);
    EXPECT_TRUE(cut.ends_with("\xC3\xA9';")) << "cut inside a character";

    const std::pair<std::string, std::optional<std::pair<std::uint64_t, std::uint64_t>>> ranges[] =
        {{"bytes=0-1", std::pair(0, 1)},    {"bytes=100-199", std::pair(100, 199)},
         {"bytes=0-", std::nullopt},        {"bytes=-500", std::nullopt},
         {"bytes=5-4", std::nullopt},       {"bytes=0-1,4-5", std::nullopt},
         {"bytes=0-9999999", std::nullopt}, {"items=0-1", std::nullopt}};
    for (const auto& [range, expected] : ranges)
        EXPECT_EQ(boundedRange("GET /stream HTTP/1.1\r\nRange: " + range), expected) << range;

    const std::pair<std::string, std::optional<std::string>> hosts[] = {
        {"Host: quiet-river.trycloudflare.com\r\nX-Forwarded-Proto: https",
         "https://quiet-river.trycloudflare.com"},
        {"Host: 127.0.0.1:8471", "http://127.0.0.1:8471"},
        {"Host: [::1]:8471", "http://[::1]:8471"},
        {"Host: evil.example/x?", std::nullopt},
        {"Host: a\"><script>", std::nullopt},
        {"Host: ", std::nullopt},
        {"X-Forwarded-Proto: https", std::nullopt},
    };
    for (const auto& [fields, expected] : hosts)
        EXPECT_EQ(visitedOrigin("GET /listen.m3u HTTP/1.1\r\n" + fields), expected) << fields;
}

} // namespace
