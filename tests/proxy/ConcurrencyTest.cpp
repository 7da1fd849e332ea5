#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "RelayFixture.h"

namespace qel::test {
namespace {

using Concurrency = RelayFixture;

constexpr std::uint32_t MASK = 0x5A5A5A5A;
constexpr char POINTER_TEXT[] = "Invalid or unsupported IOCTL pointer combination.";

std::uint32_t firstField(const RelayRequest& request) {
    std::uint32_t value = 0;
    std::memcpy(&value, request.payload.data(), sizeof(value));
    return value;
}

// Eight threads at once, each mixing calls whose replies carry their own
// arguments back, calls refused locally (which write the last-error text
// while successful replies reset it) and reads of that text; the relay
// drops the connection now and then, so some calls reconnect and resend.
TEST_F(Concurrency, EveryCallGetsItsOwnReplyAndTheTextIsNeverTorn) {
    constexpr int THREADS = 8;
    constexpr int CALLS = 600;
    std::atomic<int> answered = 0;
    startRelay([&](const RelayRequest& r) {
        RelayAction action;
        switch (r.header.operation) {
        case Operation::Connect:
            action = answer(r, STATUS_NOERROR, writer([&](auto& w) { w.u32(firstField(r) ^ MASK); }));
            break;
        case Operation::ReadMsgs: {
            PASSTHRU_MSG msg = makeMessage(CAN, 4, 0);
            const std::uint32_t channel = firstField(r);
            std::memcpy(msg.Data, &channel, 4);
            action = answer(r, STATUS_NOERROR, writer([&](auto& w) { w.u32(1), w.message(msg); }));
            break;
        }
        default:
            action = answer(r, STATUS_NOERROR);
        }
        action.close = ++answered % 97 == 0;
        return action;
    });

    std::atomic<int> wrongReplies = 0;
    std::atomic<int> tornTexts = 0;
    std::atomic<int> wrongStatuses = 0;
    // Local refusals write the text far faster than remote calls: two threads
    // do nothing else while the callers run.
    std::atomic<bool> calling = true;
    std::vector<std::thread> writers;
    for (int w = 0; w < 2; ++w) {
        writers.emplace_back([&] {
            while (calling) {
                wrongStatuses += dll().ioctl(1, CLEAR_RX_BUFFER, nullptr, &calling) != ERR_INVALID_IOCTL_VALUE;
            }
        });
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < CALLS; ++i) {
                const std::uint32_t own = static_cast<std::uint32_t>(t) << 16 | static_cast<std::uint32_t>(i);
                switch (i % 4) {
                case 0: {
                    std::uint32_t input = 0;
                    wrongStatuses += dll().ioctl(1, CLEAR_TX_BUFFER, &input, nullptr) != ERR_INVALID_IOCTL_VALUE;
                    break;
                }
                case 1: {
                    std::uint32_t channel = 0;
                    wrongStatuses += dll().connect(own, CAN, 0, 500000, &channel) != STATUS_NOERROR;
                    wrongReplies += channel != (own ^ MASK);
                    break;
                }
                case 2: {
                    char text[80] = {};
                    wrongStatuses += dll().getLastError(text) != ERR_NOT_SUPPORTED;
                    tornTexts += std::strcmp(text, "No error.") != 0 && std::strcmp(text, POINTER_TEXT) != 0;
                    break;
                }
                default: {
                    PASSTHRU_MSG msg{};
                    std::uint32_t count = 1;
                    wrongStatuses += dll().readMsgs(own, &msg, &count, 0) != STATUS_NOERROR;
                    std::uint32_t echoed = 0;
                    std::memcpy(&echoed, msg.Data, 4);
                    wrongReplies += count != 1 || echoed != own;
                    break;
                }
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    calling = false;
    for (std::thread& thread : writers) {
        thread.join();
    }
    EXPECT_EQ(wrongStatuses, 0);
    EXPECT_EQ(wrongReplies, 0);
    EXPECT_EQ(tornTexts, 0);

    // Each remote call took one id of its own; a resend repeats its id.
    const auto requests = relay->requests();
    std::set<std::uint32_t> ids;
    for (const RelayRequest& request : requests) {
        ids.insert(request.header.requestId);
    }
    constexpr std::size_t REMOTE_CALLS = THREADS * CALLS * 3 / 4;
    EXPECT_EQ(ids.size(), REMOTE_CALLS);
    EXPECT_EQ(ids.count(0), 0u);
    // One unbroken run: only its first id lacks the one before it.
    const auto starts = std::count_if(ids.begin(), ids.end(), [&](std::uint32_t id) {
        return ids.count(id == 1 ? 0xFFFFFFFF : id - 1) == 0;
    });
    EXPECT_EQ(starts, 1);
    EXPECT_GT(relay->handshakes().size(), 1u);
}

}  // namespace
}  // namespace qel::test
