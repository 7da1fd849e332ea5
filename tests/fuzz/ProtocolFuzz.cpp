// Feeds arbitrary bytes to every decoding entry point of the wire protocol.
// A decoder may refuse input only with std::runtime_error; anything else, or
// a sanitizer report, is a fault.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "PacketHeaders.h"

namespace {

void readFields(qel::PacketReader& reader, const std::uint8_t* script, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        try {
            switch (script[i] % 10) {
                case 0: reader.u8(); break;
                case 1: reader.u16(); break;
                case 2: reader.u32(); break;
                case 3: reader.i32(); break;
                case 4: reader.take(script[i] / 10u); break;
                case 5: reader.lengthBytes(qel::MAX_BYTE_ARRAY); break;
                case 6: reader.text(1024); break;
                case 7: reader.text(4096); break;
                case 8: reader.message(); break;
                default: reader.requireEnd(); break;
            }
        } catch (const std::runtime_error&) {
        }
        if (reader.offset() > reader.size()) {
            __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> packet(data, data + size);
    const auto count = static_cast<std::uint32_t>(size);
    try {
        qel::parseRequestHeader(data, count);
    } catch (const std::runtime_error&) {
    }
    try {
        qel::parseResponseHeader(data, count);
    } catch (const std::runtime_error&) {
    }
    try {
        qel::RequestHeader header{};
        qel::PacketReader reader = qel::requestPayload(packet, header);
        readFields(reader, data + 16, size - 16);
    } catch (const std::runtime_error&) {
    }
    try {
        qel::ResponseHeader header{};
        qel::PacketReader reader = qel::responsePayload(packet, header);
        readFields(reader, data + 20, size - 20);
    } catch (const std::runtime_error&) {
    }
    // The same bytes as a bare payload, read by a script taken from its own tail.
    qel::PacketReader bare(data, count);
    readFields(bare, data + size / 2, size - size / 2);
    return 0;
}
