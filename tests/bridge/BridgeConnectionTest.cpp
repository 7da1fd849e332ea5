#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Standin.h"

namespace qel::test {
namespace {

using Lines = std::vector<std::wstring>;

class BridgeConnection : public ::testing::Test {
protected:
    void SetUp() override { control("reset"); }

    // Runs a client whose handshake is expected to fail and returns its log.
    Lines failedRun(BridgeSettings settings)
    {
        ClientRun run(std::move(settings));
        run.start();
        EXPECT_TRUE(run.waitFinished());
        return run.lines();
    }

    Control control;
};

TEST_F(BridgeConnection, ServerSeesPathHeadersAndAgentAsSent)
{
    const std::wstring station = L"Bench-7.a_b~ \u00e4";
    ClientRun run(standinSettings(station));
    run.start();
    ASSERT_TRUE(run.waitForLine(waitingLine(station)));

    EXPECT_EQ(control("path"), "/base/vci/ws?station=Bench-7.a_b%7E%20%C3%A4");
    EXPECT_EQ(control("header Authorization"), "Basic bWVjaDpiZW5jaA==");
    EXPECT_EQ(control("header X-QEL-Client-Version"), "1");
    EXPECT_EQ(control("header User-Agent"), "Tarnwick Remote VCI Client/1.0");

    run.stop();
    ASSERT_TRUE(run.waitFinished());
    EXPECT_EQ(run.lines(), (Lines{waitingLine(station), L"Disconnected."}));
}

TEST_F(BridgeConnection, CredentialsAreUtf8AndEmptyOnesStillSendTheHeader)
{
    struct Case {
        std::wstring user, password;
        std::string header;
    };
    for (const Case& c : {Case{L"mech", L"p\u00e4:ss", "Basic bWVjaDpww6Q6c3M="}, Case{L"", L"", "Basic Og=="}}) {
        BridgeSettings settings = standinSettings(L"CRED-1");
        settings.username = c.user;
        settings.password = c.password;
        EXPECT_EQ(failedRun(settings),
                  (Lines{L"Connection error: Server rejected the VCI connection with HTTP 401.", L"Disconnected."}));
        EXPECT_EQ(control("header Authorization"), c.header);
    }
}

TEST_F(BridgeConnection, BasePathLosesTrailingSlashesAndARootAddsNothing)
{
    struct Case {
        std::wstring urlPath;
        std::string seenPath;
    };
    const Case cases[] = {
        {L"", "/vci/ws?station=PATH-1"},       {L"/", "/vci/ws?station=PATH-1"},
        {L"//", "/vci/ws?station=PATH-1"},     {L"/base", "/base/vci/ws?station=PATH-1"},
        {L"/base/", "/base/vci/ws?station=PATH-1"}, {L"/base///", "/base/vci/ws?station=PATH-1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.urlPath.begin(), c.urlPath.end()));
        ClientRun run(standinSettings(L"PATH-1", c.urlPath));
        run.start();
        // The stand-in serves /base only, so the root paths are turned away with 404.
        ASSERT_TRUE(run.waitForLines(1));
        EXPECT_EQ(control("path"), c.seenPath);
        run.stop();
        ASSERT_TRUE(run.waitFinished());
    }
}

TEST_F(BridgeConnection, StatusOtherThan101IsRejectedWithIt)
{
    for (const int status : {200, 403, 500}) {
        control("reject " + std::to_string(status));
        EXPECT_EQ(failedRun(standinSettings(L"STATUS-1")),
                  (Lines{L"Connection error: Server rejected the VCI connection with HTTP " + std::to_wstring(status) +
                             L".",
                         L"Disconnected."}));
    }
}

TEST_F(BridgeConnection, RedirectIsNotFollowedSoTheCredentialsStayWithTheServer)
{
    for (const int status : {301, 302, 303, 307, 308}) {
        control("redirect " + std::to_string(status));
        EXPECT_EQ(failedRun(standinSettings(L"MOVED-1")),
                  (Lines{L"Connection error: Server rejected the VCI connection with HTTP " + std::to_wstring(status) +
                             L".",
                         L"Disconnected."}));
        EXPECT_EQ(control("redirect-hits"), "0");
    }
}

TEST_F(BridgeConnection, PlainHttpOnlyToTheThreeLocalNames)
{
    const std::string before = control("upgrades");
    for (const wchar_t* url : {L"http://LOCALHOST:1/", L"http://Localhost/", L"http://127.0.0.2:8080/",
                               L"http://bridge.example.invalid/", L"http://0x7f000001/"}) {
        BridgeSettings settings = standinSettings(L"HTTPS-1");
        settings.serverUrl = url;
        EXPECT_EQ(failedRun(settings),
                  (Lines{L"Connection error: HTTPS is required for remote connections.", L"Disconnected."}));
    }
    EXPECT_EQ(control("upgrades"), before);
}

TEST_F(BridgeConnection, LocalhostByNameIsAcceptedWithoutTls)
{
    BridgeSettings settings = standinSettings(L"LOCAL-1");
    settings.serverUrl = L"http://localhost:" + std::to_wstring(standinPort("BRIDGE")) + L"/base";
    ClientRun run(std::move(settings));
    run.start();
    EXPECT_TRUE(run.waitForLine(waitingLine(L"LOCAL-1")));
}

TEST_F(BridgeConnection, WindowsFailuresNameTheCallAndTheCode)
{
    struct Case {
        std::wstring url;
        std::wstring line;
    };
    // WinHTTP's own codes have no text in the system's message table; a
    // buffer that is too small does, worded as the system words it.
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                   ERROR_INSUFFICIENT_BUFFER, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    const std::wstring systemText = text;
    LocalFree(text);
    const Case cases[] = {
        {L"no url at all", L"Connection error: WinHttpCrackUrl failed (12006)"},
        {L"http://localhost:1/", L"Connection error: WinHttpSendRequest failed (12029)"},
        {L"https://" + std::wstring(600, L'h') + L"/",
         L"Connection error: WinHttpCrackUrl failed (122): " + systemText},
    };
    for (const Case& c : cases) {
        BridgeSettings settings = standinSettings(L"ERR-1");
        settings.serverUrl = c.url;
        EXPECT_EQ(failedRun(settings), (Lines{c.line, L"Disconnected."}));
    }
}

}  // namespace
}  // namespace qel::test
