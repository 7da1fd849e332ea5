// Loading and unloading Pellith. Each test starts with Windows Sockets not
// started in this process, so what is left started afterwards is what the
// test itself and Pellith did not end.
#include <gtest/gtest.h>

#include <winsock2.h>

#include "FakeRelay.h"
#include "PellithLibrary.h"
#include "RegistrySettings.h"

namespace qel::test {
namespace {

int winsockStartsLeft() {
    int left = 0;
    while (left < 10 && WSACleanup() == 0) {
        ++left;
    }
    return left;
}

bool pellithLoaded() { return GetModuleHandleW(L"Pellith.dll") != nullptr; }

RelayAction answerAll(const RelayRequest& request) { return answer(request, STATUS_NOERROR); }

TEST(Lifecycle, UnloadWithoutAnyCallStartsNothing) {
    {
        PellithLibrary pellith;
        EXPECT_TRUE(pellithLoaded());
    }
    EXPECT_FALSE(pellithLoaded());
    EXPECT_EQ(winsockStartsLeft(), 0);
}

TEST(Lifecycle, UnloadClosesTheOpenConnectionAndEndsWindowsSocketsOnce) {
    RegistrySettings registry;
    WSADATA data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    {
        FakeRelay relay(answerAll);
        RegistrySettings::setPort(relay.port());
        PellithLibrary pellith;
        EXPECT_EQ(pellith.close(1), STATUS_NOERROR);
        EXPECT_EQ(relay.closedByPeer(), 0);
        pellith.unload();
        EXPECT_FALSE(pellithLoaded());
        EXPECT_TRUE(relay.waitForClosedByPeer(1, 5000));
    }
    EXPECT_EQ(winsockStartsLeft(), 1);
}

TEST(Lifecycle, UnloadAfterAFailedConnectionEndsWindowsSocketsOnce) {
    RegistrySettings registry;
    WSADATA data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    RegistrySettings::setPort(closedPort());
    {
        PellithLibrary pellith;
        EXPECT_EQ(pellith.close(1), ERR_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(pellith.close(1), ERR_DEVICE_NOT_CONNECTED);
    }
    EXPECT_EQ(winsockStartsLeft(), 1);
}

TEST(Lifecycle, ReloadingStartsAfresh) {
    RegistrySettings registry;
    WSADATA data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    {
        FakeRelay relay(answerAll);
        RegistrySettings::setPort(relay.port());
        for (int round = 0; round < 3; ++round) {
            PellithLibrary pellith;
            char text[80] = {};
            RegistrySettings::setPort(closedPort());
            EXPECT_EQ(pellith.close(1), ERR_DEVICE_NOT_CONNECTED);
            RegistrySettings::setPort(relay.port());
            EXPECT_EQ(pellith.close(1), STATUS_NOERROR);
            EXPECT_EQ(pellith.getLastError(text), STATUS_NOERROR);
            EXPECT_STREQ(text, "No error.");
        }
        const auto requests = relay.requests();
        ASSERT_EQ(requests.size(), 6u);
        for (std::size_t i = 0; i < requests.size(); ++i) {
            EXPECT_EQ(requests[i].header.requestId, 2 + i % 2) << i;
            EXPECT_EQ(requests[i].connection, static_cast<int>(i / 2)) << i;
        }
        EXPECT_EQ(relay.handshakes().size(), 3u);
    }
    EXPECT_EQ(winsockStartsLeft(), 1);
}

}  // namespace
}  // namespace qel::test
