#include "core/stream/fanout.h"

#include <asio/bind_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <atomic>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <thread>

using namespace lantern;
using namespace std::chrono_literals;

namespace {

Chunk chunkOf(std::string_view text) {
    return Chunk(Bytes(text.begin(), text.end()));
}

std::string textOf(const Chunk& chunk) {
    return std::string(chunk.bytes().begin(), chunk.bytes().end());
}

// The listener's next chunk; "<end>" for end of data, "<none>" when nothing comes.
std::string nextText(Listener& listener, std::chrono::milliseconds wait = 2s) {
    auto future = listener.next(asio::use_future);
    if (future.wait_for(wait) != std::future_status::ready) return "<none>";
    const auto chunk = future.get();
    return chunk ? textOf(*chunk) : "<end>";
}

TEST(Fanout, TheBurstKeepsTheLastWholeChunksAndComesFirstAsOneChunk) {
    Fanout empty(0, 256);
    empty.publish(chunkOf("lost"));
    auto nobody = empty.join(std::nullopt);
    empty.publish(chunkOf("live"));
    EXPECT_EQ(nextText(*nobody), "live"); // no burst: the next publish comes first

    Fanout fanout(10, 256);
    for (const auto* text : {"abcd", "efgh", "ijkl"})
        fanout.publish(chunkOf(text));
    auto listener = fanout.join(std::nullopt);
    fanout.publish(chunkOf("next"));
    // Whole chunks (each is whole audio frames), so a decoder starts on a
    // frame, and at least the burst's size of them.
    EXPECT_EQ(nextText(*listener), "abcdefghijkl");
    EXPECT_EQ(nextText(*listener), "next");
    EXPECT_EQ(fanout.burstSize(), 12u); // "efghijklnext"
    fanout.publish(chunkOf("a chunk larger than the burst"));
    EXPECT_EQ(fanout.burstSize(), 29u);
    fanout.publish(chunkOf("x"));
    fanout.closeAll();
    EXPECT_EQ(nextText(*fanout.join(std::nullopt)), "a chunk larger than the burstx")
        << "the burst outlives closeAll";
}

TEST(Fanout, CountsTagsOnceAndSeatsLeaveWhenTheirOwnerUnwinds) {
    auto fanout = std::make_shared<Fanout>(0, 256);
    auto x1 = fanout->join("x"), x2 = fanout->join("x"), y = fanout->join("y");
    auto a = fanout->join(std::nullopt), b = fanout->join(std::nullopt);
    EXPECT_EQ(fanout->count(), 4u);
    fanout->leave(x1);
    fanout->leave(x1); // twice counts once
    EXPECT_EQ(fanout->count(), 4u) << "x is still there through x2";
    fanout->leave(x2);
    EXPECT_EQ(fanout->count(), 3u);
    fanout->closeAll();
    EXPECT_EQ(fanout->count(), 0u);
    try {
        Fanout::Seat seat(fanout, "page-42");
        ASSERT_EQ(fanout->count(), 1u);
        throw std::runtime_error("a handler failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(fanout->count(), 0u) << "a seat outlived its owner";
}

// The consumer runs on its own executor exactly once, never on the thread
// that publishes (the audio thread) and never inside push().
TEST(Fanout, ConsumersAreResumedOnTheirOwnExecutors) {
    Fanout fanout(0, 256);
    asio::io_context first, second;
    std::vector<std::thread::id> ranOnFirst, ranOnSecond;
    std::vector<std::shared_ptr<Listener>> listeners;
    for (int i = 0; i < 6; ++i) {
        listeners.push_back(fanout.join(std::nullopt));
        auto& ran = i % 2 ? ranOnFirst : ranOnSecond;
        auto handler = [&ran](std::optional<Chunk>) { ran.push_back(std::this_thread::get_id()); };
        if (i % 2)
            listeners.back()->next(asio::bind_executor(first, handler));
        else
            listeners.back()->next(asio::bind_executor(second, handler));
    }
    fanout.publish(chunkOf("x"));
    fanout.publish(chunkOf("y")); // queued, not a second resumption
    fanout.settle();
    std::thread::id firstThread, secondThread;
    std::thread runFirst([&] { firstThread = std::this_thread::get_id(), first.run(); });
    std::thread runSecond([&] { secondThread = std::this_thread::get_id(), second.run(); });
    runFirst.join();
    runSecond.join();
    EXPECT_EQ(ranOnFirst, std::vector<std::thread::id>(3, firstThread));
    EXPECT_EQ(ranOnSecond, std::vector<std::thread::id>(3, secondThread));
}

// Chunks carry increasing sequence numbers and the burst holds whole chunks:
// every listener sees the burst first, then exactly the chunks after it,
// however its join interleaves with the publisher.
TEST(Fanout, TheBurstComesFirstWhilePublishersRaceJoins) {
    constexpr std::size_t size = sizeof(std::uint64_t), inBurst = 16;
    constexpr std::uint64_t published = 2000;
    Fanout fanout(size * inBurst, 1 << 20);
    const auto encode = [](std::uint64_t sequence) {
        Bytes bytes(size);
        std::memcpy(bytes.data(), &sequence, size);
        return Chunk(std::move(bytes));
    };
    const auto decode = [](std::span<const std::uint8_t> bytes, std::size_t at) {
        std::uint64_t sequence = 0;
        std::memcpy(&sequence, bytes.data() + at, size);
        return sequence;
    };
    fanout.publish(encode(0));
    std::atomic<bool> go{false};
    std::thread publisher([&] {
        while (!go)
            std::this_thread::yield();
        for (std::uint64_t s = 1; s < published; ++s)
            fanout.publish(encode(s));
    });
    std::vector<std::shared_ptr<Listener>> joined;
    go = true;
    for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(20us))
        joined.push_back(fanout.join(std::nullopt));
    publisher.join();

    for (const auto& listener : joined) {
        std::vector<Chunk> chunks;
        asio::io_context context;
        while (listener->queued() > 0) {
            listener->next(asio::bind_executor(
                context, [&](std::optional<Chunk> chunk) { chunks.push_back(std::move(*chunk)); }));
            context.restart();
            context.run();
        }
        ASSERT_FALSE(chunks.empty());
        const auto burst = chunks.front().bytes();
        std::uint64_t expected = decode(burst, 0);
        for (std::size_t at = 0; at < burst.size(); at += size)
            ASSERT_EQ(decode(burst, at), expected++) << "the burst is not consecutive";
        ASSERT_EQ(chunks.size(), 1 + published - expected) << "chunks lost or repeated";
        for (std::size_t i = 1; i < chunks.size(); ++i)
            ASSERT_EQ(decode(chunks[i].bytes(), 0), expected++);
    }
}

} // namespace
