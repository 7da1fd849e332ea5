#include <gtest/gtest.h>

#include <cstring>

#include "OperationPayloads.h"
#include "PacketHeaders.h"

namespace {

// The sizes that both ends rely on when they lay out a payload.
TEST(OperationPayloads, CatalogueSizes) {
    qel::PASSTHRU_MSG eight{};
    eight.DataSize = 8;
    qel::PASSTHRU_MSG twelve{};
    twelve.DataSize = 12;
    qel::PacketWriter readReply;
    readReply.u32(2);
    readReply.message(eight);
    readReply.message(twelve);
    EXPECT_EQ(readReply.buffer().size(), 72u);

    qel::PacketWriter ioctl;
    ioctl.u32(1);
    ioctl.u32(0x01);
    ioctl.u32(static_cast<std::uint32_t>(qel::IoctlDataKind::ConfigList));
    ioctl.u32(3);
    for (std::uint32_t i = 0; i < 3; ++i) {
        ioctl.u32(i);
        ioctl.u32(0);
    }
    ioctl.u32(static_cast<std::uint32_t>(qel::IoctlDataKind::ConfigList));
    ioctl.u32(3);
    EXPECT_EQ(ioctl.buffer().size(), 48u);

    qel::PacketWriter ping;
    ping.text(qel::PING_REPLY_TEXT);
    EXPECT_EQ(ping.buffer().size(), 28u);
    EXPECT_EQ(ping.buffer()[0], 24);
}

TEST(OperationPayloads, LargestReadMsgsReplyFitsOnePacket) {
    constexpr std::uint64_t largest = 4 + 1024ull * (24 + qel::MAX_MESSAGE_DATA);
    EXPECT_EQ(largest, 4251652u);
    EXPECT_LT(largest, qel::MAX_PAYLOAD_BYTES);
}

}  // namespace
