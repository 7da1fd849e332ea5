// Loading and unloading Pellith. Each test starts with Windows Sockets not
// started in this process, so what is left started afterwards is what the
// test itself and Pellith did not end.
#include <gtest/gtest.h>

#include <winsock2.h>

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

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
        std::set<std::uint32_t> firstIds;
        for (std::size_t i = 0; i < requests.size(); ++i) {
            EXPECT_EQ(requests[i].connection, static_cast<int>(i / 2)) << i;
            EXPECT_NE(requests[i].header.requestId, 0u) << i;
            if (i % 2 == 1) {
                EXPECT_EQ(requests[i].header.requestId, idAfter(requests[i - 1].header.requestId, 1)) << i;
            } else {
                firstIds.insert(requests[i].header.requestId);
            }
        }
        // A load that counted from where the one before began would send the
        // same first packet again, which Quorvane answers from its store.
        EXPECT_EQ(firstIds.size(), 3u) << "each load starts at an id of its own";
        EXPECT_EQ(relay.handshakes().size(), 3u);
    }
    EXPECT_EQ(winsockStartsLeft(), 1);
}

// Runs the tester program beside the test, which makes `calls` calls.
class TesterProcess {
public:
    explicit TesterProcess(int calls) {
        wchar_t self[MAX_PATH];
        std::wstring folder(self, GetModuleFileNameW(nullptr, self, MAX_PATH));
        folder.resize(folder.find_last_of(L'\\') + 1);
        std::wstring commandLine = L"\"" + folder + L"pellith_calls.exe\" " + std::to_wstring(calls);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process_)) {
            throw std::runtime_error("cannot start pellith_calls.exe");
        }
    }
    ~TesterProcess() {
        if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_.hProcess, 3);
        }
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
    TesterProcess(const TesterProcess&) = delete;
    TesterProcess& operator=(const TesterProcess&) = delete;

    // The exit code, or -1 when the process outlived the wait.
    long finish() {
        DWORD code = 0;
        if (WaitForSingleObject(process_.hProcess, 60000) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(process_.hProcess, &code)) {
            return -1;
        }
        return static_cast<long>(code);
    }

private:
    PROCESS_INFORMATION process_{};
};

// Two testers at once on one station, each a process of its own: were their
// ids to meet, one would be answered with the replies given to the other.
TEST(Lifecycle, TwoProcessesStartAtIdsOfTheirOwn) {
    RegistrySettings registry;
    WSADATA data{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    {
        FakeRelay relay(answerAll);
        RegistrySettings::setPort(relay.port());
        TesterProcess first(3);
        TesterProcess second(3);
        EXPECT_EQ(first.finish(), 0);
        EXPECT_EQ(second.finish(), 0);
        std::map<int, std::vector<std::uint32_t>> idsByConnection;
        for (const RelayRequest& request : relay.requests()) {
            idsByConnection[request.connection].push_back(request.header.requestId);
        }
        ASSERT_EQ(idsByConnection.size(), 2u);
        for (const auto& [connection, ids] : idsByConnection) {
            ASSERT_EQ(ids.size(), 3u) << connection;
            EXPECT_NE(ids[0], 0u) << connection;
            EXPECT_EQ(ids[1], idAfter(ids[0], 1)) << connection;
            EXPECT_EQ(ids[2], idAfter(ids[0], 2)) << connection;
        }
        EXPECT_NE(idsByConnection[0][0], idsByConnection[1][0]);
    }
    WSACleanup();
}

}  // namespace
}  // namespace qel::test
