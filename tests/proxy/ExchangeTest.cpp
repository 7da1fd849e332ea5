#include <atomic>
#include <chrono>
#include <string>

#include "RelayFixture.h"

namespace qel::test {
namespace {

using Exchange = RelayFixture;

// A call that never reaches the relay still takes an id; one refused by its
// own checks takes none.
TEST_F(Exchange, RequestIdsFollowOneAnotherWhetherOrNotCallsArrive) {
    startRelay([](const RelayRequest& r) {
        RelayAction action = answer(r, STATUS_NOERROR);
        action.stopListening = true;
        action.close = true;
        return action;
    });
    EXPECT_EQ(dll().close(1), STATUS_NOERROR);
    const std::uint32_t first = relay->requests().at(0).header.requestId;
    EXPECT_NE(first, 0u);
    EXPECT_EQ(dll().close(1), ERR_DEVICE_NOT_CONNECTED);  // the relay is gone
    EXPECT_EQ(dll().connect(1, CAN, 0, 500000, nullptr), ERR_NULL_PARAMETER);
    startRelay([](const RelayRequest& r) { return answer(r, STATUS_NOERROR); });
    EXPECT_EQ(dll().close(1), STATUS_NOERROR);
    EXPECT_EQ(dll().disconnect(1), STATUS_NOERROR);
    const auto requests = relay->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].header.requestId, idAfter(first, 2));
    EXPECT_EQ(requests[1].header.requestId, idAfter(first, 3));
}

TEST_F(Exchange, DroppedIdleConnectionIsReopenedWithoutAText) {
    std::atomic<int> seen = 0;
    startRelay([&](const RelayRequest& r) {
        const bool first = seen++ == 0;
        RelayAction action = answer(r, first ? STATUS_NOERROR : ERR_TIMEOUT);
        action.close = first;
        return action;
    });
    EXPECT_EQ(dll().close(1), STATUS_NOERROR);
    Sleep(50);  // the relay's close reaches Pellith's socket
    EXPECT_EQ(dll().close(2), ERR_TIMEOUT);
    EXPECT_EQ(relay->handshakes().size(), 2u);
    const auto closes = requestsOf(Operation::Close);
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_EQ(closes[1].header.requestId, idAfter(closes[0].header.requestId, 1));
    EXPECT_EQ(closes[1].connection, 1);
    // Status 9 keeps the text, so a stored lost-connection text would show here.
    EXPECT_EQ(lastErrorText(), "No error.");
}

TEST_F(Exchange, LostReplyIsResentOnceWithTheSameBytes) {
    startRelay([](const RelayRequest& r) {
        if (r.connection == 0) {
            return RelayAction{{}, 0, true};
        }
        return answer(r, STATUS_NOERROR, writer([](auto& w) { w.u32(42); }));
    });
    std::uint32_t channel = 0;
    EXPECT_EQ(dll().connect(1, CAN, 0, 500000, &channel), STATUS_NOERROR);
    EXPECT_EQ(channel, 42u);
    const auto requests = relay->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].packet, requests[1].packet);
    EXPECT_EQ(relay->handshakes().size(), 2u);
}

TEST_F(Exchange, ReplyLaterThanTheTimeoutIsResent) {
    RegistrySettings::setDword(HKEY_CURRENT_USER, L"TimeoutMs", 1000);  // raised to 5000
    startRelay([](const RelayRequest& r) {
        RelayAction action = answer(r, STATUS_NOERROR, writer([&](auto& w) { w.u32(r.connection == 0 ? 1 : 2); }));
        action.delayMs = r.connection == 0 ? 5600 : 0;
        return action;
    });
    const auto start = std::chrono::steady_clock::now();
    std::uint32_t device = 0;
    EXPECT_EQ(dll().open(nullptr, &device), STATUS_NOERROR);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(device, 2u);
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
    const auto opens = requestsOf(Operation::Open);
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_EQ(opens[0].packet, opens[1].packet);
}

TEST_F(Exchange, SecondLateReplyEndsTheCall) {
    RegistrySettings::setDword(HKEY_CURRENT_USER, L"TimeoutMs", 0);
    startRelay([](const RelayRequest& r) {
        RelayAction action = answer(r, STATUS_NOERROR, writer([](auto& w) { w.u32(5); }));
        action.delayMs = r.header.operation == Operation::Open ? 5600 : 0;
        return action;
    });
    std::uint32_t device = 77;
    EXPECT_EQ(dll().open(nullptr, &device), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(device, 0u);
    EXPECT_EQ(requestsOf(Operation::Open).size(), 2u);
    EXPECT_EQ(lastErrorText(), "Ubuntu Corvell connection was lost.");
}

TEST_F(Exchange, FailedReconnectReportsTheConnectionFailure) {
    startRelay([](const RelayRequest&) { return RelayAction{{}, 0, true, true}; });
    EXPECT_EQ(dll().close(1), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(relay->requests().size(), 1u);
    char text[80] = {};
    EXPECT_EQ(dll().getLastError(text), STATUS_NOERROR);
    EXPECT_STREQ(text, "Cannot connect to Ubuntu Corvell on localhost.");
}

TEST_F(Exchange, RefusedResponseHeaderClosesWithoutResend) {
    std::atomic<int> kind = 0;
    startRelay([&](const RelayRequest& r) {
        const std::uint32_t id = r.header.requestId;
        switch (kind) {
        case 0:
            return rawAnswer("QELX", 1, r.header.operation, id, 0, 0);
        case 1:
            return rawAnswer("QELR", 2, r.header.operation, id, 0, 0);
        default:
            return rawAnswer("QELR", 1, r.header.operation, id, 0, MAX_PAYLOAD_BYTES + 1);
        }
    });
    for (kind = 0; kind < 3; ++kind) {
        EXPECT_EQ(dll().close(1), ERR_DEVICE_NOT_CONNECTED) << kind;
        EXPECT_TRUE(relay->waitForClosedByPeer(kind + 1, 5000)) << kind;
        EXPECT_EQ(requestsOf(Operation::Close).size(), static_cast<std::size_t>(kind + 1));
        EXPECT_EQ(lastErrorText(), "Invalid response from Ubuntu Corvell.");
    }
}

TEST_F(Exchange, MismatchedReplyKeepsTheConnection) {
    std::atomic<int> kind = 0;
    startRelay([&](const RelayRequest& r) {
        switch (kind) {
        case 0:
            return rawAnswer("QELR", 1, r.header.operation, r.header.requestId + 1, 0, 0);
        case 1:
            return rawAnswer("QELR", 1, Operation::Open, r.header.requestId, 0, 0);
        case 2:
            return rawAnswer("QELR", 1, Operation::Ping, 0, ERR_FAILED, 0);
        default:
            return answer(r, STATUS_NOERROR);
        }
    });
    for (kind = 0; kind < 3; ++kind) {
        EXPECT_EQ(dll().close(1), ERR_FAILED) << kind;
        EXPECT_EQ(lastErrorText(), "Corvell response does not match request.") << kind;
    }
    kind = 3;
    EXPECT_EQ(dll().close(1), STATUS_NOERROR);
    EXPECT_EQ(relay->handshakes().size(), 1u);
    EXPECT_EQ(relay->closedByPeer(), 0);
}

TEST_F(Exchange, OnlyStatusZeroResetsTheText) {
    std::atomic<std::int32_t> status = 0;
    startRelay([&](const RelayRequest& r) {
        if (status < 0) {
            return rawAnswer("QELR", 1, r.header.operation, r.header.requestId + 1, 0, 0);
        }
        return answer(r, status);
    });
    status = -1;
    EXPECT_EQ(dll().close(1), ERR_FAILED);
    status = ERR_TIMEOUT;
    EXPECT_EQ(dll().close(1), ERR_TIMEOUT);
    EXPECT_EQ(lastErrorText(), "Corvell response does not match request.");
    status = STATUS_NOERROR;
    EXPECT_EQ(dll().close(1), STATUS_NOERROR);
    EXPECT_EQ(lastErrorText(), "No error.");
}

TEST_F(Exchange, CallsWithoutResultAcceptPayloadBytes) {
    startRelay([](const RelayRequest& r) {
        return answer(r, ERR_DEVICE_IN_USE, writer([](auto& w) { w.u32(1), w.u8(2); }));
    });
    EXPECT_EQ(dll().close(1), ERR_DEVICE_IN_USE);
    EXPECT_EQ(dll().disconnect(1), ERR_DEVICE_IN_USE);
    EXPECT_EQ(dll().stopPeriodicMsg(1, 2), ERR_DEVICE_IN_USE);
    EXPECT_EQ(dll().stopMsgFilter(1, 2), ERR_DEVICE_IN_USE);
    EXPECT_EQ(dll().setProgrammingVoltage(1, 2, 3), ERR_DEVICE_IN_USE);
}

}  // namespace
}  // namespace qel::test
