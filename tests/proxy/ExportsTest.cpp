#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "RelayFixture.h"

namespace qel::test {
namespace {

using Exports = RelayFixture;

// The relay answers every request with what the test put in `next`.
class ScriptedReplies : public RelayFixture {
protected:
    void SetUp() override {
        RelayFixture::SetUp();
        startRelay([this](const RelayRequest& r) {
            const std::lock_guard<std::mutex> lock(mutex);
            return next(r);
        });
    }

    void reply(std::function<RelayAction(const RelayRequest&)> action) {
        const std::lock_guard<std::mutex> lock(mutex);
        next = std::move(action);
    }

    void reply(std::int32_t status, const std::function<void(PacketWriter&)>& write = [](PacketWriter&) {}) {
        const PacketWriter payload = writer(write);
        reply([status, payload](const RelayRequest& r) { return answer(r, status, payload); });
    }

    void replyMismatched() {
        reply([](const RelayRequest& r) { return rawAnswer("QELR", 1, r.header.operation, 0, 0, 0); });
    }

    RelayRequest last() const { return relay->requests().back(); }

    std::mutex mutex;
    std::function<RelayAction(const RelayRequest&)> next = [](const RelayRequest& r) {
        return answer(r, STATUS_NOERROR);
    };
};

TEST_F(ScriptedReplies, LocalChecksSendNothingTakeNoIdAndStoreNoText) {
    EXPECT_EQ(dll().close(1), STATUS_NOERROR);  // the id before the checks
    const std::uint32_t before = last().header.requestId;
    std::vector<PASSTHRU_MSG> five(5, makeMessage(CAN, 8, 1));
    five[2].DataSize = 4129;
    PASSTHRU_MSG big = makeMessage(CAN, 8, 1);
    big.DataSize = 4129;
    PASSTHRU_MSG fine = makeMessage(CAN, 8, 1);
    std::uint32_t zero = 0;
    std::uint32_t count = 5;
    std::uint32_t id = 1234;
    char text[80] = {};
    const struct {
        const char* what;
        std::function<std::int32_t()> call;
        std::int32_t status;
    } cases[] = {
        {"Open", [&] { return dll().open(nullptr, nullptr); }, ERR_NULL_PARAMETER},
        {"Connect", [&] { return dll().connect(1, CAN, 0, 500000, nullptr); }, ERR_NULL_PARAMETER},
        {"ReadMsgs msg", [&] { return dll().readMsgs(1, nullptr, &count, 0); }, ERR_NULL_PARAMETER},
        {"ReadMsgs count", [&] { return dll().readMsgs(1, &fine, nullptr, 0); }, ERR_NULL_PARAMETER},
        {"ReadMsgs zero", [&] { return dll().readMsgs(1, &fine, &zero, 0); }, ERR_NULL_PARAMETER},
        {"WriteMsgs msg", [&] { return dll().writeMsgs(1, nullptr, &count, 0); }, ERR_NULL_PARAMETER},
        {"WriteMsgs count", [&] { return dll().writeMsgs(1, &fine, nullptr, 0); }, ERR_NULL_PARAMETER},
        {"WriteMsgs size", [&] { return dll().writeMsgs(1, five.data(), &count, 0); }, ERR_INVALID_MSG},
        {"StartPeriodic msg", [&] { return dll().startPeriodicMsg(1, nullptr, &id, 100); }, ERR_NULL_PARAMETER},
        {"StartPeriodic id", [&] { return dll().startPeriodicMsg(1, &fine, nullptr, 100); }, ERR_NULL_PARAMETER},
        {"StartPeriodic size", [&] { return dll().startPeriodicMsg(1, &big, &id, 100); }, ERR_INVALID_MSG},
        {"StartFilter id", [&] { return dll().startMsgFilter(1, PASS_FILTER, &fine, &fine, nullptr, nullptr); },
         ERR_NULL_PARAMETER},
        {"StartFilter mask", [&] { return dll().startMsgFilter(1, PASS_FILTER, &big, &fine, nullptr, &id); },
         ERR_INVALID_MSG},
        {"StartFilter pattern", [&] { return dll().startMsgFilter(1, PASS_FILTER, nullptr, &big, nullptr, &id); },
         ERR_INVALID_MSG},
        {"StartFilter flow", [&] { return dll().startMsgFilter(1, FLOW_CONTROL_FILTER, &fine, &fine, &big, &id); },
         ERR_INVALID_MSG},
        {"ReadVersion firmware", [&] { return dll().readVersion(1, nullptr, text, text); }, ERR_NULL_PARAMETER},
        {"ReadVersion dll", [&] { return dll().readVersion(1, text, nullptr, text); }, ERR_NULL_PARAMETER},
        {"ReadVersion api", [&] { return dll().readVersion(1, text, text, nullptr); }, ERR_NULL_PARAMETER},
        {"GetLastError", [&] { return dll().getLastError(nullptr); }, ERR_NULL_PARAMETER},
        {"Ioctl FAST_INIT size", [&] { return dll().ioctl(1, FAST_INIT, &big, &fine); }, ERR_INVALID_MSG},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), c.status) << c.what;
    }
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(zero, 0u);
    EXPECT_EQ(id, 1234u);
    EXPECT_EQ(relay->requests().size(), 1u);
    EXPECT_EQ(lastErrorText(), "No error.");
    EXPECT_EQ(last().header.requestId, idAfter(before, 1));
}

TEST_F(ScriptedReplies, EachExportWritesItsRequestPayload) {
    std::vector<PASSTHRU_MSG> msgs = {makeMessage(ISO15765, 6, 0x10), makeMessage(CAN, 0, 0)};
    PASSTHRU_MSG mask = makeMessage(CAN, 4, 0x20);
    PASSTHRU_MSG flow = makeMessage(CAN, 4, 0x30);
    std::uint32_t out = 0;
    std::uint32_t many = 5000;
    std::uint32_t two = 2;
    char a[80], b[80], c[80];
    const struct {
        const char* what;
        std::function<void()> call;
        Operation operation;
        Bytes payload;
    } cases[] = {
        {"Open", [&] { dll().open(const_cast<char*>("any name"), &out); }, Operation::Open, {}},
        {"Close", [&] { dll().close(0x01020304); }, Operation::Close, {4, 3, 2, 1}},
        {"Connect", [&] { dll().connect(7, ISO15765, 0x100, 500000, &out); }, Operation::Connect,
         written([](auto& w) { w.u32(7), w.u32(ISO15765), w.u32(0x100), w.u32(500000); })},
        {"Disconnect", [&] { dll().disconnect(9); }, Operation::Disconnect, {9, 0, 0, 0}},
        {"ReadMsgs", [&] { dll().readMsgs(3, msgs.data(), &many, 250); }, Operation::ReadMsgs,
         written([](auto& w) { w.u32(3), w.u32(1024), w.u32(250); })},
        {"WriteMsgs", [&] { dll().writeMsgs(3, msgs.data(), &two, 100); }, Operation::WriteMsgs,
         written([&](auto& w) { w.u32(3), w.u32(2), w.u32(100), w.message(msgs[0]), w.message(msgs[1]); })},
        {"StartPeriodic", [&] { dll().startPeriodicMsg(4, &mask, &out, 1000); }, Operation::StartPeriodic,
         written([&](auto& w) { w.u32(4), w.u32(1000), w.message(mask); })},
        {"StopPeriodic", [&] { dll().stopPeriodicMsg(4, 5); }, Operation::StopPeriodic,
         written([](auto& w) { w.u32(4), w.u32(5); })},
        {"StartFilter", [&] { dll().startMsgFilter(4, FLOW_CONTROL_FILTER, &mask, nullptr, &flow, &out); },
         Operation::StartFilter,
         written([&](auto& w) { w.u32(4), w.u32(FLOW_CONTROL_FILTER), w.u8(5), w.message(mask), w.message(flow); })},
        {"StartFilter pattern only", [&] { dll().startMsgFilter(4, PASS_FILTER, nullptr, &mask, nullptr, &out); },
         Operation::StartFilter, written([&](auto& w) { w.u32(4), w.u32(PASS_FILTER), w.u8(2), w.message(mask); })},
        {"StartFilter none", [&] { dll().startMsgFilter(4, PASS_FILTER, nullptr, nullptr, nullptr, &out); },
         Operation::StartFilter, written([&](auto& w) { w.u32(4), w.u32(PASS_FILTER), w.u8(0); })},
        {"StopFilter", [&] { dll().stopMsgFilter(4, 6); }, Operation::StopFilter,
         written([](auto& w) { w.u32(4), w.u32(6); })},
        {"SetVoltage", [&] { dll().setProgrammingVoltage(1, 12, 5000); }, Operation::SetVoltage,
         written([](auto& w) { w.u32(1), w.u32(12), w.u32(5000); })},
        {"ReadVersion", [&] { dll().readVersion(8, a, b, c); }, Operation::ReadVersion, {8, 0, 0, 0}},
        {"GetLastError", [&] { dll().getLastError(a); }, Operation::GetLastError, {}},
    };
    reply([](const RelayRequest& r) {
        return r.header.operation == Operation::GetLastError ? answer(r, ERR_NOT_SUPPORTED) : answer(r, 0);
    });
    for (const auto& c : cases) {
        c.call();
        EXPECT_EQ(last().header.operation, c.operation) << c.what;
        EXPECT_EQ(last().payload, c.payload) << c.what;
    }
    // Only DataSize bytes of each message travel.
    EXPECT_EQ(written([&](auto& w) { w.message(msgs[0]); }).size(), 30u);
}

TEST_F(ScriptedReplies, IdResultsAreTakenOnlyWhenThePayloadHoldsThem) {
    PASSTHRU_MSG msg = makeMessage(CAN, 4, 1);
    std::vector<PASSTHRU_MSG> many(0x77, msg);
    const struct {
        const char* what;
        std::function<std::int32_t(std::uint32_t*)> call;
    } exports[] = {
        {"Open", [&](std::uint32_t* out) { return dll().open(nullptr, out); }},
        {"Connect", [&](std::uint32_t* out) { return dll().connect(1, CAN, 0, 500000, out); }},
        {"WriteMsgs", [&](std::uint32_t* out) { *out = 0x77; return dll().writeMsgs(1, many.data(), out, 0); }},
        {"StartPeriodic", [&](std::uint32_t* out) { return dll().startPeriodicMsg(1, &msg, out, 10); }},
        {"StartFilter", [&](std::uint32_t* out) { return dll().startMsgFilter(1, PASS_FILTER, &msg, &msg, nullptr, out); }},
    };
    for (const auto& e : exports) {
        std::uint32_t out = 0xAAAA;
        reply(ERR_BUFFER_FULL, [](auto& w) { w.u32(0x77), w.u8(1); });
        EXPECT_EQ(e.call(&out), ERR_BUFFER_FULL) << e.what;
        EXPECT_EQ(out, 0x77u) << e.what;
        out = 0xAAAA;
        reply(STATUS_NOERROR, [](auto& w) { w.u8(1), w.u8(2), w.u8(3); });
        EXPECT_EQ(e.call(&out), STATUS_NOERROR) << e.what;
        EXPECT_EQ(out, 0u) << e.what;
        out = 0xAAAA;
        reply(ERR_FAILED);
        EXPECT_EQ(e.call(&out), ERR_FAILED) << e.what;
        EXPECT_EQ(out, 0u) << e.what;
        out = 0xAAAA;
        replyMismatched();
        EXPECT_EQ(e.call(&out), ERR_FAILED) << e.what;
        EXPECT_EQ(out, 0u) << e.what;
    }
}

TEST_F(Exports, RelayDownGivesMissingResults) {
    RegistrySettings::setPort(closedPort());
    std::uint32_t out = 0xAAAA;
    EXPECT_EQ(dll().open(nullptr, &out), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(out, 0u);
    char a[80] = "x", b[80] = "y", c[80] = "z";
    EXPECT_EQ(dll().readVersion(1, a, b, c), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_STREQ(a, "");
    EXPECT_STREQ(b, "");
    EXPECT_STREQ(c, "");
    PASSTHRU_MSG msg{};
    std::uint32_t count = 3;
    EXPECT_EQ(dll().readMsgs(1, &msg, &count, 0), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(count, 0u);
}

Bytes messagesReply(std::uint32_t count, std::uint32_t dataSize) {
    return written([&](PacketWriter& w) {
        w.u32(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            w.message(makeMessage(CAN, dataSize, static_cast<std::uint8_t>(i)));
        }
    });
}

TEST_F(ScriptedReplies, ReadMsgsCopiesAtMostWhatWasAskedForAsWholeRecords) {
    std::vector<PASSTHRU_MSG> msgs(1100);
    const auto readWith = [&](std::int32_t status, const Bytes& payload, std::uint32_t asked, std::uint32_t& count) {
        std::memset(msgs.data(), 0xCC, msgs.size() * sizeof(PASSTHRU_MSG));
        reply(status, [&](auto& w) { w.bytes(payload.data(), static_cast<std::uint32_t>(payload.size())); });
        count = asked;
        return dll().readMsgs(2, msgs.data(), &count, 100);
    };
    std::uint32_t count = 0;
    EXPECT_EQ(readWith(STATUS_NOERROR, messagesReply(1100, 4), 5000, count), STATUS_NOERROR);
    EXPECT_EQ(count, 1024u);
    EXPECT_EQ(msgs[1023].Data[0], static_cast<std::uint8_t>(1023));
    EXPECT_EQ(msgs[1024].ProtocolID, 0xCCCCCCCCu);

    EXPECT_EQ(readWith(STATUS_NOERROR, messagesReply(10, 8), 5, count), STATUS_NOERROR);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(msgs[5].ProtocolID, 0xCCCCCCCCu);
    const PASSTHRU_MSG expected = makeMessage(CAN, 8, 4);
    EXPECT_EQ(std::memcmp(&msgs[4], &expected, sizeof(PASSTHRU_MSG)), 0) << "zero-filled beyond DataSize";

    EXPECT_EQ(readWith(ERR_TIMEOUT, messagesReply(3, 2), 10, count), ERR_TIMEOUT);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(msgs[2].DataSize, 2u);

    EXPECT_EQ(readWith(ERR_FAILED, {}, 10, count), ERR_FAILED);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(msgs[0].ProtocolID, 0xCCCCCCCCu);
}

TEST_F(ScriptedReplies, ReadMsgsReplyThatBreaksItsLayoutFails) {
    std::vector<PASSTHRU_MSG> msgs(4);
    Bytes oversized = messagesReply(1, 4);
    oversized[4 + 16] = 0x21;  // DataSize 4129
    oversized[4 + 17] = 0x10;
    const struct {
        Bytes payload;
        const char* text;
    } cases[] = {
        {written([](auto& w) { w.u32(3), w.message(makeMessage(CAN, 4, 0)); }), "packet ended unexpectedly"},
        {oversized, "J2534 message exceeds 4128 bytes"},
    };
    for (const auto& c : cases) {
        reply(STATUS_NOERROR, [&](auto& w) { w.bytes(c.payload.data(), static_cast<std::uint32_t>(c.payload.size())); });
        std::uint32_t count = 4;
        EXPECT_EQ(dll().readMsgs(1, msgs.data(), &count, 0), ERR_FAILED);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(lastErrorText(), c.text);
    }
}

// The application's array ends after the messages it passed: a larger count
// from the other side must not send it past that end.
TEST_F(ScriptedReplies, WriteMsgsNeverReportsMoreThanWereSent) {
    std::vector<PASSTHRU_MSG> msgs(1100, makeMessage(CAN, 4, 0));
    const struct {
        std::uint32_t passed;
        std::int32_t status;
        std::uint32_t remote;
        std::uint32_t expected;
    } cases[] = {
        {2, STATUS_NOERROR, 7, 2},
        {2, ERR_TIMEOUT, 0xFFFFFFFF, 2},
        {2, ERR_TIMEOUT, 1, 1},
        {0, STATUS_NOERROR, 3, 0},
        {1100, STATUS_NOERROR, 1100, 1024},
        {1100, ERR_BUFFER_FULL, 1000, 1000},
    };
    for (const auto& c : cases) {
        reply(c.status, [&](auto& w) { w.u32(c.remote); });
        std::uint32_t count = c.passed;
        EXPECT_EQ(dll().writeMsgs(1, msgs.data(), &count, 0), c.status) << c.passed << " " << c.remote;
        EXPECT_EQ(count, c.expected) << c.passed << " " << c.remote;
    }
}

// More than the 1 MiB that one receive call takes, in small pieces, so that
// the receive loop has to join many partial reads across that boundary.
TEST_F(ScriptedReplies, LargeReadMsgsReplyArrivesInSmallSegments) {
    constexpr std::uint32_t count = 300;
    const Bytes payload = written([&](PacketWriter& w) {
        w.u32(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            w.message(makeMessage(ISO15765, MAX_MESSAGE_DATA, static_cast<std::uint8_t>(i)));
        }
    });
    ASSERT_GT(payload.size(), 0x100000u);
    reply([&](const RelayRequest& r) {
        RelayAction action = answer(r, STATUS_NOERROR, writer([&](auto& w) {
            w.bytes(payload.data(), static_cast<std::uint32_t>(payload.size()));
        }));
        action.segmentBytes = 2999;
        return action;
    });
    std::vector<PASSTHRU_MSG> msgs(count + 1);
    std::uint32_t asked = count;
    EXPECT_EQ(dll().readMsgs(1, msgs.data(), &asked, 0), STATUS_NOERROR);
    EXPECT_EQ(asked, count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const PASSTHRU_MSG expected = makeMessage(ISO15765, MAX_MESSAGE_DATA, static_cast<std::uint8_t>(i));
        ASSERT_EQ(std::memcmp(&msgs[i], &expected, sizeof expected), 0) << i;
    }
    EXPECT_EQ(relay->handshakes().size(), 1u);
}

TEST_F(ScriptedReplies, WriteMsgsSendsCountZeroAndFullMessages) {
    PASSTHRU_MSG msg = makeMessage(CAN, 4128, 0);
    std::uint32_t count = 0;
    reply(STATUS_NOERROR, [](auto& w) { w.u32(0); });
    EXPECT_EQ(dll().writeMsgs(1, &msg, &count, 0), STATUS_NOERROR);
    EXPECT_EQ(last().payload, written([](auto& w) { w.u32(1), w.u32(0), w.u32(0); }));
    count = 1;
    reply(STATUS_NOERROR, [](auto& w) { w.u32(1); });
    EXPECT_EQ(dll().writeMsgs(1, &msg, &count, 0), STATUS_NOERROR);
    EXPECT_EQ(last().payload.size(), 12u + 24u + 4128u);
    EXPECT_EQ(count, 1u);
}

TEST_F(ScriptedReplies, ReadVersionCutsTextsAndEmptiesThemWithoutResult) {
    char firmware[80], dllVersion[80], api[80];
    const std::string longText(100, 'f');
    reply(STATUS_NOERROR, [&](auto& w) { w.text(longText), w.text("2.1"), w.text("04.04"); });
    EXPECT_EQ(dll().readVersion(1, firmware, dllVersion, api), STATUS_NOERROR);
    EXPECT_EQ(std::string(firmware), longText.substr(0, 79));
    EXPECT_STREQ(dllVersion, "2.1");
    EXPECT_STREQ(api, "04.04");

    reply(ERR_NOT_SUPPORTED);
    EXPECT_EQ(dll().readVersion(1, firmware, dllVersion, api), ERR_NOT_SUPPORTED);
    EXPECT_STREQ(firmware, "");
    EXPECT_STREQ(dllVersion, "");
    EXPECT_STREQ(api, "");

    std::strcpy(firmware, "old");
    reply(STATUS_NOERROR, [&](auto& w) { w.text("1.0"), w.u32(2000); });
    EXPECT_EQ(dll().readVersion(1, firmware, dllVersion, api), ERR_FAILED);
    EXPECT_STREQ(firmware, "");
    EXPECT_EQ(lastErrorText(), "length-prefixed field exceeds limit");
}

TEST_F(Exports, GetLastErrorWithTheRelayDownSucceedsWithTheLocalText) {
    RegistrySettings::setPort(closedPort());
    char text[80] = {};
    EXPECT_EQ(dll().getLastError(text), STATUS_NOERROR);
    EXPECT_STREQ(text, "Cannot connect to Ubuntu Corvell on localhost.");
}

TEST_F(Exports, GetLastErrorTakesTheRemoteTextOrTheLocalOne) {
    std::atomic<int> step = 0;
    startRelayAnswering([&](const RelayRequest& r) {
        switch (step.load()) {
        case 0:
            return rawAnswer("QELR", 1, r.header.operation, r.header.requestId + 5, 0, 0);
        case 1:
            return answer(r, STATUS_NOERROR);
        case 2:
            return answer(r, STATUS_NOERROR, writer([](auto& w) { w.text(std::string(100, 'e')); }));
        case 3:
            return answer(r, STATUS_NOERROR, writer([](auto& w) { w.text(std::string(4097, 'e')); }));
        default:
            return answer(r, ERR_INVALID_DEVICE_ID, writer([](auto& w) { w.text("vendor says no"); }));
        }
    });
    char text[80] = {};
    EXPECT_EQ(dll().getLastError(text), ERR_FAILED);
    EXPECT_STREQ(text, "Corvell response does not match request.");
    step = 1;
    EXPECT_EQ(dll().getLastError(text), STATUS_NOERROR);
    EXPECT_STREQ(text, "No error.");
    step = 2;
    EXPECT_EQ(dll().getLastError(text), STATUS_NOERROR);
    EXPECT_EQ(std::string(text), std::string(79, 'e'));
    step = 3;
    EXPECT_EQ(dll().getLastError(text), ERR_FAILED);
    EXPECT_STREQ(text, "length-prefixed field exceeds limit");
    step = 4;
    EXPECT_EQ(dll().getLastError(text), ERR_INVALID_DEVICE_ID);
    EXPECT_STREQ(text, "vendor says no");
}

}  // namespace
}  // namespace qel::test
