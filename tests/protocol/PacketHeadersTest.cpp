#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "FailureText.h"
#include "PacketHeaders.h"

namespace {

using qel::testing::failureOf;
using Bytes = std::vector<std::uint8_t>;

Bytes requestBytes(qel::Operation op, std::uint32_t id, const Bytes& payload) {
    qel::PacketWriter w;
    w.bytes(payload.data(), static_cast<std::uint32_t>(payload.size()));
    return qel::buildRequest(op, id, w);
}

TEST(PacketBuilding, RequestHasExactWireLayout) {
    const Bytes packet = requestBytes(qel::Operation::ReadMsgs, 0x01020304, {0xAA, 0xBB});
    const Bytes expected = {'Q', 'E', 'L', '1', 1, 0, 5, 0, 4, 3, 2, 1, 2, 0, 0, 0, 0xAA, 0xBB};
    EXPECT_EQ(packet, expected);
    EXPECT_EQ(packet.capacity(), packet.size());
}

TEST(PacketBuilding, ResponseCopiesOperationAndIdAndStoresStatusAsIs) {
    qel::RequestHeader request{{'X', 'X', 'X', 'X'}, 9, static_cast<qel::Operation>(0xFFFF), 77, 1234};
    qel::PacketWriter w;
    w.u8(0x5A);
    const Bytes packet = qel::buildResponse(request, -1, w);
    const Bytes expected = {'Q', 'E', 'L', 'R', 1, 0, 0xFF, 0xFF, 77, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0,
                            0x5A};
    EXPECT_EQ(packet, expected);
    EXPECT_EQ(packet.capacity(), packet.size());
}

TEST(PacketBuilding, OperationCodesOutsideTheCatalogueTravelUnchanged) {
    for (std::uint16_t code : {0, 16, 0xFFFF}) {
        const auto op = static_cast<qel::Operation>(code);
        const Bytes packet = requestBytes(op, 5, {});
        EXPECT_EQ(qel::parseRequestHeader(packet.data(), 16).operation, op);
        qel::RequestHeader header{};
        header.operation = op;
        const Bytes reply = qel::buildResponse(header, 0, qel::PacketWriter{});
        EXPECT_EQ(qel::parseResponseHeader(reply.data(), 20).operation, op);
    }
}

TEST(PacketBuilding, PayloadLimitIsInclusive) {
    qel::PacketWriter exact;
    const Bytes block(qel::MAX_PAYLOAD_BYTES, 0x11);
    exact.bytes(block.data(), qel::MAX_PAYLOAD_BYTES);
    EXPECT_EQ(qel::buildRequest(qel::Operation::Open, 1, exact).size(), 16u + qel::MAX_PAYLOAD_BYTES);
    EXPECT_EQ(qel::buildResponse(qel::RequestHeader{}, 0, exact).size(), 20u + qel::MAX_PAYLOAD_BYTES);

    exact.u8(0);
    EXPECT_EQ(failureOf([&] { qel::buildRequest(qel::Operation::Open, 1, exact); }), "request payload too large");
    EXPECT_EQ(failureOf([&] { qel::buildResponse(qel::RequestHeader{}, 0, exact); }), "response payload too large");
}

struct HeaderCase {
    const char* name;
    Bytes bytes;
    const char* requestFailure;
};

// A header of `size` bytes whose last four hold the payload length.
Bytes headerBytes(std::size_t size, const char* magic, std::uint16_t version, std::uint32_t length) {
    Bytes b(size, 0);
    std::memcpy(b.data(), magic, 4);
    b[4] = static_cast<std::uint8_t>(version);
    b[5] = static_cast<std::uint8_t>(version >> 8);
    for (std::size_t i = 0; i < 4; ++i) b[size - 4 + i] = static_cast<std::uint8_t>(length >> (8 * i));
    return b;
}

Bytes header16(const char* magic, std::uint16_t version, std::uint32_t length) {
    return headerBytes(16, magic, version, length);
}

Bytes header20(const char* magic, std::uint16_t version, std::uint32_t length) {
    return headerBytes(20, magic, version, length);
}

TEST(RequestHeaderParsing, RefusesEveryBadHeaderWithItsText) {
    const std::vector<HeaderCase> cases = {
        {"empty", {}, "incomplete request header"},
        {"15 bytes", Bytes(15, 0), "incomplete request header"},
        {"one magic byte off", header16("QEL2", 1, 0), "invalid request header"},
        {"response magic", header16("QELR", 1, 0), "invalid request header"},
        {"version 2", header16("QEL1", 2, 0), "invalid request header"},
        {"version 0", header16("QEL1", 0, 0), "invalid request header"},
        {"length one above the limit", header16("QEL1", 1, qel::MAX_PAYLOAD_BYTES + 1), "invalid request header"},
        {"length with the top bit set", header16("QEL1", 1, 0xFFFFFFFF), "invalid request header"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(failureOf([&] { qel::parseRequestHeader(c.bytes.data(), static_cast<std::uint32_t>(c.bytes.size())); }),
                  c.requestFailure)
            << c.name;
    }
    const Bytes atLimit = header16("QEL1", 1, qel::MAX_PAYLOAD_BYTES);
    EXPECT_EQ(qel::parseRequestHeader(atLimit.data(), 16).payloadLength, qel::MAX_PAYLOAD_BYTES);
}

TEST(ResponseHeaderParsing, RefusesEveryBadHeaderWithItsText) {
    const std::vector<HeaderCase> cases = {
        {"19 bytes", Bytes(19, 0), "incomplete response header"},
        {"request magic", header20("QEL1", 1, 0), "invalid response header"},
        {"version 2", header20("QELR", 2, 0), "invalid response header"},
        {"length one above the limit", header20("QELR", 1, qel::MAX_PAYLOAD_BYTES + 1), "invalid response header"},
        {"length 0xFFFFFFFF", header20("QELR", 1, 0xFFFFFFFF), "invalid response header"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            failureOf([&] { qel::parseResponseHeader(c.bytes.data(), static_cast<std::uint32_t>(c.bytes.size())); }),
            c.requestFailure)
            << c.name;
    }
    const Bytes atLimit = header20("QELR", 1, qel::MAX_PAYLOAD_BYTES);
    EXPECT_EQ(qel::parseResponseHeader(atLimit.data(), 20).payloadLength, qel::MAX_PAYLOAD_BYTES);
}

TEST(RequestPayload, EmptyPayloadGivesAnEmptyReaderThatEnds) {
    const Bytes packet = requestBytes(qel::Operation::Ping, 3, {});
    qel::RequestHeader header{};
    qel::PacketReader reader = qel::requestPayload(packet, header);
    EXPECT_EQ(reader.size(), 0u);
    EXPECT_NO_THROW(reader.requireEnd());
    EXPECT_EQ(header.requestId, 3u);
}

TEST(RequestPayload, ReaderPointsIntoThePacket) {
    const Bytes packet = requestBytes(qel::Operation::Close, 9, {7, 0, 0, 0});
    qel::RequestHeader header{};
    qel::PacketReader reader = qel::requestPayload(packet, header);
    EXPECT_EQ(reader.take(0), packet.data() + 16);
    EXPECT_EQ(reader.u32(), 7u);
}

TEST(RequestPayload, LengthMismatchKeepsTheDecodedHeader) {
    for (int delta : {-1, +1}) {
        Bytes packet = requestBytes(qel::Operation::Connect, 0xCAFE, {1, 2, 3, 4});
        packet.resize(packet.size() + delta);
        qel::RequestHeader header{};
        EXPECT_EQ(failureOf([&] { qel::requestPayload(packet, header); }), "request length mismatch");
        EXPECT_EQ(header.operation, qel::Operation::Connect);
        EXPECT_EQ(header.requestId, 0xCAFEu);
        EXPECT_EQ(header.payloadLength, 4u);
    }
}

TEST(RequestPayload, BadHeaderLeavesTheCallersHeaderUntouched) {
    for (const Bytes& packet : {header16("QELR", 1, 0), header16("QEL1", 2, 0), header16("QEL0", 1, 0), Bytes(15, 0)}) {
        qel::RequestHeader header{{'k', 'e', 'e', 'p'}, 42, qel::Operation::Ioctl, 99, 7};
        EXPECT_THROW(qel::requestPayload(packet, header), std::runtime_error);
        EXPECT_EQ(std::memcmp(header.magic, "keep", 4), 0);
        EXPECT_EQ(header.version, 42);
        EXPECT_EQ(header.requestId, 99u);
    }
}

TEST(ResponsePayload, ChecksLengthAndReadsFromByte20) {
    qel::RequestHeader request{};
    request.operation = qel::Operation::Open;
    request.requestId = 12;
    qel::PacketWriter w;
    w.u32(0xDEADBEEF);
    Bytes packet = qel::buildResponse(request, 0, w);

    qel::ResponseHeader header{};
    qel::PacketReader reader = qel::responsePayload(packet, header);
    EXPECT_EQ(reader.u32(), 0xDEADBEEFu);
    EXPECT_EQ(header.requestId, 12u);

    packet.push_back(0);
    qel::ResponseHeader after{};
    EXPECT_EQ(failureOf([&] { qel::responsePayload(packet, after); }), "response length mismatch");
    EXPECT_EQ(after.requestId, 12u);
}

TEST(StatusName, NamesTheStandardCodesAndNothingElse) {
    EXPECT_STREQ(qel::statusName(0), "STATUS_NOERROR");
    EXPECT_STREQ(qel::statusName(7), "ERR_FAILED");
    EXPECT_STREQ(qel::statusName(0x12), "ERR_BUFFER_OVERFLOW");
    EXPECT_STREQ(qel::statusName(0x1A), "ERR_INVALID_DEVICE_ID");
    EXPECT_STREQ(qel::statusName(0x1B), "ERR_UNKNOWN");
    EXPECT_STREQ(qel::statusName(-1), "ERR_UNKNOWN");
}

}  // namespace
