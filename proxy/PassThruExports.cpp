// Thirteen of the fourteen exports: each checks its pointers, writes its
// request, makes one exchange and copies the reply's results out.
#include "PassThru.h"

#include <initializer_list>
#include <string>

#include "ExportGuard.h"
#include "OperationPayloads.h"
#include "RelayExchange.h"

using namespace qel;

namespace {

constexpr int CALLER_TEXT_BYTES = 80;

struct Reply {
    std::optional<PacketReader> reader;
    ResponseHeader header{};
    std::vector<std::uint8_t> bytes;

    std::int32_t call(Operation operation, const PacketWriter& payload) {
        return callRelay(operation, payload, reader, header, bytes);
    }
};

// The common form of the calls whose reply carries one u32 result.
std::int32_t callForId(Operation operation, const PacketWriter& payload, std::uint32_t* result) {
    Reply reply;
    const std::int32_t status = reply.call(operation, payload);
    *result = holdsResult(reply.reader) ? reply.reader->u32() : 0;
    return status;
}

// The calls without outputs: their u32 fields in order, any reply payload accepted.
std::int32_t callWithFields(Operation operation, std::initializer_list<std::uint32_t> fields) {
    return guardExport(
        [&] {
            PacketWriter payload;
            for (const std::uint32_t field : fields) {
                payload.u32(field);
            }
            return callWithoutResult(operation, payload);
        },
        [] {});
}

bool tooLarge(const PASSTHRU_MSG* msg) { return msg != nullptr && msg->DataSize > MAX_MESSAGE_DATA; }

}  // namespace

extern "C" {

std::int32_t __stdcall PassThruOpen(void*, std::uint32_t* pDeviceID) {
    if (pDeviceID == nullptr) {
        return ERR_NULL_PARAMETER;
    }
    return guardExport([&] { return callForId(Operation::Open, PacketWriter{}, pDeviceID); },
                       [&] { *pDeviceID = 0; });
}

std::int32_t __stdcall PassThruClose(std::uint32_t DeviceID) {
    return callWithFields(Operation::Close, {DeviceID});
}

std::int32_t __stdcall PassThruConnect(std::uint32_t DeviceID, std::uint32_t ProtocolID, std::uint32_t Flags,
                                       std::uint32_t BaudRate, std::uint32_t* pChannelID) {
    if (pChannelID == nullptr) {
        return ERR_NULL_PARAMETER;
    }
    return guardExport(
        [&] {
            PacketWriter payload;
            payload.u32(DeviceID);
            payload.u32(ProtocolID);
            payload.u32(Flags);
            payload.u32(BaudRate);
            return callForId(Operation::Connect, payload, pChannelID);
        },
        [&] { *pChannelID = 0; });
}

std::int32_t __stdcall PassThruDisconnect(std::uint32_t ChannelID) {
    return callWithFields(Operation::Disconnect, {ChannelID});
}

std::int32_t __stdcall PassThruReadMsgs(std::uint32_t ChannelID, PASSTHRU_MSG* pMsg, std::uint32_t* pNumMsgs,
                                        std::uint32_t Timeout) {
    if (pMsg == nullptr || pNumMsgs == nullptr || *pNumMsgs == 0) {
        return ERR_NULL_PARAMETER;
    }
    return guardExport(
        [&] {
            const std::uint32_t wanted = *pNumMsgs < MAX_MESSAGES_PER_CALL ? *pNumMsgs : MAX_MESSAGES_PER_CALL;
            PacketWriter payload;
            payload.u32(ChannelID);
            payload.u32(wanted);
            payload.u32(Timeout);
            Reply reply;
            const std::int32_t status = reply.call(Operation::ReadMsgs, payload);
            *pNumMsgs = 0;
            if (holdsResult(reply.reader)) {
                const std::uint32_t count = reply.reader->u32();
                const std::uint32_t copied = count < wanted ? count : wanted;
                for (std::uint32_t i = 0; i < copied; ++i) {
                    pMsg[i] = reply.reader->message();
                }
                *pNumMsgs = copied;
            }
            return status;
        },
        [&] { *pNumMsgs = 0; });
}

std::int32_t __stdcall PassThruWriteMsgs(std::uint32_t ChannelID, PASSTHRU_MSG* pMsg, std::uint32_t* pNumMsgs,
                                         std::uint32_t Timeout) {
    if (pMsg == nullptr || pNumMsgs == nullptr) {
        return ERR_NULL_PARAMETER;
    }
    const std::uint32_t count = *pNumMsgs < MAX_MESSAGES_PER_CALL ? *pNumMsgs : MAX_MESSAGES_PER_CALL;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (tooLarge(&pMsg[i])) {
            return ERR_INVALID_MSG;
        }
    }
    return guardExport(
        [&] {
            PacketWriter payload;
            payload.u32(ChannelID);
            payload.u32(count);
            payload.u32(Timeout);
            for (std::uint32_t i = 0; i < count; ++i) {
                payload.message(pMsg[i]);
            }
            const std::int32_t status = callForId(Operation::WriteMsgs, payload, pNumMsgs);
            // No more can have gone out than were sent; a larger count would
            // lead the application past the end of its own array.
            if (*pNumMsgs > count) {
                *pNumMsgs = count;
            }
            return status;
        },
        [&] { *pNumMsgs = 0; });
}

std::int32_t __stdcall PassThruStartPeriodicMsg(std::uint32_t ChannelID, PASSTHRU_MSG* pMsg, std::uint32_t* pMsgID,
                                                std::uint32_t TimeInterval) {
    if (pMsg == nullptr || pMsgID == nullptr) {
        return ERR_NULL_PARAMETER;
    }
    if (tooLarge(pMsg)) {
        return ERR_INVALID_MSG;
    }
    return guardExport(
        [&] {
            PacketWriter payload;
            payload.u32(ChannelID);
            payload.u32(TimeInterval);
            payload.message(*pMsg);
            return callForId(Operation::StartPeriodic, payload, pMsgID);
        },
        [&] { *pMsgID = 0; });
}

std::int32_t __stdcall PassThruStopPeriodicMsg(std::uint32_t ChannelID, std::uint32_t MsgID) {
    return callWithFields(Operation::StopPeriodic, {ChannelID, MsgID});
}

std::int32_t __stdcall PassThruStartMsgFilter(std::uint32_t ChannelID, std::uint32_t FilterType,
                                              PASSTHRU_MSG* pMaskMsg, PASSTHRU_MSG* pPatternMsg,
                                              PASSTHRU_MSG* pFlowControlMsg, std::uint32_t* pFilterID) {
    if (pFilterID == nullptr) {
        return ERR_NULL_PARAMETER;
    }
    if (tooLarge(pMaskMsg) || tooLarge(pPatternMsg) || tooLarge(pFlowControlMsg)) {
        return ERR_INVALID_MSG;
    }
    return guardExport(
        [&] {
            PacketWriter payload;
            payload.u32(ChannelID);
            payload.u32(FilterType);
            payload.u8(static_cast<std::uint8_t>((pMaskMsg ? FILTER_HAS_MASK : 0) |
                                                 (pPatternMsg ? FILTER_HAS_PATTERN : 0) |
                                                 (pFlowControlMsg ? FILTER_HAS_FLOW_CONTROL : 0)));
            for (const PASSTHRU_MSG* msg : {pMaskMsg, pPatternMsg, pFlowControlMsg}) {
                if (msg != nullptr) {
                    payload.message(*msg);
                }
            }
            return callForId(Operation::StartFilter, payload, pFilterID);
        },
        [&] { *pFilterID = 0; });
}

std::int32_t __stdcall PassThruStopMsgFilter(std::uint32_t ChannelID, std::uint32_t FilterID) {
    return callWithFields(Operation::StopFilter, {ChannelID, FilterID});
}

std::int32_t __stdcall PassThruSetProgrammingVoltage(std::uint32_t DeviceID, std::uint32_t PinNumber,
                                                     std::uint32_t Voltage) {
    return callWithFields(Operation::SetVoltage, {DeviceID, PinNumber, Voltage});
}

std::int32_t __stdcall PassThruReadVersion(std::uint32_t DeviceID, char* pFirmwareVersion, char* pDllVersion,
                                           char* pApiVersion) {
    if (pFirmwareVersion == nullptr || pDllVersion == nullptr || pApiVersion == nullptr) {
        return ERR_NULL_PARAMETER;
    }
    const auto setAll = [&](const char* firmware, const char* dll, const char* api) {
        lstrcpynA(pFirmwareVersion, firmware, CALLER_TEXT_BYTES);
        lstrcpynA(pDllVersion, dll, CALLER_TEXT_BYTES);
        lstrcpynA(pApiVersion, api, CALLER_TEXT_BYTES);
    };
    return guardExport(
        [&] {
            PacketWriter payload;
            payload.u32(DeviceID);
            Reply reply;
            const std::int32_t status = reply.call(Operation::ReadVersion, payload);
            if (holdsResult(reply.reader)) {
                const std::string firmware = reply.reader->text(VERSION_TEXT_LIMIT);
                const std::string dll = reply.reader->text(VERSION_TEXT_LIMIT);
                const std::string api = reply.reader->text(VERSION_TEXT_LIMIT);
                setAll(firmware.c_str(), dll.c_str(), api.c_str());
            } else {
                setAll("", "", "");
            }
            return status;
        },
        [&] { setAll("", "", ""); });
}

std::int32_t __stdcall PassThruGetLastError(char* pErrorDescription) {
    if (pErrorDescription == nullptr) {
        return ERR_NULL_PARAMETER;
    }
    const std::int32_t status = guardExport(
        [&] {
            Reply reply;
            const std::int32_t status = reply.call(Operation::GetLastError, PacketWriter{});
            if (holdsResult(reply.reader)) {
                lstrcpynA(pErrorDescription, reply.reader->text(ERROR_TEXT_LIMIT).c_str(), CALLER_TEXT_BYTES);
            } else {
                copyLastErrorText(pErrorDescription);
            }
            return status;
        },
        [&] { copyLastErrorText(pErrorDescription); });
    // An unreachable relay is no failure of this call: the description says why.
    return status == ERR_DEVICE_NOT_CONNECTED ? STATUS_NOERROR : status;
}

}  // extern "C"
