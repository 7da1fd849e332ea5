#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "ExecutorHarness.h"

namespace {

using qel::IoctlDataKind;
using qel::Operation;
using qeltest::Bytes;
using qeltest::parseReply;
using qeltest::request;

constexpr std::uint32_t kind(IoctlDataKind k) { return static_cast<std::uint32_t>(k); }

// One IOCTL request: the input kind with its data, then the output kind and capacity.
struct IoctlRequest {
    std::uint32_t ioctlId = qel::READ_VBATT;
    std::uint32_t inputKind = kind(IoctlDataKind::None);
    std::function<void(qel::PacketWriter&)> inputData = [](qel::PacketWriter&) {};
    std::uint32_t outputKind = kind(IoctlDataKind::None);
    std::uint32_t capacity = 0;

    qel::PacketWriter payload() const {
        qel::PacketWriter w;
        w.u32(0x42);
        w.u32(ioctlId);
        w.u32(inputKind);
        inputData(w);
        w.u32(outputKind);
        w.u32(capacity);
        return w;
    }
};

void pairs(qel::PacketWriter& w, std::uint32_t count) {
    w.u32(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        w.u32(i + 1);
        w.u32(0);
    }
}

Bytes words(std::initializer_list<std::uint32_t> values) {
    qel::PacketWriter w;
    for (std::uint32_t v : values) w.u32(v);
    return w.buffer();
}

struct Seen {
    void* input = nullptr;
    void* output = nullptr;
};

using VendorAction = std::function<std::int32_t(Seen&)>;

struct IoctlFixture : ::testing::Test {
    qeltest::OpenedExecutor opened;
    // A new id for every request: the same id and payload twice is a resend.
    std::uint32_t requestId = 14;

    // Runs one IOCTL whose vendor call is `action`; returns what the vendor saw and the reply.
    qeltest::Reply run(const IoctlRequest& r, const VendorAction& action, Seen* seen = nullptr) {
        Seen local;
        Seen& target = seen != nullptr ? *seen : local;
        opened.vci.onCall([&](const qeltest::VciCall& call) -> std::optional<std::int32_t> {
            if (call.function != "PassThruIoctl") return qel::ERR_FAILED;
            EXPECT_EQ(call.args[0], 0x42u);
            EXPECT_EQ(call.args[1], r.ioctlId);
            target.input = call.pointer<void>(2);
            target.output = call.pointer<void>(3);
            return action(target);
        });
        return parseReply(opened.executor.execute(request(Operation::Ioctl, r.payload(), ++requestId)));
    }
};

const VendorAction untouched = [](Seen&) { return qel::STATUS_NOERROR; };

TEST_F(IoctlFixture, InputRecordsCarryTheRequestsData) {
    const qel::PASSTHRU_MSG message = qeltest::makeMessage(qel::ISO14230, {0xC1, 0x33, 0xF1, 0x81});
    Seen seen;
    IoctlRequest r;

    r.inputKind = kind(IoctlDataKind::Value);
    r.inputData = [](qel::PacketWriter& w) { w.u32(0x77); };
    run(r, [](Seen& s) { EXPECT_EQ(*static_cast<std::uint32_t*>(s.input), 0x77u); return 0; });

    r.inputKind = kind(IoctlDataKind::Bytes);
    r.inputData = [](qel::PacketWriter& w) { const Bytes b{1, 2, 3}; w.lengthBytes(b.data(), 3); };
    run(r, [](Seen& s) {
        const auto* array = static_cast<qel::SBYTE_ARRAY*>(s.input);
        EXPECT_EQ(array->NumOfBytes, 3u);
        EXPECT_EQ(Bytes(array->BytePtr, array->BytePtr + 3), (Bytes{1, 2, 3}));
        return 0;
    });
    r.inputData = [](qel::PacketWriter& w) { w.lengthBytes(nullptr, 0); };
    run(r, [](Seen& s) {
        const auto* array = static_cast<qel::SBYTE_ARRAY*>(s.input);
        EXPECT_EQ(array->NumOfBytes, 0u);
        EXPECT_EQ(array->BytePtr, nullptr);
        return 0;
    });

    r.inputKind = kind(IoctlDataKind::ConfigList);
    r.inputData = [](qel::PacketWriter& w) { pairs(w, 0); };
    run(r, [](Seen& s) {
        const auto* list = static_cast<qel::SCONFIG_LIST*>(s.input);
        EXPECT_EQ(list->NumOfParams, 0u);
        EXPECT_EQ(list->ConfigPtr, nullptr);
        return 0;
    });
    r.inputData = [](qel::PacketWriter& w) { pairs(w, 4096); };
    run(r, [](Seen& s) {
        const auto* list = static_cast<qel::SCONFIG_LIST*>(s.input);
        EXPECT_EQ(list->NumOfParams, 4096u);
        EXPECT_EQ(list->ConfigPtr[4095].Parameter, 4096u);
        return 0;
    });

    r.inputKind = kind(IoctlDataKind::Message);
    r.inputData = [&](qel::PacketWriter& w) { w.message(message); };
    run(r, [&](Seen& s) {
        EXPECT_EQ(std::memcmp(s.input, &message, sizeof message), 0);
        return 0;
    });

    r.inputKind = kind(IoctlDataKind::None);
    r.inputData = [](qel::PacketWriter&) {};
    const qeltest::Reply reply = run(r, untouched, &seen);
    EXPECT_EQ(seen.input, nullptr);
    EXPECT_EQ(seen.output, nullptr);
    EXPECT_EQ(reply.payload, words({0}));
}

TEST_F(IoctlFixture, OutputRecordsAreSizedByTheCapacityAndReadBackAsTheVendorLeftThem) {
    const qel::PASSTHRU_MSG answer = qeltest::makeMessage(qel::ISO14230, {0xC1, 0xEF, 0x8F});
    qel::PacketWriter answerWire;
    answerWire.u32(4);
    answerWire.message(answer);
    Bytes sixteenThenFive = words({2, 5});
    for (std::uint8_t b = 0; b < 5; ++b) sixteenThenFive.push_back(0xA0 + b);
    Bytes fullBytes = words({2, qel::MAX_BYTE_ARRAY});
    fullBytes.resize(fullBytes.size() + qel::MAX_BYTE_ARRAY, 0x5A);
    qel::PacketWriter fullList;
    fullList.u32(3);
    pairs(fullList, 4096);

    const struct {
        const char* name;
        std::uint32_t outputKind;
        std::uint32_t capacity;
        VendorAction action;
        Bytes reply;
    } cases[] = {
        {"value", 1, 0, [](Seen& s) { *static_cast<std::uint32_t*>(s.output) = 12600; return 0; }, words({1, 12600})},
        {"value untouched by a failure", 1, 0, [](Seen&) { return qel::ERR_INVALID_CHANNEL_ID; }, words({1, 0})},
        {"bytes, capacity 0", 2, 0,
         [](Seen& s) {
             const auto* a = static_cast<qel::SBYTE_ARRAY*>(s.output);
             EXPECT_EQ(a->NumOfBytes, 0u);
             EXPECT_EQ(a->BytePtr, nullptr);
             return 0;
         },
         words({2, 0})},
        {"bytes, vendor wrote 5 of 16", 2, 16,
         [](Seen& s) {
             auto* a = static_cast<qel::SBYTE_ARRAY*>(s.output);
             EXPECT_EQ(a->NumOfBytes, 16u);
             for (std::uint8_t b = 0; b < 16; ++b) a->BytePtr[b] = 0xA0 + b;
             a->NumOfBytes = 5;
             return 0;
         },
         sixteenThenFive},
        {"bytes, capacity cut to the limit, vendor overstates", 2, 2 * qel::MAX_BYTE_ARRAY,
         [](Seen& s) {
             auto* a = static_cast<qel::SBYTE_ARRAY*>(s.output);
             EXPECT_EQ(a->NumOfBytes, qel::MAX_BYTE_ARRAY);
             std::memset(a->BytePtr, 0x5A, a->NumOfBytes);
             a->NumOfBytes = 0xFFFFFFFF;
             return 0;
         },
         fullBytes},
        {"list, capacity 0", 3, 0,
         [](Seen& s) {
             const auto* l = static_cast<qel::SCONFIG_LIST*>(s.output);
             EXPECT_EQ(l->NumOfParams, 0u);
             EXPECT_EQ(l->ConfigPtr, nullptr);
             return 0;
         },
         words({3, 0})},
        {"list, capacity cut to 4096, vendor overstates", 3, 5000,
         [](Seen& s) {
             auto* l = static_cast<qel::SCONFIG_LIST*>(s.output);
             EXPECT_EQ(l->NumOfParams, 4096u);
             for (std::uint32_t i = 0; i < 4096; ++i) l->ConfigPtr[i].Parameter = i + 1;
             l->NumOfParams = 9000;
             return 0;
         },
         fullList.buffer()},
        {"list, vendor wrote one", 3, 4,
         [](Seen& s) {
             auto* l = static_cast<qel::SCONFIG_LIST*>(s.output);
             l->ConfigPtr[0] = {qel::DATA_RATE, 500000};
             l->NumOfParams = 1;
             return 0;
         },
         words({3, 1, qel::DATA_RATE, 500000})},
        {"message", 4, 0,
         [&](Seen& s) {
             EXPECT_EQ(static_cast<qel::PASSTHRU_MSG*>(s.output)->DataSize, 0u);
             *static_cast<qel::PASSTHRU_MSG*>(s.output) = answer;
             return 0;
         },
         answerWire.buffer()},
        {"unknown output kind", 9, 100,
         [](Seen& s) {
             EXPECT_EQ(s.output, nullptr);
             return 0;
         },
         words({9})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IoctlRequest r;
        r.outputKind = c.outputKind;
        r.capacity = c.capacity;
        const qeltest::Reply reply = run(r, c.action);
        EXPECT_EQ(reply.header.requestId, requestId);
        EXPECT_TRUE(reply.payload == c.reply) << reply.payload.size() << " bytes";
    }
}

TEST_F(IoctlFixture, VendorStatusTravelsWithTheOutput) {
    IoctlRequest r;
    r.outputKind = kind(IoctlDataKind::Value);
    const qeltest::Reply reply = run(r, [](Seen& s) {
        *static_cast<std::uint32_t*>(s.output) = 3;
        return 0x23;
    });
    EXPECT_EQ(reply.status(), 0x23);
    EXPECT_EQ(reply.payload, words({1, 3}));
}

// GET_CONFIG answers into its input list, so the vendor gets no output record
// and the reply's list is the input list.
TEST_F(IoctlFixture, GetConfigAndTheListRule) {
    const auto writeInputValues = [](Seen& s) {
        auto* list = static_cast<qel::SCONFIG_LIST*>(s.input);
        for (std::uint32_t i = 0; i < list->NumOfParams; ++i) list->ConfigPtr[i].Value = 100 + i;
        if (s.output != nullptr && s.output != s.input) {
            auto* out = static_cast<qel::SCONFIG_LIST*>(s.output);
            if (out->NumOfParams > 0) out->ConfigPtr[0] = {7, 7};
        }
        return 0;
    };
    const auto fillOutputList = [](Seen& s) {
        auto* out = static_cast<qel::SCONFIG_LIST*>(s.output);
        out->ConfigPtr[0] = {9, 90};
        out->NumOfParams = 1;
        return 0;
    };
    const struct {
        const char* name;
        std::uint32_t ioctlId;
        std::uint32_t inputKind;
        std::uint32_t outputKind;
        VendorAction action;
        bool outputNull;
        Bytes reply;
    } cases[] = {
        {"GET_CONFIG, list out", qel::GET_CONFIG, 3, 3, writeInputValues, true, words({3, 3, 1, 100, 2, 101, 3, 102})},
        {"GET_CONFIG, value out", qel::GET_CONFIG, 3, 1, writeInputValues, true, words({1, 0})},
        {"GET_CONFIG, bytes out: the prepared zeros", qel::GET_CONFIG, 3, 2, writeInputValues, true,
         Bytes{2, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0}},
        {"GET_CONFIG with byte input", qel::GET_CONFIG, 2, 3, fillOutputList, false, words({3, 0})},
        {"SET_CONFIG, nothing out", qel::SET_CONFIG, 3, 0, untouched, true, words({0})},
        {"another id, list in and out", 0x8001, 3, 3, fillOutputList, false, words({3, 1, 9, 90})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IoctlRequest r;
        r.ioctlId = c.ioctlId;
        r.inputKind = c.inputKind;
        r.inputData = [&](qel::PacketWriter& w) {
            if (c.inputKind == 3) {
                pairs(w, 3);
            } else {
                const Bytes b{1};
                w.lengthBytes(b.data(), 1);
            }
        };
        r.outputKind = c.outputKind;
        r.capacity = 3;
        Seen seen;
        const qeltest::Reply reply = run(r, c.action, &seen);
        EXPECT_EQ(seen.output == nullptr, c.outputNull);
        EXPECT_EQ(reply.payload, c.reply);
    }
}

TEST_F(IoctlFixture, OversizedOutputMessageFailsTheReply) {
    IoctlRequest r;
    r.outputKind = kind(IoctlDataKind::Message);
    const qeltest::Reply reply = run(r, [](Seen& s) {
        static_cast<qel::PASSTHRU_MSG*>(s.output)->DataSize = 4129;
        return 0;
    });
    EXPECT_EQ(reply.status(), qel::ERR_FAILED);
    EXPECT_TRUE(reply.payload.empty());
    EXPECT_EQ(qeltest::lastErrorOf(opened.executor), "J2534 message too large");
}

// The tests come in a fixed order: input kind, input data, end of payload,
// pointer; so a malformed request fails alike with and without a library.
TEST(IoctlRequests, MalformedRequestsAreRefusedBeforeTheVendor) {
    IoctlRequest unknownInput;
    unknownInput.inputKind = 5;
    IoctlRequest hugeBytes;
    hugeBytes.inputKind = kind(IoctlDataKind::Bytes);
    hugeBytes.inputData = [](qel::PacketWriter& w) { w.u32(qel::MAX_BYTE_ARRAY + 1); };
    IoctlRequest hugeMessage;
    hugeMessage.inputKind = kind(IoctlDataKind::Message);
    hugeMessage.inputData = [](qel::PacketWriter& w) {
        for (std::uint32_t field : {1u, 0u, 0u, 0u, 4129u, 0u}) w.u32(field);
        w.bytes(Bytes(4129).data(), 4129);
    };
    IoctlRequest tooManyPairs;
    tooManyPairs.inputKind = kind(IoctlDataKind::ConfigList);
    tooManyPairs.inputData = [](qel::PacketWriter& w) { pairs(w, 4097); };
    const struct {
        const char* name;
        Bytes payload;
        const char* text;
    } cases[] = {
        {"input kind 5", unknownInput.payload().buffer(), "Unknown IOCTL input kind"},
        {"input kind 5 alone", words({1, 1, 5}), "Unknown IOCTL input kind"},
        {"byte input above the limit", hugeBytes.payload().buffer(), "length-prefixed field exceeds limit"},
        {"input message above 4128", hugeMessage.payload().buffer(), "J2534 message exceeds 4128 bytes"},
        {"4097 pairs", tooManyPairs.payload().buffer(), "packet contains trailing bytes"},
        {"no capacity", words({1, 1, 0, 0}), "packet ended unexpectedly"},
    };
    qeltest::OpenedExecutor opened;
    opened.vci.onCall([](const qeltest::VciCall&) { return std::optional<std::int32_t>(qel::ERR_FAILED); });
    qel::J2534Executor fresh(qeltest::vciPath(L"SimVci.dll"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (qel::J2534Executor* executor : {&fresh, &opened.executor}) {
            opened.vci.forget();
            const qeltest::Reply reply = parseReply(executor->execute(qeltest::rawRequest(14, c.payload, 5)));
            EXPECT_EQ(reply.status(), qel::ERR_FAILED);
            EXPECT_EQ(reply.header.requestId, 5u);
            EXPECT_TRUE(reply.payload.empty());
            EXPECT_TRUE(opened.vci.callsOf("PassThruIoctl").empty());
            EXPECT_EQ(qeltest::lastErrorOf(*executor), c.text);
        }
    }
    const qeltest::Reply beforeOpen = parseReply(fresh.execute(request(Operation::Ioctl, IoctlRequest{}.payload())));
    EXPECT_EQ(beforeOpen.status(), qel::ERR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(beforeOpen.payload.empty());
    EXPECT_EQ(qeltest::lastErrorOf(fresh), "VCI DLL is not loaded");
}

}  // namespace
