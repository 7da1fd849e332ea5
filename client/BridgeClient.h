// Quorvane's connection to the bridge server: one authenticated WebSocket for
// one station, over which request packets arrive and their answers leave.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <mutex>
#include <string>

#include "J2534Executor.h"
#include "LogCallback.h"

namespace qel {

struct BridgeSettings {
    std::wstring serverUrl;
    std::wstring username;
    std::wstring password;
    std::wstring stationId;
    std::wstring libraryPath;
};

// Owns one WinHTTP handle; closing it is the only way to let go of it.
class InternetHandle {
public:
    InternetHandle() = default;
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    ~InternetHandle() { reset(); }

    void reset(HINTERNET handle = nullptr);
    HINTERNET get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

private:
    HINTERNET handle_ = nullptr;
};

class BridgeClient {
public:
    BridgeClient(BridgeSettings settings, LogCallback log);
    BridgeClient(const BridgeClient&) = delete;
    BridgeClient& operator=(const BridgeClient&) = delete;
    ~BridgeClient();

    // Serves the whole connection on the calling thread and returns after
    // "Disconnected." has been logged. Called once per client.
    void run();
    // Asks a running connection to end; safe from any thread and returns at
    // once. A handshake under way still runs to its end, which may never come;
    // the connection it opens is closed at once and serves nothing.
    void stop();
    // True while a request runs on the vendor library.
    bool executingRequest() const { return executing; }
    // Frees the vendor library, and with it the devices and channels the
    // tester left open; safe from any thread. From another thread than run's
    // only after stop() while no request executes: no vendor call can start
    // then, so the library may go while the worker still waits in WinHTTP.
    void releaseLibrary();

private:
    HINTERNET connectWebSocket();
    bool adoptWebSocket(HINTERNET socket);
    void serveRequests();
    void closeHandles();

    const BridgeSettings settings;
    const LogCallback log;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> executing{false};
    std::mutex handleMutex;
    InternetHandle session;
    InternetHandle connection;
    InternetHandle request;
    InternetHandle webSocket;
    std::mutex libraryMutex;
    J2534Executor executor;
};

}  // namespace qel
