// A long seeded stream of malformed and mutated requests through one executor
// on the simulated VCI: every packet gets exactly one well-formed reply with
// the right operation and request id, and memory does not grow with the run.
#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <map>
#include <optional>

#include "ExecutorHarness.h"

namespace {

using qel::Operation;
using qeltest::Bytes;

constexpr std::uint32_t SEED = 20261210;
constexpr int PACKETS = 2000000;
constexpr int REFRESH_EVERY = 200;
constexpr std::size_t MEMORY_GROWTH_LIMIT = 24u << 20;

const std::uint32_t g_interesting[] = {0,    1,    2,     3,     4,      5,        7,          9,         1023,
                                       1024, 1025, 4096,  4097,  4128,   4129,     0x100000,   0x100001,  0x2000000,
                                       0x2000001, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0xFFFFFFFF};

std::size_t privateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    return counters.PagefileUsage;
}

struct Session {
    std::uint32_t device = 0;
    std::uint32_t can = 0;
    std::uint32_t kline = 0;
};

std::uint32_t idFrom(const Bytes& reply) {
    const qeltest::Reply r = qeltest::parseReply(reply);
    return r.status() == qel::STATUS_NOERROR && r.payload.size() >= 4 ? r.reader().u32() : 0;
}

// Opens and connects again whatever the stream closed.
void refresh(qel::J2534Executor& executor, Session& session) {
    if (const std::uint32_t device = idFrom(executor.execute(qeltest::request(Operation::Open, {})))) {
        session.device = device;
    }
    for (auto [protocol, channel] : {std::pair{qel::CAN, &session.can}, std::pair{qel::ISO9141, &session.kline}}) {
        qel::PacketWriter w;
        for (std::uint32_t f : {session.device, protocol, 0u, 500000u}) w.u32(f);
        if (const std::uint32_t id = idFrom(executor.execute(qeltest::request(Operation::Connect, w)))) {
            *channel = id;
        }
    }
}

std::vector<Bytes> wellFormedRequests(const Session& s) {
    std::vector<Bytes> corpus;
    auto add = [&](Operation op, auto fill) {
        qel::PacketWriter w;
        fill(w);
        corpus.push_back(qeltest::request(op, w, static_cast<std::uint32_t>(corpus.size() * 7919)));
    };
    const qel::PASSTHRU_MSG can = qeltest::makeMessage(qel::CAN, {0, 0, 7, 0xDF, 2, 1, 0});
    const qel::PASSTHRU_MSG kline = qeltest::makeMessage(qel::ISO9141, Bytes(300, 0x42));
    auto none = [](qel::PacketWriter&) {};
    add(Operation::Open, none);
    add(Operation::Close, [&](qel::PacketWriter& w) { w.u32(s.device); });
    add(Operation::Connect, [&](qel::PacketWriter& w) { for (std::uint32_t f : {s.device, qel::ISO15765, 0u, 500000u}) w.u32(f); });
    add(Operation::Disconnect, [&](qel::PacketWriter& w) { w.u32(s.can); });
    for (std::uint32_t count : {1u, 16u, 1024u}) {
        add(Operation::ReadMsgs, [&](qel::PacketWriter& w) { w.u32(s.kline); w.u32(count); w.u32(0); });
    }
    add(Operation::WriteMsgs, [&](qel::PacketWriter& w) { w.u32(s.can); w.u32(2); w.u32(0); w.message(can); w.message(can); });
    add(Operation::WriteMsgs, [&](qel::PacketWriter& w) { w.u32(s.kline); w.u32(3); w.u32(0); for (int i = 0; i < 3; ++i) w.message(kline); });
    add(Operation::StartPeriodic, [&](qel::PacketWriter& w) { w.u32(s.can); w.u32(50); w.message(can); });
    add(Operation::StopPeriodic, [&](qel::PacketWriter& w) { w.u32(s.can); w.u32(1); });
    add(Operation::StartFilter, [&](qel::PacketWriter& w) { w.u32(s.can); w.u32(qel::PASS_FILTER); w.u8(3); w.message(can); w.message(can); });
    add(Operation::StopFilter, [&](qel::PacketWriter& w) { w.u32(s.can); w.u32(1); });
    add(Operation::SetVoltage, [&](qel::PacketWriter& w) { w.u32(s.device); w.u32(15); w.u32(12000); });
    add(Operation::ReadVersion, [&](qel::PacketWriter& w) { w.u32(s.device); });
    add(Operation::GetLastError, none);
    add(Operation::Ping, none);
    for (std::uint32_t output = 0; output <= 5; ++output) {
        add(Operation::Ioctl, [&](qel::PacketWriter& w) { w.u32(s.can); w.u32(qel::GET_CONFIG); w.u32(3); w.u32(2);
            w.u32(qel::DATA_RATE); w.u32(0); w.u32(qel::LOOPBACK); w.u32(0); w.u32(output); w.u32(2); });
    }
    add(Operation::Ioctl, [&](qel::PacketWriter& w) { w.u32(s.device); w.u32(qel::READ_VBATT); w.u32(0); w.u32(1); w.u32(1); });
    add(Operation::Ioctl, [&](qel::PacketWriter& w) { const Bytes b{0x33}; w.u32(s.kline); w.u32(qel::FIVE_BAUD_INIT); w.u32(2);
        w.lengthBytes(b.data(), 1); w.u32(2); w.u32(2); });
    add(Operation::Ioctl, [&](qel::PacketWriter& w) { w.u32(s.kline); w.u32(qel::FAST_INIT); w.u32(4); w.message(kline); w.u32(4); w.u32(1); });
    add(Operation::Ioctl, [&](qel::PacketWriter& w) { w.u32(s.can); w.u32(qel::SET_CONFIG); w.u32(1); w.u32(5); w.u32(0); w.u32(0); });
    return corpus;
}

// One packet changed the way a faulty peer or a damaged link would change it.
Bytes mutate(Bytes packet, std::mt19937& rng) {
    auto below = [&](std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(rng() % n); };
    auto putU32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4 && at + i < packet.size(); ++i) packet[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    bool fixLength = rng() % 2 == 0;
    switch (rng() % 9) {
    case 0: fixLength = false; break;
    case 1: packet.resize(below(packet.size())); break;
    case 2:
        for (std::size_t n = 1 + below(64); n > 0; --n) packet.push_back(static_cast<std::uint8_t>(rng()));
        break;
    case 3:
        for (std::size_t n = 1 + below(8); n > 0; --n) packet[below(packet.size())] ^= 1u << below(8);
        fixLength = false;
        break;
    case 4:
        if (packet.size() > 16) {
            for (std::size_t n = 1 + below(4); n > 0; --n) packet[16 + below(packet.size() - 16)] ^= 1u << below(8);
        }
        break;
    case 5:
        if (packet.size() > 16) {
            for (std::size_t n = 1 + below(3); n > 0; --n) {
                putU32(16 + below(packet.size() - 16), g_interesting[below(std::size(g_interesting))]);
            }
        }
        break;
    case 6: {
        static const std::uint16_t codes[] = {0, 16, 17, 0x100, 0x8000, 0xFFFF};
        const std::uint16_t op = rng() % 2 == 0 ? codes[below(std::size(codes))] : static_cast<std::uint16_t>(1 + below(15));
        packet[6] = static_cast<std::uint8_t>(op);
        packet[7] = static_cast<std::uint8_t>(op >> 8);
        break;
    }
    case 7:
        packet.resize(below(80));
        for (std::uint8_t& b : packet) b = static_cast<std::uint8_t>(rng());
        fixLength = false;
        break;
    case 8:
        // An IOCTL with other data kinds: the input kind is the third field.
        packet[6] = 14;
        packet[7] = 0;
        putU32(24, static_cast<std::uint32_t>(below(7)));
        if (packet.size() >= 24) putU32(packet.size() - 8, static_cast<std::uint32_t>(below(7)));
        break;
    }
    if (fixLength && packet.size() >= 16) putU32(12, static_cast<std::uint32_t>(packet.size() - 16));
    return packet;
}

bool headerValid(const Bytes& p) {
    std::uint32_t length = 0;
    if (p.size() >= 16) std::memcpy(&length, &p[12], 4);
    return p.size() >= 16 && std::memcmp(p.data(), "QEL1", 4) == 0 && p[4] == 1 && p[5] == 0 &&
           length <= qel::MAX_PAYLOAD_BYTES;
}

TEST(Robustness, EveryMutatedPacketGetsOneWellFormedReply) {
    qeltest::SimVci vci;
    vci.setReadWaitLimit(0);
    // A mutated IOCTL kind hands the vendor a record of another shape than its
    // IoctlID expects, which the simulated VCI, like any vendor, would read
    // past (in a 64-bit build at once). IOCTLs are answered here without
    // touching their records; the IOCTL tests cover what a vendor writes.
    vci.onCall([](const qeltest::VciCall& call) -> std::optional<std::int32_t> {
        if (call.function == "PassThruIoctl") return qel::STATUS_NOERROR;
        return std::nullopt;
    });
    qel::J2534Executor executor(qeltest::vciPath(L"SimVci.dll"));
    Session session;
    std::mt19937 rng(SEED);
    std::vector<Bytes> corpus;
    std::size_t memoryAfterWarmUp = 0;
    std::size_t memoryPeak = 0;
    int failures = 0;
    std::map<int, int> statuses;
    bool closedSomething = false;
    for (int i = 0; i < PACKETS; ++i) {
        if (i % REFRESH_EVERY == 0 || closedSomething) {
            closedSomething = false;
            refresh(executor, session);
            corpus = wellFormedRequests(session);
            vci.forget();
        }
        if (i == PACKETS / 4) memoryAfterWarmUp = privateBytes();
        if (i > PACKETS / 4 && i % 500 == 0) memoryPeak = std::max(memoryPeak, privateBytes());

        const Bytes packet = mutate(corpus[rng() % corpus.size()], rng);
        const Bytes reply = executor.execute(packet);
        qel::ResponseHeader header{};
        try {
            qel::responsePayload(reply, header);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "packet " << i << ": malformed reply: " << e.what();
            ++failures;
            continue;
        }
        std::uint16_t operation = 15;
        std::uint32_t requestId = 0;
        if (headerValid(packet)) {
            std::memcpy(&operation, &packet[6], 2);
            std::memcpy(&requestId, &packet[8], 4);
        } else if (header.status != qel::ERR_FAILED || reply.size() != 20) {
            ADD_FAILURE() << "packet " << i << ": a bad header must give status 7 and no payload";
            ++failures;
        }
        if (static_cast<std::uint16_t>(header.operation) != operation || header.requestId != requestId) {
            ADD_FAILURE() << "packet " << i << ": reply names operation " << static_cast<int>(header.operation)
                          << " id " << header.requestId << ", expected " << operation << " id " << requestId;
            ++failures;
        }
        ++statuses[header.status];
        closedSomething = header.status == qel::STATUS_NOERROR &&
                          (header.operation == Operation::Close || header.operation == Operation::Disconnect);
        if (failures > 20) break;
    }
    const std::size_t growth = memoryPeak > memoryAfterWarmUp ? memoryPeak - memoryAfterWarmUp : 0;
    std::printf("robustness: %d packets (seed %u), committed memory after warm-up %zu KiB, peak growth %zu KiB\n",
                PACKETS, SEED, memoryAfterWarmUp >> 10, growth >> 10);
    std::printf("robustness: replies by status:");
    for (auto [status, count] : statuses) std::printf(" %d:%d", status, count);
    std::printf("\n");
    EXPECT_LT(growth, MEMORY_GROWTH_LIMIT);
}

}  // namespace
