#include "ExecutorHarness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <stdexcept>

namespace qeltest {

namespace {

const std::map<std::string, std::size_t> g_argumentCounts = {
    {"PassThruOpen", 2},           {"PassThruClose", 1},         {"PassThruConnect", 5},
    {"PassThruDisconnect", 1},     {"PassThruReadMsgs", 4},      {"PassThruWriteMsgs", 4},
    {"PassThruStartPeriodicMsg", 4}, {"PassThruStopPeriodicMsg", 2}, {"PassThruStartMsgFilter", 6},
    {"PassThruStopMsgFilter", 2},  {"PassThruSetProgrammingVoltage", 3}, {"PassThruReadVersion", 4},
    {"PassThruGetLastError", 1},   {"PassThruIoctl", 4},
};

template <typename Fn>
Fn control(HMODULE module, const char* name) {
    const FARPROC address = GetProcAddress(module, name);
    if (address == nullptr) {
        throw std::runtime_error(std::string("simulated VCI lacks ") + name);
    }
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(address));
}

}  // namespace

std::wstring vciPath(const std::wstring& name) {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    path.resize(path.find_last_of(L'\\') + 1);
    return path + L"..\\vci\\" + name;
}

std::uint32_t freshRequestId() {
    static std::atomic<std::uint32_t> next{0x1234};
    return next++;
}

Bytes request(qel::Operation operation, const qel::PacketWriter& payload, std::uint32_t requestId) {
    return qel::buildRequest(operation, requestId, payload);
}

Bytes rawRequest(std::uint16_t operation, const Bytes& payload, std::uint32_t requestId) {
    qel::PacketWriter writer;
    writer.bytes(payload.data(), static_cast<std::uint32_t>(payload.size()));
    return qel::buildRequest(static_cast<qel::Operation>(operation), requestId, writer);
}

Reply parseReply(const Bytes& packet) {
    Reply reply{};
    qel::PacketReader reader = qel::responsePayload(packet, reply.header);
    const std::uint8_t* first = reader.take(reader.size());
    reply.payload.assign(first, first + reader.size());
    return reply;
}

std::string lastErrorOf(qel::J2534Executor& executor) {
    const Reply reply = parseReply(executor.execute(request(qel::Operation::GetLastError, {})));
    EXPECT_EQ(reply.status(), qel::STATUS_NOERROR);
    qel::PacketReader reader = reply.reader();
    std::string text = reader.text(qel::ERROR_TEXT_LIMIT);
    reader.requireEnd();
    return text;
}

qel::PASSTHRU_MSG makeMessage(std::uint32_t protocol, const Bytes& data) {
    qel::PASSTHRU_MSG message{};
    message.ProtocolID = protocol;
    message.DataSize = static_cast<std::uint32_t>(data.size());
    std::copy(data.begin(), data.end(), message.Data);
    return message;
}

SimVci::SimVci(const std::wstring& name) : module_(LoadLibraryW(vciPath(name).c_str())) {
    if (module_ == nullptr) {
        throw std::runtime_error("cannot load the simulated VCI");
    }
    control<SimVciResetFn>(module_, "SimVciReset")();
    control<SimVciSetHookFn>(module_, "SimVciSetHook")(&SimVci::hook, this);
}

SimVci::~SimVci() {
    control<SimVciResetFn>(module_, "SimVciReset")();
    FreeLibrary(module_);
}

void SimVci::setReadWaitLimit(std::uint32_t milliseconds) {
    control<SimVciSetReadWaitLimitFn>(module_, "SimVciSetReadWaitLimit")(milliseconds);
}

void SimVci::setReadFailure(std::int32_t status) {
    control<SimVciSetReadFailureFn>(module_, "SimVciSetReadFailure")(status);
}

std::vector<VciCall> SimVci::callsOf(const std::string& function) const {
    std::vector<VciCall> found;
    for (const VciCall& call : calls_) {
        if (call.function == function) {
            found.push_back(call);
        }
    }
    return found;
}

int __stdcall SimVci::hook(void* context, const char* function, const std::uintptr_t* args, std::int32_t* status) {
    auto* self = static_cast<SimVci*>(context);
    VciCall call{function, std::vector<std::uintptr_t>(args, args + g_argumentCounts.at(function))};
    self->calls_.push_back(call);
    if (self->handler_) {
        if (const std::optional<std::int32_t> answer = self->handler_(call)) {
            *status = *answer;
            return 1;
        }
    }
    return 0;
}

OpenedExecutor::OpenedExecutor() : executor(vciPath(L"SimVci.dll")) {
    const Reply reply = parseReply(executor.execute(request(qel::Operation::Open, {})));
    if (reply.status() != qel::STATUS_NOERROR || reply.payload.size() != 4) {
        throw std::runtime_error("the simulated VCI did not open");
    }
    qel::PacketReader reader = reply.reader();
    deviceId = reader.u32();
    vci.forget();
}

std::uint32_t OpenedExecutor::connect(std::uint32_t protocol, std::uint32_t baudRate) {
    qel::PacketWriter payload;
    payload.u32(deviceId);
    payload.u32(protocol);
    payload.u32(0);
    payload.u32(baudRate);
    const Reply reply = parseReply(executor.execute(request(qel::Operation::Connect, payload)));
    if (reply.status() != qel::STATUS_NOERROR) {
        throw std::runtime_error("the simulated VCI did not connect");
    }
    qel::PacketReader reader = reply.reader();
    vci.forget();
    return reader.u32();
}

}  // namespace qeltest
