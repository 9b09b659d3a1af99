#include "stream/http.h"

#include <clocale>
#include <gtest/gtest.h>
#include <string>

using namespace lantern;

namespace {

struct RouteRow {
    const char* name;
    std::string requestLine;
    Route expected;
};

const RouteRow routeRows[] = {
    {"root", "GET / HTTP/1.1", Route::page()},
    {"indexHtml", "GET /index.html HTTP/1.1", Route::page()},
    {"noVersion", "GET /", Route::page()},
    {"rootWithQuery", "GET /?x=1 HTTP/1.1", Route::page()},
    {"lowercaseMethod", "get / HTTP/1.1", Route::notFound()},
    {"post", "POST /stream HTTP/1.1", Route::notFound()},
    {"head", "HEAD / HTTP/1.1", Route::notFound()},
    {"methodOnly", "GET", Route::notFound()},
    {"empty", "", Route::notFound()},
    {"doubleSpaces", "GET  /stream  HTTP/1.1", Route::stream()},
    {"leadingSpace", " GET /cover", Route::cover()},
    {"trailingSlash", "GET /stream/ HTTP/1.1", Route::notFound()},
    {"capitalPath", "GET /Stream HTTP/1.1", Route::notFound()},
    {"encodedPath", "GET /%73tream HTTP/1.1", Route::notFound()},
    {"cover", "GET /cover?k=x HTTP/1.1", Route::cover()},
    {"leadingQuestionMarkDropped", "GET ?/stream HTTP/1.1", Route::stream()},
    {"now", "GET /now HTTP/1.1", Route::now(0)},
    {"nowLag", "GET /now?lag=12.5 HTTP/1.1", Route::now(12.5)},
    {"nowNegative", "GET /now?lag=-3 HTTP/1.1", Route::now(0)},
    {"nowAboveMinute", "GET /now?lag=500 HTTP/1.1", Route::now(60)},
    {"nowWords", "GET /now?lag=abc HTTP/1.1", Route::now(0)},
    {"nowInfinity", "GET /now?lag=inf HTTP/1.1", Route::now(0)},
    {"nowNotANumber", "GET /now?lag=nan HTTP/1.1", Route::now(0)},
    {"nowOverflow", "GET /now?lag=1e999 HTTP/1.1", Route::now(0)},
    {"nowLastWins", "GET /now?lag=1&lag=7 HTTP/1.1", Route::now(7)},
    {"nowHex", "GET /now?lag=0x1p3 HTTP/1.1", Route::now(8)},
    {"nowPlusSign", "GET /now?lag=%2B4.25 HTTP/1.1", Route::now(4.25)},
    {"nowExponent", "GET /now?lag=2.5e1 HTTP/1.1", Route::now(25)},
    {"nowLeadingSpace", "GET /now?lag=+5 HTTP/1.1", Route::now(0)},
    {"nowTrailingJunk", "GET /now?lag=5s HTTP/1.1", Route::now(0)},
    {"nowEmptyLag", "GET /now?lag= HTTP/1.1", Route::now(0)},
    {"nowEmbeddedNul", "GET /now?lag=5%00 HTTP/1.1", Route::now(0)},
    {"nowSecondQuestionMarkInKey", "GET /now??lag=3 HTTP/1.1", Route::now(0)},
};

class RouteTable : public testing::TestWithParam<RouteRow> {};

TEST_P(RouteTable, MapsRequestLine) {
    const auto& row = GetParam();
    const auto got = route(row.requestLine);
    EXPECT_EQ(got.kind, row.expected.kind) << row.requestLine;
    if (row.expected.kind == Route::Kind::now) {
        EXPECT_DOUBLE_EQ(got.lag, row.expected.lag);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, RouteTable, testing::ValuesIn(routeRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RouteEquality, LagMattersOnlyForNow) {
    EXPECT_EQ(Route::now(3), Route::now(3));
    EXPECT_NE(Route::now(3), Route::now(4));
    EXPECT_NE(Route::now(0), Route::page());
    EXPECT_EQ(Route::stream(), Route::stream());
}

// The lag must parse with a "." whatever decimal separator the process locale uses.
TEST(RouteLag, IgnoresTheProcessLocale) {
    const char* commaLocales[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "nl_NL.UTF-8"};
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    const char* chosen = nullptr;
    for (const auto* name : commaLocales)
        if (std::setlocale(LC_ALL, name)) {
            chosen = name;
            break;
        }
    if (!chosen) GTEST_SKIP() << "no locale with a decimal comma is installed";
    ASSERT_EQ(std::string(std::localeconv()->decimal_point), ",");
    const auto dotted = route("GET /now?lag=12.5 HTTP/1.1");
    const auto commaed = route("GET /now?lag=12,5 HTTP/1.1");
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ(dotted, Route::now(12.5)) << chosen;
    EXPECT_EQ(commaed, Route::now(0)) << chosen;
}

struct QueryRow {
    const char* name;
    std::string target;
    Query expected;
};

const QueryRow queryRows[] = {
    {"plusAndEscapeBecomeSpaces", "/x?a+b=c%20d", {{"a b", "c d"}}},
    {"malformedEscapeKept", "/x?x=%zz", {{"x", "%zz"}}},
    {"malformedEscapeKeepsPlusReplacement", "/x?x=a+%2", {{"x", "a %2"}}},
    {"notUtf8Kept", "/x?x=%FF+a", {{"x", "%FF a"}}},
    {"utf8Decoded", "/x?x=%C3%A9", {{"x", "\xC3\xA9"}}},
    {"escapedPlusStaysPlus", "/x?x=%2B", {{"x", "+"}}},
    {"emptyQuery", "/x?", {}},
    {"noQuery", "/x", {}},
    {"emptyValue", "/x?k=", {{"k", ""}}},
    {"bareKey", "/x?k", {{"k", ""}}},
    {"equalsInValue", "/x?k=a=b", {{"k", "a=b"}}},
    {"leadingEquals", "/x?=v", {{"v", ""}}},
    {"emptyPairs", "/x?a=1&&b=2&", {{"a", "1"}, {"b", "2"}}},
    {"laterWins", "/x?a=1&a=2", {{"a", "2"}}},
    {"questionInQuery", "/x?a=1?b", {{"a", "1?b"}}},
    {"loneEquals", "/x?=&a=1", {{"a", "1"}}},
};

class QueryTable : public testing::TestWithParam<QueryRow> {};

TEST_P(QueryTable, Decodes) {
    EXPECT_EQ(query(GetParam().target), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, QueryTable, testing::ValuesIn(queryRows),
                         [](const auto& info) { return std::string(info.param.name); });

struct HeadRow {
    const char* name;
    int status;
    std::optional<std::string> type;
    std::optional<std::size_t> length;
    HeaderFields extra;
    std::string expected;
};

const std::string fixedLines = "Access-Control-Allow-Origin: *\r\nConnection: close\r\n";

const HeadRow headRows[] = {
    {"bare200", 200, {}, {}, {}, "HTTP/1.1 200 OK\r\n" + fixedLines + "\r\n"},
    {"unknownStatusSaysOK", 500, {}, {}, {}, "HTTP/1.1 500 OK\r\n" + fixedLines + "\r\n"},
    {"methodNotAllowed",
     405,
     {},
     {},
     {},
     "HTTP/1.1 405 Method Not Allowed\r\n" + fixedLines + "\r\n"},
    {"notFound",
     404,
     "text/plain; charset=utf-8",
     9,
     {},
     "HTTP/1.1 404 Not Found\r\n" + fixedLines +
         "Content-Type: text/plain; charset=utf-8\r\nContent-Length: 9\r\n\r\n"},
    {"streamHasNoLength",
     200,
     "audio/aac",
     {},
     {{"Cache-Control", "no-store"}},
     "HTTP/1.1 200 OK\r\n" + fixedLines +
         "Content-Type: audio/aac\r\nCache-Control: no-store\r\n\r\n"},
    {"zeroLength",
     200,
     {},
     0,
     {},
     "HTTP/1.1 200 OK\r\n" + fixedLines + "Content-Length: 0\r\n\r\n"},
    {"extrasSortedByCode",
     200,
     {},
     {},
     {{"b", "2"}, {"A", "1"}, {"a", "3"}},
     "HTTP/1.1 200 OK\r\n" + fixedLines + "A: 1\r\na: 3\r\nb: 2\r\n\r\n"},
};

class HeadTable : public testing::TestWithParam<HeadRow> {};

TEST_P(HeadTable, Builds) {
    const auto& row = GetParam();
    const auto type = row.type ? std::optional<std::string_view>(*row.type) : std::nullopt;
    EXPECT_EQ(responseHead(row.status, type, row.length, row.extra), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, HeadTable, testing::ValuesIn(headRows),
                         [](const auto& info) { return std::string(info.param.name); });

struct PasscodeRow {
    const char* name;
    std::string station;
    std::optional<std::string> given;
    bool matches;
};

const PasscodeRow passcodeRows[] = {
    {"equal", "open sesame", "open sesame", true},
    {"absent", "abc", std::nullopt, false},
    {"absentAgainstEmpty", "", std::nullopt, false},
    {"emptyAgainstEmpty", "", "", true},
    {"emptyAgainstSet", "abc", "", false},
    {"trailingZeroByte", "abc", std::string("abc\0", 4), false},
    {"prefix", "abcd", "abc", false},
    {"caseMatters", "abc", "ABC", false},
    {"lastByteDiffers", "abcd", "abce", false},
    {"notNormalised", "\xC3\xA9", "e\xCC\x81", false},
};

class PasscodeTable : public testing::TestWithParam<PasscodeRow> {};

TEST_P(PasscodeTable, Compares) {
    const auto& row = GetParam();
    const auto given = row.given ? std::optional<std::string_view>(*row.given) : std::nullopt;
    EXPECT_EQ(passcodeMatches(row.station, given), row.matches);
}

INSTANTIATE_TEST_SUITE_P(Rows, PasscodeTable, testing::ValuesIn(passcodeRows),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
