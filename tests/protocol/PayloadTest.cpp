#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "FailureText.h"
#include "Payload.h"

namespace {

using qel::testing::failureOf;
using Bytes = std::vector<std::uint8_t>;

template <typename F>
Bytes written(F&& fill) {
    qel::PacketWriter w;
    fill(w);
    return w.buffer();
}

TEST(PacketWriter, EncodesIntegersLittleEndian) {
    EXPECT_EQ(written([](auto& w) { w.u8(0x7F); }), (Bytes{0x7F}));
    EXPECT_EQ(written([](auto& w) { w.u16(258); }), (Bytes{0x02, 0x01}));
    EXPECT_EQ(written([](auto& w) { w.u32(258); }), (Bytes{0x02, 0x01, 0, 0}));
    EXPECT_EQ(written([](auto& w) { w.i32(-2); }), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
}

TEST(PacketWriter, EncodesTextAsLengthPrefixedBytes) {
    EXPECT_EQ(written([](auto& w) { w.text(""); }), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(written([](auto& w) { w.text("abc"); }), (Bytes{3, 0, 0, 0, 'a', 'b', 'c'}));
    EXPECT_EQ(written([](auto& w) { w.text(std::string("a\0b", 3)); }), (Bytes{3, 0, 0, 0, 'a', 0, 'b'}));
    EXPECT_EQ(written([](auto& w) { w.lengthBytes(nullptr, 0); }), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(written([](auto& w) { w.bytes(nullptr, 0); }), Bytes{});
}

TEST(PacketWriter, RefusesAnOversizedLengthFieldAndAppendsNothing) {
    qel::PacketWriter w;
    w.u8(1);
    const std::uint8_t byte = 0;
    EXPECT_EQ(failureOf([&] { w.lengthBytes(&byte, qel::MAX_PAYLOAD_BYTES + 1); }), "length-prefixed field too large");
    EXPECT_EQ(w.buffer(), Bytes{1});
}

TEST(PacketWriter, EncodesMessagesWithOnlyTheirDataSizeBytes) {
    qel::PASSTHRU_MSG msg{};
    msg.ProtocolID = 6;
    msg.RxStatus = 1;
    msg.TxFlags = 0x40;
    msg.Timestamp = 0x11223344;
    msg.ExtraDataIndex = 9999;
    msg.Data[0] = 0xAB;
    msg.Data[4127] = 0xCD;

    msg.DataSize = 0;
    EXPECT_EQ(written([&](auto& w) { w.message(msg); }).size(), 24u);
    msg.DataSize = 1;
    const Bytes one = written([&](auto& w) { w.message(msg); });
    const Bytes expected = {6, 0, 0, 0, 1, 0, 0, 0, 0x40, 0, 0, 0, 0x44, 0x33, 0x22, 0x11,
                            1, 0, 0, 0, 0x0F, 0x27, 0, 0, 0xAB};
    EXPECT_EQ(one, expected);
    msg.DataSize = 4128;
    const Bytes full = written([&](auto& w) { w.message(msg); });
    EXPECT_EQ(full.size(), 4152u);
    EXPECT_EQ(full.back(), 0xCD);

    qel::PacketWriter w;
    msg.DataSize = 4129;
    EXPECT_EQ(failureOf([&] { w.message(msg); }), "J2534 message too large");
    EXPECT_TRUE(w.buffer().empty());
}

TEST(PacketReader, ReadsWhatTheWriterWrote) {
    qel::PASSTHRU_MSG msg{};
    msg.ProtocolID = 5;
    msg.DataSize = 3;
    msg.ExtraDataIndex = 9999;
    msg.Data[0] = 1;
    msg.Data[1] = 2;
    msg.Data[2] = 3;
    msg.Data[3] = 0xEE;  // beyond DataSize: must not travel
    const Bytes payload = written([&](auto& w) {
        w.u8(0xA5);
        w.u16(0xBEEF);
        w.u32(0x89ABCDEF);
        w.i32(-123456);
        w.text(std::string("x\0y", 3));
        w.message(msg);
        const std::uint8_t raw[2] = {9, 8};
        w.lengthBytes(raw, 2);
    });
    qel::PacketReader r(payload.data(), static_cast<std::uint32_t>(payload.size()));
    EXPECT_EQ(r.u8(), 0xA5);
    EXPECT_EQ(r.u16(), 0xBEEF);
    EXPECT_EQ(r.u32(), 0x89ABCDEFu);
    EXPECT_EQ(r.i32(), -123456);
    EXPECT_EQ(r.text(16), std::string("x\0y", 3));
    const qel::PASSTHRU_MSG back = r.message();
    EXPECT_EQ(back.ProtocolID, 5u);
    EXPECT_EQ(back.DataSize, 3u);
    EXPECT_EQ(back.ExtraDataIndex, 9999u);
    EXPECT_EQ(back.Data[2], 3);
    for (std::size_t i = 3; i < sizeof(back.Data); ++i) ASSERT_EQ(back.Data[i], 0) << i;
    EXPECT_EQ(r.lengthBytes(2), (Bytes{9, 8}));
    EXPECT_NO_THROW(r.requireEnd());
}

TEST(PacketReader, ShortReadsFailAndKeepTheOffset) {
    const Bytes three = {1, 2, 3};
    qel::PacketReader r(three.data(), 3);
    EXPECT_EQ(failureOf([&] { r.u32(); }), "packet ended unexpectedly");
    EXPECT_EQ(failureOf([&] { r.i32(); }), "packet ended unexpectedly");
    EXPECT_EQ(failureOf([&] { r.take(4); }), "packet ended unexpectedly");
    EXPECT_EQ(r.offset(), 0u);
    EXPECT_EQ(failureOf([&] { r.requireEnd(); }), "packet contains trailing bytes");
    r.u8();
    r.u8();
    EXPECT_EQ(failureOf([&] { r.u16(); }), "packet ended unexpectedly");
    EXPECT_EQ(r.offset(), 2u);
    r.u8();
    EXPECT_NO_THROW(r.requireEnd());
    EXPECT_EQ(failureOf([&] { r.u8(); }), "packet ended unexpectedly");
}

TEST(PacketReader, LengthLimitIsTestedBeforeTheBytes) {
    const Bytes tooLong = {0x01, 0x04, 0, 0};  // 1025, and nothing after it
    qel::PacketReader r(tooLong.data(), 4);
    EXPECT_EQ(failureOf([&] { r.lengthBytes(1024); }), "length-prefixed field exceeds limit");
    EXPECT_EQ(r.offset(), 4u);
    qel::PacketReader t(tooLong.data(), 4);
    EXPECT_EQ(failureOf([&] { t.text(1024); }), "length-prefixed field exceeds limit");

    Bytes exact = {0x00, 0x04, 0, 0};
    exact.resize(4 + 1024, 0x33);
    qel::PacketReader ok(exact.data(), static_cast<std::uint32_t>(exact.size()));
    EXPECT_EQ(ok.lengthBytes(1024).size(), 1024u);

    const Bytes truncated = {5, 0, 0, 0, 'a', 'b'};
    qel::PacketReader shortField(truncated.data(), 6);
    EXPECT_EQ(failureOf([&] { shortField.text(10); }), "packet ended unexpectedly");
    EXPECT_EQ(shortField.offset(), 4u);
}

TEST(PacketReader, MessageFailures) {
    struct Case {
        const char* name;
        Bytes bytes;
        const char* failure;
        std::uint32_t offsetAfter;
    };
    auto header = [](std::uint32_t dataSize, std::size_t fields = 6) {
        Bytes b;
        for (std::size_t i = 0; i < fields; ++i) {
            const std::uint32_t v = i == 4 ? dataSize : 0;
            for (int k = 0; k < 4; ++k) b.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
        }
        return b;
    };
    const std::vector<Case> cases = {
        {"five of six fields", header(0, 5), "packet ended unexpectedly", 20},
        {"DataSize 4129", header(4129), "J2534 message exceeds 4128 bytes", 24},
        {"DataSize 0xFFFFFFFF", header(0xFFFFFFFF), "J2534 message exceeds 4128 bytes", 24},
        {"fewer data bytes than DataSize", header(8), "packet ended unexpectedly", 24},
    };
    for (const auto& c : cases) {
        qel::PacketReader r(c.bytes.data(), static_cast<std::uint32_t>(c.bytes.size()));
        EXPECT_EQ(failureOf([&] { r.message(); }), c.failure) << c.name;
        EXPECT_EQ(r.offset(), c.offsetAfter) << c.name;
    }
}

}  // namespace
