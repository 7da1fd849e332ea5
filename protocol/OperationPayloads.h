// Codes and texts that are part of the payload layouts of particular operations.
#pragma once

#include <cstdint>

namespace qel {

// What data travels with an IOCTL request (input) or reply (output).
enum class IoctlDataKind : std::uint32_t {
    None = 0,
    Value = 1,
    Bytes = 2,
    ConfigList = 3,
    Message = 4,
};

// Presence bits of the StartFilter request: which of the three messages follow.
constexpr std::uint8_t FILTER_HAS_MASK = 0x01;
constexpr std::uint8_t FILTER_HAS_PATTERN = 0x02;
constexpr std::uint8_t FILTER_HAS_FLOW_CONTROL = 0x04;

constexpr char PING_REPLY_TEXT[] = "QEL VCI client x86 ready";

// What the reading end accepts for the texts of ReadVersion and GetLastError replies.
constexpr std::uint32_t VERSION_TEXT_LIMIT = 1024;
constexpr std::uint32_t ERROR_TEXT_LIMIT = 4096;

}  // namespace qel
