// What the executor tests share: request packets, reply decoding and the
// simulated VCI with a hook that records every vendor call.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "J2534Executor.h"
#include "OperationPayloads.h"
#include "PacketHeaders.h"
#include "SimVciControl.h"

namespace qeltest {

using Bytes = std::vector<std::uint8_t>;

// Full path of a simulated VCI library of the build tree.
std::wstring vciPath(const std::wstring& name);

// A request id not used before in the test program, as Pellith numbers its
// calls: a request identical to the last one, id included, is a resend, which
// the executor answers without the vendor.
std::uint32_t freshRequestId();

Bytes request(qel::Operation operation, const qel::PacketWriter& payload, std::uint32_t requestId = freshRequestId());
Bytes rawRequest(std::uint16_t operation, const Bytes& payload, std::uint32_t requestId = freshRequestId());

struct Reply {
    qel::ResponseHeader header;
    Bytes payload;
    std::int32_t status() const { return header.status; }
    qel::PacketReader reader() const { return qel::PacketReader(payload.data(), static_cast<std::uint32_t>(payload.size())); }
};

// Decodes a response packet; a malformed one fails the test.
Reply parseReply(const Bytes& packet);

// The executor's current last-error text, as a GetLastError request returns it.
std::string lastErrorOf(qel::J2534Executor& executor);

qel::PASSTHRU_MSG makeMessage(std::uint32_t protocol, const Bytes& data);

// One vendor call as the hook saw it: the export's name and its arguments.
struct VciCall {
    std::string function;
    std::vector<std::uintptr_t> args;
    template <typename T>
    T* pointer(std::size_t index) const { return reinterpret_cast<T*>(args.at(index)); }
};

// Holds the simulated VCI loaded for the whole test, so its state and hook
// outlive the executors that load and free it.
class SimVci {
public:
    using Handler = std::function<std::optional<std::int32_t>(const VciCall&)>;

    explicit SimVci(const std::wstring& name = L"SimVci.dll");
    ~SimVci();
    SimVci(const SimVci&) = delete;
    SimVci& operator=(const SimVci&) = delete;

    // The handler sees every call first; returning a status answers the call
    // with it instead of the simulation.
    void onCall(Handler handler) { handler_ = std::move(handler); }
    void setReadWaitLimit(std::uint32_t milliseconds);
    void setReadFailure(std::int32_t status);
    const std::vector<VciCall>& calls() const { return calls_; }
    std::vector<VciCall> callsOf(const std::string& function) const;
    void forget() { calls_.clear(); }

private:
    static int __stdcall hook(void* context, const char* function, const std::uintptr_t* args, std::int32_t* status);

    HMODULE module_;
    Handler handler_;
    std::vector<VciCall> calls_;
};

// An executor on SimVci.dll with an opened device, for tests past the Open.
struct OpenedExecutor {
    OpenedExecutor();
    // Connects a channel on the simulated VCI and returns its id.
    std::uint32_t connect(std::uint32_t protocol, std::uint32_t baudRate = 500000);

    SimVci vci;
    qel::J2534Executor executor;
    std::uint32_t deviceId = 0;
};

}  // namespace qeltest
