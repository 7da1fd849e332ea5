// Little-endian payload fields: PacketWriter appends them, PacketReader takes
// a received payload apart in place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "J2534.h"
#include "Limits.h"

namespace qel {

class PacketWriter {
public:
    void u8(std::uint8_t value);
    void u16(std::uint16_t value);
    void u32(std::uint32_t value);
    void i32(std::int32_t value);
    void bytes(const void* data, std::uint32_t count);
    void lengthBytes(const void* data, std::uint32_t count);
    void text(const std::string& value);
    void message(const PASSTHRU_MSG& msg);

    const std::vector<std::uint8_t>& buffer() const { return buffer_; }

private:
    std::vector<std::uint8_t> buffer_;
};

// Owns nothing: valid only while the packet it points into is alive and unchanged.
class PacketReader {
public:
    PacketReader(const std::uint8_t* data, std::uint32_t size) : data_(data), size_(size) {}

    const std::uint8_t* take(std::uint32_t count);
    std::uint8_t u8();
    std::uint16_t u16();
    std::uint32_t u32();
    std::int32_t i32();
    std::vector<std::uint8_t> lengthBytes(std::uint32_t limit);
    std::string text(std::uint32_t limit);
    PASSTHRU_MSG message();
    void requireEnd() const;

    std::uint32_t size() const { return size_; }
    std::uint32_t offset() const { return offset_; }
    std::uint32_t remaining() const { return size_ - offset_; }

private:
    const std::uint8_t* data_;
    std::uint32_t size_;
    std::uint32_t offset_ = 0;
};

}  // namespace qel
