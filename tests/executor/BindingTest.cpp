#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "ExecutorHarness.h"

namespace {

using qel::Operation;
using qeltest::Bytes;
using qeltest::parseReply;
using qeltest::request;

bool loaded(const wchar_t* name) { return GetModuleHandleW(qeltest::vciPath(name).c_str()) != nullptr; }

qeltest::Reply open(qel::J2534Executor& executor) {
    return parseReply(executor.execute(request(Operation::Open, {})));
}

TEST(Binding, OpenWithAPayloadByteLoadsNothing) {
    qel::J2534Executor executor(qeltest::vciPath(L"SimVci.dll"));
    const qeltest::Reply reply = parseReply(executor.execute(qeltest::rawRequest(1, {0})));
    EXPECT_EQ(reply.status(), qel::ERR_FAILED);
    EXPECT_EQ(qeltest::lastErrorOf(executor), "packet contains trailing bytes");
    EXPECT_FALSE(loaded(L"SimVci.dll"));
}

// A library that appears after a failed load is loaded by the next Open.
TEST(Binding, FailedLoadIsRetriedAtTheNextOpen) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring path =
        std::wstring(folder) + L"qel-late-vci-" + std::to_wstring(GetCurrentProcessId()) + L".dll";
    DeleteFileW(path.c_str());
    {
        qel::J2534Executor executor(path);
        for (int attempt = 0; attempt < 2; ++attempt) {
            const qeltest::Reply reply = open(executor);
            EXPECT_EQ(reply.status(), qel::ERR_FAILED);
            EXPECT_EQ(reply.header.operation, Operation::Open);
            EXPECT_TRUE(reply.payload.empty());
            EXPECT_EQ(qeltest::lastErrorOf(executor), "LoadLibrary failed with Win32 error 126");
        }
        ASSERT_TRUE(CopyFileW(qeltest::vciPath(L"SimVci.dll").c_str(), path.c_str(), FALSE));
        const qeltest::Reply reply = open(executor);
        EXPECT_EQ(reply.status(), qel::STATUS_NOERROR);
        EXPECT_EQ(reply.payload.size(), 4u);
        EXPECT_NE(GetModuleHandleW(path.c_str()), nullptr);
    }
    EXPECT_EQ(GetModuleHandleW(path.c_str()), nullptr) << "the executor frees what it loaded";
    DeleteFileW(path.c_str());
}

TEST(Binding, MissingRequiredExportFreesTheLibraryAndNamesTheFirstOne) {
    const struct {
        const wchar_t* library;
        const char* text;
    } cases[] = {
        {L"SimVciNoIoctl.dll", "Missing J2534 export: PassThruIoctl"},
        {L"SimVciNoConnect.dll", "Missing J2534 export: PassThruConnect"},
    };
    for (const auto& c : cases) {
        qel::J2534Executor executor(qeltest::vciPath(c.library));
        for (int attempt = 0; attempt < 2; ++attempt) {
            const qeltest::Reply reply = open(executor);
            EXPECT_EQ(reply.status(), qel::ERR_FAILED);
            EXPECT_TRUE(reply.payload.empty());
            EXPECT_EQ(qeltest::lastErrorOf(executor), c.text);
            EXPECT_FALSE(loaded(c.library));
        }
        qel::PacketWriter w;
        w.u32(1);
        EXPECT_EQ(parseReply(executor.execute(request(Operation::Close, w))).status(), qel::ERR_DEVICE_NOT_CONNECTED);
    }
}

TEST(Binding, MissingOptionalExportsAnswerNotSupported) {
    qeltest::SimVci vci(L"SimVciRequiredOnly.dll");
    qel::J2534Executor executor(qeltest::vciPath(L"SimVciRequiredOnly.dll"));
    const qeltest::Reply opened = open(executor);
    ASSERT_EQ(opened.status(), qel::STATUS_NOERROR);
    qel::PacketReader reader = opened.reader();
    const std::uint32_t device = reader.u32();
    const qel::PASSTHRU_MSG message = qeltest::makeMessage(qel::CAN, {0, 0, 7, 0xE0});
    const struct {
        Operation operation;
        std::function<void(qel::PacketWriter&)> fill;
        const char* text;
    } cases[] = {
        {Operation::StartPeriodic, [&](qel::PacketWriter& w) { w.u32(1); w.u32(100); w.message(message); },
         "PassThruStartPeriodicMsg is not exported"},
        {Operation::StopPeriodic, [](qel::PacketWriter& w) { w.u32(1); w.u32(2); },
         "PassThruStopPeriodicMsg is not exported"},
        {Operation::StartFilter, [](qel::PacketWriter& w) { w.u32(1); w.u32(1); w.u8(0); },
         "PassThruStartMsgFilter is not exported"},
        {Operation::StopFilter, [](qel::PacketWriter& w) { w.u32(1); w.u32(2); },
         "PassThruStopMsgFilter is not exported"},
        {Operation::SetVoltage, [&](qel::PacketWriter& w) { w.u32(device); w.u32(15); w.u32(12000); },
         "PassThruSetProgrammingVoltage is not exported"},
        {Operation::ReadVersion, [&](qel::PacketWriter& w) { w.u32(device); },
         "PassThruReadVersion is not exported"},
    };
    for (const auto& c : cases) {
        qel::PacketWriter w;
        c.fill(w);
        const qeltest::Reply reply = parseReply(executor.execute(request(c.operation, w)));
        EXPECT_EQ(reply.status(), qel::ERR_NOT_SUPPORTED) << c.text;
        EXPECT_TRUE(reply.payload.empty());
        EXPECT_EQ(qeltest::lastErrorOf(executor), c.text);
    }
    EXPECT_TRUE(vci.calls().size() == 1 && vci.calls()[0].function == "PassThruOpen");
}

TEST(Binding, LibraryIsLoadedOnceAndFreedWithoutClosingAnything) {
    {
        qel::J2534Executor executor(qeltest::vciPath(L"SimVci.dll"));
        EXPECT_EQ(open(executor).status(), qel::STATUS_NOERROR);
        EXPECT_EQ(open(executor).status(), qel::ERR_DEVICE_IN_USE);
        EXPECT_TRUE(loaded(L"SimVci.dll"));
    }
    EXPECT_FALSE(loaded(L"SimVci.dll")) << "one LoadLibrary, one FreeLibrary";

    qeltest::SimVci vci;
    std::vector<std::uint32_t> deviceIdsAtEntry;
    vci.onCall([&](const qeltest::VciCall& call) -> std::optional<std::int32_t> {
        if (call.function == "PassThruOpen") {
            deviceIdsAtEntry.push_back(*call.pointer<std::uint32_t>(1));
        }
        return std::nullopt;
    });
    {
        qel::J2534Executor executor(qeltest::vciPath(L"SimVci.dll"));
        open(executor);
        open(executor);
        qel::PacketWriter w;
        w.u32(1);
        parseReply(executor.execute(request(Operation::Close, w)));
        w = {};
        for (int i = 0; i < 4; ++i) w.u32(1);
        parseReply(executor.execute(request(Operation::Connect, w)));
    }
    const std::vector<qeltest::VciCall> opens = vci.callsOf("PassThruOpen");
    ASSERT_EQ(opens.size(), 2u);
    for (const qeltest::VciCall& call : opens) {
        EXPECT_EQ(call.args[0], 0u) << "the name is always null";
    }
    EXPECT_EQ(deviceIdsAtEntry, (std::vector<std::uint32_t>{0, 0}));
    EXPECT_EQ(vci.callsOf("PassThruConnect").size(), 1u) << "Close leaves the library loaded";
    EXPECT_EQ(vci.callsOf("PassThruClose").size(), 1u) << "destruction closes nothing";
    EXPECT_TRUE(vci.callsOf("PassThruDisconnect").empty());
}

// Each device handler passes the request's values in the vendor's argument
// order, starts its output id at 0 and returns whatever the vendor gives.
TEST(DeviceHandlers, PassArgumentsAndReturnResultsWhateverTheStatus) {
    constexpr std::uintptr_t POINTER = ~std::uintptr_t{0};
    qeltest::OpenedExecutor opened;
    const qel::PASSTHRU_MSG message = qeltest::makeMessage(qel::CAN, {0, 0, 7, 0xDF, 2, 0x3E, 0});
    const struct {
        Operation operation;
        std::function<void(qel::PacketWriter&)> fill;
        const char* function;
        std::vector<std::uintptr_t> values;  // expected arguments, POINTER standing for any non-null pointer
        int outputIndex;                     // argument that receives the id, or -1
    } cases[] = {
        {Operation::Close, [](qel::PacketWriter& w) { w.u32(0x11); }, "PassThruClose", {0x11}, -1},
        {Operation::Connect, [](qel::PacketWriter& w) { w.u32(0x11); w.u32(6); w.u32(0x800); w.u32(500000); },
         "PassThruConnect", {0x11, 6, 0x800, 500000, POINTER}, 4},
        {Operation::Disconnect, [](qel::PacketWriter& w) { w.u32(0x22); }, "PassThruDisconnect", {0x22}, -1},
        {Operation::StartPeriodic, [&](qel::PacketWriter& w) { w.u32(0x22); w.u32(250); w.message(message); },
         "PassThruStartPeriodicMsg", {0x22, POINTER, POINTER, 250}, 2},
        {Operation::StopPeriodic, [](qel::PacketWriter& w) { w.u32(0x22); w.u32(0x33); },
         "PassThruStopPeriodicMsg", {0x22, 0x33}, -1},
        {Operation::StartFilter, [&](qel::PacketWriter& w) { w.u32(0x22); w.u32(2); w.u8(3); w.message(message);
                                                              w.message(message); },
         "PassThruStartMsgFilter", {0x22, 2, POINTER, POINTER, 0, POINTER}, 5},
        {Operation::StopFilter, [](qel::PacketWriter& w) { w.u32(0x22); w.u32(0x44); },
         "PassThruStopMsgFilter", {0x22, 0x44}, -1},
        {Operation::SetVoltage, [](qel::PacketWriter& w) { w.u32(0x11); w.u32(12); w.u32(18000); },
         "PassThruSetProgrammingVoltage", {0x11, 12, 18000}, -1},
    };
    for (const std::int32_t status : {qel::STATUS_NOERROR, 0x55, -3}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.function);
            std::uint32_t idAtEntry = 0xFFFFFFFF;
            opened.vci.forget();
            opened.vci.onCall([&](const qeltest::VciCall& call) -> std::optional<std::int32_t> {
                if (call.function != c.function) {
                    return std::nullopt;
                }
                if (c.outputIndex >= 0) {
                    idAtEntry = *call.pointer<std::uint32_t>(c.outputIndex);
                    *call.pointer<std::uint32_t>(c.outputIndex) = 0xABCD;
                }
                return status;
            });
            qel::PacketWriter w;
            c.fill(w);
            // Each round under an id of its own: the same packet again would be a resend.
            const std::uint32_t id = qeltest::freshRequestId();
            const qeltest::Reply reply = parseReply(opened.executor.execute(request(c.operation, w, id)));
            EXPECT_EQ(reply.status(), status);
            EXPECT_EQ(reply.header.operation, c.operation);
            EXPECT_EQ(reply.header.requestId, id);
            const std::vector<qeltest::VciCall> calls = opened.vci.callsOf(c.function);
            ASSERT_EQ(calls.size(), 1u);
            for (std::size_t i = 0; i < c.values.size(); ++i) {
                if (c.values[i] == POINTER) {
                    EXPECT_NE(calls[0].args[i], 0u) << "argument " << i;
                } else {
                    EXPECT_EQ(calls[0].args[i], c.values[i]) << "argument " << i;
                }
            }
            if (c.outputIndex >= 0) {
                EXPECT_EQ(idAtEntry, 0u);
                EXPECT_EQ(reply.payload, (Bytes{0xCD, 0xAB, 0, 0}));
            } else {
                EXPECT_TRUE(reply.payload.empty());
            }
        }
    }
}

TEST(DeviceHandlers, FailedConnectCarriesTheChannelIdTheVendorLeft) {
    qeltest::OpenedExecutor opened;
    qel::PacketWriter w;
    w.u32(opened.deviceId);
    w.u32(99);
    w.u32(0);
    w.u32(500000);
    const qeltest::Reply reply = parseReply(opened.executor.execute(request(Operation::Connect, w)));
    EXPECT_EQ(reply.status(), qel::ERR_INVALID_PROTOCOL_ID);
    EXPECT_EQ(reply.payload, (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(qeltest::lastErrorOf(opened.executor), "PassThruConnect: unknown ProtocolID");
}

TEST(DeviceHandlers, StartPeriodicPassesTheWholeMessageRecord) {
    qeltest::OpenedExecutor opened;
    qel::PASSTHRU_MSG seen{};
    opened.vci.onCall([&](const qeltest::VciCall& call) -> std::optional<std::int32_t> {
        if (call.function == "PassThruStartPeriodicMsg") {
            seen = *call.pointer<qel::PASSTHRU_MSG>(1);
        }
        return std::nullopt;
    });
    qel::PASSTHRU_MSG message = qeltest::makeMessage(qel::ISO9141, {0x68, 0x6A, 0xF1, 0x01, 0x00});
    message.TxFlags = 0x40;
    message.ExtraDataIndex = 9999;
    qel::PacketWriter w;
    w.u32(5);
    w.u32(100);
    w.message(message);
    parseReply(opened.executor.execute(request(Operation::StartPeriodic, w)));
    EXPECT_EQ(std::memcmp(&seen, &message, sizeof message), 0) << "fields as sent, Data past DataSize zero";

    // The simulation's own text would win over the executor's below.
    opened.vci.onCall([](const qeltest::VciCall& call) -> std::optional<std::int32_t> {
        if (call.function == "PassThruGetLastError") return qel::ERR_FAILED;
        return std::nullopt;
    });
    message.DataSize = 4129;
    qel::PacketWriter tooLarge;
    tooLarge.u32(5);
    tooLarge.u32(100);
    for (std::uint32_t field : {message.ProtocolID, 0u, 0u, 0u, 4129u, 0u}) tooLarge.u32(field);
    tooLarge.bytes(Bytes(4129).data(), 4129);
    opened.vci.forget();
    const qeltest::Reply reply = parseReply(opened.executor.execute(request(Operation::StartPeriodic, tooLarge)));
    EXPECT_EQ(reply.status(), qel::ERR_FAILED);
    EXPECT_TRUE(reply.payload.empty());
    EXPECT_TRUE(opened.vci.calls().empty());
    EXPECT_EQ(qeltest::lastErrorOf(opened.executor), "J2534 message exceeds 4128 bytes");
}

TEST(DeviceHandlers, StartFilterPresenceByteChoosesTheMessages) {
    qeltest::OpenedExecutor opened;
    const qel::PASSTHRU_MSG first = qeltest::makeMessage(qel::ISO15765, {0xFF, 0xFF, 0xFF, 0xFF});
    const qel::PASSTHRU_MSG second = qeltest::makeMessage(qel::ISO15765, {0, 0, 7, 0xE8});
    const qel::PASSTHRU_MSG third = qeltest::makeMessage(qel::ISO15765, {0, 0, 7, 0xE0});
    const struct {
        std::uint8_t presence;
        std::vector<const qel::PASSTHRU_MSG*> sent;
        std::vector<const qel::PASSTHRU_MSG*> expected;  // mask, pattern, flow control
    } cases[] = {
        {0x00, {}, {nullptr, nullptr, nullptr}},
        {0xF8, {}, {nullptr, nullptr, nullptr}},
        {0x08, {}, {nullptr, nullptr, nullptr}},
        {0x01, {&first}, {&first, nullptr, nullptr}},
        {0x05, {&first, &third}, {&first, nullptr, &third}},
        {0x07, {&first, &second, &third}, {&first, &second, &third}},
        {0xFE, {&second, &third}, {nullptr, &second, &third}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.presence));
        std::vector<std::optional<qel::PASSTHRU_MSG>> seen;
        opened.vci.forget();
        opened.vci.onCall([&](const qeltest::VciCall& call) -> std::optional<std::int32_t> {
            if (call.function != "PassThruStartMsgFilter") return qel::ERR_FAILED;
            for (std::size_t i = 2; i < 5; ++i) {
                const auto* m = call.pointer<qel::PASSTHRU_MSG>(i);
                seen.push_back(m == nullptr ? std::nullopt : std::optional<qel::PASSTHRU_MSG>(*m));
            }
            return qel::STATUS_NOERROR;
        });
        qel::PacketWriter w;
        w.u32(1);
        w.u32(qel::FLOW_CONTROL_FILTER);
        w.u8(c.presence);
        for (const qel::PASSTHRU_MSG* m : c.sent) w.message(*m);
        EXPECT_EQ(parseReply(opened.executor.execute(request(Operation::StartFilter, w))).status(), 0);
        ASSERT_EQ(seen.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            ASSERT_EQ(seen[i].has_value(), c.expected[i] != nullptr) << i;
            if (c.expected[i] != nullptr) {
                EXPECT_EQ(std::memcmp(&*seen[i], c.expected[i], sizeof(qel::PASSTHRU_MSG)), 0) << i;
            }
        }
    }

    opened.vci.forget();
    qel::PacketWriter missing;
    missing.u32(1);
    missing.u32(qel::PASS_FILTER);
    missing.u8(0x01);
    const qeltest::Reply reply = parseReply(opened.executor.execute(request(Operation::StartFilter, missing)));
    EXPECT_EQ(reply.status(), qel::ERR_FAILED);
    EXPECT_TRUE(opened.vci.calls().empty());
    EXPECT_EQ(qeltest::lastErrorOf(opened.executor), "packet ended unexpectedly");
}

}  // namespace
