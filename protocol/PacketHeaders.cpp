#include "PacketHeaders.h"

#include <bit>
#include <cstring>
#include <stdexcept>

namespace qel {

// Headers move between the wire and their records as one block.
static_assert(std::endian::native == std::endian::little, "the wire is little-endian");

namespace {

constexpr char REQUEST_MAGIC[4] = {'Q', 'E', 'L', '1'};
constexpr char RESPONSE_MAGIC[4] = {'Q', 'E', 'L', 'R'};

template <typename Header>
std::vector<std::uint8_t> assemble(const Header& header, const PacketWriter& payload) {
    const std::vector<std::uint8_t>& body = payload.buffer();
    const auto* head = reinterpret_cast<const std::uint8_t*>(&header);
    std::vector<std::uint8_t> packet;
    packet.reserve(sizeof(Header) + body.size());
    packet.insert(packet.end(), head, head + sizeof(Header));
    packet.insert(packet.end(), body.begin(), body.end());
    return packet;
}

template <typename Header>
Header decodeHeader(const std::uint8_t* bytes, std::uint32_t count, const char (&magic)[4], const char* incomplete,
                    const char* invalid) {
    if (count < sizeof(Header)) {
        throw std::runtime_error(incomplete);
    }
    Header header;
    std::memcpy(&header, bytes, sizeof(Header));
    if (std::memcmp(header.magic, magic, 4) != 0 || header.version != PROTOCOL_VERSION ||
        header.payloadLength > MAX_PAYLOAD_BYTES) {
        throw std::runtime_error(invalid);
    }
    return header;
}

template <typename Header>
PacketReader payloadOf(const std::vector<std::uint8_t>& packet, Header& header, Header decoded,
                       const char* mismatch) {
    header = decoded;
    if (packet.size() != sizeof(Header) + static_cast<std::size_t>(decoded.payloadLength)) {
        throw std::runtime_error(mismatch);
    }
    return PacketReader(packet.data() + sizeof(Header), decoded.payloadLength);
}

std::uint32_t availableBytes(const std::vector<std::uint8_t>& packet) {
    return packet.size() > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(packet.size());
}

}  // namespace

std::vector<std::uint8_t> buildRequest(Operation operation, std::uint32_t requestId, const PacketWriter& payload) {
    const std::size_t length = payload.buffer().size();
    if (length > MAX_PAYLOAD_BYTES) {
        throw std::runtime_error("request payload too large");
    }
    RequestHeader header{{'Q', 'E', 'L', '1'}, PROTOCOL_VERSION, operation, requestId,
                         static_cast<std::uint32_t>(length)};
    return assemble(header, payload);
}

std::vector<std::uint8_t> buildResponse(const RequestHeader& request, std::int32_t status,
                                        const PacketWriter& payload) {
    const std::size_t length = payload.buffer().size();
    if (length > MAX_PAYLOAD_BYTES) {
        throw std::runtime_error("response payload too large");
    }
    ResponseHeader header{{'Q', 'E', 'L', 'R'}, PROTOCOL_VERSION, request.operation, request.requestId, status,
                          static_cast<std::uint32_t>(length)};
    return assemble(header, payload);
}

RequestHeader parseRequestHeader(const std::uint8_t* bytes, std::uint32_t count) {
    return decodeHeader<RequestHeader>(bytes, count, REQUEST_MAGIC, "incomplete request header",
                                       "invalid request header");
}

ResponseHeader parseResponseHeader(const std::uint8_t* bytes, std::uint32_t count) {
    return decodeHeader<ResponseHeader>(bytes, count, RESPONSE_MAGIC, "incomplete response header",
                                        "invalid response header");
}

PacketReader requestPayload(const std::vector<std::uint8_t>& packet, RequestHeader& header) {
    return payloadOf(packet, header, parseRequestHeader(packet.data(), availableBytes(packet)),
                     "request length mismatch");
}

PacketReader responsePayload(const std::vector<std::uint8_t>& packet, ResponseHeader& header) {
    return payloadOf(packet, header, parseResponseHeader(packet.data(), availableBytes(packet)),
                     "response length mismatch");
}

const char* statusName(std::int32_t status) {
    static constexpr const char* names[] = {
        "STATUS_NOERROR",          "ERR_NOT_SUPPORTED",     "ERR_INVALID_CHANNEL_ID", "ERR_INVALID_PROTOCOL_ID",
        "ERR_NULL_PARAMETER",      "ERR_INVALID_IOCTL_VALUE", "ERR_INVALID_FLAGS",    "ERR_FAILED",
        "ERR_DEVICE_NOT_CONNECTED", "ERR_TIMEOUT",           "ERR_INVALID_MSG",        "ERR_INVALID_TIME_INTERVAL",
        "ERR_EXCEEDED_LIMIT",      "ERR_INVALID_MSG_ID",    "ERR_DEVICE_IN_USE",      "ERR_INVALID_IOCTL_ID",
        "ERR_BUFFER_EMPTY",        "ERR_BUFFER_FULL",       "ERR_BUFFER_OVERFLOW",    "ERR_PIN_INVALID",
        "ERR_CHANNEL_IN_USE",      "ERR_MSG_PROTOCOL_ID",   "ERR_INVALID_FILTER_ID",  "ERR_NO_FLOW_CONTROL",
        "ERR_NOT_UNIQUE",          "ERR_INVALID_BAUDRATE",  "ERR_INVALID_DEVICE_ID",
    };
    static_assert(sizeof(names) / sizeof(names[0]) == 0x1B, "one name per status from 0 to 0x1A");
    if (status < 0 || status > 0x1A) {
        return "ERR_UNKNOWN";
    }
    return names[status];
}

}  // namespace qel
