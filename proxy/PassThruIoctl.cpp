// PassThruIoctl: the IoctlID decides which untyped pointers the caller must
// give, which data kinds travel and how much output the caller has room for.
#include "PassThru.h"

#include <cstring>
#include <vector>

#include "ExportGuard.h"
#include "OperationPayloads.h"
#include "RelayExchange.h"

using namespace qel;

namespace {

struct IoctlShape {
    bool needsInput;
    bool needsOutput;
    IoctlDataKind input;
    IoctlDataKind output;
    // Ids without data of their own travel only with two null pointers.
    bool bare;
};

constexpr IoctlShape shapeOf(std::uint32_t ioctlId) {
    using enum IoctlDataKind;
    switch (ioctlId) {
    case GET_CONFIG:
        return {true, false, ConfigList, ConfigList, false};
    case SET_CONFIG:
        return {true, false, ConfigList, None, false};
    case READ_VBATT:
    case READ_PROG_VOLTAGE:
        return {false, true, None, Value, false};
    case FIVE_BAUD_INIT:
        return {true, true, Bytes, Bytes, false};
    case FAST_INIT:
        return {true, true, Message, Message, false};
    case ADD_TO_FUNCT_MSG_LOOKUP_TABLE:
    case DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE:
        return {true, false, Bytes, None, false};
    default:
        return {false, false, None, None, true};
    }
}

bool pointersFit(const IoctlShape& shape, const void* pInput, const void* pOutput) {
    if (shape.bare) {
        return pInput == nullptr && pOutput == nullptr;
    }
    return (!shape.needsInput || pInput != nullptr) && (!shape.needsOutput || pOutput != nullptr);
}

std::uint32_t capped(std::uint32_t value, std::uint32_t limit) { return value < limit ? value : limit; }

void writeInput(PacketWriter& payload, IoctlDataKind kind, void* pInput) {
    switch (kind) {
    case IoctlDataKind::ConfigList: {
        const auto* list = static_cast<const SCONFIG_LIST*>(pInput);
        if (list->ConfigPtr == nullptr) {
            payload.u32(0);
            break;
        }
        const std::uint32_t count = capped(list->NumOfParams, MAX_CONFIG_PARAMS);
        payload.u32(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            payload.u32(list->ConfigPtr[i].Parameter);
            payload.u32(list->ConfigPtr[i].Value);
        }
        break;
    }
    case IoctlDataKind::Bytes: {
        const auto* array = static_cast<const SBYTE_ARRAY*>(pInput);
        const std::uint32_t count = array->BytePtr == nullptr ? 0 : capped(array->NumOfBytes, MAX_BYTE_ARRAY);
        payload.lengthBytes(array->BytePtr, count);
        break;
    }
    case IoctlDataKind::Message:
        payload.message(*static_cast<const PASSTHRU_MSG*>(pInput));
        break;
    case IoctlDataKind::None:
    case IoctlDataKind::Value:
        break;
    }
}

std::uint32_t outputCapacity(IoctlDataKind kind, const void* pInput, const void* pOutput) {
    switch (kind) {
    case IoctlDataKind::ConfigList:
        return capped(static_cast<const SCONFIG_LIST*>(pInput)->NumOfParams, MAX_CONFIG_PARAMS);
    case IoctlDataKind::Bytes:
        return capped(static_cast<const SBYTE_ARRAY*>(pOutput)->NumOfBytes, MAX_BYTE_ARRAY);
    case IoctlDataKind::Value:
    case IoctlDataKind::Message:
        return 1;
    case IoctlDataKind::None:
        break;
    }
    return 0;
}

// Everything is read before anything is written, so a reply that breaks
// its layout leaves the caller's records as they were.
void writeOutput(PacketReader& reader, IoctlDataKind kind, void* pInput, void* pOutput) {
    switch (kind) {
    case IoctlDataKind::Value: {
        const std::uint32_t value = reader.u32();
        *static_cast<std::uint32_t*>(pOutput) = value;
        break;
    }
    case IoctlDataKind::Bytes: {
        const std::vector<std::uint8_t> received = reader.lengthBytes(MAX_BYTE_ARRAY);
        auto* array = static_cast<SBYTE_ARRAY*>(pOutput);
        if (array->BytePtr != nullptr) {
            const std::uint32_t count = capped(array->NumOfBytes, static_cast<std::uint32_t>(received.size()));
            if (count > 0) {
                std::memcpy(array->BytePtr, received.data(), count);
            }
            array->NumOfBytes = count;
        }
        break;
    }
    case IoctlDataKind::ConfigList: {
        const std::uint32_t count = reader.u32();
        auto* list = static_cast<SCONFIG_LIST*>(pInput);
        if (list->ConfigPtr == nullptr) {
            break;
        }
        std::vector<SCONFIG> pairs(capped(count, list->NumOfParams));
        for (SCONFIG& pair : pairs) {
            pair.Parameter = reader.u32();
            pair.Value = reader.u32();
        }
        if (!pairs.empty()) {
            std::memcpy(list->ConfigPtr, pairs.data(), pairs.size() * sizeof(SCONFIG));
        }
        break;
    }
    case IoctlDataKind::Message: {
        const PASSTHRU_MSG msg = reader.message();
        *static_cast<PASSTHRU_MSG*>(pOutput) = msg;
        break;
    }
    case IoctlDataKind::None:
        break;
    }
}

}  // namespace

extern "C" std::int32_t __stdcall PassThruIoctl(std::uint32_t ChannelID, std::uint32_t IoctlID, void* pInput,
                                                void* pOutput) {
    const IoctlShape shape = shapeOf(IoctlID);
    if (!pointersFit(shape, pInput, pOutput)) {
        setLastErrorText("Invalid or unsupported IOCTL pointer combination.");
        return ERR_INVALID_IOCTL_VALUE;
    }
    if (shape.input == IoctlDataKind::Message && static_cast<const PASSTHRU_MSG*>(pInput)->DataSize > MAX_MESSAGE_DATA) {
        return ERR_INVALID_MSG;
    }
    return guardExport(
        [&] {
            PacketWriter payload;
            payload.u32(ChannelID);
            payload.u32(IoctlID);
            payload.u32(static_cast<std::uint32_t>(shape.input));
            writeInput(payload, shape.input, pInput);
            payload.u32(static_cast<std::uint32_t>(shape.output));
            payload.u32(outputCapacity(shape.output, pInput, pOutput));
            std::optional<PacketReader> reader;
            ResponseHeader header{};
            std::vector<std::uint8_t> reply;
            const std::int32_t status = callRelay(Operation::Ioctl, payload, reader, header, reply);
            if (!holdsResult(reader)) {
                return status;
            }
            if (reader->u32() != static_cast<std::uint32_t>(shape.output)) {
                setLastErrorText("IOCTL response kind mismatch.");
                return ERR_FAILED;
            }
            writeOutput(*reader, shape.output, pInput, pOutput);
            return status;
        },
        [] {});
}
