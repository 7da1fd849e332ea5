// One bridge connection of Quorvane's window: its client, the worker thread
// that runs it and the lines the worker reports. The window never waits for
// the worker: nothing ends a WinHTTP handshake with a server that never
// answers, so a stopped worker that does not end is given up instead.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "BridgeClient.h"

namespace qel {

// Posted to the window when lines or the worker's end are waiting. They carry
// nothing: any program on the desktop can post these numbers, with any values.
constexpr UINT WM_BRIDGE_LOG = WM_APP + 1;
constexpr UINT WM_BRIDGE_FINISHED = WM_APP + 3;

// Every call is made on the window thread.
class ConnectionWorker {
public:
    // Starts the worker at once.
    ConnectionWorker(BridgeSettings settings, HWND window);
    // Whatever the worker does later reaches neither the window nor the log.
    ~ConnectionWorker();
    ConnectionWorker(const ConnectionWorker&) = delete;
    ConnectionWorker& operator=(const ConnectionWorker&) = delete;

    // The lines reported so far, and whether the worker has ended after them.
    std::vector<std::wstring> takeLines(bool& ended);
    void stop();
    // True while a request runs on the vendor library.
    bool executingRequest() const;
    // Ends a stopped connection without its worker and frees the vendor
    // library now, so that the tester's devices end with the connection and
    // the next one loads the library afresh. Refused, with false, until stop
    // has been called and while a vendor call runs: such a call returns by
    // itself, and cutting it off could leave a flash block half written.
    bool giveUp();

private:
    struct Shared;
    std::shared_ptr<Shared> shared;
    bool stopped = false;
};

}  // namespace qel
