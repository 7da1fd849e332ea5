#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "OperationPayloads.h"
#include "RelayFixture.h"

namespace qel::test {
namespace {

constexpr char POINTER_TEXT[] = "Invalid or unsupported IOCTL pointer combination.";
// Stands for a pointer that must be neither read nor written: touching it crashes the test.
void* const UNTOUCHABLE = reinterpret_cast<void*>(0x10);

class Ioctl : public RelayFixture {
protected:
    void SetUp() override {
        RelayFixture::SetUp();
        startRelay([this](const RelayRequest& r) {
            const std::lock_guard<std::mutex> lock(mutex);
            return answer(r, status, payload);
        });
    }

    void reply(std::int32_t replyStatus, const std::function<void(PacketWriter&)>& write) {
        const std::lock_guard<std::mutex> lock(mutex);
        status = replyStatus;
        payload = writer(write);
    }

    Bytes lastPayload() const { return relay->requests().back().payload; }

    std::mutex mutex;
    std::int32_t status = STATUS_NOERROR;
    PacketWriter payload;
};

// Records of every kind, to hand over where a row names a pointer.
struct Records {
    SCONFIG pairs[2] = {{DATA_RATE, 500000}, {LOOPBACK, 1}};
    SCONFIG_LIST list{2, pairs};
    std::uint8_t inBytes[3] = {0x33, 0x01, 0x02};
    SBYTE_ARRAY inArray{3, inBytes};
    std::uint8_t outBytes[8] = {};
    SBYTE_ARRAY outArray{8, outBytes};
    PASSTHRU_MSG inMsg = makeMessage(ISO14230, 5, 0xC1);
    PASSTHRU_MSG outMsg{};
    std::uint32_t value = 0;

    void* input(IoctlDataKind kind) {
        switch (kind) {
        case IoctlDataKind::ConfigList:
            return &list;
        case IoctlDataKind::Bytes:
            return &inArray;
        case IoctlDataKind::Message:
            return &inMsg;
        default:
            return UNTOUCHABLE;
        }
    }
    void* output(IoctlDataKind kind) {
        switch (kind) {
        case IoctlDataKind::Value:
            return &value;
        case IoctlDataKind::Bytes:
            return &outArray;
        case IoctlDataKind::Message:
            return &outMsg;
        default:
            return UNTOUCHABLE;
        }
    }
};

struct Row {
    std::uint32_t id;
    bool needsInput;
    bool needsOutput;
    IoctlDataKind input;
    IoctlDataKind output;
};

const Row ROWS[] = {
    {GET_CONFIG, true, false, IoctlDataKind::ConfigList, IoctlDataKind::ConfigList},
    {SET_CONFIG, true, false, IoctlDataKind::ConfigList, IoctlDataKind::None},
    {READ_VBATT, false, true, IoctlDataKind::None, IoctlDataKind::Value},
    {FIVE_BAUD_INIT, true, true, IoctlDataKind::Bytes, IoctlDataKind::Bytes},
    {FAST_INIT, true, true, IoctlDataKind::Message, IoctlDataKind::Message},
    {ADD_TO_FUNCT_MSG_LOOKUP_TABLE, true, false, IoctlDataKind::Bytes, IoctlDataKind::None},
    {DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE, true, false, IoctlDataKind::Bytes, IoctlDataKind::None},
    {READ_PROG_VOLTAGE, false, true, IoctlDataKind::None, IoctlDataKind::Value},
};

const std::uint32_t BARE_IDS[] = {0, 6, CLEAR_TX_BUFFER, CLEAR_RX_BUFFER, CLEAR_PERIODIC_MSGS, CLEAR_MSG_FILTERS,
                                  CLEAR_FUNCT_MSG_LOOKUP_TABLE, 15, 0x8000, 0xFFFFFFFF};

Bytes expectedRequest(const Row& row, Records& records) {
    return written([&](PacketWriter& w) {
        w.u32(9);
        w.u32(row.id);
        w.u32(static_cast<std::uint32_t>(row.input));
        switch (row.input) {
        case IoctlDataKind::ConfigList:
            w.u32(2), w.u32(DATA_RATE), w.u32(500000), w.u32(LOOPBACK), w.u32(1);
            break;
        case IoctlDataKind::Bytes:
            w.lengthBytes(records.inBytes, 3);
            break;
        case IoctlDataKind::Message:
            w.message(records.inMsg);
            break;
        default:
            break;
        }
        w.u32(static_cast<std::uint32_t>(row.output));
        const std::uint32_t capacity[] = {0, 1, 8, 2, 1};
        w.u32(capacity[static_cast<std::uint32_t>(row.output)]);
    });
}

void writeOutputOfKind(PacketWriter& w, IoctlDataKind kind) {
    w.u32(static_cast<std::uint32_t>(kind));
    switch (kind) {
    case IoctlDataKind::Value:
        w.u32(13800);
        break;
    case IoctlDataKind::Bytes:
        w.lengthBytes("\x55\x08\x08", 3);
        break;
    case IoctlDataKind::ConfigList:
        w.u32(1), w.u32(DATA_RATE), w.u32(10400);
        break;
    case IoctlDataKind::Message:
        w.message(makeMessage(ISO14230, 3, 0xE0));
        break;
    default:
        break;
    }
}

TEST_F(Ioctl, EachRowSendsItsKindsAndCapacity) {
    for (const Row& row : ROWS) {
        Records records;
        reply(STATUS_NOERROR, [&](auto& w) { writeOutputOfKind(w, row.output); });
        void* input = row.needsInput ? records.input(row.input) : UNTOUCHABLE;
        void* output = row.needsOutput ? records.output(row.output) : UNTOUCHABLE;
        EXPECT_EQ(dll().ioctl(9, row.id, input, output), STATUS_NOERROR) << row.id;
        EXPECT_EQ(lastPayload(), expectedRequest(row, records)) << row.id;
    }
}

TEST_F(Ioctl, NamedPointersMustBeGivenAndBareIdsTakeNone) {
    Records records;
    const auto refused = [&](std::uint32_t id, void* input, void* output) {
        const std::size_t sent = relay->requests().size();
        EXPECT_EQ(dll().ioctl(1, id, input, output), ERR_INVALID_IOCTL_VALUE) << id;
        EXPECT_EQ(relay->requests().size(), sent) << id;
        EXPECT_EQ(lastErrorText(), POINTER_TEXT) << id;
    };
    for (const Row& row : ROWS) {
        if (row.needsInput) {
            refused(row.id, nullptr, records.output(row.output));
        }
        if (row.needsOutput) {
            refused(row.id, records.input(row.input), nullptr);
        }
    }
    for (const std::uint32_t id : BARE_IDS) {
        refused(id, &records.value, nullptr);
        refused(id, nullptr, &records.value);
    }
}

TEST_F(Ioctl, BareIdsTravelWithoutDataAndReturnTheRemoteStatus) {
    for (const std::uint32_t id : BARE_IDS) {
        reply(ERR_INVALID_IOCTL_ID, [](auto& w) { w.u32(0); });
        EXPECT_EQ(dll().ioctl(3, id, nullptr, nullptr), ERR_INVALID_IOCTL_ID) << id;
        EXPECT_EQ(lastPayload(), written([&](auto& w) { w.u32(3), w.u32(id), w.u32(0), w.u32(0), w.u32(0); }));
    }
}

TEST_F(Ioctl, GetConfigCapsTheListAndWritesResultsBackIntoIt) {
    std::vector<SCONFIG> pairs(5000, SCONFIG{7, 7});
    SCONFIG_LIST list{5000, pairs.data()};
    reply(STATUS_NOERROR, [](auto& w) {
        w.u32(3), w.u32(4096);
        for (std::uint32_t i = 0; i < 4096; ++i) w.u32(i), w.u32(i * 3);
    });
    EXPECT_EQ(dll().ioctl(1, GET_CONFIG, &list, UNTOUCHABLE), STATUS_NOERROR);
    const Bytes sent = lastPayload();
    ASSERT_EQ(sent.size(), 12u + 4u + 4096u * 8u + 8u);
    EXPECT_EQ(Bytes(sent.begin() + 12, sent.begin() + 16), (Bytes{0, 0x10, 0, 0}));
    EXPECT_EQ(Bytes(sent.end() - 4, sent.end()), (Bytes{0, 0x10, 0, 0}));
    EXPECT_EQ(pairs[4095].Parameter, 4095u);
    EXPECT_EQ(pairs[4095].Value, 4095u * 3);
    EXPECT_EQ(pairs[4096].Parameter, 7u);
    EXPECT_EQ(list.NumOfParams, 5000u);

    // More pairs than the list holds: only NumOfParams are written.
    SCONFIG three[4] = {{1, 0}, {2, 0}, {3, 0}, {99, 99}};
    SCONFIG_LIST small{3, three};
    reply(STATUS_NOERROR, [](auto& w) {
        w.u32(3), w.u32(5);
        for (std::uint32_t i = 0; i < 5; ++i) w.u32(i + 1), w.u32(100 + i);
    });
    EXPECT_EQ(dll().ioctl(1, GET_CONFIG, &small, nullptr), STATUS_NOERROR);
    EXPECT_EQ(three[2].Value, 102u);
    EXPECT_EQ(three[3].Value, 99u);

    // Without pairs the count 0 travels with the capacity of NumOfParams, and nothing comes back.
    SCONFIG_LIST none{7, nullptr};
    reply(STATUS_NOERROR, [](auto& w) { w.u32(3), w.u32(1), w.u32(1), w.u32(2); });
    EXPECT_EQ(dll().ioctl(1, GET_CONFIG, &none, nullptr), STATUS_NOERROR);
    EXPECT_EQ(lastPayload(), written([](auto& w) { w.u32(1), w.u32(1), w.u32(3), w.u32(0), w.u32(3), w.u32(7); }));
    EXPECT_EQ(none.NumOfParams, 7u);
    EXPECT_EQ(none.ConfigPtr, nullptr);
}

TEST_F(Ioctl, SetConfigWithAnEmptyList) {
    SCONFIG_LIST empty{0, nullptr};
    SCONFIG pair{1, 2};
    SCONFIG_LIST zero{0, &pair};
    reply(STATUS_NOERROR, [](auto& w) { w.u32(0); });
    for (SCONFIG_LIST* list : {&empty, &zero}) {
        EXPECT_EQ(dll().ioctl(1, SET_CONFIG, list, UNTOUCHABLE), STATUS_NOERROR);
        EXPECT_EQ(lastPayload(), written([](auto& w) { w.u32(1), w.u32(2), w.u32(3), w.u32(0), w.u32(0), w.u32(0); }));
    }
}

TEST_F(Ioctl, ValueOutputsAreWritten) {
    for (const std::uint32_t id : {READ_VBATT, READ_PROG_VOLTAGE}) {
        std::uint32_t volts = 0;
        reply(STATUS_NOERROR, [](auto& w) { w.u32(1), w.u32(12600); });
        EXPECT_EQ(dll().ioctl(1, id, UNTOUCHABLE, &volts), STATUS_NOERROR);
        EXPECT_EQ(volts, 12600u);
    }
}

TEST_F(Ioctl, FiveBaudInitCutsTheReplyToTheCallersArray) {
    std::uint8_t key[10] = {0xEE, 0xEE, 0xEE};
    SBYTE_ARRAY out{2, key};
    std::uint8_t address = 0x33;
    SBYTE_ARRAY in{1, &address};
    reply(STATUS_NOERROR, [](auto& w) { w.u32(2), w.lengthBytes("\x55\x08\x08", 3); });
    EXPECT_EQ(dll().ioctl(1, FIVE_BAUD_INIT, &in, &out), STATUS_NOERROR);
    EXPECT_EQ(out.NumOfBytes, 2u);
    EXPECT_EQ(key[1], 0x08);
    EXPECT_EQ(key[2], 0xEE);

    out.NumOfBytes = 10;
    SBYTE_ARRAY nothing{5, nullptr};
    reply(STATUS_NOERROR, [](auto& w) { w.u32(2), w.lengthBytes("\x55\x08", 2); });
    EXPECT_EQ(dll().ioctl(1, FIVE_BAUD_INIT, &nothing, &out), STATUS_NOERROR);
    EXPECT_EQ(out.NumOfBytes, 2u);
    EXPECT_EQ(lastPayload(), written([](auto& w) { w.u32(1), w.u32(4), w.u32(2), w.u32(0), w.u32(2), w.u32(10); }));

    // An output array without bytes is left alone.
    SBYTE_ARRAY noRoom{4, nullptr};
    EXPECT_EQ(dll().ioctl(1, FIVE_BAUD_INIT, &in, &noRoom), STATUS_NOERROR);
    EXPECT_EQ(noRoom.NumOfBytes, 4u);
}

TEST_F(Ioctl, ByteArraysAreCappedAtOneMebibyte) {
    std::vector<std::uint8_t> big(0x100001, 0xAB);
    SBYTE_ARRAY in{0x100001, big.data()};
    std::vector<std::uint8_t> room(4);
    SBYTE_ARRAY out{0x200000, room.data()};
    reply(STATUS_NOERROR, [](auto& w) { w.u32(2), w.lengthBytes("\x01", 1); });
    EXPECT_EQ(dll().ioctl(1, FIVE_BAUD_INIT, &in, &out), STATUS_NOERROR);
    const Bytes sent = lastPayload();
    ASSERT_EQ(sent.size(), 12u + 4u + 0x100000u + 8u);
    EXPECT_EQ(Bytes(sent.begin() + 12, sent.begin() + 16), (Bytes{0, 0, 0x10, 0}));
    EXPECT_EQ(Bytes(sent.end() - 4, sent.end()), (Bytes{0, 0, 0x10, 0}));
    EXPECT_EQ(out.NumOfBytes, 1u);
}

TEST_F(Ioctl, FastInitCopiesTheWholeReplyMessage) {
    PASSTHRU_MSG in = makeMessage(ISO14230, 5, 0xC1);
    PASSTHRU_MSG out;
    std::memset(&out, 0xCC, sizeof(out));
    reply(STATUS_NOERROR, [](auto& w) { w.u32(4), w.message(makeMessage(ISO14230, 3, 0xE0)); });
    EXPECT_EQ(dll().ioctl(1, FAST_INIT, &in, &out), STATUS_NOERROR);
    const PASSTHRU_MSG expected = makeMessage(ISO14230, 3, 0xE0);
    EXPECT_EQ(std::memcmp(&out, &expected, sizeof(out)), 0);
}

TEST_F(Ioctl, KindMismatchFailsAndWritesNothing) {
    std::uint32_t volts = 5;
    reply(STATUS_NOERROR, [](auto& w) { w.u32(2), w.u32(12600); });
    EXPECT_EQ(dll().ioctl(1, READ_VBATT, nullptr, &volts), ERR_FAILED);
    EXPECT_EQ(volts, 5u);
    EXPECT_EQ(lastErrorText(), "IOCTL response kind mismatch.");
}

TEST_F(Ioctl, ShortRepliesLeaveOutputsAndReturnTheirStatus) {
    std::uint32_t volts = 5;
    SCONFIG pair{1, 2};
    SCONFIG_LIST list{1, &pair};
    for (const std::int32_t replyStatus : {ERR_FAILED, ERR_TIMEOUT, STATUS_NOERROR}) {
        reply(replyStatus, [](auto& w) { w.u8(1), w.u8(3), w.u8(0); });
        EXPECT_EQ(dll().ioctl(1, READ_VBATT, nullptr, &volts), replyStatus);
        EXPECT_EQ(dll().ioctl(1, GET_CONFIG, &list, nullptr), replyStatus);
    }
    EXPECT_EQ(volts, 5u);
    EXPECT_EQ(pair.Value, 2u);
}

TEST_F(Ioctl, RepliesThatBreakTheLayoutLeaveOutputsUntouched) {
    std::uint32_t volts = 5;
    SCONFIG pairs[3] = {{1, 1}, {2, 2}, {3, 3}};
    SCONFIG_LIST list{3, pairs};
    std::uint8_t key[4] = {};
    SBYTE_ARRAY out{4, key};
    SBYTE_ARRAY in{0, nullptr};
    PASSTHRU_MSG msg = makeMessage(ISO14230, 1, 0);
    PASSTHRU_MSG before = msg;
    Bytes oversized = written([](auto& w) { w.u32(4), w.message(makeMessage(ISO14230, 1, 0)); });
    oversized[4 + 16] = 0x21;
    oversized[4 + 17] = 0x10;
    const struct {
        const char* what;
        std::function<std::int32_t()> call;
        Bytes reply;
        const char* text;
    } cases[] = {
        {"value cut short", [&] { return dll().ioctl(1, READ_VBATT, nullptr, &volts); },
         written([](auto& w) { w.u32(1), w.u8(1); }), "packet ended unexpectedly"},
        {"fewer pairs", [&] { return dll().ioctl(1, GET_CONFIG, &list, nullptr); },
         written([](auto& w) { w.u32(3), w.u32(3), w.u32(9), w.u32(9), w.u32(8), w.u32(8); }),
         "packet ended unexpectedly"},
        {"bytes above the cap", [&] { return dll().ioctl(1, FIVE_BAUD_INIT, &in, &out); },
         written([](auto& w) { w.u32(2), w.u32(0x100001); }), "length-prefixed field exceeds limit"},
        {"bytes cut short", [&] { return dll().ioctl(1, FIVE_BAUD_INIT, &in, &out); },
         written([](auto& w) { w.u32(2), w.u32(3), w.u8(1); }), "packet ended unexpectedly"},
        {"oversized message", [&] { return dll().ioctl(1, FAST_INIT, &msg, &msg); }, oversized,
         "J2534 message exceeds 4128 bytes"},
    };
    for (const auto& c : cases) {
        reply(STATUS_NOERROR, [&](auto& w) { w.bytes(c.reply.data(), static_cast<std::uint32_t>(c.reply.size())); });
        EXPECT_EQ(c.call(), ERR_FAILED) << c.what;
        EXPECT_EQ(lastErrorText(), c.text) << c.what;
    }
    EXPECT_EQ(volts, 5u);
    EXPECT_EQ(pairs[0].Value, 1u);
    EXPECT_EQ(pairs[1].Value, 2u);
    EXPECT_EQ(out.NumOfBytes, 4u);
    EXPECT_EQ(std::memcmp(&msg, &before, sizeof(msg)), 0);
}

}  // namespace
}  // namespace qel::test
