// The simulated VCI as the other parts of the system meet it: through the
// executor, without a hook.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "ExecutorHarness.h"

namespace {

using qel::Operation;
using qeltest::Bytes;
using qeltest::parseReply;
using qeltest::request;

struct SimulatedVci : ::testing::Test {
    qeltest::OpenedExecutor opened;

    qeltest::Reply call(Operation operation, std::initializer_list<std::uint32_t> fields,
                        const std::vector<qel::PASSTHRU_MSG>& messages = {}) {
        qel::PacketWriter w;
        for (std::uint32_t f : fields) w.u32(f);
        for (const qel::PASSTHRU_MSG& m : messages) w.message(m);
        return parseReply(opened.executor.execute(request(operation, w)));
    }
    std::uint32_t idOf(const qeltest::Reply& reply) {
        EXPECT_EQ(reply.status(), qel::STATUS_NOERROR) << qeltest::lastErrorOf(opened.executor);
        qel::PacketReader reader = reply.reader();
        return reader.u32();
    }
    std::vector<qel::PASSTHRU_MSG> read(std::uint32_t channel, std::uint32_t count, std::uint32_t timeout,
                                        std::int32_t expectedStatus) {
        const qeltest::Reply reply = call(Operation::ReadMsgs, {channel, count, timeout});
        EXPECT_EQ(reply.status(), expectedStatus);
        qel::PacketReader reader = reply.reader();
        std::vector<qel::PASSTHRU_MSG> messages(reader.u32());
        for (auto& m : messages) m = reader.message();
        return messages;
    }
    qeltest::Reply ioctl(std::uint32_t channel, std::uint32_t id, const std::vector<qel::SCONFIG>& list,
                         qel::IoctlDataKind outputKind) {
        qel::PacketWriter w;
        w.u32(channel);
        w.u32(id);
        w.u32(static_cast<std::uint32_t>(list.empty() ? qel::IoctlDataKind::None : qel::IoctlDataKind::ConfigList));
        if (!list.empty()) {
            w.u32(static_cast<std::uint32_t>(list.size()));
            for (const qel::SCONFIG& p : list) {
                w.u32(p.Parameter);
                w.u32(p.Value);
            }
        }
        w.u32(static_cast<std::uint32_t>(outputKind));
        w.u32(static_cast<std::uint32_t>(list.size()));
        return parseReply(opened.executor.execute(request(Operation::Ioctl, w)));
    }
};

TEST_F(SimulatedVci, WrittenMessagesComeBackInOrderWithTimestamps) {
    const std::uint32_t channel = opened.connect(qel::ISO15765);
    std::vector<qel::PASSTHRU_MSG> sent;
    for (std::uint8_t i = 0; i < 3; ++i) {
        sent.push_back(qeltest::makeMessage(qel::ISO15765, {0, 0, 7, 0xE0, 0x22, 0xF1, i}));
        sent.back().TxFlags = qel::ISO15765_FRAME_PAD;
    }
    const qeltest::Reply written = call(Operation::WriteMsgs, {channel, 3, 100}, sent);
    EXPECT_EQ(idOf(written), 3u);
    const std::vector<qel::PASSTHRU_MSG> echoed = read(channel, 10, 0, qel::STATUS_NOERROR);
    ASSERT_EQ(echoed.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(echoed[i].ProtocolID, qel::ISO15765);
        EXPECT_EQ(echoed[i].RxStatus, qel::TX_MSG_TYPE);
        EXPECT_EQ(echoed[i].DataSize, 7u);
        EXPECT_EQ(std::memcmp(echoed[i].Data, sent[i].Data, 7), 0);
        if (i > 0) {
            EXPECT_GE(echoed[i].Timestamp, echoed[i - 1].Timestamp);
        }
    }
    EXPECT_TRUE(read(channel, 10, 0, qel::ERR_BUFFER_EMPTY).empty());
}

TEST_F(SimulatedVci, ReadMsgsWaitsUpToItsTimeoutWhenNothingIsQueued) {
    const std::uint32_t channel = opened.connect(qel::CAN);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(read(channel, 1, 150, qel::ERR_TIMEOUT).empty());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));

    const qel::PASSTHRU_MSG beat = qeltest::makeMessage(qel::CAN, {0, 0, 1, 0, 0xAA});
    const std::uint32_t periodic = idOf(call(Operation::StartPeriodic, {channel, 20}, {beat}));
    const std::vector<qel::PASSTHRU_MSG> got = read(channel, 1, 1000, qel::STATUS_NOERROR);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].Data[4], 0xAA);
    EXPECT_EQ(call(Operation::StopPeriodic, {channel, periodic}).status(), qel::STATUS_NOERROR);
    EXPECT_EQ(call(Operation::StopPeriodic, {channel, periodic}).status(), qel::ERR_INVALID_MSG_ID);
}

TEST_F(SimulatedVci, ConfigurationIsKeptPerChannel) {
    const std::uint32_t can = opened.connect(qel::CAN, 250000);
    const std::uint32_t kline = opened.connect(qel::ISO9141, 10400);
    EXPECT_EQ(ioctl(can, qel::SET_CONFIG, {{qel::LOOPBACK, 0}, {qel::ISO15765_BS, 8}}, qel::IoctlDataKind::None)
                  .status(),
              qel::STATUS_NOERROR);
    const qel::SCONFIG asked[] = {{qel::DATA_RATE, 0}, {qel::LOOPBACK, 0}, {qel::ISO15765_BS, 0}};
    const qeltest::Reply canConfig = ioctl(can, qel::GET_CONFIG, {asked, asked + 3}, qel::IoctlDataKind::ConfigList);
    const qeltest::Reply klineConfig =
        ioctl(kline, qel::GET_CONFIG, {asked, asked + 3}, qel::IoctlDataKind::ConfigList);
    qel::PacketWriter expectCan, expectKline;
    for (auto* w : {&expectCan, &expectKline}) {
        w->u32(3);
        w->u32(3);
    }
    for (std::uint32_t v : {qel::DATA_RATE, 250000u, qel::LOOPBACK, 0u, qel::ISO15765_BS, 8u}) expectCan.u32(v);
    for (std::uint32_t v : {qel::DATA_RATE, 10400u, qel::LOOPBACK, 1u, qel::ISO15765_BS, 0u}) expectKline.u32(v);
    EXPECT_EQ(canConfig.payload, expectCan.buffer());
    EXPECT_EQ(klineConfig.payload, expectKline.buffer());

    // With LOOPBACK off nothing comes back.
    call(Operation::WriteMsgs, {can, 1, 0}, {qeltest::makeMessage(qel::CAN, {0, 0, 7, 0xDF, 1})});
    EXPECT_TRUE(read(can, 1, 0, qel::ERR_BUFFER_EMPTY).empty());
}

TEST_F(SimulatedVci, BatteryVersionAndIds) {
    const std::uint32_t channel = opened.connect(qel::ISO15765);
    const qeltest::Reply battery = ioctl(opened.deviceId, qel::READ_VBATT, {}, qel::IoctlDataKind::Value);
    EXPECT_EQ(battery.payload, (Bytes{1, 0, 0, 0, 0x38, 0x31, 0, 0}));  // 12600 mV

    const qeltest::Reply version = call(Operation::ReadVersion, {opened.deviceId});
    EXPECT_EQ(version.status(), qel::STATUS_NOERROR);
    qel::PacketReader reader = version.reader();
    EXPECT_EQ(reader.text(1024), "SimVci firmware 1.2.0");
    EXPECT_EQ(reader.text(1024), "SimVci library 1.2.0");
    EXPECT_EQ(reader.text(1024), "04.04");

    qel::PacketWriter filter;
    filter.u32(channel);
    filter.u32(qel::FLOW_CONTROL_FILTER);
    filter.u8(0x07);
    filter.message(qeltest::makeMessage(qel::ISO15765, {0xFF, 0xFF, 0xFF, 0xFF}));
    filter.message(qeltest::makeMessage(qel::ISO15765, {0, 0, 7, 0xE8}));
    filter.message(qeltest::makeMessage(qel::ISO15765, {0, 0, 7, 0xE0}));
    const std::uint32_t filterId = idOf(parseReply(opened.executor.execute(request(Operation::StartFilter, filter))));
    EXPECT_NE(filterId, channel);
    EXPECT_EQ(call(Operation::StopFilter, {channel, filterId}).status(), qel::STATUS_NOERROR);
    EXPECT_EQ(call(Operation::StopFilter, {channel, filterId}).status(), qel::ERR_INVALID_FILTER_ID);
}

TEST_F(SimulatedVci, BadIdsGiveStandardCodesAndADescription) {
    const std::uint32_t channel = opened.connect(qel::CAN);
    const struct {
        Operation operation;
        std::vector<std::uint32_t> fields;
        std::int32_t status;
    } cases[] = {
        {Operation::Close, {channel}, qel::ERR_INVALID_DEVICE_ID},
        {Operation::Connect, {channel, qel::CAN, 0, 500000}, qel::ERR_INVALID_DEVICE_ID},
        {Operation::Connect, {opened.deviceId, qel::CAN, 0, 500000}, qel::ERR_CHANNEL_IN_USE},
        {Operation::Disconnect, {opened.deviceId}, qel::ERR_INVALID_CHANNEL_ID},
        {Operation::ReadMsgs, {opened.deviceId, 1, 0}, qel::ERR_INVALID_CHANNEL_ID},
        {Operation::StopFilter, {channel, channel}, qel::ERR_INVALID_FILTER_ID},
        {Operation::SetVoltage, {opened.deviceId, 2, 12000}, qel::ERR_PIN_INVALID},
        {Operation::Open, {}, qel::ERR_DEVICE_IN_USE},
    };
    for (const auto& c : cases) {
        qel::PacketWriter w;
        for (std::uint32_t f : c.fields) w.u32(f);
        EXPECT_EQ(parseReply(opened.executor.execute(request(c.operation, w))).status(), c.status);
        const std::string text = qeltest::lastErrorOf(opened.executor);
        EXPECT_EQ(text.rfind("PassThru", 0), 0u) << text;
    }
    EXPECT_EQ(call(Operation::Close, {opened.deviceId}).status(), qel::STATUS_NOERROR);
    EXPECT_EQ(call(Operation::Disconnect, {channel}).status(), qel::ERR_INVALID_CHANNEL_ID) << "Close ends channels";
}

}  // namespace
