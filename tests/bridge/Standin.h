// Test-side access to the loopback relay/bridge stand-in that
// tests/standin/with_standin.py starts around each test program.
#pragma once

#include <winsock2.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BridgeClient.h"

namespace qel::test {

std::uint16_t standinPort(const char* side);  // "RELAY", "BRIDGE" or "CONTROL"
std::string toHex(const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> fromHex(const std::string& text);

// One loopback TCP connection; every receive gives up after 60 seconds.
class Link {
public:
    explicit Link(std::uint16_t port);
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    ~Link();

    void sendAll(const void* data, std::size_t size);
    std::vector<std::uint8_t> receiveExactly(std::size_t size);  // shorter when the peer closed
    std::string receiveLine();

private:
    SOCKET socket_ = INVALID_SOCKET;
};

// The stand-in's control channel: one command line, one answer line.
class Control {
public:
    Control();
    // Returns what follows "ok"; a failed command fails the test and returns "error".
    std::string operator()(const std::string& command);
    // The whole answer line, for commands that are meant to fail.
    std::string answer(const std::string& command);

private:
    Link link_;
};

// A relay connection as Pellith opens it: handshake, then one exchange at a time.
class Relay {
public:
    explicit Relay(const std::string& station);
    std::vector<std::uint8_t> exchange(const std::vector<std::uint8_t>& request);

private:
    Link link_;
};

// A BridgeClient on a worker thread of its own, with every log line kept.
class ClientRun {
public:
    // `observer` sees each line on the worker thread as it is logged.
    explicit ClientRun(BridgeSettings settings, LogCallback observer = {});
    ~ClientRun();

    void start();
    void stop() { client_.stop(); }
    bool waitForLine(const std::wstring& line, std::chrono::milliseconds timeout = std::chrono::seconds(30));
    bool waitForLines(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(30));
    bool waitFinished(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    std::vector<std::wstring> lines();
    BridgeClient& client() { return client_; }

private:
    void append(const std::wstring& line);

    LogCallback observer_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::wstring> lines_;
    bool finished_ = false;
    BridgeClient client_;
    std::thread worker_;
};

// Settings for the stand-in's bridge port as the tests start it.
BridgeSettings standinSettings(const std::wstring& station, const std::wstring& path = L"/base");
std::wstring waitingLine(const std::wstring& station);

}  // namespace qel::test
