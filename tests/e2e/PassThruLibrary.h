// A pass-thru library loaded by path and its fourteen SAE J2534-1 04.04
// entry points found by name, the way a diagnostic application binds to the
// driver of the interface it was told to use.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "J2534.h"

namespace qel {

struct PassThruApi {
    std::int32_t(__stdcall* PassThruOpen)(void* pName, std::uint32_t* pDeviceID);
    std::int32_t(__stdcall* PassThruClose)(std::uint32_t DeviceID);
    std::int32_t(__stdcall* PassThruConnect)(std::uint32_t DeviceID, std::uint32_t ProtocolID, std::uint32_t Flags,
                                             std::uint32_t BaudRate, std::uint32_t* pChannelID);
    std::int32_t(__stdcall* PassThruDisconnect)(std::uint32_t ChannelID);
    std::int32_t(__stdcall* PassThruReadMsgs)(std::uint32_t ChannelID, PASSTHRU_MSG* pMsg, std::uint32_t* pNumMsgs,
                                              std::uint32_t Timeout);
    std::int32_t(__stdcall* PassThruWriteMsgs)(std::uint32_t ChannelID, PASSTHRU_MSG* pMsg, std::uint32_t* pNumMsgs,
                                               std::uint32_t Timeout);
    std::int32_t(__stdcall* PassThruStartPeriodicMsg)(std::uint32_t ChannelID, PASSTHRU_MSG* pMsg,
                                                      std::uint32_t* pMsgID, std::uint32_t TimeInterval);
    std::int32_t(__stdcall* PassThruStopPeriodicMsg)(std::uint32_t ChannelID, std::uint32_t MsgID);
    std::int32_t(__stdcall* PassThruStartMsgFilter)(std::uint32_t ChannelID, std::uint32_t FilterType,
                                                    PASSTHRU_MSG* pMaskMsg, PASSTHRU_MSG* pPatternMsg,
                                                    PASSTHRU_MSG* pFlowControlMsg, std::uint32_t* pFilterID);
    std::int32_t(__stdcall* PassThruStopMsgFilter)(std::uint32_t ChannelID, std::uint32_t FilterID);
    std::int32_t(__stdcall* PassThruSetProgrammingVoltage)(std::uint32_t DeviceID, std::uint32_t PinNumber,
                                                           std::uint32_t Voltage);
    std::int32_t(__stdcall* PassThruReadVersion)(std::uint32_t DeviceID, char* pFirmwareVersion, char* pDllVersion,
                                                 char* pApiVersion);
    std::int32_t(__stdcall* PassThruGetLastError)(char* pErrorDescription);
    std::int32_t(__stdcall* PassThruIoctl)(std::uint32_t ChannelID, std::uint32_t IoctlID, void* pInput,
                                           void* pOutput);
};

class PassThruLibrary {
public:
    // Throws std::runtime_error naming the path or the first missing export.
    explicit PassThruLibrary(const std::wstring& path);
    ~PassThruLibrary();
    PassThruLibrary(const PassThruLibrary&) = delete;
    PassThruLibrary& operator=(const PassThruLibrary&) = delete;

    const PassThruApi& api() const { return api_; }

private:
    HMODULE module_;
    PassThruApi api_{};
};

// A message of the given protocol whose Data holds `bytes`.
PASSTHRU_MSG makeMessage(std::uint32_t protocolId, std::initializer_list<std::uint8_t> bytes,
                         std::uint32_t txFlags = 0);

// "07 E0 02 10 03", at most `limit` bytes followed by "..." when longer.
std::string hexBytes(const std::uint8_t* data, std::uint32_t count, std::uint32_t limit = 16);

}  // namespace qel
