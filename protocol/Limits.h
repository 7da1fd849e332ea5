// Limits that both ends of the wire keep, so that one value holds everywhere.
#pragma once

#include <cstdint>

namespace qel {

constexpr std::uint32_t MAX_PAYLOAD_BYTES = 0x2000000;
constexpr std::uint32_t MAX_MESSAGE_DATA = 4128;
constexpr std::uint32_t MAX_MESSAGES_PER_CALL = 1024;
constexpr std::uint32_t MAX_CONFIG_PARAMS = 4096;
constexpr std::uint32_t MAX_BYTE_ARRAY = 0x100000;

}  // namespace qel
