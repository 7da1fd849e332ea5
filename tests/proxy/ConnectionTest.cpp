#include <string>

#include "RelayFixture.h"

namespace qel::test {
namespace {

using Connection = RelayFixture;

Bytes handshakeFor(const std::string& station) {
    const std::string bytes = std::string("QELH\x01\x00", 6) + static_cast<char>(station.size()) + '\0' + station;
    return Bytes(bytes.begin(), bytes.end());
}

TEST_F(Connection, FirstCallSendsTheHandshakeThenTheRequest) {
    startRelay([](const RelayRequest& r) { return answer(r, STATUS_NOERROR); });
    EXPECT_EQ(dll().close(0x01020304), STATUS_NOERROR);
    EXPECT_EQ(relay->handshakes(), std::vector<Bytes>{handshakeFor("VYR-SERVER")});
    const auto requests = relay->requests();
    ASSERT_EQ(requests.size(), 1u);
    // The first id of a load is not known beforehand; it is never 0.
    const std::uint32_t id = requests[0].header.requestId;
    EXPECT_NE(id, 0u);
    const auto idByte = [id](int index) { return static_cast<std::uint8_t>(id >> (8 * index)); };
    const Bytes expected = {'Q', 'E', 'L', '1', 1, 0, 2, 0, idByte(0), idByte(1), idByte(2), idByte(3),
                            4,   0,   0,   0,   4, 3, 2, 1};
    EXPECT_EQ(requests[0].packet, expected);
}

TEST_F(Connection, WithoutSettingsReachesTheDefaultPort) {
    try {
        relay.emplace([](const RelayRequest& r) { return answer(r, STATUS_NOERROR); }, 28434);
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "port 28434 is taken on this machine";
    }
    EXPECT_EQ(dll().close(1), STATUS_NOERROR);
    EXPECT_EQ(relay->handshakes(), std::vector<Bytes>{handshakeFor("VYR-SERVER")});
}

TEST_F(Connection, StationIdLengthCountsUtf8Bytes) {
    startRelay([](const RelayRequest& r) { return answer(r, STATUS_NOERROR); });
    const std::wstring euro(1, L'\u20AC');
    const struct {
        std::wstring station;
        std::string utf8;
        bool valid;
    } cases[] = {
        {L"ab", "ab", false},
        {L"abc", "abc", true},
        {std::wstring(64, L's'), std::string(64, 's'), true},
        {std::wstring(65, L's'), "", false},
        {[&] { std::wstring s; for (int i = 0; i < 21; ++i) s += euro; return s; }(), "", true},
        {[&] { std::wstring s; for (int i = 0; i < 22; ++i) s += euro; return s; }(), "", false},
    };
    std::size_t connections = 0;
    for (const auto& c : cases) {
        pellith.reset();
        pellith.emplace();
        RegistrySettings::setString(HKEY_CURRENT_USER, L"StationId", c.station);
        const std::int32_t status = dll().close(1);
        if (!c.valid) {
            EXPECT_EQ(status, ERR_DEVICE_NOT_CONNECTED) << c.station.size();
            char text[80] = {};
            EXPECT_EQ(dll().getLastError(text), STATUS_NOERROR);
            EXPECT_STREQ(text, "Remote VCI StationId is invalid.");
            continue;
        }
        EXPECT_EQ(status, STATUS_NOERROR) << c.station.size();
        const auto handshakes = relay->handshakes();
        ASSERT_EQ(handshakes.size(), ++connections);
        const Bytes& sent = handshakes.back();
        const std::size_t length = sent[6] | sent[7] << 8;
        EXPECT_EQ(length + 8, sent.size());
        if (!c.utf8.empty()) {
            EXPECT_EQ(sent, handshakeFor(c.utf8));
        } else {
            EXPECT_EQ(length, 63u);
            EXPECT_EQ(sent[8], 0xE2);
        }
    }
}

TEST_F(Connection, UnreachableRelay) {
    RegistrySettings::setPort(closedPort());
    std::uint32_t channel = 99;
    EXPECT_EQ(dll().connect(1, ISO15765, 0, 500000, &channel), ERR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(channel, 0u);
    char text[80] = {};
    EXPECT_EQ(dll().getLastError(text), STATUS_NOERROR);
    EXPECT_STREQ(text, "Cannot connect to Ubuntu Corvell on localhost.");
}

TEST_F(Connection, UnresolvableHost) {
    // A label above 63 characters fails inside the resolver: no query leaves the machine.
    RegistrySettings::setString(HKEY_CURRENT_USER, L"Host", std::wstring(64, L'a') + L".invalid");
    EXPECT_EQ(dll().close(1), ERR_DEVICE_NOT_CONNECTED);
    char text[80] = {};
    EXPECT_EQ(dll().getLastError(text), STATUS_NOERROR);
    EXPECT_STREQ(text, "Unable to resolve the Ubuntu Corvell host.");
}

TEST_F(Connection, SettingsAreReadAgainAtEachAttempt) {
    RegistrySettings::setPort(closedPort());
    EXPECT_EQ(dll().close(1), ERR_DEVICE_NOT_CONNECTED);
    startRelay([](const RelayRequest& r) { return answer(r, STATUS_NOERROR); });
    EXPECT_EQ(dll().close(1), STATUS_NOERROR);
    EXPECT_EQ(relay->requests().size(), 1u);
}

TEST_F(Connection, HostNameWithSeveralAddressesUsesTheOneThatAnswers) {
    startRelay([](const RelayRequest& r) { return answer(r, STATUS_NOERROR); });
    RegistrySettings::setString(HKEY_CURRENT_USER, L"Host", L"localhost");
    EXPECT_EQ(dll().close(1), STATUS_NOERROR);
    EXPECT_EQ(relay->handshakes().size(), 1u);
}

TEST_F(Connection, OneConnectionServesEveryLaterCall) {
    startRelay([](const RelayRequest& r) { return answer(r, STATUS_NOERROR); });
    EXPECT_EQ(dll().close(1), STATUS_NOERROR);
    EXPECT_EQ(dll().disconnect(2), STATUS_NOERROR);
    EXPECT_EQ(dll().stopMsgFilter(3, 4), STATUS_NOERROR);
    EXPECT_EQ(dll().close(1), STATUS_NOERROR);
    EXPECT_EQ(relay->handshakes().size(), 1u);
    EXPECT_EQ(relay->closedByPeer(), 0);
    for (const RelayRequest& request : relay->requests()) {
        EXPECT_EQ(request.connection, 0);
    }
}

}  // namespace
}  // namespace qel::test
