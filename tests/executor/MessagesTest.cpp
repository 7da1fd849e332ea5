#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "ExecutorHarness.h"

namespace {

using qel::Operation;
using qeltest::Bytes;
using qeltest::parseReply;
using qeltest::request;

qel::PacketWriter readRequest(std::uint32_t channel, std::uint32_t count, std::uint32_t timeout) {
    qel::PacketWriter w;
    w.u32(channel);
    w.u32(count);
    w.u32(timeout);
    return w;
}

// The vendor's own error text would hide the executor's; this one has none.
std::optional<std::int32_t> noVendorText(const qeltest::VciCall& call) {
    if (call.function == "PassThruGetLastError") return qel::ERR_FAILED;
    return std::nullopt;
}

std::vector<qel::PASSTHRU_MSG> readMessages(qel::PacketReader& reader) {
    std::vector<qel::PASSTHRU_MSG> messages(reader.u32());
    for (qel::PASSTHRU_MSG& m : messages) m = reader.message();
    reader.requireEnd();
    return messages;
}

qel::PASSTHRU_MSG numbered(std::uint32_t i, std::uint32_t size) {
    qel::PASSTHRU_MSG m{};
    m.ProtocolID = qel::ISO9141;
    m.RxStatus = i;
    m.TxFlags = i * 3;
    m.Timestamp = 1000 + i;
    m.DataSize = size;
    m.ExtraDataIndex = size;
    for (std::uint32_t b = 0; b < size; ++b) m.Data[b] = static_cast<std::uint8_t>(i + b);
    return m;
}

TEST(ReadMsgs, CountAndMessagesFollowTheVendor) {
    const struct {
        const char* name;
        std::uint32_t requested;
        std::uint32_t capacity;  // what the vendor must be offered
        std::uint32_t filled;    // records the vendor fills
        std::uint32_t reported;  // n the vendor leaves
        std::int32_t status;
        std::uint32_t expected;
    } cases[] = {
        {"one of one", 1, 1, 1, 1, qel::STATUS_NOERROR, 1},
        {"fewer than asked", 10, 10, 3, 3, qel::STATUS_NOERROR, 3},
        {"none", 10, 10, 0, 0, qel::STATUS_NOERROR, 0},
        {"buffer overflow carries its messages", 5, 5, 3, 3, qel::ERR_BUFFER_OVERFLOW, 3},
        {"time-out carries what was read", 8, 8, 2, 2, qel::ERR_TIMEOUT, 2},
        {"buffer empty", 8, 8, 0, 0, qel::ERR_BUFFER_EMPTY, 0},
        {"more than 1024 asked", 5000, 1024, 1024, 1024, qel::STATUS_NOERROR, 1024},
        {"vendor reports more than offered", 4, 4, 4, 9, qel::STATUS_NOERROR, 4},
    };
    qeltest::OpenedExecutor opened;
    std::uint32_t requestId = 31;  // a new one each time: the same id and payload twice is a resend
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ++requestId;
        std::uint32_t offered = 0;
        bool zeroed = false;
        opened.vci.onCall([&](const qeltest::VciCall& call) -> std::optional<std::int32_t> {
            if (call.function != "PassThruReadMsgs") return std::nullopt;
            auto* records = call.pointer<qel::PASSTHRU_MSG>(1);
            offered = *call.pointer<std::uint32_t>(2);
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(records);
            zeroed = std::all_of(bytes, bytes + offered * sizeof(qel::PASSTHRU_MSG), [](auto b) { return b == 0; });
            for (std::uint32_t i = 0; i < c.filled; ++i) records[i] = numbered(i, i % 2 == 0 ? 8 : 4128);
            *call.pointer<std::uint32_t>(2) = c.reported;
            return c.status;
        });
        const qeltest::Reply reply =
            parseReply(opened.executor.execute(request(Operation::ReadMsgs, readRequest(9, c.requested, 50), requestId)));
        EXPECT_EQ(reply.status(), c.status);
        EXPECT_EQ(reply.header.requestId, requestId);
        EXPECT_EQ(offered, c.capacity);
        EXPECT_TRUE(zeroed);
        const auto call = opened.vci.callsOf("PassThruReadMsgs").back();
        EXPECT_EQ(call.args[0], 9u);
        EXPECT_EQ(call.args[3], 50u);
        qel::PacketReader reader = reply.reader();
        const std::vector<qel::PASSTHRU_MSG> messages = readMessages(reader);
        ASSERT_EQ(messages.size(), c.expected);
        for (std::uint32_t i = 0; i < c.expected; ++i) {
            const qel::PASSTHRU_MSG expected = numbered(i, i % 2 == 0 ? 8 : 4128);
            ASSERT_EQ(std::memcmp(&messages[i], &expected, sizeof expected), 0) << i;
        }
    }
}

// A vendor that fails without lowering the count has filled nothing: the
// zeroed records it was offered are no messages.
TEST(ReadMsgs, FailureThatLeavesTheCountUntouchedCarriesNoMessages) {
    qeltest::OpenedExecutor opened;
    const std::uint32_t channel = opened.connect(qel::CAN);
    for (const std::int32_t status : {qel::ERR_INVALID_CHANNEL_ID, qel::ERR_FAILED, qel::ERR_TIMEOUT,
                                      qel::ERR_BUFFER_EMPTY, qel::ERR_DEVICE_NOT_CONNECTED, 0x7F}) {
        for (const std::uint32_t requested : {1u, 5u, 1024u}) {
            SCOPED_TRACE(std::string(qel::statusName(status)) + ", room for " + std::to_string(requested));
            opened.vci.setReadFailure(status);
            const qeltest::Reply reply = parseReply(
                opened.executor.execute(request(Operation::ReadMsgs, readRequest(channel, requested, 0))));
            EXPECT_EQ(reply.status(), status);
            EXPECT_EQ(reply.payload, (Bytes{0, 0, 0, 0}));
        }
    }
}

// What a failing vendor did report still travels, whatever the status.
TEST(ReadMsgs, FailureThatLowersTheCountCarriesWhatItReported) {
    qeltest::OpenedExecutor opened;
    opened.vci.onCall([](const qeltest::VciCall& call) -> std::optional<std::int32_t> {
        if (call.function != "PassThruReadMsgs") return std::nullopt;
        call.pointer<qel::PASSTHRU_MSG>(1)[0] = numbered(0, 8);
        *call.pointer<std::uint32_t>(2) = 1;
        return qel::ERR_FAILED;
    });
    const qeltest::Reply reply = parseReply(opened.executor.execute(request(Operation::ReadMsgs, readRequest(1, 4, 0))));
    EXPECT_EQ(reply.status(), qel::ERR_FAILED);
    qel::PacketReader reader = reply.reader();
    const std::vector<qel::PASSTHRU_MSG> messages = readMessages(reader);
    ASSERT_EQ(messages.size(), 1u);
    const qel::PASSTHRU_MSG expected = numbered(0, 8);
    EXPECT_EQ(std::memcmp(&messages[0], &expected, sizeof expected), 0);
}

TEST(ReadMsgs, ReplyCarriesOnlyEachMessagesData) {
    qeltest::OpenedExecutor opened;
    opened.vci.onCall([](const qeltest::VciCall& call) -> std::optional<std::int32_t> {
        if (call.function != "PassThruReadMsgs") return std::nullopt;
        call.pointer<qel::PASSTHRU_MSG>(1)[0] = numbered(0, 8);
        call.pointer<qel::PASSTHRU_MSG>(1)[1] = numbered(1, 12);
        *call.pointer<std::uint32_t>(2) = 2;
        return qel::STATUS_NOERROR;
    });
    const qeltest::Reply reply = parseReply(opened.executor.execute(request(Operation::ReadMsgs, readRequest(1, 2, 0))));
    EXPECT_EQ(reply.payload.size(), 72u);
}

TEST(ReadMsgs, OversizedVendorMessageFailsTheWholeReply) {
    qeltest::OpenedExecutor opened;
    opened.vci.onCall([](const qeltest::VciCall& call) -> std::optional<std::int32_t> {
        if (call.function != "PassThruReadMsgs") return noVendorText(call);
        call.pointer<qel::PASSTHRU_MSG>(1)[0] = numbered(0, 8);
        call.pointer<qel::PASSTHRU_MSG>(1)[1].DataSize = 4129;
        *call.pointer<std::uint32_t>(2) = 2;
        return qel::ERR_BUFFER_OVERFLOW;
    });
    const qeltest::Reply reply = parseReply(opened.executor.execute(request(Operation::ReadMsgs, readRequest(1, 2, 0))));
    EXPECT_EQ(reply.status(), qel::ERR_FAILED);
    EXPECT_TRUE(reply.payload.empty());
    EXPECT_EQ(qeltest::lastErrorOf(opened.executor), "J2534 message too large");
}

TEST(ReadMsgs, EndCheckComesBeforeTheCapacityTest) {
    qel::J2534Executor executor(qeltest::vciPath(L"SimVci.dll"));
    qel::PacketWriter w = readRequest(1, 0, 0);
    w.u8(0);
    const qeltest::Reply reply = parseReply(executor.execute(request(Operation::ReadMsgs, w)));
    EXPECT_EQ(reply.status(), qel::ERR_FAILED);
    EXPECT_EQ(qeltest::lastErrorOf(executor), "packet contains trailing bytes");
}

TEST(WriteMsgs, VendorGetsTheMessagesAndTheCountComesBackUncapped) {
    const struct {
        const char* name;
        std::uint32_t count;
        std::uint32_t vendorLeaves;
        std::int32_t status;
    } cases[] = {
        {"none: null array", 0, 0, qel::STATUS_NOERROR},
        {"none, vendor reports some", 0, 5, qel::STATUS_NOERROR},
        {"three", 3, 3, qel::STATUS_NOERROR},
        {"partly written", 3, 1, qel::ERR_BUFFER_FULL},
        {"vendor reports more than sent", 2, 7, qel::STATUS_NOERROR},
        {"the most", 1024, 1024, qel::STATUS_NOERROR},
    };
    qeltest::OpenedExecutor opened;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<qel::PASSTHRU_MSG> seen;
        std::uint32_t countAtEntry = 0xFFFFFFFF;
        bool nullArray = false;
        opened.vci.onCall([&](const qeltest::VciCall& call) -> std::optional<std::int32_t> {
            if (call.function != "PassThruWriteMsgs") return std::nullopt;
            const auto* records = call.pointer<qel::PASSTHRU_MSG>(1);
            nullArray = records == nullptr;
            countAtEntry = *call.pointer<std::uint32_t>(2);
            if (records != nullptr) seen.assign(records, records + countAtEntry);
            *call.pointer<std::uint32_t>(2) = c.vendorLeaves;
            return c.status;
        });
        qel::PacketWriter w = readRequest(4, c.count, 100);
        for (std::uint32_t i = 0; i < c.count; ++i) w.message(numbered(i, (i * 37) % 4129));
        const qeltest::Reply reply = parseReply(opened.executor.execute(request(Operation::WriteMsgs, w)));
        EXPECT_EQ(reply.status(), c.status);
        EXPECT_EQ(reply.payload, (Bytes{static_cast<std::uint8_t>(c.vendorLeaves), static_cast<std::uint8_t>(c.vendorLeaves >> 8), 0, 0}));
        EXPECT_EQ(countAtEntry, c.count);
        EXPECT_EQ(nullArray, c.count == 0);
        ASSERT_EQ(seen.size(), c.count);
        for (std::uint32_t i = 0; i < c.count; ++i) {
            const qel::PASSTHRU_MSG expected = numbered(i, (i * 37) % 4129);
            ASSERT_EQ(std::memcmp(&seen[i], &expected, sizeof expected), 0) << i;
        }
        const auto call = opened.vci.callsOf("PassThruWriteMsgs").back();
        EXPECT_EQ(call.args[0], 4u);
        EXPECT_EQ(call.args[3], 100u);
    }
}

TEST(WriteMsgs, MalformedRequestsNeverReachTheVendor) {
    qeltest::OpenedExecutor opened;
    opened.vci.onCall(noVendorText);
    qel::PacketWriter tooMany = readRequest(1, 1025, 0);
    for (std::uint32_t i = 0; i < 1025; ++i) tooMany.message(numbered(i, 1));
    qel::PacketWriter missing = readRequest(1, 2, 0);
    missing.message(numbered(0, 1));
    qel::PacketWriter oversized = readRequest(1, 1, 0);
    for (std::uint32_t field : {1u, 0u, 0u, 0u, 4129u, 0u}) oversized.u32(field);
    oversized.bytes(Bytes(4129).data(), 4129);
    const struct {
        const char* name;
        const qel::PacketWriter& payload;
        const char* text;
    } cases[] = {
        {"1025 messages", tooMany, "packet contains trailing bytes"},
        {"a message missing", missing, "packet ended unexpectedly"},
        {"DataSize 4129", oversized, "J2534 message exceeds 4128 bytes"},
    };
    for (const auto& c : cases) {
        opened.vci.forget();
        const qeltest::Reply reply = parseReply(opened.executor.execute(request(Operation::WriteMsgs, c.payload)));
        EXPECT_EQ(reply.status(), qel::ERR_FAILED) << c.name;
        EXPECT_TRUE(reply.payload.empty());
        EXPECT_TRUE(opened.vci.calls().empty()) << c.name;
        EXPECT_EQ(qeltest::lastErrorOf(opened.executor), c.text);
    }
}

TEST(ReadVersion, ThreeTextsWhateverTheStatus) {
    const struct {
        const char* name;
        std::int32_t status;
        std::string firmware, library, api;
    } cases[] = {
        {"plain", qel::STATUS_NOERROR, "fw 2.1", "dll 3.0.7", "04.04"},
        {"untouched on failure", qel::ERR_TIMEOUT, "", "", ""},
        {"buffers filled to the last byte", qel::STATUS_NOERROR, std::string(256, 'F'), std::string(256, 'L'),
         std::string(256, 'A')},
    };
    qeltest::OpenedExecutor opened;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bool zeroed = false;
        opened.vci.onCall([&](const qeltest::VciCall& call) -> std::optional<std::int32_t> {
            if (call.function != "PassThruReadVersion") return std::nullopt;
            zeroed = true;
            const std::string* texts[3] = {&c.firmware, &c.library, &c.api};
            for (std::size_t i = 0; i < 3; ++i) {
                char* buffer = call.pointer<char>(i + 1);
                zeroed = zeroed && std::all_of(buffer, buffer + 256, [](char b) { return b == 0; });
                std::memcpy(buffer, texts[i]->data(), texts[i]->size());
            }
            return c.status;
        });
        qel::PacketWriter w;
        w.u32(opened.deviceId);
        const qeltest::Reply reply = parseReply(opened.executor.execute(request(Operation::ReadVersion, w)));
        EXPECT_EQ(reply.status(), c.status);
        EXPECT_TRUE(zeroed);
        EXPECT_EQ(opened.vci.callsOf("PassThruReadVersion").back().args[0], opened.deviceId);
        qel::PacketReader reader = reply.reader();
        EXPECT_EQ(reader.text(qel::VERSION_TEXT_LIMIT), c.firmware);
        EXPECT_EQ(reader.text(qel::VERSION_TEXT_LIMIT), c.library);
        EXPECT_EQ(reader.text(qel::VERSION_TEXT_LIMIT), c.api);
        reader.requireEnd();
    }
}

}  // namespace
