// The fourteen SAE J2534-1 (04.04) functions that Pellith exports. Tests and
// tools include this only for the prototypes; they load the DLL at run time.
#pragma once

#include <cstdint>

#include "J2534.h"

extern "C" {

std::int32_t __stdcall PassThruOpen(void* pName, std::uint32_t* pDeviceID);
std::int32_t __stdcall PassThruClose(std::uint32_t DeviceID);
std::int32_t __stdcall PassThruConnect(std::uint32_t DeviceID, std::uint32_t ProtocolID, std::uint32_t Flags,
                                       std::uint32_t BaudRate, std::uint32_t* pChannelID);
std::int32_t __stdcall PassThruDisconnect(std::uint32_t ChannelID);
std::int32_t __stdcall PassThruReadMsgs(std::uint32_t ChannelID, qel::PASSTHRU_MSG* pMsg, std::uint32_t* pNumMsgs,
                                        std::uint32_t Timeout);
std::int32_t __stdcall PassThruWriteMsgs(std::uint32_t ChannelID, qel::PASSTHRU_MSG* pMsg, std::uint32_t* pNumMsgs,
                                         std::uint32_t Timeout);
std::int32_t __stdcall PassThruStartPeriodicMsg(std::uint32_t ChannelID, qel::PASSTHRU_MSG* pMsg,
                                                std::uint32_t* pMsgID, std::uint32_t TimeInterval);
std::int32_t __stdcall PassThruStopPeriodicMsg(std::uint32_t ChannelID, std::uint32_t MsgID);
std::int32_t __stdcall PassThruStartMsgFilter(std::uint32_t ChannelID, std::uint32_t FilterType,
                                              qel::PASSTHRU_MSG* pMaskMsg, qel::PASSTHRU_MSG* pPatternMsg,
                                              qel::PASSTHRU_MSG* pFlowControlMsg, std::uint32_t* pFilterID);
std::int32_t __stdcall PassThruStopMsgFilter(std::uint32_t ChannelID, std::uint32_t FilterID);
std::int32_t __stdcall PassThruSetProgrammingVoltage(std::uint32_t DeviceID, std::uint32_t PinNumber,
                                                     std::uint32_t Voltage);
std::int32_t __stdcall PassThruReadVersion(std::uint32_t DeviceID, char* pFirmwareVersion, char* pDllVersion,
                                           char* pApiVersion);
std::int32_t __stdcall PassThruGetLastError(char* pErrorDescription);
std::int32_t __stdcall PassThruIoctl(std::uint32_t ChannelID, std::uint32_t IoctlID, void* pInput, void* pOutput);

}
