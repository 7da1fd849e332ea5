#include "FakeRelay.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace qel::test {

namespace {

bool receiveAll(SOCKET socket, std::uint8_t* destination, std::size_t count) {
    while (count > 0) {
        const int received = recv(socket, reinterpret_cast<char*>(destination), static_cast<int>(count), 0);
        if (received <= 0) {
            return false;
        }
        destination += received;
        count -= static_cast<std::size_t>(received);
    }
    return true;
}

bool sendAllBytes(SOCKET socket, const std::uint8_t* bytes, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const int sent = send(socket, reinterpret_cast<const char*>(bytes + done), static_cast<int>(count - done), 0);
        if (sent <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

// Small pieces with a pause after every few, so that they reach the peer as
// separate segments rather than one stream that its first receive takes whole.
bool sendInSegments(SOCKET socket, const Bytes& bytes, std::size_t segment) {
    if (segment == 0) {
        return sendAllBytes(socket, bytes.data(), bytes.size());
    }
    for (std::size_t done = 0, index = 0; done < bytes.size(); done += segment, ++index) {
        if (!sendAllBytes(socket, bytes.data() + done, std::min(segment, bytes.size() - done))) {
            return false;
        }
        if (index % 8 == 7) {
            Sleep(1);
        }
    }
    return true;
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

RelayAction answer(const RelayRequest& request, std::int32_t status, const PacketWriter& payload) {
    return RelayAction{buildResponse(request.header, status, payload)};
}

RelayAction rawAnswer(const char (&magic)[5], std::uint16_t version, Operation operation, std::uint32_t requestId,
                      std::int32_t status, std::uint32_t payloadLength, const Bytes& payload) {
    ResponseHeader header{};
    std::memcpy(header.magic, magic, 4);
    header.version = version;
    header.operation = operation;
    header.requestId = requestId;
    header.status = status;
    header.payloadLength = payloadLength;
    const auto* first = reinterpret_cast<const std::uint8_t*>(&header);
    Bytes bytes(first, first + sizeof(header));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return RelayAction{bytes};
}

FakeRelay::FakeRelay(RelayHandler handler, std::uint16_t port) : handler_(std::move(handler)) {
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener_ == INVALID_SOCKET) {
        throw std::runtime_error("fake relay: socket failed");
    }
    sockaddr_in address = loopback(port);
    int length = sizeof(address);
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener_, 8) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(listener_);
        throw std::runtime_error("fake relay: cannot listen on the port");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
}

FakeRelay::~FakeRelay() {
    stop_ = true;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (active_ != INVALID_SOCKET) {
            shutdown(active_, SD_BOTH);
        }
    }
    thread_.join();
    if (listener_ != INVALID_SOCKET) {
        closesocket(listener_);
    }
}

void FakeRelay::setHandler(RelayHandler handler) {
    const std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<Bytes> FakeRelay::handshakes() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return handshakes_;
}

std::vector<RelayRequest> FakeRelay::requests() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

int FakeRelay::closedByPeer() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return closedByPeer_;
}

bool FakeRelay::waitForClosedByPeer(int count, DWORD timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return closedByPeer_ >= count; });
}

bool FakeRelay::sleepUnlessStopped(DWORD ms) const {
    for (DWORD waited = 0; waited < ms && !stop_; waited += 10) {
        Sleep(10);
    }
    return !stop_;
}

void FakeRelay::serve() {
    for (int index = 0; !stop_ && listener_ != INVALID_SOCKET;) {
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(listener_, &ready);
        timeval wait{0, 20000};
        if (select(0, &ready, nullptr, nullptr, &wait) != 1) {
            continue;
        }
        const SOCKET connection = accept(listener_, nullptr, nullptr);
        if (connection == INVALID_SOCKET) {
            continue;
        }
        const BOOL noDelay = TRUE;
        setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            active_ = connection;
        }
        serveConnection(connection, index++);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            active_ = INVALID_SOCKET;
        }
        closesocket(connection);
    }
}

void FakeRelay::serveConnection(SOCKET connection, int index) {
    const auto peerClosed = [&] {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!stop_) {
            ++closedByPeer_;
        }
        changed_.notify_all();
    };
    Bytes handshake(8);
    if (!receiveAll(connection, handshake.data(), 8)) {
        peerClosed();
        return;
    }
    const std::uint16_t stationLength = static_cast<std::uint16_t>(handshake[6] | handshake[7] << 8);
    handshake.resize(8 + stationLength);
    if (!receiveAll(connection, handshake.data() + 8, stationLength)) {
        peerClosed();
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        handshakes_.push_back(handshake);
    }
    while (!stop_) {
        RelayRequest request;
        request.connection = index;
        request.packet.resize(REQUEST_HEADER_BYTES);
        if (!receiveAll(connection, request.packet.data(), REQUEST_HEADER_BYTES)) {
            peerClosed();
            return;
        }
        std::memcpy(&request.header, request.packet.data(), REQUEST_HEADER_BYTES);
        request.payload.resize(request.header.payloadLength);
        if (!receiveAll(connection, request.payload.data(), request.payload.size())) {
            peerClosed();
            return;
        }
        request.packet.insert(request.packet.end(), request.payload.begin(), request.payload.end());
        RelayHandler handler;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            requests_.push_back(request);
            handler = handler_;
        }
        const RelayAction action = handler(request);
        if (!sleepUnlessStopped(action.delayMs)) {
            return;
        }
        // A late answer may find the peer gone: that is the peer's affair.
        sendInSegments(connection, action.bytes, action.segmentBytes);
        if (action.stopListening) {
            closesocket(listener_);
            listener_ = INVALID_SOCKET;
        }
        if (action.close) {
            shutdown(connection, SD_BOTH);
            return;
        }
    }
}

std::uint16_t closedPort() {
    const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = loopback(0);
    int length = sizeof(address);
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(probe);
    return ntohs(address.sin_port);
}

}  // namespace qel::test
