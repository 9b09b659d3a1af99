#include "core/config/station_config.h"
#include "core/station/audio_path.h"

#include <cmath>
#include <gtest/gtest.h>
#include <numbers>

using namespace lantern;

namespace {

// A path over its own fan-out and voice ring, fed blocks of 1024 frames.
struct Path {
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::shared_ptr<Fanout> fanout = std::make_shared<Fanout>(1 << 20, 1 << 20);
    VoiceRing ring{38400};
    std::vector<double> micRates;
    std::vector<std::optional<AACEncoderError>> reports;
    AudioPath path{shared,
                   fanout,
                   {ring, [this](double rate) { micRates.push_back(rate); }},
                   StationConfig::bitrate,
                   [this](const auto& failure) { reports.push_back(failure); }};

    void feed(int blocks, double rate, float level) {
        std::vector<float> block(2048);
        for (int b = 0; b < blocks; ++b) {
            for (std::size_t i = 0; i < block.size(); ++i)
                block[i] = level * static_cast<float>(std::sin(0.05 * static_cast<double>(i)));
            path(block, rate);
        }
    }
};

TEST(AudioPath, TheVoiceIsUsedOnlyWhileTalkingAndDipsTheMusic) {
    Path p;
    p.ring.push(std::vector<float>(4096, 0.5f));
    p.feed(2, 48000, 0.5f);
    EXPECT_EQ(p.ring.size(), 0u) << "voice captured while nobody talks was kept";
    EXPECT_FLOAT_EQ(p.shared->get(&SharedState::gain), 1.0f);

    p.shared->set(&SharedState::talking, true);
    p.ring.push(std::vector<float>(8192, 0.5f));
    p.feed(2, 48000, 0.5f);
    EXPECT_EQ(p.ring.size(), 4096u) << "the voice of each block is taken from the ring";
    EXPECT_LT(p.shared->get(&SharedState::gain), 0.5f);
    p.shared->set(&SharedState::talking, false);
    p.feed(100, 48000, 0.5f); // two seconds: the music comes back up
    EXPECT_GT(p.shared->get(&SharedState::gain), 0.99f);
}

// One encoder per capture rate: a new rate makes a new one and tells the
// microphone; a rate the codec cannot take publishes nothing and is reported
// once, until a rate it takes comes back.
TEST(AudioPath, EachCaptureRateGetsItsEncoder) {
    Path p;
    auto listener = p.fanout->join(std::nullopt);
    p.feed(10, 48000, 0.5f); // 0.21 s
    EXPECT_EQ(listener->queued(), 2u) << "a chunk per tenth of a second";
    p.feed(10, 44100, 0.5f);
    EXPECT_EQ(p.path.encodersMade(), 2);
    EXPECT_EQ(p.micRates, (std::vector<double>{48000, 44100}));
    auto late = p.fanout->join(std::nullopt); // holds the burst so far
    p.feed(1, 12345, 0.5f);                   // the last 44.1 kHz frames go out first
    const auto before = late->queued();
    p.feed(10, 12345, 0.5f);
    EXPECT_EQ(late->queued(), before) << "a rate without an encoder published audio";
    ASSERT_EQ(p.reports.size(), 1u);
    EXPECT_TRUE(p.reports[0]) << "the failed encoder was not told";
    p.feed(10, 48000, 0.5f);
    EXPECT_EQ(p.reports.size(), 2u);
    EXPECT_FALSE(p.reports.back()) << "the encoder working again was not told";
}

TEST(AudioPath, FeedsTheSilenceDetector) {
    Path p;
    p.feed(470, 48000, 0.0f); // 10.03 s of exact zeros
    EXPECT_TRUE(p.shared->get(&SharedState::silentNow));
    EXPECT_FALSE(p.shared->get(&SharedState::heardEver));
    p.feed(1, 48000, 0.001f);
    EXPECT_FALSE(p.shared->get(&SharedState::silentNow));
    EXPECT_TRUE(p.shared->get(&SharedState::heardEver));
}

// The now route's body: the station's name ("Lantern FM" when it has none)
// and, only when something is known, the record.
TEST(Shared, NowJSONSaysOnlyWhatIsKnown) {
    Shared shared;
    EXPECT_EQ(nlohmann::json::parse(shared.nowJSON(0, 3)),
              (nlohmann::json{{"listeners", 3}, {"station", "Lantern FM"}, {"playing", true}}));
    shared.set(&SharedState::name, std::string("Attic"));
    shared.record({"T", "A", "B", std::nullopt, false, "P"}, std::nullopt);
    const auto body = nlohmann::json::parse(shared.nowJSON(0, 0));
    EXPECT_EQ(body["station"], "Attic");
    EXPECT_EQ(body["title"], "T");
    EXPECT_EQ(body["hasCover"], false);
    EXPECT_FALSE(body.contains("coverURL"));
    EXPECT_FALSE(body.contains("burst") || body.contains("room"));
    EXPECT_EQ(nlohmann::json::parse(shared.nowJSON(0, 0, 6.749))["burst"], 6.7);
    shared.set(&SharedState::room, std::optional<std::size_t>(10));
    EXPECT_EQ(nlohmann::json::parse(shared.nowJSON(0, 0))["room"], 10);
    shared.record({"Caf\xE9", "A", "B", std::nullopt, true, "P"}, std::nullopt);
    EXPECT_EQ(nlohmann::json::parse(shared.nowJSON(0, 0))["title"], "Caf\uFFFD")
        << "a title that is not UTF-8 lost the record";
}

} // namespace
