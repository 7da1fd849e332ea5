// Figures of the whole road, from one run on one machine:
//  - the raw loopback TCP round trip of this process under Wine against a
//    native echo server (the floor of any exchange here),
//  - the round trip of a small PassThru call through Pellith, the stand-in
//    and Quorvane to the simulated interface, and its ratio to the raw one,
//  - the throughput of ReadMsgs replies of 1024 messages of 4128 bytes.
//
//   road_bench <Pellith.dll> <echo port> [small calls] [ReadMsgs rounds]

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "J2534.h"
#include "PacketHeaders.h"
#include "PassThruLibrary.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
    double median;
    double p99;
};

Figures figuresOf(std::vector<double> micros) {
    std::sort(micros.begin(), micros.end());
    const auto at = [&](double p) { return micros[static_cast<std::size_t>(p * (micros.size() - 1) + 0.5)]; };
    return {at(0.5), at(0.99)};
}

double microsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

void check(std::int32_t status, const char* what) {
    if (status != qel::STATUS_NOERROR) {
        throw std::runtime_error(std::string(what) + " returned " + qel::statusName(status));
    }
}

// 32-byte ping-pong with TCP_NODELAY, as small as a request header and its payload.
Figures rawRoundTrip(std::uint16_t port, unsigned rounds) {
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        throw std::runtime_error("WSAStartup failed.");
    }
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s == INVALID_SOCKET || connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("Cannot connect to the echo server.");
    }
    const DWORD noDelay = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof noDelay);
    char ping[32] = "round trip";
    char pong[32];
    std::vector<double> micros;
    for (unsigned i = 0; i < rounds + rounds / 10; ++i) {
        const auto start = Clock::now();
        int got = 0;
        if (send(s, ping, sizeof ping, 0) != sizeof ping) {
            throw std::runtime_error("echo send failed");
        }
        while (got < static_cast<int>(sizeof pong)) {
            const int n = recv(s, pong + got, sizeof pong - got, 0);
            if (n <= 0) {
                throw std::runtime_error("echo receive failed");
            }
            got += n;
        }
        if (i >= rounds / 10) {  // the first tenth warms up
            micros.push_back(microsSince(start));
        }
    }
    closesocket(s);
    WSACleanup();
    return figuresOf(micros);
}

Figures smallCalls(const qel::PassThruApi& pt, std::uint32_t device, unsigned rounds) {
    std::vector<double> micros;
    for (unsigned i = 0; i < rounds + rounds / 10; ++i) {
        std::uint32_t millivolts = 0;
        const auto start = Clock::now();
        check(pt.PassThruIoctl(device, qel::READ_VBATT, nullptr, &millivolts), "READ_VBATT");
        if (i >= rounds / 10) {
            micros.push_back(microsSince(start));
        }
    }
    return figuresOf(micros);
}

// Fills the channel with 1024 full-size messages, then reads them in one call.
void readMsgsThroughput(const qel::PassThruApi& pt, std::uint32_t device, unsigned rounds) {
    std::uint32_t channel = 0;
    // ISO 14230 takes messages of the full 4128 bytes.
    check(pt.PassThruConnect(device, qel::ISO14230, 0, 10400, &channel), "Connect");
    qel::SCONFIG loopback{qel::LOOPBACK, 1};
    qel::SCONFIG_LIST list{1, &loopback};
    check(pt.PassThruIoctl(channel, qel::SET_CONFIG, &list, nullptr), "SET_CONFIG LOOPBACK");

    constexpr std::uint32_t COUNT = qel::MAX_MESSAGES_PER_CALL;
    std::vector<qel::PASSTHRU_MSG> out(COUNT);
    for (std::uint32_t i = 0; i < COUNT; ++i) {
        out[i].ProtocolID = qel::ISO14230;
        out[i].DataSize = qel::MAX_MESSAGE_DATA;
        for (std::uint32_t b = 0; b < qel::MAX_MESSAGE_DATA; ++b) {
            out[i].Data[b] = static_cast<std::uint8_t>(i + b);
        }
    }
    std::vector<qel::PASSTHRU_MSG> in(COUNT);
    std::vector<double> writeMicros;
    std::vector<double> readMicros;
    for (unsigned r = 0; r < rounds; ++r) {
        std::uint32_t count = COUNT;
        auto start = Clock::now();
        check(pt.PassThruWriteMsgs(channel, out.data(), &count, 1000), "WriteMsgs");
        writeMicros.push_back(microsSince(start));
        count = COUNT;
        start = Clock::now();
        check(pt.PassThruReadMsgs(channel, in.data(), &count, 1000), "ReadMsgs");
        readMicros.push_back(microsSince(start));
        if (count != COUNT || in[COUNT - 1].DataSize != qel::MAX_MESSAGE_DATA ||
            in[COUNT - 1].Data[7] != static_cast<std::uint8_t>(COUNT - 1 + 7)) {
            throw std::runtime_error("ReadMsgs gave back " + std::to_string(count) + " messages, not the 1024 written");
        }
    }
    pt.PassThruDisconnect(channel);

    const double megabytes = COUNT * static_cast<double>(qel::MAX_MESSAGE_DATA) / 1e6;
    const Figures read = figuresOf(readMicros);
    const Figures write = figuresOf(writeMicros);
    std::printf("ReadMsgs of 1024 x 4128 bytes (%.2f MB of data), %u rounds:\n", megabytes, rounds);
    std::printf("  per call  median %.1f ms, p99 %.1f ms  ->  %.0f MB/s, %.0f messages/s\n", read.median / 1000,
                read.p99 / 1000, megabytes / (read.median / 1e6), COUNT / (read.median / 1e6));
    std::printf("  (the WriteMsgs that filled the channel: median %.1f ms, %.0f MB/s)\n", write.median / 1000,
                megabytes / (write.median / 1e6));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::printf("usage: road_bench <pass-thru DLL> <echo port> [small calls] [ReadMsgs rounds]\n");
        return 2;
    }
    const auto port = static_cast<std::uint16_t>(std::wcstoul(argv[2], nullptr, 10));
    const unsigned calls = argc > 3 ? static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10)) : 2000;
    const unsigned rounds = argc > 4 ? static_cast<unsigned>(std::wcstoul(argv[4], nullptr, 10)) : 20;
    try {
        std::printf("Build measured: %zu-bit Windows programs (Pellith, Quorvane, the simulated VCI)\n",
                    sizeof(void*) * 8);
        const Figures raw = rawRoundTrip(port, calls);
        std::printf("Raw loopback TCP round trip under Wine (32 bytes, native echo), %u rounds:\n", calls);
        std::printf("  median %.0f us, p99 %.0f us\n", raw.median, raw.p99);

        const qel::PassThruLibrary library(argv[1]);
        const qel::PassThruApi& pt = library.api();
        std::uint32_t device = 0;
        check(pt.PassThruOpen(nullptr, &device), "Open");
        const Figures road = smallCalls(pt, device, calls);
        std::printf("Whole road, PassThruIoctl READ_VBATT, %u calls:\n", calls);
        std::printf("  median %.0f us, p99 %.0f us\n", road.median, road.p99);
        std::printf("Ratio whole road / raw: median %.2f, p99 %.2f (goal: at most 3)\n", road.median / raw.median,
                    road.p99 / raw.p99);

        readMsgsThroughput(pt, device, rounds);
        pt.PassThruClose(device);
        return 0;
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
        return 1;
    }
}
