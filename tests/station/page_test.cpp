// The listening page as listeners use it, in Debian's Chromium and Firefox
// ESR: tests/page/page_test.mjs drives each browser against the real headless
// lantern-fm on this test's sound server and bus, and saves screenshots.
#include "capture/audio_processes.h"
#include "support/child_process.h"
#include "support/eventually.h"
#include "support/icecast.h"
#include "support/sound_daemon.h"
#include "support/world.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <iostream>

namespace lantern::test {
namespace {

class Page : public testing::TestWithParam<const char*> {};

TEST_P(Page, PlaysLocksFollowsTheTrackAndComesBack) {
    World::bus();
    World::sound().play("pagetone", 440);
    ASSERT_TRUE(eventually([] { return !AudioProcesses::of("pagetone").empty(); }));
    ::setenv("LANTERN_FM", LANTERN_FM, 1);
    ::setenv("LANTERN_CLOUDFLARED", FAKE_CLOUDFLARED, 1);
    ::setenv("FAKE_MPRIS_PLAYER", FAKE_MPRIS_PLAYER, 1);
    ::setenv("TONE_SOURCE", "pagetone", 1);
    ::setenv("SCREENSHOTS", SCREENSHOTS, 1);
    const auto run =
        runProgram({"node", PAGE_TEST, "listen", GetParam()}, std::chrono::seconds(240));
    std::cout << run.output; // the figures (start-up time, how early or late a change shows)
    EXPECT_EQ(run.status, 0) << run.error;
}

INSTANTIATE_TEST_SUITE_P(Browsers, Page, testing::Values("chromium", "firefox"),
                         [](const auto& test) { return std::string(test.param); });

// The station relayed to a real Icecast server: the page plays from there.
class RelayPage : public testing::TestWithParam<const char*> {};

TEST_P(RelayPage, PlaysFromTheRelayAndFallsBack) {
    World::bus();
    World::sound().play("relaytone", 440);
    ASSERT_TRUE(eventually([] { return !AudioProcesses::of("relaytone").empty(); }));
    Icecast icecast;
    ASSERT_TRUE(icecast.ready()) << "icecast2 did not answer";
    ::setenv("LANTERN_FM", LANTERN_FM, 1);
    ::setenv("FAKE_MPRIS_PLAYER", FAKE_MPRIS_PLAYER, 1);
    ::setenv("LANTERN_CLOUDFLARED", FAKE_CLOUDFLARED, 1);
    ::setenv("TONE_SOURCE", "relaytone", 1);
    ::setenv("ICECAST_PORT", std::to_string(icecast.port()).c_str(), 1);
    ::setenv("SCREENSHOTS", SCREENSHOTS, 1);
    const auto run =
        runProgram({"node", PAGE_TEST, "relay", GetParam()}, std::chrono::seconds(180));
    std::cout << run.output;
    EXPECT_EQ(run.status, 0) << run.error;
}

INSTANTIATE_TEST_SUITE_P(Browsers, RelayPage, testing::Values("chromium"),
                         [](const auto& test) { return std::string(test.param); });

} // namespace
} // namespace lantern::test
