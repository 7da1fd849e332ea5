#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ExecutorHarness.h"
#include "RecentExchanges.h"

namespace {

using qel::Operation;
using qeltest::Bytes;
using qeltest::parseReply;
using qeltest::request;

qel::PacketWriter fields(std::initializer_list<std::uint32_t> values) {
    qel::PacketWriter w;
    for (const std::uint32_t value : values) w.u32(value);
    return w;
}

qel::PacketWriter writeRequest(std::uint32_t channel, const qel::PASSTHRU_MSG& message) {
    qel::PacketWriter w = fields({channel, 1, 100});
    w.message(message);
    return w;
}

// The messages waiting on the channel, taken out of the simulated VCI's queue.
std::uint32_t drain(qeltest::OpenedExecutor& opened, std::uint32_t channel) {
    const qeltest::Reply reply =
        parseReply(opened.executor.execute(request(Operation::ReadMsgs, fields({channel, 100, 0}))));
    qel::PacketReader reader = reply.reader();
    return reader.u32();
}

// Pellith sends the very same packet once more when the reply was late: the
// vendor must not see it a second time, and the stored reply goes back.
TEST(Resend, IdenticalRequestIsAnsweredAgainWithoutTheVendor) {
    qeltest::OpenedExecutor opened;
    const std::uint32_t channel = opened.connect(qel::CAN);
    const qel::PASSTHRU_MSG message = qeltest::makeMessage(qel::CAN, {0, 0, 7, 0xE0, 2, 0x10, 3});
    const auto periodic = [&] {
        qel::PacketWriter w = fields({channel, 60000});  // never due during the test
        w.message(message);
        return w;
    };
    const auto filter = [&] {
        qel::PacketWriter w = fields({channel, qel::PASS_FILTER});
        w.u8(qel::FILTER_HAS_MASK | qel::FILTER_HAS_PATTERN);
        w.message(qeltest::makeMessage(qel::CAN, {0xFF, 0xFF, 0xFF, 0xFF}));
        w.message(qeltest::makeMessage(qel::CAN, {0, 0, 7, 0xE8}));
        return w;
    };
    const struct {
        const char* function;
        Bytes packet;
    } cases[] = {
        {"PassThruWriteMsgs", request(Operation::WriteMsgs, writeRequest(channel, message))},
        {"PassThruStartPeriodicMsg", request(Operation::StartPeriodic, periodic())},
        {"PassThruStartMsgFilter", request(Operation::StartFilter, filter())},
        {"PassThruReadVersion", request(Operation::ReadVersion, fields({opened.deviceId}))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.function);
        opened.vci.forget();
        const Bytes first = opened.executor.execute(c.packet);
        const Bytes again = opened.executor.execute(c.packet);
        EXPECT_EQ(again, first);
        EXPECT_EQ(parseReply(first).status(), qel::STATUS_NOERROR);
        EXPECT_EQ(opened.vci.callsOf(c.function).size(), 1u);
    }
    // The resent WriteMsgs put its message on the bus once: one echo came back.
    EXPECT_EQ(drain(opened, channel), 1u);
}

TEST(Resend, ResentReadDeliversTheMessagesTheFirstReadTook) {
    qeltest::OpenedExecutor opened;
    const std::uint32_t channel = opened.connect(qel::CAN);
    for (std::uint8_t i = 0; i < 3; ++i) {
        const qel::PASSTHRU_MSG message = qeltest::makeMessage(qel::CAN, {0, 0, 7, 0xE0, i});
        ASSERT_EQ(parseReply(opened.executor.execute(request(Operation::WriteMsgs, writeRequest(channel, message))))
                      .status(),
                  qel::STATUS_NOERROR);
    }
    const Bytes read = request(Operation::ReadMsgs, fields({channel, 2, 0}));
    const Bytes first = opened.executor.execute(read);
    EXPECT_EQ(opened.executor.execute(read), first);
    const qeltest::Reply reply = parseReply(first);
    qel::PacketReader reader = reply.reader();
    EXPECT_EQ(reader.u32(), 2u);
    EXPECT_EQ(drain(opened, channel), 1u) << "the third message is still queued, the first two went out twice";
}

// Only when id, operation and payload all match.
TEST(Resend, AnyOtherRequestRunsAgain) {
    qeltest::OpenedExecutor opened;
    const std::uint32_t channel = opened.connect(qel::CAN);
    const auto write = [&](std::uint32_t id, std::uint8_t last) {
        return request(Operation::WriteMsgs, writeRequest(channel, qeltest::makeMessage(qel::CAN, {0, 0, 7, last})),
                       id);
    };
    const struct {
        const char* name;
        Bytes before;
        std::function<void()> between;
        Bytes packet;
        const char* function;
    } cases[] = {
        {"a new id", write(500, 0xE0), [] {}, write(501, 0xE0), "PassThruWriteMsgs"},
        {"the same id with another payload", write(500, 0xE0), [] {}, write(500, 0xE1), "PassThruWriteMsgs"},
        {"the same id and payload under another operation", request(Operation::StopPeriodic, fields({channel, 77}), 700),
         [] {}, request(Operation::StopFilter, fields({channel, 77}), 700), "PassThruStopMsgFilter"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        opened.executor.execute(c.before);
        c.between();
        opened.vci.forget();
        opened.executor.execute(c.packet);
        EXPECT_EQ(opened.vci.callsOf(c.function).size(), 1u);
    }
}

// Other testers on the station are served between a request and its resend:
// the resend is still answered from the store, as long as the store holds it.
TEST(Resend, ResendAfterOtherTestersRequestsIsAnsweredWhileKept) {
    qeltest::OpenedExecutor opened;
    const std::uint32_t channel = opened.connect(qel::CAN);
    const struct {
        std::size_t between;
        std::size_t vendorWrites;
    } cases[] = {{3, 0}, {15, 0}, {qel::RecentExchanges::MAX_EXCHANGES, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.between) + " requests in between");
        const Bytes write =
            request(Operation::WriteMsgs, writeRequest(channel, qeltest::makeMessage(qel::CAN, {0, 0, 7, 0xE0})));
        const Bytes first = opened.executor.execute(write);
        ASSERT_EQ(parseReply(first).status(), qel::STATUS_NOERROR);
        for (std::size_t i = 0; i < c.between; ++i) {
            opened.executor.execute(request(Operation::ReadVersion, fields({opened.deviceId})));
        }
        opened.vci.forget();
        const Bytes again = opened.executor.execute(write);
        EXPECT_EQ(opened.vci.callsOf("PassThruWriteMsgs").size(), c.vendorWrites);
        if (c.vendorWrites == 0) {
            EXPECT_EQ(again, first);
        }
        EXPECT_EQ(drain(opened, channel), 1 + c.vendorWrites) << "one echo per write on the bus";
    }
}

// Releasing the library, as a given-up connection does, takes the kept
// replies along: nothing answers a request from a load that is gone.
TEST(Resend, ReleasingTheLibraryForgetsTheKeptReplies) {
    qeltest::OpenedExecutor opened;
    const std::uint32_t channel = opened.connect(qel::CAN);
    const Bytes write =
        request(Operation::WriteMsgs, writeRequest(channel, qeltest::makeMessage(qel::CAN, {0, 0, 7, 0xE0})));
    ASSERT_EQ(parseReply(opened.executor.execute(write)).status(), qel::STATUS_NOERROR);
    opened.executor.releaseLibrary();
    EXPECT_EQ(parseReply(opened.executor.execute(write)).status(), qel::ERR_DEVICE_NOT_CONNECTED);
}

}  // namespace
