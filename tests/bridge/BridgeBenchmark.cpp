// Prints how fast requests travel relay -> bridge -> BridgeClient -> executor
// and back through the loopback stand-in. Figures only; nothing is timed
// against a goal here.
#include "Standin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "PacketHeaders.h"

namespace qel::test {
namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

TEST(BridgeBenchmark, RelayedPingRoundTrip)
{
    Control control;
    ClientRun run(standinSettings(L"BENCH-1"));
    run.start();
    ASSERT_TRUE(run.waitForLine(waitingLine(L"BENCH-1")));
    control("wait-connected BENCH-1 5000");
    Relay relay("BENCH-1");

    std::vector<double> samples;
    for (std::uint32_t id = 1; id <= 500; ++id) {
        const auto request = buildRequest(Operation::Ping, id, PacketWriter());
        const auto start = Clock::now();
        const auto response = relay.exchange(request);
        samples.push_back(micros(Clock::now() - start));
        ASSERT_EQ(response.size(), RESPONSE_HEADER_BYTES + 28);
    }
    std::sort(samples.begin(), samples.end());
    std::printf("relayed Ping round trip over %zu requests: p50 %.0f us, p99 %.0f us, max %.0f us\n",
                samples.size(), samples[samples.size() / 2], samples[samples.size() * 99 / 100], samples.back());
}

TEST(BridgeBenchmark, LargestRequestThroughTheBridge)
{
    Control control;
    ClientRun run(standinSettings(L"BENCH-2"));
    run.start();
    ASSERT_TRUE(run.waitForLine(waitingLine(L"BENCH-2")));
    control("wait-connected BENCH-2 5000");
    std::vector<std::uint8_t> header = buildRequest(Operation::Ping, 1, PacketWriter());
    header[15] = 0x02;  // payloadLength 0x2000000
    const auto start = Clock::now();
    const std::string answer = control("send-size BENCH-2 " + toHex(header) + " " +
                                       std::to_string(REQUEST_HEADER_BYTES + MAX_PAYLOAD_BYTES) + " 60000");
    const double seconds = micros(Clock::now() - start) / 1e6;
    EXPECT_EQ(answer.size(), 2 * RESPONSE_HEADER_BYTES);
    std::printf("request of %u bytes received, joined and answered in %.2f s (%.0f MB/s)\n",
                REQUEST_HEADER_BYTES + MAX_PAYLOAD_BYTES, seconds, (REQUEST_HEADER_BYTES + MAX_PAYLOAD_BYTES) / seconds / 1e6);
}

}  // namespace
}  // namespace qel::test
