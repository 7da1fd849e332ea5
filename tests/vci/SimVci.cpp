// Simulated VCI: a small SAE J2534-1 04.04 pass-thru library without hardware,
// for building and testing Quorvane and the whole road from Pellith to a VCI.
//
// Behaviour
// - One device at a time: PassThruOpen (any name, null included) hands out a
//   device id; a second Open before Close gives ERR_DEVICE_IN_USE.
// - Ids of devices, channels, filters and periodic messages come from one
//   counter starting at 1, so an id of the wrong kind is refused with the
//   standard code (ERR_INVALID_DEVICE_ID, ERR_INVALID_CHANNEL_ID,
//   ERR_INVALID_FILTER_ID, ERR_INVALID_MSG_ID).
// - Connect takes protocols 1 to 10, one channel per protocol, BaudRate > 0.
// - Loopback: every message written to a channel, and every periodic message
//   when it falls due, comes back on ReadMsgs with RxStatus TX_MSG_TYPE and a
//   timestamp in microseconds since Open, as long as the channel's LOOPBACK
//   parameter is 1 (this simulation's default, since it has no bus). At most
//   2048 messages wait per channel; further ones are dropped and the next read
//   that delivers messages returns ERR_BUFFER_OVERFLOW.
// - Message sizes: CAN 4 to 12 bytes, ISO15765 4 to 4099, other protocols 1
//   to 4128; ProtocolID must be the channel's.
// - ReadMsgs returns what is queued at once; with nothing queued it waits up
//   to its Timeout, then answers ERR_BUFFER_EMPTY (Timeout 0) or ERR_TIMEOUT,
//   with *pNumMsgs 0.
// - IOCTL: GET_CONFIG/SET_CONFIG keep parameters 1 to 0x25 per channel
//   (DATA_RATE is the baud rate, LOOPBACK 1, the others 0 until set);
//   READ_VBATT answers 12600 mV and READ_PROG_VOLTAGE the last voltage set
//   (both take a device or a channel id); FIVE_BAUD_INIT answers the key bytes
//   08 08; FAST_INIT answers C1 EF 8F; the CLEAR_ ids empty what they name.
// - ReadVersion: "SimVci firmware 1.2.0", "SimVci library 1.2.0", "04.04".
// - GetLastError describes the last failed call; empty before any failure.
//
// Control, for tests that load this library into their own process (the
// declarations are in SimVciControl.h):
// - SimVciReset(): forget every device, channel and message, remove the hook,
//   the wait limit and the read failure, restart the ids at 1, clear the error text.
// - SimVciSetHook(hook, context): the hook sees every call first, with its
//   arguments, and may answer it with a status of its own (after writing any
//   out-values through the pointers it was given).
// - SimVciSetReadWaitLimit(ms): ReadMsgs waits at most ms, whatever its Timeout.
// - SimVciSetReadFailure(status): ReadMsgs answers every call with status
//   (0 ends this) and, like a careless vendor, touches neither *pNumMsgs nor
//   the records.
//
// Environment, read when the library is attached, for the GUI tests and the
// whole road, where the library runs inside Quorvane:
// - QEL_SIMVCI_TRACE: a file to which every export appends "<name> begins"
//   and "<name> returns", and the library "attach", "detach (FreeLibrary)" or
//   "detach (process exit)".
// - QEL_SIMVCI_REFUSE_OPEN=<count>: the next <count> Opens answer
//   ERR_DEVICE_NOT_CONNECTED, as with the interface unplugged (SimVciReset
//   leaves the count alone).
//
// Variants from this source, differing only in their export lists:
// SimVci.dll (everything), SimVciNoIoctl.dll (no PassThruIoctl),
// SimVciNoConnect.dll (neither PassThruConnect nor PassThruIoctl),
// SimVciRequiredOnly.dll (only the seven required functions).
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>

#include "J2534.h"
#include "Limits.h"
#include "SimVciControl.h"

using qel::PASSTHRU_MSG;
using qel::SBYTE_ARRAY;
using qel::SCONFIG_LIST;

namespace {

constexpr std::size_t RX_QUEUE_LIMIT = 2048;
constexpr std::size_t FILTER_LIMIT = 10;
constexpr std::size_t PERIODIC_LIMIT = 10;
constexpr std::uint32_t LAST_CONFIG_PARAMETER = 0x25;
constexpr std::uint32_t BATTERY_MILLIVOLTS = 12600;
constexpr std::uint32_t VOLTAGE_OFF = 0xFFFFFFFF;
constexpr std::uint32_t SHORT_TO_GROUND = 0xFFFFFFFE;
constexpr int CATCH_UP_LIMIT = 16;

struct Periodic {
    PASSTHRU_MSG message;
    std::uint32_t interval;
    ULONGLONG nextDue;
};

struct Channel {
    std::uint32_t device;
    std::uint32_t protocol;
    std::map<std::uint32_t, std::uint32_t> config;
    std::deque<PASSTHRU_MSG> rx;
    bool overflowed = false;
    std::map<std::uint32_t, std::uint32_t> filters;  // id -> filter type
    std::map<std::uint32_t, Periodic> periodics;
};

struct State {
    std::uint32_t nextId = 1;
    std::uint32_t device = 0;  // 0: no device open
    LARGE_INTEGER openedAt{};
    std::uint32_t programmingVoltage = 0;
    std::map<std::uint32_t, Channel> channels;
    std::string lastError;
    SimVciHook hook = nullptr;
    void* hookContext = nullptr;
    std::uint32_t readWaitLimit = 0xFFFFFFFF;
    std::int32_t readFailure = 0;
};

std::mutex g_mutex;
State g_state;
unsigned long g_opensToRefuse = 0;  // under g_mutex after the attach

long fail(long status, const char* function, const char* what) {
    g_state.lastError = std::string(function) + ": " + what;
    return status;
}

bool hooked(const char* function, std::initializer_list<std::uintptr_t> args, long& status) {
    SimVciHook hook;
    void* context;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        hook = g_state.hook;
        context = g_state.hookContext;
    }
    std::int32_t forced = 0;
    if (hook != nullptr && hook(context, function, args.begin(), &forced) != 0) {
        status = forced;
        return true;
    }
    return false;
}

template <typename T>
std::uintptr_t arg(T value) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<std::uintptr_t>(value);
    } else {
        return static_cast<std::uintptr_t>(value);
    }
}

std::uint32_t microsecondsSinceOpen() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<std::uint32_t>((now.QuadPart - g_state.openedAt.QuadPart) * 1000000 / frequency.QuadPart);
}

Channel* findChannel(std::uint32_t id) {
    const auto found = g_state.channels.find(id);
    return found == g_state.channels.end() ? nullptr : &found->second;
}

std::uint32_t configValue(const Channel& channel, std::uint32_t parameter) {
    const auto found = channel.config.find(parameter);
    return found == channel.config.end() ? 0 : found->second;
}

void loopBack(Channel& channel, const PASSTHRU_MSG& sent, std::uint32_t timestamp) {
    if (configValue(channel, qel::LOOPBACK) == 0) {
        return;
    }
    if (channel.rx.size() >= RX_QUEUE_LIMIT) {
        channel.overflowed = true;
        return;
    }
    PASSTHRU_MSG& echo = channel.rx.emplace_back(sent);
    echo.RxStatus = qel::TX_MSG_TYPE;
    echo.Timestamp = timestamp;
    echo.ExtraDataIndex = echo.DataSize;
}

void emitDuePeriodics(Channel& channel) {
    const ULONGLONG now = GetTickCount64();
    for (auto& [id, periodic] : channel.periodics) {
        for (int i = 0; periodic.nextDue <= now; ++i) {
            if (i == CATCH_UP_LIMIT) {
                periodic.nextDue = now + periodic.interval;
                break;
            }
            loopBack(channel, periodic.message, microsecondsSinceOpen());
            periodic.nextDue += periodic.interval;
        }
    }
}

// Checks one message against the channel it is sent on; returns 0 or the status.
long checkMessage(const Channel& channel, const PASSTHRU_MSG& message, const char* function) {
    if (message.ProtocolID != channel.protocol) {
        return fail(qel::ERR_MSG_PROTOCOL_ID, function, "ProtocolID differs from the channel's protocol");
    }
    std::uint32_t smallest = 1;
    std::uint32_t largest = qel::MAX_MESSAGE_DATA;
    if (channel.protocol == qel::CAN) {
        smallest = 4;
        largest = 12;
    } else if (channel.protocol == qel::ISO15765) {
        smallest = 4;
        largest = 4099;
    }
    if (message.DataSize < smallest || message.DataSize > largest) {
        return fail(qel::ERR_INVALID_MSG, function, "DataSize out of range for the protocol");
    }
    return qel::STATUS_NOERROR;
}

bool knownDevice(std::uint32_t id) { return g_state.device != 0 && id == g_state.device; }

void copyText(char* target, const char* text) { std::snprintf(target, 80, "%s", text); }

long ioctlConfig(Channel& channel, std::uint32_t ioctlId, SCONFIG_LIST* list) {
    const char* function = "PassThruIoctl";
    if (list == nullptr || (list->NumOfParams > 0 && list->ConfigPtr == nullptr)) {
        return fail(qel::ERR_NULL_PARAMETER, function, "parameter list missing");
    }
    for (std::uint32_t i = 0; i < list->NumOfParams; ++i) {
        qel::SCONFIG& pair = list->ConfigPtr[i];
        if (pair.Parameter == 0 || pair.Parameter > LAST_CONFIG_PARAMETER) {
            return fail(qel::ERR_NOT_SUPPORTED, function, "unsupported configuration parameter");
        }
        if (ioctlId == qel::GET_CONFIG) {
            pair.Value = configValue(channel, pair.Parameter);
        } else {
            channel.config[pair.Parameter] = pair.Value;
        }
    }
    return qel::STATUS_NOERROR;
}

// The file that QEL_SIMVCI_TRACE names when the library is attached, for
// tests that cannot load the library themselves: the road and the GUI tests
// see in it when the library came and went and which calls returned.
wchar_t g_tracePath[MAX_PATH] = {};

// Kernel32 only, and one write a line: it is also called under the loader
// lock, and the process may end at any moment.
void trace(const char* function, const char* event) {
    if (g_tracePath[0] == 0) return;
    char line[128];
    const int length = std::snprintf(line, sizeof line, "%s%s%s\n", function, *function ? " " : "", event);
    HANDLE file = CreateFileW(g_tracePath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line, static_cast<DWORD>(std::min<int>(length, sizeof line - 1)), &written, nullptr);
    CloseHandle(file);
}

class CallTrace {
public:
    explicit CallTrace(const char* function) : function(function) { trace(function, "begins"); }
    ~CallTrace() { trace(function, "returns"); }
    CallTrace(const CallTrace&) = delete;
    CallTrace& operator=(const CallTrace&) = delete;

private:
    const char* function;
};

}  // namespace

extern "C" {

long __stdcall PassThruOpen(void* pName, std::uint32_t* pDeviceID) {
    const CallTrace trace("PassThruOpen");
    long status;
    if (hooked("PassThruOpen", {arg(pName), arg(pDeviceID)}, status)) return status;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (pDeviceID == nullptr) return fail(qel::ERR_NULL_PARAMETER, "PassThruOpen", "pDeviceID is null");
    if (g_opensToRefuse > 0) {
        --g_opensToRefuse;
        return fail(qel::ERR_DEVICE_NOT_CONNECTED, "PassThruOpen", "the interface is not connected");
    }
    if (g_state.device != 0) return fail(qel::ERR_DEVICE_IN_USE, "PassThruOpen", "the device is already open");
    g_state.device = g_state.nextId++;
    g_state.programmingVoltage = 0;
    QueryPerformanceCounter(&g_state.openedAt);
    *pDeviceID = g_state.device;
    return qel::STATUS_NOERROR;
}

long __stdcall PassThruClose(std::uint32_t DeviceID) {
    const CallTrace trace("PassThruClose");
    long status;
    if (hooked("PassThruClose", {arg(DeviceID)}, status)) return status;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!knownDevice(DeviceID)) return fail(qel::ERR_INVALID_DEVICE_ID, "PassThruClose", "unknown DeviceID");
    g_state.channels.clear();
    g_state.device = 0;
    return qel::STATUS_NOERROR;
}

long __stdcall PassThruConnect(std::uint32_t DeviceID, std::uint32_t ProtocolID, std::uint32_t Flags,
                               std::uint32_t BaudRate, std::uint32_t* pChannelID) {
    const CallTrace trace("PassThruConnect");
    long status;
    if (hooked("PassThruConnect", {arg(DeviceID), arg(ProtocolID), arg(Flags), arg(BaudRate), arg(pChannelID)},
               status)) {
        return status;
    }
    const char* function = "PassThruConnect";
    std::lock_guard<std::mutex> lock(g_mutex);
    if (pChannelID == nullptr) return fail(qel::ERR_NULL_PARAMETER, function, "pChannelID is null");
    if (!knownDevice(DeviceID)) return fail(qel::ERR_INVALID_DEVICE_ID, function, "unknown DeviceID");
    if (ProtocolID < qel::J1850VPW || ProtocolID > qel::SCI_B_TRANS) {
        return fail(qel::ERR_INVALID_PROTOCOL_ID, function, "unknown ProtocolID");
    }
    if (BaudRate == 0) return fail(qel::ERR_INVALID_BAUDRATE, function, "BaudRate is 0");
    for (const auto& [id, channel] : g_state.channels) {
        if (channel.protocol == ProtocolID) {
            return fail(qel::ERR_CHANNEL_IN_USE, function, "the protocol is already connected");
        }
    }
    const std::uint32_t id = g_state.nextId++;
    Channel& channel = g_state.channels[id];
    channel.device = DeviceID;
    channel.protocol = ProtocolID;
    channel.config[qel::DATA_RATE] = BaudRate;
    channel.config[qel::LOOPBACK] = 1;
    *pChannelID = id;
    return qel::STATUS_NOERROR;
}

long __stdcall PassThruDisconnect(std::uint32_t ChannelID) {
    const CallTrace trace("PassThruDisconnect");
    long status;
    if (hooked("PassThruDisconnect", {arg(ChannelID)}, status)) return status;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_state.channels.erase(ChannelID) == 0) {
        return fail(qel::ERR_INVALID_CHANNEL_ID, "PassThruDisconnect", "unknown ChannelID");
    }
    return qel::STATUS_NOERROR;
}

long __stdcall PassThruReadMsgs(std::uint32_t ChannelID, PASSTHRU_MSG* pMsg, std::uint32_t* pNumMsgs,
                                std::uint32_t Timeout) {
    const CallTrace trace("PassThruReadMsgs");
    long status;
    if (hooked("PassThruReadMsgs", {arg(ChannelID), arg(pMsg), arg(pNumMsgs), arg(Timeout)}, status)) return status;
    const char* function = "PassThruReadMsgs";
    ULONGLONG deadline;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_state.readFailure != 0) return fail(g_state.readFailure, function, "failing as told");
        deadline = GetTickCount64() + std::min(Timeout, g_state.readWaitLimit);
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            if (pMsg == nullptr || pNumMsgs == nullptr) {
                return fail(qel::ERR_NULL_PARAMETER, function, "pMsg or pNumMsgs is null");
            }
            Channel* channel = findChannel(ChannelID);
            if (channel == nullptr) {
                *pNumMsgs = 0;
                return fail(qel::ERR_INVALID_CHANNEL_ID, function, "unknown ChannelID");
            }
            emitDuePeriodics(*channel);
            if (!channel->rx.empty()) {
                const std::uint32_t count =
                    static_cast<std::uint32_t>(std::min<std::size_t>(*pNumMsgs, channel->rx.size()));
                std::copy_n(channel->rx.begin(), count, pMsg);
                channel->rx.erase(channel->rx.begin(), channel->rx.begin() + count);
                *pNumMsgs = count;
                if (channel->overflowed) {
                    channel->overflowed = false;
                    return fail(qel::ERR_BUFFER_OVERFLOW, function, "receive queue overflowed, messages lost");
                }
                return qel::STATUS_NOERROR;
            }
            if (GetTickCount64() >= deadline) {
                *pNumMsgs = 0;
                if (Timeout == 0) return fail(qel::ERR_BUFFER_EMPTY, function, "no message received");
                return fail(qel::ERR_TIMEOUT, function, "no message within Timeout");
            }
        }
        Sleep(1);
    }
}

long __stdcall PassThruWriteMsgs(std::uint32_t ChannelID, PASSTHRU_MSG* pMsg, std::uint32_t* pNumMsgs,
                                 std::uint32_t Timeout) {
    const CallTrace trace("PassThruWriteMsgs");
    long status;
    if (hooked("PassThruWriteMsgs", {arg(ChannelID), arg(pMsg), arg(pNumMsgs), arg(Timeout)}, status)) {
        return status;
    }
    const char* function = "PassThruWriteMsgs";
    std::lock_guard<std::mutex> lock(g_mutex);
    if (pNumMsgs == nullptr || (pMsg == nullptr && *pNumMsgs > 0)) {
        return fail(qel::ERR_NULL_PARAMETER, function, "pMsg or pNumMsgs is null");
    }
    Channel* channel = findChannel(ChannelID);
    if (channel == nullptr) {
        *pNumMsgs = 0;
        return fail(qel::ERR_INVALID_CHANNEL_ID, function, "unknown ChannelID");
    }
    const std::uint32_t wanted = *pNumMsgs;
    for (std::uint32_t i = 0; i < wanted; ++i) {
        const long checked = checkMessage(*channel, pMsg[i], function);
        if (checked != qel::STATUS_NOERROR) {
            *pNumMsgs = i;
            return checked;
        }
        loopBack(*channel, pMsg[i], microsecondsSinceOpen());
    }
    return qel::STATUS_NOERROR;
}

long __stdcall PassThruStartPeriodicMsg(std::uint32_t ChannelID, PASSTHRU_MSG* pMsg, std::uint32_t* pMsgID,
                                        std::uint32_t TimeInterval) {
    const CallTrace trace("PassThruStartPeriodicMsg");
    long status;
    if (hooked("PassThruStartPeriodicMsg", {arg(ChannelID), arg(pMsg), arg(pMsgID), arg(TimeInterval)}, status)) {
        return status;
    }
    const char* function = "PassThruStartPeriodicMsg";
    std::lock_guard<std::mutex> lock(g_mutex);
    if (pMsg == nullptr || pMsgID == nullptr) return fail(qel::ERR_NULL_PARAMETER, function, "pMsg or pMsgID is null");
    Channel* channel = findChannel(ChannelID);
    if (channel == nullptr) return fail(qel::ERR_INVALID_CHANNEL_ID, function, "unknown ChannelID");
    const long checked = checkMessage(*channel, *pMsg, function);
    if (checked != qel::STATUS_NOERROR) return checked;
    if (TimeInterval < 5 || TimeInterval > 65535) {
        return fail(qel::ERR_INVALID_TIME_INTERVAL, function, "TimeInterval outside 5 to 65535 ms");
    }
    if (channel->periodics.size() >= PERIODIC_LIMIT) {
        return fail(qel::ERR_EXCEEDED_LIMIT, function, "too many periodic messages");
    }
    const std::uint32_t id = g_state.nextId++;
    channel->periodics[id] = Periodic{*pMsg, TimeInterval, GetTickCount64() + TimeInterval};
    *pMsgID = id;
    return qel::STATUS_NOERROR;
}

long __stdcall PassThruStopPeriodicMsg(std::uint32_t ChannelID, std::uint32_t MsgID) {
    const CallTrace trace("PassThruStopPeriodicMsg");
    long status;
    if (hooked("PassThruStopPeriodicMsg", {arg(ChannelID), arg(MsgID)}, status)) return status;
    const char* function = "PassThruStopPeriodicMsg";
    std::lock_guard<std::mutex> lock(g_mutex);
    Channel* channel = findChannel(ChannelID);
    if (channel == nullptr) return fail(qel::ERR_INVALID_CHANNEL_ID, function, "unknown ChannelID");
    if (channel->periodics.erase(MsgID) == 0) return fail(qel::ERR_INVALID_MSG_ID, function, "unknown MsgID");
    return qel::STATUS_NOERROR;
}

long __stdcall PassThruStartMsgFilter(std::uint32_t ChannelID, std::uint32_t FilterType, PASSTHRU_MSG* pMaskMsg,
                                      PASSTHRU_MSG* pPatternMsg, PASSTHRU_MSG* pFlowControlMsg,
                                      std::uint32_t* pFilterID) {
    const CallTrace trace("PassThruStartMsgFilter");
    long status;
    if (hooked("PassThruStartMsgFilter",
               {arg(ChannelID), arg(FilterType), arg(pMaskMsg), arg(pPatternMsg), arg(pFlowControlMsg),
                arg(pFilterID)},
               status)) {
        return status;
    }
    const char* function = "PassThruStartMsgFilter";
    std::lock_guard<std::mutex> lock(g_mutex);
    if (pFilterID == nullptr || pMaskMsg == nullptr || pPatternMsg == nullptr) {
        return fail(qel::ERR_NULL_PARAMETER, function, "pMaskMsg, pPatternMsg or pFilterID is null");
    }
    Channel* channel = findChannel(ChannelID);
    if (channel == nullptr) return fail(qel::ERR_INVALID_CHANNEL_ID, function, "unknown ChannelID");
    if (FilterType < qel::PASS_FILTER || FilterType > qel::FLOW_CONTROL_FILTER) {
        return fail(qel::ERR_FAILED, function, "unknown FilterType");
    }
    if (FilterType == qel::FLOW_CONTROL_FILTER) {
        if (channel->protocol != qel::ISO15765) {
            return fail(qel::ERR_FAILED, function, "flow control filters need ISO15765");
        }
        if (pFlowControlMsg == nullptr) return fail(qel::ERR_NULL_PARAMETER, function, "pFlowControlMsg is null");
    } else if (pFlowControlMsg != nullptr) {
        return fail(qel::ERR_INVALID_MSG, function, "pFlowControlMsg must be null for this FilterType");
    }
    if (pMaskMsg->DataSize != pPatternMsg->DataSize || pMaskMsg->DataSize == 0 ||
        pMaskMsg->DataSize > 12) {
        return fail(qel::ERR_INVALID_MSG, function, "mask and pattern must have the same DataSize of 1 to 12");
    }
    if (channel->filters.size() >= FILTER_LIMIT) return fail(qel::ERR_EXCEEDED_LIMIT, function, "too many filters");
    const std::uint32_t id = g_state.nextId++;
    channel->filters[id] = FilterType;
    *pFilterID = id;
    return qel::STATUS_NOERROR;
}

long __stdcall PassThruStopMsgFilter(std::uint32_t ChannelID, std::uint32_t FilterID) {
    const CallTrace trace("PassThruStopMsgFilter");
    long status;
    if (hooked("PassThruStopMsgFilter", {arg(ChannelID), arg(FilterID)}, status)) return status;
    const char* function = "PassThruStopMsgFilter";
    std::lock_guard<std::mutex> lock(g_mutex);
    Channel* channel = findChannel(ChannelID);
    if (channel == nullptr) return fail(qel::ERR_INVALID_CHANNEL_ID, function, "unknown ChannelID");
    if (channel->filters.erase(FilterID) == 0) return fail(qel::ERR_INVALID_FILTER_ID, function, "unknown FilterID");
    return qel::STATUS_NOERROR;
}

long __stdcall PassThruSetProgrammingVoltage(std::uint32_t DeviceID, std::uint32_t PinNumber, std::uint32_t Voltage) {
    const CallTrace trace("PassThruSetProgrammingVoltage");
    long status;
    if (hooked("PassThruSetProgrammingVoltage", {arg(DeviceID), arg(PinNumber), arg(Voltage)}, status)) {
        return status;
    }
    const char* function = "PassThruSetProgrammingVoltage";
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!knownDevice(DeviceID)) return fail(qel::ERR_INVALID_DEVICE_ID, function, "unknown DeviceID");
    static constexpr std::uint32_t pins[] = {0, 6, 9, 11, 12, 13, 14, 15};
    if (std::find(std::begin(pins), std::end(pins), PinNumber) == std::end(pins)) {
        return fail(qel::ERR_PIN_INVALID, function, "PinNumber cannot carry a programming voltage");
    }
    const bool inRange = Voltage >= 5000 && Voltage <= 20000;
    if (!inRange && Voltage != VOLTAGE_OFF && !(Voltage == SHORT_TO_GROUND && PinNumber == 15)) {
        return fail(qel::ERR_EXCEEDED_LIMIT, function, "Voltage outside 5000 to 20000 mV");
    }
    g_state.programmingVoltage = inRange ? Voltage : 0;
    return qel::STATUS_NOERROR;
}

long __stdcall PassThruReadVersion(std::uint32_t DeviceID, char* pFirmwareVersion, char* pDllVersion,
                                   char* pApiVersion) {
    const CallTrace trace("PassThruReadVersion");
    long status;
    if (hooked("PassThruReadVersion", {arg(DeviceID), arg(pFirmwareVersion), arg(pDllVersion), arg(pApiVersion)},
               status)) {
        return status;
    }
    const char* function = "PassThruReadVersion";
    std::lock_guard<std::mutex> lock(g_mutex);
    if (pFirmwareVersion == nullptr || pDllVersion == nullptr || pApiVersion == nullptr) {
        return fail(qel::ERR_NULL_PARAMETER, function, "a version buffer is null");
    }
    if (!knownDevice(DeviceID)) return fail(qel::ERR_INVALID_DEVICE_ID, function, "unknown DeviceID");
    copyText(pFirmwareVersion, "SimVci firmware 1.2.0");
    copyText(pDllVersion, "SimVci library 1.2.0");
    copyText(pApiVersion, "04.04");
    return qel::STATUS_NOERROR;
}

long __stdcall PassThruGetLastError(char* pErrorDescription) {
    const CallTrace trace("PassThruGetLastError");
    long status;
    if (hooked("PassThruGetLastError", {arg(pErrorDescription)}, status)) return status;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (pErrorDescription == nullptr) return qel::ERR_NULL_PARAMETER;
    copyText(pErrorDescription, g_state.lastError.c_str());
    return qel::STATUS_NOERROR;
}

long __stdcall PassThruIoctl(std::uint32_t ChannelID, std::uint32_t IoctlID, void* pInput, void* pOutput) {
    const CallTrace trace("PassThruIoctl");
    long status;
    if (hooked("PassThruIoctl", {arg(ChannelID), arg(IoctlID), arg(pInput), arg(pOutput)}, status)) return status;
    const char* function = "PassThruIoctl";
    std::lock_guard<std::mutex> lock(g_mutex);
    if (IoctlID == qel::READ_VBATT || IoctlID == qel::READ_PROG_VOLTAGE) {
        if (!knownDevice(ChannelID) && findChannel(ChannelID) == nullptr) {
            return fail(qel::ERR_INVALID_DEVICE_ID, function, "unknown DeviceID");
        }
        if (pOutput == nullptr) return fail(qel::ERR_NULL_PARAMETER, function, "pOutput is null");
        *static_cast<std::uint32_t*>(pOutput) =
            IoctlID == qel::READ_VBATT ? BATTERY_MILLIVOLTS : g_state.programmingVoltage;
        return qel::STATUS_NOERROR;
    }
    Channel* channel = findChannel(ChannelID);
    if (channel == nullptr) return fail(qel::ERR_INVALID_CHANNEL_ID, function, "unknown ChannelID");
    switch (IoctlID) {
    case qel::GET_CONFIG:
    case qel::SET_CONFIG: return ioctlConfig(*channel, IoctlID, static_cast<SCONFIG_LIST*>(pInput));
    case qel::FIVE_BAUD_INIT: {
        auto* in = static_cast<SBYTE_ARRAY*>(pInput);
        auto* out = static_cast<SBYTE_ARRAY*>(pOutput);
        if (in == nullptr || out == nullptr || out->BytePtr == nullptr) {
            return fail(qel::ERR_NULL_PARAMETER, function, "input or output array missing");
        }
        if (channel->protocol != qel::ISO9141 && channel->protocol != qel::ISO14230) {
            return fail(qel::ERR_INVALID_IOCTL_ID, function, "FIVE_BAUD_INIT needs ISO9141 or ISO14230");
        }
        if (in->NumOfBytes != 1 || out->NumOfBytes < 2) {
            return fail(qel::ERR_INVALID_MSG, function, "FIVE_BAUD_INIT takes 1 byte and answers 2");
        }
        out->BytePtr[0] = 0x08;
        out->BytePtr[1] = 0x08;
        out->NumOfBytes = 2;
        return qel::STATUS_NOERROR;
    }
    case qel::FAST_INIT: {
        auto* in = static_cast<PASSTHRU_MSG*>(pInput);
        auto* out = static_cast<PASSTHRU_MSG*>(pOutput);
        if (in == nullptr || out == nullptr) return fail(qel::ERR_NULL_PARAMETER, function, "message missing");
        if (channel->protocol != qel::ISO14230) {
            return fail(qel::ERR_INVALID_IOCTL_ID, function, "FAST_INIT needs ISO14230");
        }
        *out = PASSTHRU_MSG{};
        out->ProtocolID = channel->protocol;
        out->Timestamp = microsecondsSinceOpen();
        out->DataSize = 3;
        out->ExtraDataIndex = 3;
        out->Data[0] = 0xC1;
        out->Data[1] = 0xEF;
        out->Data[2] = 0x8F;
        return qel::STATUS_NOERROR;
    }
    case qel::CLEAR_TX_BUFFER: return qel::STATUS_NOERROR;
    case qel::CLEAR_RX_BUFFER:
        channel->rx.clear();
        channel->overflowed = false;
        return qel::STATUS_NOERROR;
    case qel::CLEAR_PERIODIC_MSGS: channel->periodics.clear(); return qel::STATUS_NOERROR;
    case qel::CLEAR_MSG_FILTERS: channel->filters.clear(); return qel::STATUS_NOERROR;
    case qel::CLEAR_FUNCT_MSG_LOOKUP_TABLE:
    case qel::ADD_TO_FUNCT_MSG_LOOKUP_TABLE:
    case qel::DELETE_FROM_FUNCT_MSG_LOOKUP_TABLE:
        if (channel->protocol != qel::J1850PWM) {
            return fail(qel::ERR_INVALID_IOCTL_ID, function, "lookup tables need J1850PWM");
        }
        return qel::STATUS_NOERROR;
    default: return fail(qel::ERR_INVALID_IOCTL_ID, function, "unknown IoctlID");
    }
}

void __stdcall SimVciReset() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state = State{};
}

void __stdcall SimVciSetHook(SimVciHook hook, void* context) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state.hook = hook;
    g_state.hookContext = context;
}

void __stdcall SimVciSetReadWaitLimit(std::uint32_t milliseconds) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state.readWaitLimit = milliseconds;
}

void __stdcall SimVciSetReadFailure(std::int32_t status) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state.readFailure = status;
}

}  // extern "C"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        const DWORD length = GetEnvironmentVariableW(L"QEL_SIMVCI_TRACE", g_tracePath, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) g_tracePath[0] = 0;
        char count[16] = {};
        const DWORD digits = GetEnvironmentVariableA("QEL_SIMVCI_REFUSE_OPEN", count, sizeof count);
        if (digits > 0 && digits < sizeof count) {
            g_opensToRefuse = std::strtoul(count, nullptr, 10);
        }
        trace("", "attach");
    } else if (reason == DLL_PROCESS_DETACH) {
        // Unloaded by FreeLibrary, or left loaded until the process ended.
        trace("", reserved == nullptr ? "detach (FreeLibrary)" : "detach (process exit)");
    }
    return TRUE;
}
