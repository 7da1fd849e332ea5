#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ExecutorHarness.h"

namespace {

using qel::Operation;
using qeltest::Bytes;
using qeltest::parseReply;
using qeltest::rawRequest;
using qeltest::request;

// A request payload that each operation accepts, so that one byte more or less breaks it.
qel::PacketWriter wellFormedPayload(Operation operation) {
    qel::PacketWriter w;
    const qel::PASSTHRU_MSG message = qeltest::makeMessage(qel::CAN, {0, 0, 7, 0xE0, 1, 2});
    switch (operation) {
    case Operation::Close:
    case Operation::Disconnect:
    case Operation::ReadVersion: w.u32(1); break;
    case Operation::Connect:
        for (int i = 0; i < 4; ++i) w.u32(1);
        break;
    case Operation::ReadMsgs:
        w.u32(1);
        w.u32(1);
        w.u32(0);
        break;
    case Operation::WriteMsgs:
        w.u32(1);
        w.u32(1);
        w.u32(0);
        w.message(message);
        break;
    case Operation::StartPeriodic:
        w.u32(1);
        w.u32(100);
        w.message(message);
        break;
    case Operation::StopPeriodic:
    case Operation::StopFilter:
        w.u32(1);
        w.u32(2);
        break;
    case Operation::StartFilter:
        w.u32(1);
        w.u32(qel::PASS_FILTER);
        w.u8(qel::FILTER_HAS_MASK | qel::FILTER_HAS_PATTERN);
        w.message(message);
        w.message(message);
        break;
    case Operation::SetVoltage:
        w.u32(1);
        w.u32(15);
        w.u32(12000);
        break;
    case Operation::Ioctl:
        w.u32(1);
        w.u32(qel::READ_VBATT);
        w.u32(0);
        w.u32(1);
        w.u32(1);
        break;
    default: break;
    }
    return w;
}

Bytes payloadBytes(Operation operation) { return wellFormedPayload(operation).buffer(); }

bool simVciLoaded() { return GetModuleHandleW(qeltest::vciPath(L"SimVci.dll").c_str()) != nullptr; }

struct FreshExecutor : ::testing::Test {
    qel::J2534Executor executor{qeltest::vciPath(L"SimVci.dll")};
};

TEST_F(FreshExecutor, HeaderFailuresAnswerOperation15AndRequestId0) {
    Bytes versionTwo = rawRequest(3, {});
    versionTwo[4] = 2;
    Bytes responseMagic = rawRequest(3, {});
    responseMagic[3] = 'R';
    Bytes oneByteOff = rawRequest(3, {});
    oneByteOff[1] = 'F';
    Bytes fifteen = rawRequest(1, {});
    fifteen.pop_back();
    Bytes tooLong = rawRequest(3, {});
    tooLong[12] = 0x01;
    tooLong[15] = 0x02;  // 0x02000001
    const struct {
        const char* name;
        Bytes packet;
        const char* text;
    } cases[] = {
        {"empty", {}, "incomplete request header"},
        {"15 bytes", fifteen, "incomplete request header"},
        {"version 2", versionTwo, "invalid request header"},
        {"response magic", responseMagic, "invalid request header"},
        {"magic off by one byte", oneByteOff, "invalid request header"},
        {"payload above the limit", tooLong, "invalid request header"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const qeltest::Reply reply = parseReply(executor.execute(c.packet));
        EXPECT_EQ(reply.status(), qel::ERR_FAILED);
        EXPECT_EQ(reply.header.operation, Operation::Ping);
        EXPECT_EQ(reply.header.requestId, 0u);
        EXPECT_TRUE(reply.payload.empty());
        EXPECT_EQ(qeltest::lastErrorOf(executor), c.text);
    }
}

TEST_F(FreshExecutor, WrongTotalLengthKeepsTheRequestsOperationAndId) {
    Bytes shortPacket = rawRequest(2, {1, 2, 3, 4}, 0xCAFE);
    shortPacket.pop_back();
    Bytes longPacket = rawRequest(2, {1, 2, 3, 4}, 0xCAFE);
    longPacket.push_back(0);
    for (const Bytes& packet : {shortPacket, longPacket}) {
        const qeltest::Reply reply = parseReply(executor.execute(packet));
        EXPECT_EQ(reply.status(), qel::ERR_FAILED);
        EXPECT_EQ(reply.header.operation, Operation::Close);
        EXPECT_EQ(reply.header.requestId, 0xCAFEu);
        EXPECT_TRUE(reply.payload.empty());
        EXPECT_EQ(qeltest::lastErrorOf(executor), "request length mismatch");
    }
}

TEST_F(FreshExecutor, PingAnswersReadyAndLeavesTheLastErrorAlone) {
    parseReply(executor.execute(request(Operation::Close, wellFormedPayload(Operation::Close))));
    const qeltest::Reply reply = parseReply(executor.execute(rawRequest(15, {}, 99)));
    EXPECT_EQ(reply.status(), qel::STATUS_NOERROR);
    EXPECT_EQ(reply.header.operation, Operation::Ping);
    EXPECT_EQ(reply.header.requestId, 99u);
    Bytes expected = {24, 0, 0, 0};
    expected.insert(expected.end(), qel::PING_REPLY_TEXT, qel::PING_REPLY_TEXT + 24);
    EXPECT_EQ(reply.payload, expected);
    EXPECT_EQ(qeltest::lastErrorOf(executor), "VCI DLL is not loaded");
    EXPECT_FALSE(simVciLoaded());

    const qeltest::Reply trailing = parseReply(executor.execute(rawRequest(15, {0}, 100)));
    EXPECT_EQ(trailing.status(), qel::ERR_FAILED);
    EXPECT_EQ(trailing.header.requestId, 100u);
    EXPECT_TRUE(trailing.payload.empty());
    EXPECT_EQ(qeltest::lastErrorOf(executor), "packet contains trailing bytes");
}

TEST_F(FreshExecutor, UnknownOperationsAreNotSupportedWhateverTheyCarry) {
    for (std::uint16_t code : {0, 16, 0x8000, 0xFFFF}) {
        for (const Bytes& payload : {Bytes{}, Bytes(10, 0xEE)}) {
            const qeltest::Reply reply = parseReply(executor.execute(rawRequest(code, payload, code + 1u)));
            EXPECT_EQ(reply.status(), qel::ERR_NOT_SUPPORTED) << code;
            EXPECT_EQ(static_cast<std::uint16_t>(reply.header.operation), code);
            EXPECT_EQ(reply.header.requestId, code + 1u);
            EXPECT_TRUE(reply.payload.empty());
            EXPECT_EQ(qeltest::lastErrorOf(executor), "Unsupported bridge operation");
        }
    }
}

TEST_F(FreshExecutor, BeforeAnyOpenOperationsAnswerWithoutLoadingTheLibrary) {
    EXPECT_EQ(qeltest::lastErrorOf(executor), "No error.");
    const struct {
        Operation operation;
        std::int32_t status;
        const char* text;
    } cases[] = {
        {Operation::Close, qel::ERR_DEVICE_NOT_CONNECTED, "VCI DLL is not loaded"},
        {Operation::Connect, qel::ERR_DEVICE_NOT_CONNECTED, "VCI DLL is not loaded"},
        {Operation::Disconnect, qel::ERR_DEVICE_NOT_CONNECTED, "VCI DLL is not loaded"},
        {Operation::ReadMsgs, qel::ERR_DEVICE_NOT_CONNECTED, "VCI DLL is not loaded"},
        {Operation::WriteMsgs, qel::ERR_DEVICE_NOT_CONNECTED, "VCI DLL is not loaded"},
        {Operation::Ioctl, qel::ERR_DEVICE_NOT_CONNECTED, "VCI DLL is not loaded"},
        {Operation::StartPeriodic, qel::ERR_NOT_SUPPORTED, "PassThruStartPeriodicMsg is not exported"},
        {Operation::StopPeriodic, qel::ERR_NOT_SUPPORTED, "PassThruStopPeriodicMsg is not exported"},
        {Operation::StartFilter, qel::ERR_NOT_SUPPORTED, "PassThruStartMsgFilter is not exported"},
        {Operation::StopFilter, qel::ERR_NOT_SUPPORTED, "PassThruStopMsgFilter is not exported"},
        {Operation::SetVoltage, qel::ERR_NOT_SUPPORTED, "PassThruSetProgrammingVoltage is not exported"},
        {Operation::ReadVersion, qel::ERR_NOT_SUPPORTED, "PassThruReadVersion is not exported"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.operation));
        const qeltest::Reply reply = parseReply(executor.execute(request(c.operation, wellFormedPayload(c.operation), 7)));
        EXPECT_EQ(reply.status(), c.status);
        EXPECT_EQ(reply.header.operation, c.operation);
        EXPECT_EQ(reply.header.requestId, 7u);
        EXPECT_TRUE(reply.payload.empty());
        EXPECT_EQ(qeltest::lastErrorOf(executor), c.text);
    }
    EXPECT_FALSE(simVciLoaded());
}

// Every handler reads its whole request before anything else, so a request one
// byte too long or too short never reaches, or loads, the library.
TEST_F(FreshExecutor, MalformedPayloadsFailBeforeTheLibrary) {
    for (std::uint16_t code = 1; code <= 14; ++code) {
        const auto operation = static_cast<Operation>(code);
        SCOPED_TRACE(code);
        Bytes longer = payloadBytes(operation);
        longer.push_back(0);
        qeltest::Reply reply = parseReply(executor.execute(rawRequest(code, longer, 40 + code)));
        EXPECT_EQ(reply.status(), qel::ERR_FAILED);
        EXPECT_EQ(reply.header.operation, operation);
        EXPECT_EQ(reply.header.requestId, 40u + code);
        EXPECT_TRUE(reply.payload.empty());
        EXPECT_EQ(qeltest::lastErrorOf(executor), "packet contains trailing bytes");

        Bytes shorter = payloadBytes(operation);
        if (shorter.empty()) {
            continue;
        }
        shorter.pop_back();
        reply = parseReply(executor.execute(rawRequest(code, shorter, 60 + code)));
        EXPECT_EQ(reply.status(), qel::ERR_FAILED);
        EXPECT_EQ(reply.header.requestId, 60u + code);
        EXPECT_TRUE(reply.payload.empty());
        EXPECT_EQ(qeltest::lastErrorOf(executor), "packet ended unexpectedly");
    }
    EXPECT_FALSE(simVciLoaded());
}

TEST_F(FreshExecutor, ReadMsgsWithoutCapacityIsANullParameterEvenBeforeOpen) {
    qel::PacketWriter w;
    w.u32(1);
    w.u32(0);
    w.u32(0);
    const qeltest::Reply reply = parseReply(executor.execute(request(Operation::ReadMsgs, w)));
    EXPECT_EQ(reply.status(), qel::ERR_NULL_PARAMETER);
    EXPECT_TRUE(reply.payload.empty());
    EXPECT_EQ(qeltest::lastErrorOf(executor), "ReadMsgs capacity must be greater than zero");
}

TEST(LastError, GetLastErrorWithAPayloadByteIsRefused) {
    qel::J2534Executor executor(qeltest::vciPath(L"SimVci.dll"));
    const qeltest::Reply reply = parseReply(executor.execute(rawRequest(13, {0})));
    EXPECT_EQ(reply.status(), qel::ERR_FAILED);
    EXPECT_TRUE(reply.payload.empty());
    EXPECT_EQ(qeltest::lastErrorOf(executor), "packet contains trailing bytes");
}

// How the text after a vendor call is chosen: "No error." after success, the
// vendor's own description when it gives one, else the text kept so far.
TEST(LastError, FollowsTheVendorsDescription) {
    qeltest::OpenedExecutor opened;
    const std::uint32_t channel = opened.connect(qel::CAN);
    auto disconnect = [&](std::uint32_t id) {
        qel::PacketWriter w;
        w.u32(id);
        return parseReply(opened.executor.execute(request(Operation::Disconnect, w)));
    };
    std::string vendorText;
    std::int32_t vendorStatus = qel::STATUS_NOERROR;
    bool bufferWasZero = false;
    opened.vci.onCall([&](const qeltest::VciCall& call) -> std::optional<std::int32_t> {
        if (call.function != "PassThruGetLastError") {
            return std::nullopt;
        }
        char* buffer = call.pointer<char>(0);
        bufferWasZero = std::all_of(buffer, buffer + 1024, [](char c) { return c == 0; });
        std::memcpy(buffer, vendorText.data(), std::min<std::size_t>(vendorText.size(), 1024));
        return vendorStatus;
    });

    // A failure reply of the executor's own, then a vendor failure without a description.
    parseReply(opened.executor.execute(request(Operation::ReadMsgs, [] {
        qel::PacketWriter w;
        w.u32(1);
        w.u32(0);
        w.u32(0);
        return w;
    }())));
    EXPECT_EQ(disconnect(0xDEAD).status(), qel::ERR_INVALID_CHANNEL_ID);
    EXPECT_TRUE(bufferWasZero);
    EXPECT_EQ(qeltest::lastErrorOf(opened.executor), "ERR_INVALID_CHANNEL_ID");

    vendorText = "bus off";
    EXPECT_EQ(qeltest::lastErrorOf(opened.executor), "bus off") << "the vendor's text wins while it has one";
    vendorStatus = qel::ERR_FAILED;
    EXPECT_EQ(qeltest::lastErrorOf(opened.executor), "ERR_INVALID_CHANNEL_ID");

    vendorStatus = qel::STATUS_NOERROR;
    disconnect(0xDEAD);
    vendorText.clear();
    EXPECT_EQ(qeltest::lastErrorOf(opened.executor), "bus off") << "captured at the failed call";

    vendorText = std::string(1024, 'x');
    disconnect(0xDEAD);
    vendorText.clear();
    EXPECT_EQ(qeltest::lastErrorOf(opened.executor), std::string(1024, 'x'));

    EXPECT_EQ(disconnect(channel).status(), qel::STATUS_NOERROR);
    EXPECT_EQ(qeltest::lastErrorOf(opened.executor), "No error.");
}

// A failure must never read "No error.", also when the vendor cannot say more.
TEST(LastError, WithoutVendorDescriptionAFailureNamesItsStatus) {
    qeltest::SimVci vci(L"SimVciRequiredOnly.dll");
    qel::J2534Executor executor(qeltest::vciPath(L"SimVciRequiredOnly.dll"));
    ASSERT_EQ(parseReply(executor.execute(request(Operation::Open, {}))).status(), qel::STATUS_NOERROR);
    EXPECT_EQ(qeltest::lastErrorOf(executor), "No error.");
    qel::PacketWriter w;
    w.u32(0xDEAD);
    EXPECT_EQ(parseReply(executor.execute(request(Operation::Close, w))).status(), qel::ERR_INVALID_DEVICE_ID);
    EXPECT_EQ(qeltest::lastErrorOf(executor), "ERR_INVALID_DEVICE_ID");
    vci.onCall([](const qeltest::VciCall&) -> std::optional<std::int32_t> { return -3; });
    EXPECT_EQ(parseReply(executor.execute(request(Operation::Close, w))).status(), -3);
    EXPECT_EQ(qeltest::lastErrorOf(executor), "ERR_UNKNOWN");
}

// The vendor's description is of its own last call; a failure of the
// executor's after that call is the newer one and is what GetLastError says.
TEST(LastError, OwnFailureIsNotHiddenByAnOlderVendorText) {
    qeltest::OpenedExecutor opened;
    qel::PacketWriter unknownChannel;
    unknownChannel.u32(0xDEAD);
    qel::PacketWriter noCapacity;
    for (std::uint32_t field : {1u, 0u, 0u}) noCapacity.u32(field);
    const struct {
        const char* name;
        Bytes packet;
        const char* text;
    } cases[] = {
        {"failure reply", request(Operation::ReadMsgs, noCapacity), "ReadMsgs capacity must be greater than zero"},
        {"unsupported operation", rawRequest(0, {}), "Unsupported bridge operation"},
        {"request that cannot be decoded", Bytes{'Q', 'E', 'L'}, "incomplete request header"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parseReply(opened.executor.execute(request(Operation::Disconnect, unknownChannel))).status(),
                  qel::ERR_INVALID_CHANNEL_ID);
        EXPECT_EQ(qeltest::lastErrorOf(opened.executor), "PassThruDisconnect: unknown ChannelID");
        opened.executor.execute(c.packet);
        EXPECT_EQ(qeltest::lastErrorOf(opened.executor), c.text);
    }
}

}  // namespace
