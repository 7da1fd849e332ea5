// One PassThru call as one request packet to the relay and its matching
// response packet back, with one resend after a lost connection.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "PacketHeaders.h"

namespace qel {

// The reader is set only when a reply that answers this request came back;
// it points into `reply`. Without it the status is 8 or 7 and the reason is
// in the last-error text.
std::int32_t callRelay(Operation operation, const PacketWriter& payload, std::optional<PacketReader>& reader,
                       ResponseHeader& header, std::vector<std::uint8_t>& reply);

// For operations whose reply carries no result: payload bytes are accepted.
std::int32_t callWithoutResult(Operation operation, const PacketWriter& payload);

// A u32 result is in the reply only when the reader has 4 bytes left.
inline bool holdsResult(const std::optional<PacketReader>& reader) { return reader && reader->remaining() >= 4; }

}  // namespace qel
