#include "stream/fanout.h"

#include <asio/bind_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <atomic>
#include <chrono>
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

// Waits for the listener's next chunk; "<end>" for end of data, "<none>" when
// nothing arrives in time.
std::string nextText(Listener& listener, std::chrono::milliseconds wait = 2s) {
    auto future = listener.next(asio::use_future);
    if (future.wait_for(wait) != std::future_status::ready) return "<none>";
    const auto chunk = future.get();
    return chunk ? textOf(*chunk) : "<end>";
}

TEST(BurstBuffer, KeepsTheLastCapacityBytesAcrossChunks) {
    BurstBuffer burst(10);
    for (auto part : {"abcd", "efgh", "ijkl"})
        burst.append(chunkOf(part).bytes());
    const auto kept = burst.contents();
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "cdefghijkl");

    burst.append(chunkOf("0123456789XY").bytes()); // larger than the capacity
    const auto big = burst.contents();
    EXPECT_EQ(std::string(big.begin(), big.end()), "23456789XY");
}

TEST(BurstBuffer, ManySmallAppendsStayExact) {
    BurstBuffer burst(7);
    std::string all;
    for (int i = 0; i < 1000; ++i) {
        const std::string part(1 + i % 3, static_cast<char>('a' + i % 26));
        all += part;
        burst.append(chunkOf(part).bytes());
        const auto kept = burst.contents();
        ASSERT_EQ(std::string(kept.begin(), kept.end()),
                  all.substr(all.size() - std::min<std::size_t>(7, all.size())));
    }
}

TEST(BurstBuffer, ZeroAndNegativeCapacityKeepNothing) {
    for (std::ptrdiff_t capacity : {0, -5}) {
        BurstBuffer burst(capacity);
        burst.append(chunkOf("abc").bytes());
        EXPECT_TRUE(burst.contents().empty());
        EXPECT_EQ(burst.capacity(), 0u);
    }
}

TEST(Fanout, NewListenerGetsTheBurstAsOneChunkThenLiveChunks) {
    Fanout fanout(10, 256);
    for (auto part : {"abcd", "efgh", "ijkl"})
        fanout.publish(chunkOf(part));
    auto listener = fanout.join(std::nullopt);
    fanout.publish(chunkOf("mn"));
    EXPECT_EQ(nextText(*listener), "cdefghijkl");
    EXPECT_EQ(nextText(*listener), "mn");
}

TEST(Fanout, ListenerJoiningAnEmptyBurstWaitsForTheNextPublish) {
    Fanout fanout(10, 256);
    auto listener = fanout.join(std::nullopt);
    auto pending = listener->next(asio::use_future);
    EXPECT_EQ(pending.wait_for(50ms), std::future_status::timeout);
    fanout.publish(chunkOf("first"));
    ASSERT_EQ(pending.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(textOf(*pending.get()), "first");
}

TEST(Fanout, UnreadListenerKeepsItsOldestChunksAndDropsNewer) {
    Fanout fanout(0, 2);
    auto listener = fanout.join(std::nullopt);
    for (auto part : {"A", "B", "C"})
        fanout.publish(chunkOf(part));
    EXPECT_EQ(nextText(*listener), "A");
    EXPECT_EQ(nextText(*listener), "B");
    EXPECT_EQ(nextText(*listener, 50ms), "<none>");
}

TEST(Fanout, UnreadListenerKeeps256ChunksAtTheStationLimit) {
    Fanout fanout(0, 256);
    auto slow = fanout.join(std::nullopt);
    auto other = fanout.join(std::nullopt);
    for (int i = 0; i < 300; ++i) {
        fanout.publish(chunkOf(std::to_string(i)));
        EXPECT_EQ(nextText(*other), std::to_string(i)); // a reading listener loses nothing
    }
    EXPECT_EQ(slow->queued(), 256u);
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(nextText(*slow), std::to_string(i));
    fanout.publish(chunkOf("after"));
    EXPECT_EQ(nextText(*slow), "after");
}

TEST(Fanout, EndDiscardsQueuedChunksAndIgnoresLaterPushes) {
    Fanout fanout(0, 256);
    auto listener = fanout.join(std::nullopt);
    fanout.publish(chunkOf("queued"));
    fanout.leave(listener);
    EXPECT_EQ(nextText(*listener), "<end>");
    listener->push(chunkOf("late"));
    EXPECT_EQ(nextText(*listener), "<end>");
    EXPECT_EQ(fanout.count(), 0u);
}

TEST(Fanout, LeavingAnUnregisteredListenerStillEndsIt) {
    Fanout fanout(0, 256);
    auto stranger = std::make_shared<Listener>(4, std::nullopt);
    fanout.leave(stranger);
    EXPECT_TRUE(stranger->ended());
}

TEST(Fanout, CountsUntaggedOnceEachAndTagsOncePerTag) {
    Fanout fanout(0, 256);
    auto x1 = fanout.join("x");
    auto x2 = fanout.join("x");
    auto y = fanout.join("y");
    auto a = fanout.join(std::nullopt);
    auto b = fanout.join(std::nullopt);
    auto empty = fanout.join("");
    EXPECT_EQ(fanout.count(), 5u);
    fanout.leave(x1);
    EXPECT_EQ(fanout.count(), 5u); // x is still there through x2
    fanout.leave(x2);
    EXPECT_EQ(fanout.count(), 4u);
    fanout.leave(x2); // leaving twice counts once
    EXPECT_EQ(fanout.count(), 4u);
    fanout.closeAll();
    EXPECT_EQ(fanout.count(), 0u);
    auto again = fanout.join("x");
    EXPECT_EQ(fanout.count(), 1u);
}

// A connection's handler that throws unwinds its seat: the listener leaves
// and ends, so nobody stays counted and fed.
TEST(Fanout, ASeatLeavesWhenItsOwnerUnwinds) {
    auto fanout = std::make_shared<Fanout>(0, 256);
    try {
        Fanout::Seat seat(fanout, "page-42");
        ASSERT_EQ(fanout->count(), 1u);
        throw std::runtime_error("a handler failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(fanout->count(), 0u);
    Fanout::Seat moved(fanout, std::nullopt);
    Fanout::Seat other = std::move(moved);
    EXPECT_EQ(fanout->count(), 1u);
    other = Fanout::Seat(fanout, "replacement");
    EXPECT_EQ(fanout->count(), 1u);
}

TEST(Fanout, CloseAllWakesEveryWaitingConsumerAndKeepsTheBurst) {
    Fanout fanout(8, 256);
    std::vector<std::shared_ptr<Listener>> listeners;
    std::vector<std::future<std::optional<Chunk>>> waiting;
    for (int i = 0; i < 5; ++i) {
        listeners.push_back(fanout.join(i % 2 ? std::optional<std::string>("t") : std::nullopt));
        waiting.push_back(listeners.back()->next(asio::use_future));
    }
    fanout.closeAll();
    for (auto& future : waiting) {
        ASSERT_EQ(future.wait_for(2s), std::future_status::ready);
        EXPECT_FALSE(future.get().has_value());
    }
    EXPECT_EQ(fanout.count(), 0u);

    fanout.publish(chunkOf("burst"));
    fanout.closeAll();
    EXPECT_EQ(nextText(*fanout.join(std::nullopt)), "burst");
}

// The consumer must run on its own executor exactly once, never on the thread
// that publishes (the audio thread) and never inside push().
TEST(Fanout, WaitingConsumerIsResumedOnceOnItsOwnExecutor) {
    Fanout fanout(0, 256);
    auto listener = fanout.join(std::nullopt);
    asio::io_context consumerContext;
    std::atomic<int> resumed{0};
    std::thread::id resumedOn;
    std::promise<void> done;
    listener->next(asio::bind_executor(consumerContext, [&](std::optional<Chunk> chunk) {
        resumedOn = std::this_thread::get_id();
        EXPECT_TRUE(chunk.has_value());
        ++resumed;
        done.set_value();
    }));
    std::thread consumerThread([&] { consumerContext.run(); });

    fanout.publish(chunkOf("one"));
    fanout.publish(chunkOf("two")); // queued, not a second resumption
    listener->end();
    ASSERT_EQ(done.get_future().wait_for(2s), std::future_status::ready);
    consumerThread.join(); // run() returns once the completion released its work
    EXPECT_EQ(resumed.load(), 1);
    EXPECT_NE(resumedOn, std::this_thread::get_id());
}

// Consumers woken by one publish are resumed together per executor; each must
// still land on its own executor, exactly once.
TEST(Fanout, OnePublishResumesConsumersOfSeveralExecutorsEachOnItsOwn) {
    Fanout fanout(0, 256);
    asio::io_context first, second;
    std::vector<std::thread::id> ranOnFirst, ranOnSecond;
    auto onFirst = [&](std::optional<Chunk> chunk) {
        EXPECT_EQ(textOf(*chunk), "x");
        ranOnFirst.push_back(std::this_thread::get_id());
    };
    auto onSecond = [&](std::optional<Chunk> chunk) {
        EXPECT_EQ(textOf(*chunk), "x");
        ranOnSecond.push_back(std::this_thread::get_id());
    };
    std::vector<std::shared_ptr<Listener>> listeners;
    for (int i = 0; i < 6; ++i) {
        listeners.push_back(fanout.join(std::nullopt));
        if (i % 2)
            listeners.back()->next(asio::bind_executor(first, onFirst));
        else
            listeners.back()->next(asio::bind_executor(second, onSecond));
    }
    auto viaFuture = fanout.join(std::nullopt)->next(asio::use_future);
    fanout.publish(chunkOf("x"));
    fanout.settle();
    std::thread::id firstThread, secondThread;
    std::thread runFirst([&] {
        firstThread = std::this_thread::get_id();
        first.run();
    });
    std::thread runSecond([&] {
        secondThread = std::this_thread::get_id();
        second.run();
    });
    runFirst.join();
    runSecond.join();
    EXPECT_EQ(ranOnFirst, std::vector<std::thread::id>(3, firstThread));
    EXPECT_EQ(ranOnSecond, std::vector<std::thread::id>(3, secondThread));
    ASSERT_EQ(viaFuture.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(textOf(*viaFuture.get()), "x");
}

TEST(Fanout, QueuedChunkStillCompletesOnTheConsumerExecutor) {
    Fanout fanout(0, 256);
    auto listener = fanout.join(std::nullopt);
    fanout.publish(chunkOf("ready"));
    asio::io_context consumerContext;
    bool ran = false;
    listener->next(asio::bind_executor(consumerContext, [&](std::optional<Chunk>) { ran = true; }));
    EXPECT_FALSE(ran); // not inline in next()
    consumerContext.run();
    EXPECT_TRUE(ran);
}

// Takes every chunk queued for the listener now, completing each on a local
// executor (much cheaper than a future per chunk).
std::vector<Chunk> drainQueued(Listener& listener) {
    std::vector<Chunk> chunks;
    asio::io_context context;
    while (listener.queued() > 0) {
        listener.next(asio::bind_executor(context, [&](std::optional<Chunk> chunk) {
            if (chunk) chunks.push_back(std::move(*chunk));
        }));
        context.restart();
        context.run();
    }
    return chunks;
}

// Chunks carry increasing sequence numbers; the burst holds whole chunks.
// Every listener must see the burst first, then exactly the chunks after it,
// however its join interleaves with the publisher.
TEST(FanoutStress, BurstComesFirstWhilePublishersRaceJoins) {
    constexpr std::size_t perChunk = sizeof(std::uint64_t);
    constexpr std::size_t chunksInBurst = 16;
    Fanout fanout(perChunk * chunksInBurst, 1 << 20);
    auto encode = [](std::uint64_t sequence) {
        Bytes bytes(perChunk);
        std::memcpy(bytes.data(), &sequence, perChunk);
        return Chunk(std::move(bytes));
    };
    auto decode = [](std::span<const std::uint8_t> bytes, std::size_t at) {
        std::uint64_t sequence = 0;
        std::memcpy(&sequence, bytes.data() + at, perChunk);
        return sequence;
    };
    fanout.publish(encode(0));

    constexpr std::uint64_t published = 5000;
    std::atomic<bool> go{false};
    std::thread publisher([&] {
        while (!go)
            std::this_thread::yield();
        for (std::uint64_t s = 1; s < published; ++s)
            fanout.publish(encode(s));
    });
    constexpr int joiners = 4, joinsEach = 25;
    std::vector<std::vector<std::shared_ptr<Listener>>> joined(joiners);
    std::vector<std::thread> joinThreads;
    for (int j = 0; j < joiners; ++j)
        joinThreads.emplace_back([&, j] {
            while (!go)
                std::this_thread::yield();
            for (int i = 0; i < joinsEach; ++i) {
                joined[j].push_back(fanout.join(std::nullopt));
                std::this_thread::sleep_for(std::chrono::microseconds(20 * (j + 1)));
            }
        });
    go = true;
    publisher.join();
    for (auto& thread : joinThreads)
        thread.join();

    for (const auto& group : joined)
        for (const auto& listener : group) {
            const auto chunks = drainQueued(*listener);
            ASSERT_FALSE(chunks.empty());
            const auto burst = chunks.front().bytes();
            ASSERT_TRUE(burst.size() % perChunk == 0);
            std::uint64_t expected = decode(burst, 0);
            for (std::size_t at = 0; at < burst.size(); at += perChunk)
                ASSERT_EQ(decode(burst, at), expected++) << "burst is not consecutive";
            // A short burst is only possible at the very start of the stream.
            ASSERT_TRUE(burst.size() == perChunk * chunksInBurst || decode(burst, 0) == 0);
            ASSERT_EQ(chunks.size(), 1 + published - expected) << "chunks lost or repeated";
            for (std::size_t i = 1; i < chunks.size(); ++i, ++expected) {
                ASSERT_EQ(chunks[i].size(), perChunk) << "a second burst arrived";
                ASSERT_EQ(decode(chunks[i].bytes(), 0), expected);
            }
        }
}

} // namespace
