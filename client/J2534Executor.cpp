#include "J2534Executor.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

#include "OperationPayloads.h"

namespace qel {

namespace {

constexpr char NOT_LOADED[] = "VCI DLL is not loaded";
constexpr char NO_ERROR_TEXT[] = "No error.";
constexpr std::size_t VERSION_BUFFER_BYTES = 256;
constexpr std::size_t ERROR_BUFFER_BYTES = 1024;

template <typename Fn>
Fn proc(HMODULE library, const char* name, bool required) {
    const FARPROC address = GetProcAddress(library, name);
    if (address == nullptr) {
        if (required) {
            throw std::runtime_error(std::string("Missing J2534 export: ") + name);
        }
        return nullptr;
    }
    // Through the generic function type, which the compiler accepts as a neutral cast.
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address));
}

// A vendor may leave a buffer without its terminating zero: the text then ends with the buffer.
std::string bufferText(const char* buffer, std::size_t size) {
    const auto* end = static_cast<const char*>(std::memchr(buffer, 0, size));
    return std::string(buffer, end == nullptr ? size : static_cast<std::size_t>(end - buffer));
}

struct FreeMemory {
    void operator()(void* block) const { std::free(block); }
};
using MessageArray = std::unique_ptr<PASSTHRU_MSG[], FreeMemory>;

// Zeroed by the system: the fresh pages of a large array are zero already, so
// a ReadMsgs that offers 1024 records pays only for those the vendor fills.
MessageArray zeroedMessages(std::uint32_t count) {
    auto* records = static_cast<PASSTHRU_MSG*>(std::calloc(count, sizeof(PASSTHRU_MSG)));
    if (records == nullptr) {
        throw std::bad_alloc();
    }
    return MessageArray(records);
}

bool headerDecoded(const RequestHeader& header) { return std::memcmp(header.magic, "QEL1", 4) == 0; }

}  // namespace

J2534Executor::J2534Executor(std::wstring path) : dllPath(std::move(path)), lastError(NO_ERROR_TEXT) {}

// Devices and channels that the tester left open are not closed: freeing the
// library ends them.
J2534Executor::~J2534Executor() { unload(); }

// A request identical to one answered lately, id included, is Pellith
// resending it after giving up on the reply: running it again would write its
// messages to the bus twice, leave an orphan periodic message or filter
// behind, or lose the messages the first read took from the vendor's queue.
// Each load of Pellith starts its ids where no other load is likely to, so a
// request of another tester or of a restarted one does not match.
std::vector<std::uint8_t> J2534Executor::execute(const std::vector<std::uint8_t>& request) {
    if (const Packet* stored = recentExchanges.replyTo(request)) {
        return *stored;
    }
    Packet reply = answer(request);
    recentExchanges.keep(request, reply);
    return reply;
}

std::vector<std::uint8_t> J2534Executor::answer(const std::vector<std::uint8_t>& request) {
    RequestHeader header{};
    try {
        PacketReader reader = requestPayload(request, header);
        switch (header.operation) {  // codes 0 and above 15 fall to the default
        case Operation::Open: return handleOpen(header, reader);
        case Operation::Close: return handleClose(header, reader);
        case Operation::Connect: return handleConnect(header, reader);
        case Operation::Disconnect: return handleDisconnect(header, reader);
        case Operation::ReadMsgs: return handleReadMsgs(header, reader);
        case Operation::WriteMsgs: return handleWriteMsgs(header, reader);
        case Operation::StartPeriodic: return handleStartPeriodic(header, reader);
        case Operation::StopPeriodic: return handleStopPeriodic(header, reader);
        case Operation::StartFilter: return handleStartFilter(header, reader);
        case Operation::StopFilter: return handleStopFilter(header, reader);
        case Operation::SetVoltage: return handleSetVoltage(header, reader);
        case Operation::ReadVersion: return handleReadVersion(header, reader);
        case Operation::GetLastError: return handleGetLastError(header, reader);
        case Operation::Ioctl: return handleIoctl(header, reader);
        case Operation::Ping: {
            reader.requireEnd();
            PacketWriter payload;
            payload.text(PING_REPLY_TEXT);
            return buildResponse(header, STATUS_NOERROR, payload);
        }
        default: return failureReply(header, ERR_NOT_SUPPORTED, "Unsupported bridge operation");
        }
    } catch (const std::exception& e) {
        ownFailure(e.what());
        if (!headerDecoded(header)) {
            header = RequestHeader{{'Q', 'E', 'L', '1'}, PROTOCOL_VERSION, Operation::Ping, 0, 0};
        }
        return buildResponse(header, ERR_FAILED, PacketWriter{});
    }
}

std::vector<std::uint8_t> J2534Executor::failureReply(const RequestHeader& header, std::int32_t status,
                                                      const char* text) {
    ownFailure(text);
    return buildResponse(header, status, PacketWriter{});
}

void J2534Executor::ownFailure(std::string text) {
    lastError = std::move(text);
    lastErrorIsOwn = true;
}

void J2534Executor::captureError(std::int32_t status) {
    if (status == STATUS_NOERROR) {
        lastError = NO_ERROR_TEXT;
    } else {
        // A vendor without a description of its failure must not leave the text
        // of an earlier success behind: the status's name is what remains then.
        lastError = statusName(status);
        lastError = nativeLastError();
    }
    lastErrorIsOwn = false;
}

std::string J2534Executor::nativeLastError() const {
    if (passThruGetLastError == nullptr) {
        return lastError;
    }
    char buffer[ERROR_BUFFER_BYTES] = {};
    if (passThruGetLastError(buffer) != STATUS_NOERROR || buffer[0] == 0) {
        return lastError;
    }
    return bufferText(buffer, sizeof buffer);
}

void J2534Executor::ensureLoaded() {
    if (module != nullptr) {
        return;
    }
    module = LoadLibraryW(dllPath.c_str());
    if (module == nullptr) {
        throw std::runtime_error("LoadLibrary failed with Win32 error " + std::to_string(GetLastError()));
    }
    try {
        passThruOpen = proc<PassThruOpenFn>(module, "PassThruOpen", true);
        passThruClose = proc<PassThruCloseFn>(module, "PassThruClose", true);
        passThruConnect = proc<PassThruConnectFn>(module, "PassThruConnect", true);
        passThruDisconnect = proc<PassThruDisconnectFn>(module, "PassThruDisconnect", true);
        passThruReadMsgs = proc<PassThruMsgsFn>(module, "PassThruReadMsgs", true);
        passThruWriteMsgs = proc<PassThruMsgsFn>(module, "PassThruWriteMsgs", true);
        passThruStartPeriodicMsg = proc<PassThruStartPeriodicMsgFn>(module, "PassThruStartPeriodicMsg", false);
        passThruStopPeriodicMsg = proc<PassThruStopPeriodicMsgFn>(module, "PassThruStopPeriodicMsg", false);
        passThruStartMsgFilter = proc<PassThruStartMsgFilterFn>(module, "PassThruStartMsgFilter", false);
        passThruStopMsgFilter = proc<PassThruStopMsgFilterFn>(module, "PassThruStopMsgFilter", false);
        passThruSetProgrammingVoltage =
            proc<PassThruSetProgrammingVoltageFn>(module, "PassThruSetProgrammingVoltage", false);
        passThruReadVersion = proc<PassThruReadVersionFn>(module, "PassThruReadVersion", false);
        passThruGetLastError = proc<PassThruGetLastErrorFn>(module, "PassThruGetLastError", false);
        passThruIoctl = proc<PassThruIoctlFn>(module, "PassThruIoctl", true);
    } catch (...) {
        unload();
        throw;
    }
}

void J2534Executor::releaseLibrary() {
    unload();
    recentExchanges.clear();
}

void J2534Executor::unload() {
    passThruOpen = nullptr;
    passThruClose = nullptr;
    passThruConnect = nullptr;
    passThruDisconnect = nullptr;
    passThruReadMsgs = nullptr;
    passThruWriteMsgs = nullptr;
    passThruStartPeriodicMsg = nullptr;
    passThruStopPeriodicMsg = nullptr;
    passThruStartMsgFilter = nullptr;
    passThruStopMsgFilter = nullptr;
    passThruSetProgrammingVoltage = nullptr;
    passThruReadVersion = nullptr;
    passThruGetLastError = nullptr;
    passThruIoctl = nullptr;
    if (module != nullptr) {
        FreeLibrary(module);
        module = nullptr;
    }
}

std::vector<std::uint8_t> J2534Executor::handleOpen(const RequestHeader& header, PacketReader& reader) {
    reader.requireEnd();
    ensureLoaded();
    std::uint32_t deviceId = 0;
    const std::int32_t status = passThruOpen(nullptr, &deviceId);
    captureError(status);
    PacketWriter payload;
    payload.u32(deviceId);
    return buildResponse(header, status, payload);
}

std::vector<std::uint8_t> J2534Executor::handleClose(const RequestHeader& header, PacketReader& reader) {
    const std::uint32_t deviceId = reader.u32();
    reader.requireEnd();
    if (passThruClose == nullptr) {
        return failureReply(header, ERR_DEVICE_NOT_CONNECTED, NOT_LOADED);
    }
    const std::int32_t status = passThruClose(deviceId);
    captureError(status);
    return buildResponse(header, status, PacketWriter{});
}

std::vector<std::uint8_t> J2534Executor::handleConnect(const RequestHeader& header, PacketReader& reader) {
    const std::uint32_t deviceId = reader.u32();
    const std::uint32_t protocolId = reader.u32();
    const std::uint32_t flags = reader.u32();
    const std::uint32_t baudRate = reader.u32();
    reader.requireEnd();
    if (passThruConnect == nullptr) {
        return failureReply(header, ERR_DEVICE_NOT_CONNECTED, NOT_LOADED);
    }
    std::uint32_t channelId = 0;
    const std::int32_t status = passThruConnect(deviceId, protocolId, flags, baudRate, &channelId);
    captureError(status);
    PacketWriter payload;
    payload.u32(channelId);
    return buildResponse(header, status, payload);
}

std::vector<std::uint8_t> J2534Executor::handleDisconnect(const RequestHeader& header, PacketReader& reader) {
    const std::uint32_t channelId = reader.u32();
    reader.requireEnd();
    if (passThruDisconnect == nullptr) {
        return failureReply(header, ERR_DEVICE_NOT_CONNECTED, NOT_LOADED);
    }
    const std::int32_t status = passThruDisconnect(channelId);
    captureError(status);
    return buildResponse(header, status, PacketWriter{});
}

std::vector<std::uint8_t> J2534Executor::handleReadMsgs(const RequestHeader& header, PacketReader& reader) {
    const std::uint32_t channelId = reader.u32();
    const std::uint32_t requested = reader.u32();
    const std::uint32_t timeout = reader.u32();
    reader.requireEnd();
    if (requested == 0) {
        return failureReply(header, ERR_NULL_PARAMETER, "ReadMsgs capacity must be greater than zero");
    }
    if (passThruReadMsgs == nullptr) {
        return failureReply(header, ERR_DEVICE_NOT_CONNECTED, NOT_LOADED);
    }
    const std::uint32_t capacity = std::min(requested, MAX_MESSAGES_PER_CALL);
    const MessageArray messages = zeroedMessages(capacity);
    std::uint32_t count = capacity;
    const std::int32_t status = passThruReadMsgs(channelId, messages.get(), &count, timeout);
    captureError(status);
    // The messages the vendor handed over are gone from its queue: they travel,
    // so that a time-out or an overflow loses none of them. A failure that left
    // the count as offered reported no messages, only the zeros offered.
    const bool reported = status == STATUS_NOERROR || status == ERR_BUFFER_OVERFLOW || count < capacity;
    count = reported ? std::min(count, capacity) : 0;
    PacketWriter payload;
    payload.u32(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        payload.message(messages[i]);
    }
    return buildResponse(header, status, payload);
}

std::vector<std::uint8_t> J2534Executor::handleWriteMsgs(const RequestHeader& header, PacketReader& reader) {
    const std::uint32_t channelId = reader.u32();
    const std::uint32_t announced = reader.u32();
    const std::uint32_t timeout = reader.u32();
    std::uint32_t count = std::min(announced, MAX_MESSAGES_PER_CALL);
    MessageArray messages;
    if (count > 0) {
        messages = zeroedMessages(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            messages[i] = reader.message();
        }
    }
    reader.requireEnd();
    if (passThruWriteMsgs == nullptr) {
        return failureReply(header, ERR_DEVICE_NOT_CONNECTED, NOT_LOADED);
    }
    const std::int32_t status = passThruWriteMsgs(channelId, messages.get(), &count, timeout);
    captureError(status);
    PacketWriter payload;
    payload.u32(count);
    return buildResponse(header, status, payload);
}

std::vector<std::uint8_t> J2534Executor::handleStartPeriodic(const RequestHeader& header, PacketReader& reader) {
    const std::uint32_t channelId = reader.u32();
    const std::uint32_t timeInterval = reader.u32();
    const auto message = std::make_unique<PASSTHRU_MSG>(reader.message());
    reader.requireEnd();
    if (passThruStartPeriodicMsg == nullptr) {
        return failureReply(header, ERR_NOT_SUPPORTED, "PassThruStartPeriodicMsg is not exported");
    }
    std::uint32_t msgId = 0;
    const std::int32_t status = passThruStartPeriodicMsg(channelId, message.get(), &msgId, timeInterval);
    captureError(status);
    PacketWriter payload;
    payload.u32(msgId);
    return buildResponse(header, status, payload);
}

std::vector<std::uint8_t> J2534Executor::handleStopPeriodic(const RequestHeader& header, PacketReader& reader) {
    const std::uint32_t channelId = reader.u32();
    const std::uint32_t msgId = reader.u32();
    reader.requireEnd();
    if (passThruStopPeriodicMsg == nullptr) {
        return failureReply(header, ERR_NOT_SUPPORTED, "PassThruStopPeriodicMsg is not exported");
    }
    const std::int32_t status = passThruStopPeriodicMsg(channelId, msgId);
    captureError(status);
    return buildResponse(header, status, PacketWriter{});
}

std::vector<std::uint8_t> J2534Executor::handleStartFilter(const RequestHeader& header, PacketReader& reader) {
    const std::uint32_t channelId = reader.u32();
    const std::uint32_t filterType = reader.u32();
    const std::uint8_t presence = reader.u8();
    // Mask, pattern and flow control, in the order they follow on the wire.
    const std::unique_ptr<PASSTHRU_MSG[]> messages(new PASSTHRU_MSG[3]());
    PASSTHRU_MSG* pointers[3] = {};
    const std::uint8_t bits[3] = {FILTER_HAS_MASK, FILTER_HAS_PATTERN, FILTER_HAS_FLOW_CONTROL};
    for (int i = 0; i < 3; ++i) {
        if ((presence & bits[i]) != 0) {
            messages[i] = reader.message();
            pointers[i] = &messages[i];
        }
    }
    reader.requireEnd();
    if (passThruStartMsgFilter == nullptr) {
        return failureReply(header, ERR_NOT_SUPPORTED, "PassThruStartMsgFilter is not exported");
    }
    std::uint32_t filterId = 0;
    const std::int32_t status =
        passThruStartMsgFilter(channelId, filterType, pointers[0], pointers[1], pointers[2], &filterId);
    captureError(status);
    PacketWriter payload;
    payload.u32(filterId);
    return buildResponse(header, status, payload);
}

std::vector<std::uint8_t> J2534Executor::handleStopFilter(const RequestHeader& header, PacketReader& reader) {
    const std::uint32_t channelId = reader.u32();
    const std::uint32_t filterId = reader.u32();
    reader.requireEnd();
    if (passThruStopMsgFilter == nullptr) {
        return failureReply(header, ERR_NOT_SUPPORTED, "PassThruStopMsgFilter is not exported");
    }
    const std::int32_t status = passThruStopMsgFilter(channelId, filterId);
    captureError(status);
    return buildResponse(header, status, PacketWriter{});
}

std::vector<std::uint8_t> J2534Executor::handleSetVoltage(const RequestHeader& header, PacketReader& reader) {
    const std::uint32_t deviceId = reader.u32();
    const std::uint32_t pinNumber = reader.u32();
    const std::uint32_t voltage = reader.u32();
    reader.requireEnd();
    if (passThruSetProgrammingVoltage == nullptr) {
        return failureReply(header, ERR_NOT_SUPPORTED, "PassThruSetProgrammingVoltage is not exported");
    }
    const std::int32_t status = passThruSetProgrammingVoltage(deviceId, pinNumber, voltage);
    captureError(status);
    return buildResponse(header, status, PacketWriter{});
}

std::vector<std::uint8_t> J2534Executor::handleReadVersion(const RequestHeader& header, PacketReader& reader) {
    const std::uint32_t deviceId = reader.u32();
    reader.requireEnd();
    if (passThruReadVersion == nullptr) {
        return failureReply(header, ERR_NOT_SUPPORTED, "PassThruReadVersion is not exported");
    }
    char firmware[VERSION_BUFFER_BYTES] = {};
    char library[VERSION_BUFFER_BYTES] = {};
    char api[VERSION_BUFFER_BYTES] = {};
    const std::int32_t status = passThruReadVersion(deviceId, firmware, library, api);
    captureError(status);
    PacketWriter payload;
    payload.text(bufferText(firmware, sizeof firmware));
    payload.text(bufferText(library, sizeof library));
    payload.text(bufferText(api, sizeof api));
    return buildResponse(header, status, payload);
}

std::vector<std::uint8_t> J2534Executor::handleGetLastError(const RequestHeader& header, PacketReader& reader) {
    reader.requireEnd();
    PacketWriter payload;
    payload.text(lastErrorIsOwn ? lastError : nativeLastError());
    return buildResponse(header, STATUS_NOERROR, payload);
}

std::vector<std::uint8_t> J2534Executor::handleIoctl(const RequestHeader& header, PacketReader& reader) {
    const std::uint32_t channelId = reader.u32();
    const std::uint32_t ioctlId = reader.u32();
    const std::uint32_t inputKind = reader.u32();
    if (inputKind > static_cast<std::uint32_t>(IoctlDataKind::Message)) {
        throw std::runtime_error("Unknown IOCTL input kind");
    }

    std::uint32_t inputValue = 0;
    std::vector<std::uint8_t> inputBytes;
    SBYTE_ARRAY inputArray{};
    std::vector<SCONFIG> inputPairs;
    SCONFIG_LIST inputList{};
    const auto inputMessage = std::make_unique<PASSTHRU_MSG>();
    void* input = nullptr;
    switch (static_cast<IoctlDataKind>(inputKind)) {
    case IoctlDataKind::None: break;
    case IoctlDataKind::Value:
        inputValue = reader.u32();
        input = &inputValue;
        break;
    case IoctlDataKind::Bytes:
        inputBytes = reader.lengthBytes(MAX_BYTE_ARRAY);
        inputArray.NumOfBytes = static_cast<std::uint32_t>(inputBytes.size());
        inputArray.BytePtr = inputBytes.empty() ? nullptr : inputBytes.data();
        input = &inputArray;
        break;
    case IoctlDataKind::ConfigList: {
        // Pairs beyond the limit are left unread, so they fail the end check below.
        inputPairs.resize(std::min(reader.u32(), MAX_CONFIG_PARAMS));
        for (SCONFIG& pair : inputPairs) {
            pair.Parameter = reader.u32();
            pair.Value = reader.u32();
        }
        inputList.NumOfParams = static_cast<std::uint32_t>(inputPairs.size());
        inputList.ConfigPtr = inputPairs.empty() ? nullptr : inputPairs.data();
        input = &inputList;
        break;
    }
    case IoctlDataKind::Message:
        *inputMessage = reader.message();
        input = inputMessage.get();
        break;
    }

    const std::uint32_t outputKind = reader.u32();
    const std::uint32_t outputCapacity = reader.u32();
    reader.requireEnd();
    if (passThruIoctl == nullptr) {
        return failureReply(header, ERR_DEVICE_NOT_CONNECTED, NOT_LOADED);
    }

    std::uint32_t outputValue = 0;
    std::vector<std::uint8_t> outputBytes;
    SBYTE_ARRAY outputArray{};
    std::vector<SCONFIG> outputPairs;
    SCONFIG_LIST outputList{};
    const auto outputMessage = std::make_unique<PASSTHRU_MSG>();
    void* output = nullptr;
    switch (outputKind) {
    case static_cast<std::uint32_t>(IoctlDataKind::Value): output = &outputValue; break;
    case static_cast<std::uint32_t>(IoctlDataKind::Bytes):
        outputBytes.resize(std::min(outputCapacity, MAX_BYTE_ARRAY));
        outputArray.NumOfBytes = static_cast<std::uint32_t>(outputBytes.size());
        outputArray.BytePtr = outputBytes.empty() ? nullptr : outputBytes.data();
        output = &outputArray;
        break;
    case static_cast<std::uint32_t>(IoctlDataKind::ConfigList):
        outputPairs.resize(std::min(outputCapacity, MAX_CONFIG_PARAMS));
        outputList.NumOfParams = static_cast<std::uint32_t>(outputPairs.size());
        outputList.ConfigPtr = outputPairs.empty() ? nullptr : outputPairs.data();
        output = &outputList;
        break;
    case static_cast<std::uint32_t>(IoctlDataKind::Message): output = outputMessage.get(); break;
    default: break;
    }
    // GET_CONFIG answers into its input list; the vendor gets no output record.
    const bool answersIntoInput = ioctlId == GET_CONFIG;
    if (answersIntoInput && inputKind == static_cast<std::uint32_t>(IoctlDataKind::ConfigList)) {
        output = nullptr;
    }

    const std::int32_t status = passThruIoctl(channelId, ioctlId, input, output);
    captureError(status);

    PacketWriter payload;
    payload.u32(outputKind);
    switch (outputKind) {
    case static_cast<std::uint32_t>(IoctlDataKind::Value): payload.u32(outputValue); break;
    case static_cast<std::uint32_t>(IoctlDataKind::Bytes):
        payload.lengthBytes(outputBytes.data(),
                            std::min(outputArray.NumOfBytes, static_cast<std::uint32_t>(outputBytes.size())));
        break;
    case static_cast<std::uint32_t>(IoctlDataKind::ConfigList): {
        const SCONFIG_LIST& list = answersIntoInput ? inputList : outputList;
        const std::vector<SCONFIG>& pairs = answersIntoInput ? inputPairs : outputPairs;
        const std::uint32_t count = std::min(list.NumOfParams, static_cast<std::uint32_t>(pairs.size()));
        payload.u32(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            payload.u32(pairs[i].Parameter);
            payload.u32(pairs[i].Value);
        }
        break;
    }
    case static_cast<std::uint32_t>(IoctlDataKind::Message): payload.message(*outputMessage); break;
    default: break;
    }
    return buildResponse(header, status, payload);
}

}  // namespace qel
