// Quorvane's J2534 executor: turns one request packet into exactly one
// response packet by calling the vendor J2534 library, which the first Open
// request loads. Used by the bridge worker thread, one request at a time; the
// window thread only frees the library of a connection it gave up on, once no
// request can run any more.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "J2534.h"
#include "PacketHeaders.h"
#include "RecentExchanges.h"

namespace qel {

class J2534Executor {
public:
    explicit J2534Executor(std::wstring dllPath);
    ~J2534Executor();
    J2534Executor(const J2534Executor&) = delete;
    J2534Executor& operator=(const J2534Executor&) = delete;

    std::vector<std::uint8_t> execute(const std::vector<std::uint8_t>& request);
    // Frees the vendor library without closing what the tester left open: its
    // devices and channels end with it. The next Open loads it afresh. The
    // replies kept for resends go too: they answer nothing on a fresh load, and
    // a given-up connection may keep its executor for minutes.
    void releaseLibrary();

private:
    using Packet = std::vector<std::uint8_t>;
    using PassThruOpenFn = long(__stdcall*)(void* pName, std::uint32_t* pDeviceID);
    using PassThruCloseFn = long(__stdcall*)(std::uint32_t DeviceID);
    using PassThruConnectFn = long(__stdcall*)(std::uint32_t DeviceID, std::uint32_t ProtocolID, std::uint32_t Flags,
                                               std::uint32_t BaudRate, std::uint32_t* pChannelID);
    using PassThruDisconnectFn = long(__stdcall*)(std::uint32_t ChannelID);
    using PassThruMsgsFn = long(__stdcall*)(std::uint32_t ChannelID, PASSTHRU_MSG* pMsg, std::uint32_t* pNumMsgs,
                                            std::uint32_t Timeout);
    using PassThruStartPeriodicMsgFn = long(__stdcall*)(std::uint32_t ChannelID, PASSTHRU_MSG* pMsg,
                                                        std::uint32_t* pMsgID, std::uint32_t TimeInterval);
    using PassThruStopPeriodicMsgFn = long(__stdcall*)(std::uint32_t ChannelID, std::uint32_t MsgID);
    using PassThruStartMsgFilterFn = long(__stdcall*)(std::uint32_t ChannelID, std::uint32_t FilterType,
                                                      PASSTHRU_MSG* pMaskMsg, PASSTHRU_MSG* pPatternMsg,
                                                      PASSTHRU_MSG* pFlowControlMsg, std::uint32_t* pFilterID);
    using PassThruStopMsgFilterFn = long(__stdcall*)(std::uint32_t ChannelID, std::uint32_t FilterID);
    using PassThruSetProgrammingVoltageFn = long(__stdcall*)(std::uint32_t DeviceID, std::uint32_t PinNumber,
                                                             std::uint32_t Voltage);
    using PassThruReadVersionFn = long(__stdcall*)(std::uint32_t DeviceID, char* pFirmwareVersion, char* pDllVersion,
                                                   char* pApiVersion);
    using PassThruGetLastErrorFn = long(__stdcall*)(char* pErrorDescription);
    using PassThruIoctlFn = long(__stdcall*)(std::uint32_t ChannelID, std::uint32_t IoctlID, void* pInput,
                                             void* pOutput);

    Packet handleOpen(const RequestHeader& header, PacketReader& reader);
    Packet handleClose(const RequestHeader& header, PacketReader& reader);
    Packet handleConnect(const RequestHeader& header, PacketReader& reader);
    Packet handleDisconnect(const RequestHeader& header, PacketReader& reader);
    Packet handleReadMsgs(const RequestHeader& header, PacketReader& reader);
    Packet handleWriteMsgs(const RequestHeader& header, PacketReader& reader);
    Packet handleStartPeriodic(const RequestHeader& header, PacketReader& reader);
    Packet handleStopPeriodic(const RequestHeader& header, PacketReader& reader);
    Packet handleStartFilter(const RequestHeader& header, PacketReader& reader);
    Packet handleStopFilter(const RequestHeader& header, PacketReader& reader);
    Packet handleSetVoltage(const RequestHeader& header, PacketReader& reader);
    Packet handleReadVersion(const RequestHeader& header, PacketReader& reader);
    Packet handleGetLastError(const RequestHeader& header, PacketReader& reader);
    Packet handleIoctl(const RequestHeader& header, PacketReader& reader);

    Packet answer(const Packet& request);
    Packet failureReply(const RequestHeader& header, std::int32_t status, const char* text);
    void ownFailure(std::string text);
    void captureError(std::int32_t status);
    std::string nativeLastError() const;
    void ensureLoaded();
    void unload();

    std::wstring dllPath;
    HMODULE module = nullptr;
    std::string lastError;
    PassThruOpenFn passThruOpen = nullptr;
    PassThruCloseFn passThruClose = nullptr;
    PassThruConnectFn passThruConnect = nullptr;
    PassThruDisconnectFn passThruDisconnect = nullptr;
    PassThruMsgsFn passThruReadMsgs = nullptr;
    PassThruMsgsFn passThruWriteMsgs = nullptr;
    PassThruStartPeriodicMsgFn passThruStartPeriodicMsg = nullptr;
    PassThruStopPeriodicMsgFn passThruStopPeriodicMsg = nullptr;
    PassThruStartMsgFilterFn passThruStartMsgFilter = nullptr;
    PassThruStopMsgFilterFn passThruStopMsgFilter = nullptr;
    PassThruSetProgrammingVoltageFn passThruSetProgrammingVoltage = nullptr;
    PassThruReadVersionFn passThruReadVersion = nullptr;
    PassThruGetLastErrorFn passThruGetLastError = nullptr;
    PassThruIoctlFn passThruIoctl = nullptr;
    // Set when the executor itself failed after the last vendor call: the
    // vendor's description then belongs to an older failure.
    bool lastErrorIsOwn = false;
    RecentExchanges recentExchanges;
};

}  // namespace qel
