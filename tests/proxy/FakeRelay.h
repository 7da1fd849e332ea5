// A relay under the test's control, on 127.0.0.1 in the test's own process:
// it takes Pellith's handshake, records every request packet and answers
// each one as the test's handler says. One connection at a time, like the
// real relay for one station.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "PacketHeaders.h"

namespace qel::test {

using Bytes = std::vector<std::uint8_t>;

struct RelayRequest {
    int connection = 0;  // 0 for the first accepted connection, then 1, 2, ...
    RequestHeader header{};
    Bytes payload;
    Bytes packet;  // header and payload as they arrived
};

struct RelayAction {
    Bytes bytes;                  // sent as they are (nothing: no answer)
    DWORD delayMs = 0;            // waited before sending
    bool close = false;           // the connection is closed afterwards
    bool stopListening = false;   // no further connection is accepted afterwards
    std::size_t segmentBytes = 0; // sent in pieces of this size, with pauses between (0: at once)
};

using RelayHandler = std::function<RelayAction(const RelayRequest&)>;

// The answer with the request's operation and id, a status and a payload.
RelayAction answer(const RelayRequest& request, std::int32_t status, const PacketWriter& payload = {});
// A response header of one's own making followed by `payload`.
RelayAction rawAnswer(const char (&magic)[5], std::uint16_t version, Operation operation, std::uint32_t requestId,
                      std::int32_t status, std::uint32_t payloadLength, const Bytes& payload = {});

// The request id `steps` calls after `id`: Pellith counts up by one a call and
// skips 0, from a first id of each load that no test can know beforehand.
inline std::uint32_t idAfter(std::uint32_t id, std::uint32_t steps) {
    while (steps-- > 0) {
        if (++id == 0) {
            ++id;
        }
    }
    return id;
}

class FakeRelay {
public:
    // Port 0 takes a free port. Throws when the port cannot be bound.
    explicit FakeRelay(RelayHandler handler, std::uint16_t port = 0);
    ~FakeRelay();
    FakeRelay(const FakeRelay&) = delete;
    FakeRelay& operator=(const FakeRelay&) = delete;

    std::uint16_t port() const { return port_; }
    void setHandler(RelayHandler handler);

    std::vector<Bytes> handshakes() const;
    std::vector<RelayRequest> requests() const;
    // Connections that the peer closed or reset (not those the relay closed).
    int closedByPeer() const;
    bool waitForClosedByPeer(int count, DWORD timeoutMs) const;

private:
    void serve();
    void serveConnection(SOCKET connection, int index);
    bool sleepUnlessStopped(DWORD ms) const;

    SOCKET listener_ = INVALID_SOCKET;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    RelayHandler handler_;
    SOCKET active_ = INVALID_SOCKET;
    std::vector<Bytes> handshakes_;
    std::vector<RelayRequest> requests_;
    int closedByPeer_ = 0;
    std::thread thread_;
};

// A loopback port on which nothing listens.
std::uint16_t closedPort();

}  // namespace qel::test
