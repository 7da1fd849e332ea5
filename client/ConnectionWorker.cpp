#include "ConnectionWorker.h"

#include <mutex>
#include <thread>
#include <utility>

namespace qel {

// Kept alive by the worker as long as it runs, also after the window has let
// go of it.
struct ConnectionWorker::Shared {
    Shared(BridgeSettings settings, HWND window)
        : window(window), client(std::move(settings), [this](const std::wstring& line) { report(line); })
    {
    }

    // Worker thread.
    void report(const std::wstring& line)
    {
        std::lock_guard lock(mutex);
        if (abandoned) return;
        lines.push_back(line);
        PostMessageW(window, WM_BRIDGE_LOG, 0, 0);
    }

    // Worker thread, once, after run has returned.
    void finish()
    {
        std::lock_guard lock(mutex);
        finished = true;
        if (!abandoned) PostMessageW(window, WM_BRIDGE_FINISHED, 0, 0);
    }

    void abandon()
    {
        std::lock_guard lock(mutex);
        abandoned = true;
    }

    const HWND window;
    std::mutex mutex;
    std::vector<std::wstring> lines;
    bool finished = false;
    bool abandoned = false;
    // After the members above, which its log callback uses.
    BridgeClient client;
};

ConnectionWorker::ConnectionWorker(BridgeSettings settings, HWND window)
    : shared(std::make_shared<Shared>(std::move(settings), window))
{
    std::thread([worker = shared] {
        worker->client.run();
        worker->finish();
    }).detach();
}

ConnectionWorker::~ConnectionWorker() { shared->abandon(); }

std::vector<std::wstring> ConnectionWorker::takeLines(bool& ended)
{
    std::lock_guard lock(shared->mutex);
    ended = shared->finished;
    return std::exchange(shared->lines, {});
}

void ConnectionWorker::stop()
{
    stopped = true;
    shared->client.stop();
}

bool ConnectionWorker::executingRequest() const { return shared->client.executingRequest(); }

bool ConnectionWorker::giveUp()
{
    if (!stopped || shared->client.executingRequest()) return false;
    shared->abandon();
    shared->client.releaseLibrary();
    return true;
}

}  // namespace qel
