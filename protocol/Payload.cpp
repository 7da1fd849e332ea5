#include "Payload.h"

#include <cstring>
#include <stdexcept>


namespace qel {

namespace {

template <typename T>
void appendLittleEndian(std::vector<std::uint8_t>& buffer, T value) {
    for (unsigned i = 0; i < sizeof(T); ++i) {
        buffer.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >> (8 * i)));
    }
}

template <typename T>
T decodeLittleEndian(const std::uint8_t* bytes) {
    std::uint32_t value = 0;
    for (unsigned i = 0; i < sizeof(T); ++i) {
        value |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
    }
    return static_cast<T>(value);
}

}  // namespace

void PacketWriter::u8(std::uint8_t value) { buffer_.push_back(value); }
void PacketWriter::u16(std::uint16_t value) { appendLittleEndian(buffer_, value); }
void PacketWriter::u32(std::uint32_t value) { appendLittleEndian(buffer_, value); }
void PacketWriter::i32(std::int32_t value) { appendLittleEndian(buffer_, value); }

void PacketWriter::bytes(const void* data, std::uint32_t count) {
    if (count == 0) {
        return;
    }
    const auto* first = static_cast<const std::uint8_t*>(data);
    buffer_.insert(buffer_.end(), first, first + count);
}

void PacketWriter::lengthBytes(const void* data, std::uint32_t count) {
    if (count > MAX_PAYLOAD_BYTES) {
        throw std::runtime_error("length-prefixed field too large");
    }
    u32(count);
    bytes(data, count);
}

void PacketWriter::text(const std::string& value) {
    if (value.size() > MAX_PAYLOAD_BYTES) {
        throw std::runtime_error("length-prefixed field too large");
    }
    lengthBytes(value.data(), static_cast<std::uint32_t>(value.size()));
}

void PacketWriter::message(const PASSTHRU_MSG& msg) {
    if (msg.DataSize > MAX_MESSAGE_DATA) {
        throw std::runtime_error("J2534 message too large");
    }
    u32(msg.ProtocolID);
    u32(msg.RxStatus);
    u32(msg.TxFlags);
    u32(msg.Timestamp);
    u32(msg.DataSize);
    u32(msg.ExtraDataIndex);
    bytes(msg.Data, msg.DataSize);
}

const std::uint8_t* PacketReader::take(std::uint32_t count) {
    if (size_ - offset_ < count) {
        throw std::runtime_error("packet ended unexpectedly");
    }
    const std::uint8_t* start = data_ + offset_;
    offset_ += count;
    return start;
}

std::uint8_t PacketReader::u8() { return *take(1); }
std::uint16_t PacketReader::u16() { return decodeLittleEndian<std::uint16_t>(take(2)); }
std::uint32_t PacketReader::u32() { return decodeLittleEndian<std::uint32_t>(take(4)); }
std::int32_t PacketReader::i32() { return decodeLittleEndian<std::int32_t>(take(4)); }

std::vector<std::uint8_t> PacketReader::lengthBytes(std::uint32_t limit) {
    const std::uint32_t count = u32();
    // The limit is tested first, so a length above it fails even when nothing follows it.
    if (count > limit) {
        throw std::runtime_error("length-prefixed field exceeds limit");
    }
    const std::uint8_t* first = take(count);
    return std::vector<std::uint8_t>(first, first + count);
}

std::string PacketReader::text(std::uint32_t limit) {
    const std::uint32_t count = u32();
    if (count > limit) {
        throw std::runtime_error("length-prefixed field exceeds limit");
    }
    const auto* first = reinterpret_cast<const char*>(take(count));
    return std::string(first, count);
}

PASSTHRU_MSG PacketReader::message() {
    PASSTHRU_MSG msg{};
    msg.ProtocolID = u32();
    msg.RxStatus = u32();
    msg.TxFlags = u32();
    msg.Timestamp = u32();
    msg.DataSize = u32();
    msg.ExtraDataIndex = u32();
    if (msg.DataSize > MAX_MESSAGE_DATA) {
        throw std::runtime_error("J2534 message exceeds 4128 bytes");
    }
    std::memcpy(msg.Data, take(msg.DataSize), msg.DataSize);
    return msg;
}

void PacketReader::requireEnd() const {
    if (offset_ != size_) {
        throw std::runtime_error("packet contains trailing bytes");
    }
}

}  // namespace qel
