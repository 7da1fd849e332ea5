// Request and response packets: a fixed little-endian header, then exactly
// payloadLength payload bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Limits.h"
#include "Payload.h"

namespace qel {

enum class Operation : std::uint16_t {
    Open = 1,
    Close = 2,
    Connect = 3,
    Disconnect = 4,
    ReadMsgs = 5,
    WriteMsgs = 6,
    StartPeriodic = 7,
    StopPeriodic = 8,
    StartFilter = 9,
    StopFilter = 10,
    SetVoltage = 11,
    ReadVersion = 12,
    GetLastError = 13,
    Ioctl = 14,
    Ping = 15,
};

struct RequestHeader {
    char magic[4];
    std::uint16_t version;
    Operation operation;
    std::uint32_t requestId;
    std::uint32_t payloadLength;
};

struct ResponseHeader {
    char magic[4];
    std::uint16_t version;
    Operation operation;
    std::uint32_t requestId;
    std::int32_t status;
    std::uint32_t payloadLength;
};

static_assert(sizeof(RequestHeader) == 16 && offsetof(RequestHeader, payloadLength) == 12,
              "RequestHeader must match the wire header byte for byte");
static_assert(sizeof(ResponseHeader) == 20 && offsetof(ResponseHeader, payloadLength) == 16,
              "ResponseHeader must match the wire header byte for byte");

constexpr std::uint32_t REQUEST_HEADER_BYTES = sizeof(RequestHeader);
constexpr std::uint32_t RESPONSE_HEADER_BYTES = sizeof(ResponseHeader);
constexpr std::uint16_t PROTOCOL_VERSION = 1;

std::vector<std::uint8_t> buildRequest(Operation operation, std::uint32_t requestId, const PacketWriter& payload);
std::vector<std::uint8_t> buildResponse(const RequestHeader& request, std::int32_t status, const PacketWriter& payload);

RequestHeader parseRequestHeader(const std::uint8_t* bytes, std::uint32_t count);
ResponseHeader parseResponseHeader(const std::uint8_t* bytes, std::uint32_t count);

// The reader points into `packet`. `header` is filled once the header itself is valid.
PacketReader requestPayload(const std::vector<std::uint8_t>& packet, RequestHeader& header);
PacketReader responsePayload(const std::vector<std::uint8_t>& packet, ResponseHeader& header);

const char* statusName(std::int32_t status);

}  // namespace qel
