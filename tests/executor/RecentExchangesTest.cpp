// The executor's store of recent exchanges on its own, with packets far
// larger than a test on the simulated VCI can make cheaply: the memory bound
// holds for what the process really keeps, not only for what the store counts.
#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <cstring>
#include <string>

#include "PacketHeaders.h"
#include "RecentExchanges.h"

namespace {

using qel::RecentExchanges;
using Packet = RecentExchanges::Packet;

constexpr std::size_t MIB = std::size_t{1} << 20;

Packet requestWithId(std::uint32_t id) { return qel::buildRequest(qel::Operation::ReadMsgs, id, qel::PacketWriter{}); }

Packet replyOf(std::size_t size, std::uint8_t fill) { return Packet(size, fill); }

std::size_t committedBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    return counters.PagefileUsage;
}

TEST(RecentExchanges, EachRequestGetsItsOwnReplyAndOnlyAnEqualRequestMatches) {
    RecentExchanges store;
    store.keep(requestWithId(1), replyOf(30, 1));
    store.keep(requestWithId(2), replyOf(30, 2));
    ASSERT_NE(store.replyTo(requestWithId(1)), nullptr);
    EXPECT_EQ(*store.replyTo(requestWithId(1)), replyOf(30, 1));
    EXPECT_EQ(*store.replyTo(requestWithId(2)), replyOf(30, 2));
    EXPECT_EQ(store.replyTo(requestWithId(3)), nullptr);
    Packet longer = requestWithId(1);
    longer.push_back(0);
    EXPECT_EQ(store.replyTo(longer), nullptr);
    const Packet shorter(longer.begin(), longer.end() - 2);
    EXPECT_EQ(store.replyTo(shorter), nullptr);
}

// Three replies of 20 MiB fit the bound, a fourth pushes out the oldest; one
// larger than the whole bound is not kept and pushes out nothing.
TEST(RecentExchanges, OldestGoWhenTheMemoryBoundWouldBePassed) {
    RecentExchanges store;
    const Packet big = replyOf(20 * MIB, 7);
    for (std::uint32_t id = 1; id <= 4; ++id) {
        store.keep(requestWithId(id), big);
        EXPECT_LE(store.bytesHeld(), RecentExchanges::MAX_BYTES);
    }
    EXPECT_EQ(store.replyTo(requestWithId(1)), nullptr);
    for (std::uint32_t id = 2; id <= 4; ++id) {
        EXPECT_NE(store.replyTo(requestWithId(id)), nullptr) << id;
    }
    const std::size_t held = store.bytesHeld();
    EXPECT_GE(held, 3 * big.size());
    store.keep(requestWithId(5), replyOf(RecentExchanges::MAX_BYTES, 8));
    EXPECT_EQ(store.replyTo(requestWithId(5)), nullptr);
    EXPECT_EQ(store.bytesHeld(), held);
    for (std::uint32_t id = 2; id <= 4; ++id) {
        EXPECT_NE(store.replyTo(requestWithId(id)), nullptr) << id;
    }
    store.clear();
    EXPECT_EQ(store.bytesHeld(), 0u);
    EXPECT_EQ(store.replyTo(requestWithId(4)), nullptr);
}

// Large and small exchanges in turn: a small one kept in the room of an
// evicted large one still holds that room, and the process's memory shows it.
TEST(RecentExchanges, BoundHoldsForTheMemoryTheProcessKeeps) {
    RecentExchanges store;
    const Packet big = replyOf(20 * MIB, 7);
    const Packet small = replyOf(100, 9);
    const std::size_t before = committedBytes();
    std::size_t peak = 0;
    std::uint32_t id = 1;
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < 3; ++i) {
            store.keep(requestWithId(id++), big);
            peak = std::max(peak, committedBytes());
        }
        for (std::size_t i = 0; i < RecentExchanges::MAX_EXCHANGES; ++i) {
            store.keep(requestWithId(id++), small);
            peak = std::max(peak, committedBytes());
        }
        EXPECT_LE(store.bytesHeld(), RecentExchanges::MAX_BYTES);
    }
    const std::size_t growth = peak > before ? peak - before : 0;
    std::printf("store: %zu KiB held, the process grew by %zu KiB at most\n", store.bytesHeld() >> 10, growth >> 10);
    // Evicted buffers are reused or freed before the copy is made; the rest is
    // the heap's own keeping.
    EXPECT_LE(growth, RecentExchanges::MAX_BYTES + 4 * MIB);
}

}  // namespace
