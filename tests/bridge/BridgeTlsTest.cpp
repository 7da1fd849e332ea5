#include "Standin.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qel::test {
namespace {

// Whether a plain HTTPS GET gets an answer when every certificate complaint is
// waived: shows that the server speaks TLS that this WinHTTP understands.
bool answersWithCertificateChecksWaived(std::uint16_t port)
{
    HINTERNET session = WinHttpOpen(L"probe", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET connection = WinHttpConnect(session, L"127.0.0.1", port, 0);
    HINTERNET request = WinHttpOpenRequest(connection, L"GET", L"/probe", nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE);
    DWORD waived = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                   SECURITY_FLAG_IGNORE_CERT_DATE_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
    WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &waived, sizeof(waived));
    const bool answered = WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                                             0, 0) &&
                          WinHttpReceiveResponse(request, nullptr);
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connection);
    WinHttpCloseHandle(session);
    return answered;
}

// The stand-in serves the bridge over TLS with a certificate that nothing
// trusts: the connection must fail in the TLS handshake, before a single
// HTTP byte (and so the password) leaves the client.
TEST(BridgeTls, UntrustedCertificateFailsBeforeCredentialsAreSent)
{
    Control control;
    BridgeSettings settings = standinSettings(L"TLS-1");
    settings.serverUrl = L"https://127.0.0.1:" + std::to_wstring(standinPort("BRIDGE")) + L"/base";
    ClientRun run(std::move(settings));
    run.start();
    ASSERT_TRUE(run.waitFinished());

    const std::vector<std::wstring> lines = run.lines();
    ASSERT_EQ(lines.size(), 2u);
    // Windows reports the untrusted certificate as 12175, Wine as 12157.
    EXPECT_TRUE(lines[0] == L"Connection error: WinHttpSendRequest failed (12175)" ||
                lines[0] == L"Connection error: WinHttpSendRequest failed (12157)")
        << lines[0];
    EXPECT_EQ(lines[1], L"Disconnected.");
    EXPECT_EQ(control("upgrades"), "0");
    EXPECT_EQ(control("authorization-seen"), "no");

    ASSERT_TRUE(answersWithCertificateChecksWaived(standinPort("BRIDGE")));
    EXPECT_EQ(control("upgrades"), "1");
    EXPECT_EQ(control("authorization-seen"), "no");
}

}  // namespace
}  // namespace qel::test
