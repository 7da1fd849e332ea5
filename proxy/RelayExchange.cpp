#include "RelayExchange.h"

#include <cstring>
#include <exception>
#include <new>

#include "J2534.h"
#include "RelayConnection.h"

namespace qel {

namespace {

constexpr std::uint32_t MAX_RECEIVE_CHUNK = 0x100000;

bool receiveExactly(SOCKET socket, std::uint8_t* destination, std::uint32_t count) {
    while (count > 0) {
        const int chunk = static_cast<int>(count < MAX_RECEIVE_CHUNK ? count : MAX_RECEIVE_CHUNK);
        const int received = recv(socket, reinterpret_cast<char*>(destination), chunk, 0);
        if (received <= 0) {
            return false;
        }
        destination += received;
        count -= static_cast<std::uint32_t>(received);
    }
    return true;
}

enum class Attempt { Complete, Lost, Refused };

// One send and receive on the open connection, under g_lock.
Attempt exchangeOnce(const std::vector<std::uint8_t>& packet, std::vector<std::uint8_t>& reply) {
    if (!sendAll(g_socket, packet.data(), packet.size())) {
        return Attempt::Lost;
    }
    std::uint8_t head[RESPONSE_HEADER_BYTES] = {};
    if (!receiveExactly(g_socket, head, RESPONSE_HEADER_BYTES)) {
        return Attempt::Lost;
    }
    std::uint32_t payloadLength = 0;
    try {
        payloadLength = parseResponseHeader(head, RESPONSE_HEADER_BYTES).payloadLength;
    } catch (const std::exception&) {
        return Attempt::Refused;
    }
    try {
        reply.resize(RESPONSE_HEADER_BYTES + static_cast<std::size_t>(payloadLength));
    } catch (const std::bad_alloc&) {
        // The payload is still in the stream: the connection cannot carry another exchange.
        closeRelaySocket();
        throw;
    }
    std::memcpy(reply.data(), head, RESPONSE_HEADER_BYTES);
    if (payloadLength > 0 && !receiveExactly(g_socket, reply.data() + RESPONSE_HEADER_BYTES, payloadLength)) {
        return Attempt::Lost;
    }
    return Attempt::Complete;
}

// Connects when needed and runs the exchange, resending once on a new
// connection when the first one was lost. Returns 0 when `reply` holds a
// whole response packet, otherwise the status of the failure.
std::int32_t exchange(const std::vector<std::uint8_t>& packet, std::vector<std::uint8_t>& reply) {
    const RelayLock lock;
    for (int attempt = 1;; ++attempt) {
        if (!connectToRelay()) {
            return ERR_DEVICE_NOT_CONNECTED;
        }
        switch (exchangeOnce(packet, reply)) {
        case Attempt::Complete:
            return STATUS_NOERROR;
        case Attempt::Refused:
            closeRelaySocket();
            setLastErrorText("Invalid response from Ubuntu Corvell.");
            return ERR_DEVICE_NOT_CONNECTED;
        case Attempt::Lost:
            closeRelaySocket();
            if (attempt == 2) {
                setLastErrorText("Ubuntu Corvell connection was lost.");
                return ERR_DEVICE_NOT_CONNECTED;
            }
            break;
        }
    }
}

}  // namespace

std::int32_t callRelay(Operation operation, const PacketWriter& payload, std::optional<PacketReader>& reader,
                       ResponseHeader& header, std::vector<std::uint8_t>& reply) {
    reader.reset();
    const std::uint32_t requestId = takeRequestId();
    const std::vector<std::uint8_t> packet = buildRequest(operation, requestId, payload);
    const std::int32_t failure = exchange(packet, reply);
    if (failure != STATUS_NOERROR) {
        return failure;
    }
    try {
        reader.emplace(responsePayload(reply, header));
    } catch (const std::exception& error) {
        setLastErrorText(error.what());
        return ERR_FAILED;
    }
    if (header.requestId != requestId || header.operation != operation) {
        reader.reset();
        setLastErrorText("Corvell response does not match request.");
        return ERR_FAILED;
    }
    if (header.status == STATUS_NOERROR) {
        setLastErrorText("No error.");
    }
    return header.status;
}

std::int32_t callWithoutResult(Operation operation, const PacketWriter& payload) {
    std::optional<PacketReader> reader;
    ResponseHeader header{};
    std::vector<std::uint8_t> reply;
    return callRelay(operation, payload, reader, header, reply);
}

}  // namespace qel
