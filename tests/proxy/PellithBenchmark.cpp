// Run by hand: the time of one small PassThru call through Pellith to an
// answering loopback relay, next to the raw Winsock round trip of the same
// packet sizes to the same relay, in the same run. Rounds alternate so that
// both see the same machine. Overwrites the settings key of the current
// Wine prefix and removes it at the end.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "FakeRelay.h"
#include "PellithLibrary.h"
#include "RegistrySettings.h"

namespace {

using namespace qel;
using namespace qel::test;

constexpr int ROUNDS = 10;
constexpr int CALLS_PER_ROUND = 1000;
constexpr int WARM_UP = 50;

double now() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1e6 / frequency;
}

bool receiveAll(SOCKET socket, char* destination, int count) {
    while (count > 0) {
        const int received = recv(socket, destination, count, 0);
        if (received <= 0) {
            return false;
        }
        destination += received;
        count -= received;
    }
    return true;
}

// The packets Pellith's PassThruClose exchanges: 20 bytes out, 20 bytes back.
bool rawRound(std::uint16_t port, std::vector<double>& times) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const DWORD noDelay = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        closesocket(s);
        return false;
    }
    PacketWriter handshake;
    handshake.bytes("QELH", 4);
    handshake.u16(1);
    handshake.u16(10);
    handshake.bytes("VYR-SERVER", 10);
    send(s, reinterpret_cast<const char*>(handshake.buffer().data()), static_cast<int>(handshake.buffer().size()), 0);
    PacketWriter payload;
    payload.u32(1);
    for (int i = 0; i < WARM_UP + CALLS_PER_ROUND; ++i) {
        const std::vector<std::uint8_t> packet = buildRequest(Operation::Close, static_cast<std::uint32_t>(i + 1), payload);
        char reply[RESPONSE_HEADER_BYTES];
        const double start = now();
        if (send(s, reinterpret_cast<const char*>(packet.data()), static_cast<int>(packet.size()), 0) <= 0 ||
            !receiveAll(s, reply, sizeof(reply))) {
            closesocket(s);
            return false;
        }
        if (i >= WARM_UP) {
            times.push_back(now() - start);
        }
    }
    closesocket(s);
    return true;
}

bool pellithRound(std::vector<double>& times) {
    PellithLibrary pellith;
    for (int i = 0; i < WARM_UP + CALLS_PER_ROUND; ++i) {
        const double start = now();
        if (pellith.close(1) != STATUS_NOERROR) {
            return false;
        }
        if (i >= WARM_UP) {
            times.push_back(now() - start);
        }
    }
    return true;
}

double percentile(std::vector<double> times, double fraction) {
    std::sort(times.begin(), times.end());
    return times[static_cast<std::size_t>(fraction * static_cast<double>(times.size() - 1))];
}

}  // namespace

int main() {
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        std::fprintf(stderr, "WSAStartup failed\n");
        return 1;
    }
    int result = 0;
    {
        RegistrySettings registry;
        FakeRelay relay([](const RelayRequest& r) { return answer(r, STATUS_NOERROR); });
        RegistrySettings::setPort(relay.port());
        std::vector<double> raw;
        std::vector<double> proxied;
        for (int round = 0; round < ROUNDS && result == 0; ++round) {
            if (!rawRound(relay.port(), raw) || !pellithRound(proxied)) {
                std::fprintf(stderr, "round %d failed\n", round);
                result = 1;
            }
        }
        if (result == 0) {
            const double rawMedian = percentile(raw, 0.5);
            const double rawP99 = percentile(raw, 0.99);
            const double median = percentile(proxied, 0.5);
            const double p99 = percentile(proxied, 0.99);
            std::printf("%zu calls each, %d alternating rounds\n", raw.size(), ROUNDS);
            std::printf("raw Winsock round trip : median %8.1f us   p99 %8.1f us\n", rawMedian, rawP99);
            std::printf("PassThruClose (Pellith): median %8.1f us   p99 %8.1f us\n", median, p99);
            std::printf("ratio                  : median %8.2f      p99 %8.2f\n", median / rawMedian, p99 / rawP99);
        }
    }
    WSACleanup();
    return result;
}
