#include "link/share_link.h"

#include <gtest/gtest.h>

using namespace lantern;

namespace {

struct ShareRow {
    const char* name;
    std::string url;
    std::optional<std::string> passcode;
    std::string expected;
};

const std::string tunnel = "https://quiet-river-4821.trycloudflare.com";

const ShareRow shareRows[] = {
    {"noPasscode", tunnel, std::nullopt, tunnel},
    {"emptyPasscode", tunnel, "", tunnel},
    {"unreservedVerbatim", tunnel, "Az09-_.~", tunnel + "#k=Az09-_.~"},
    {"space", tunnel + "/", "a b", tunnel + "/#k=a%20b"},
    {"numberSign", tunnel, "a#b", tunnel + "#k=a%23b"},
    {"slash", tunnel, "a/b", tunnel + "#k=a%2Fb"},
    {"plusAndPercent", tunnel, "+%", tunnel + "#k=%2B%25"},
    {"nonAsciiPerByte", tunnel, "\xC3\xA9t\xC3\xA9", tunnel + "#k=%C3%A9t%C3%A9"},
    {"fragmentReplaced", tunnel + "/x#old", "p", tunnel + "/x#k=p"},
    {"queryKept", "https://a.example/s/abc?x=1", "p", "https://a.example/s/abc?x=1#k=p"},
    {"portKept", "http://127.0.0.1:8080/", "p", "http://127.0.0.1:8080/#k=p"},
    {"notAUrlUnchanged", "ht tp://bad url", "p", "ht tp://bad url"},
};

class ShareLinkTable : public testing::TestWithParam<ShareRow> {};

TEST_P(ShareLinkTable, Builds) {
    const auto& row = GetParam();
    const auto passcode =
        row.passcode ? std::optional<std::string_view>(*row.passcode) : std::nullopt;
    EXPECT_EQ(shareLink(row.url, passcode), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, ShareLinkTable, testing::ValuesIn(shareRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(KeptLinkAddress, LeadingSlashesDoNotMatter) {
    for (const char* path : {"/s/abc", "s/abc", "//s/abc"}) {
        EXPECT_EQ(keptLinkAddress("https://address.example", path),
                  "https://address.example/s/abc");
        EXPECT_EQ(keptLinkAddress("https://address.example/", path),
                  "https://address.example/s/abc");
        EXPECT_EQ(keptLinkAddress("https://address.example/base", path),
                  "https://address.example/base/s/abc");
        EXPECT_EQ(keptLinkAddress("https://address.example/base/", path),
                  "https://address.example/base/s/abc");
    }
}

TEST(KeptLinkAddress, EncodesWhatAPathCannotHold) {
    EXPECT_EQ(keptLinkAddress("https://a.example", "my station?#%"),
              "https://a.example/my%20station%3F%23%25");
    EXPECT_EQ(keptLinkAddress("https://a.example", "s/abc/"), "https://a.example/s/abc/");
    EXPECT_EQ(keptLinkAddress("https://a.example", "caf\xC3\xA9"), "https://a.example/caf%C3%A9");
}

} // namespace
