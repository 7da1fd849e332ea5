// The whole SDconnect target setup with real echoes. Runs only inside the
// network namespace of run-isolated.sh, where 172.29.127.122 and
// 192.168.2.199 answer on loopback and every other address is unreachable.
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "SdconnectNetwork.h"
#include "TestFiles.h"
#include "Utf8.h"

namespace {

using qeltest::freshFolder;
using qeltest::iniValue;
using qeltest::makeFile;
using qeltest::readFile;
using qeltest::TARGET_NAME;

constexpr wchar_t LAN[] = L"172.29.127.122";
constexpr wchar_t WIFI[] = L"192.168.2.199";
constexpr wchar_t SILENT_LAN[] = L"172.29.127.123";
constexpr wchar_t SILENT_WIFI[] = L"192.168.2.200";
constexpr wchar_t KEY_PATH[] = L"Software\\Tarnwick\\SDconnect";

// Refuses to run anything unless loopback is the only adapter in sight.
class IsolatedNetwork : public testing::Environment {
public:
    void SetUp() override {
        ULONG size = 64 * 1024;
        std::vector<unsigned char> buffer(size);
        auto* adapters = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
        const ULONG result = GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, adapters, &size);
        bool isolated = result == ERROR_SUCCESS;
        for (auto* adapter = adapters; isolated && adapter; adapter = adapter->Next) {
            isolated = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
        }
        if (!isolated) {
            std::fprintf(stderr, "Refusing to send echoes: not inside an isolated network (run-isolated.sh).\n");
            std::exit(1);
        }
    }
};
testing::Environment* const g_isolation = testing::AddGlobalTestEnvironment(new IsolatedNetwork);

// Echo requests this network namespace has sent so far.
unsigned long sentEchoes() {
    FILE* file = _wfopen(L"Z:\\proc\\net\\snmp", L"r");
    if (!file) return ~0ul;
    std::vector<std::string> names;
    char line[4096];
    unsigned long echoes = ~0ul;
    while (std::fgets(line, sizeof line, file)) {
        if (std::strncmp(line, "Icmp: ", 6) != 0) continue;
        std::istringstream fields(line + 6);
        if (names.empty()) {
            for (std::string name; fields >> name;) names.push_back(name);
            continue;
        }
        for (const std::string& name : names) {
            unsigned long value = 0;
            fields >> value;
            if (name == "OutEchos") echoes = value;
        }
    }
    std::fclose(file);
    return echoes;
}

struct RegistryString {
    DWORD type = 0;
    DWORD bytes = 0;
    std::wstring text;
};

RegistryString readRegistry(const wchar_t* name) {
    HKEY key = nullptr;
    RegistryString value;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, KEY_PATH, 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) return value;
    wchar_t data[256] = {};
    value.bytes = sizeof(data);
    if (RegQueryValueExW(key, name, nullptr, &value.type, reinterpret_cast<BYTE*>(data), &value.bytes) == ERROR_SUCCESS) {
        value.text = data;
    }
    RegCloseKey(key);
    return value;
}

bool registryKeyExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, KEY_PATH, 0, KEY_READ | KEY_WOW64_32KEY, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

std::wstring env(const wchar_t* name) {
    wchar_t value[256] = {};
    if (GetEnvironmentVariableW(name, value, 256) == 0) return L"<unset>";
    return value;
}

constexpr const wchar_t* WRITTEN_VARIABLES[] = {L"QEL_SDCONNECT_IPLAN", L"QEL_SDCONNECT_IPWIFI", L"SDCONNECT_IPLAN",
                                                L"SDCONNECT_IPWIFI",    L"IPLAN",                L"IPWIFI",
                                                L"QEL_SDCONNECT_TARGET_IP", L"SDCONNECT_TARGET_IP"};

// Each test starts with nothing written and its own program-data folder.
class SetupTest : public testing::Test {
protected:
    void SetUp() override {
        for (const wchar_t* name : WRITTEN_VARIABLES) SetEnvironmentVariableW(name, nullptr);
        RegDeleteTreeW(HKEY_CURRENT_USER, KEY_PATH);
        const std::string test = testing::UnitTest::GetInstance()->current_test_info()->name();
        base = freshFolder(L"C:\\Setup\\" + qel::wide(test));
        programData = base + L"\\ProgramData";
        SetEnvironmentVariableW(L"ProgramData", programData.c_str());
        SetEnvironmentVariableW(L"ProgramFiles(x86)", nullptr);
    }

    qel::SdconnectNetworkStatus configure(const std::wstring& name, const std::wstring& libraryPath,
                                          const std::wstring& lanIp, const std::wstring& wifiIp) {
        const unsigned long before = sentEchoes();
        qel::SdconnectNetworkStatus status =
            qel::configureSdconnectNetwork(name, libraryPath, lanIp, wifiIp, [this](const std::wstring& line) {
                lines.push_back(line);
            });
        echoes += sentEchoes() - before;
        return status;
    }

    std::wstring ownIni() const { return programData + L"\\Tarnwick\\SDconnect\\QEL_SDconnect_Network.ini"; }

    std::wstring base;
    std::wstring programData;
    std::vector<std::wstring> lines;
    unsigned long echoes = 0;
};

const std::wstring NO_TARGET_FILE_LINE =
    L"No installed PDUAPI_I+ME_ACTIA_XS.ini was writable/found. The J2534 provider can still use its own Toolkit "
    L"discovery plus the exported target variables.";
const std::wstring WARNING_LINE =
    L"Warning: neither configured SDconnect IP replied. Check the PC adapter subnet, cable/Wi-Fi, firewall, and "
    L"SDconnect display IP.";

TEST_F(SetupTest, BothAnswerAndEverythingIsWrittenWithTheLan) {
    const std::wstring libraryFolder = base + L"\\Vendor\\SDconnect\\bin\\x86";
    const std::wstring libraryFile = libraryFolder + L"\\" + TARGET_NAME;
    const std::wstring dataFile = programData + L"\\Mercedes-Benz\\Toolkit\\" + TARGET_NAME;
    makeFile(libraryFile, "[SETTING]\r\nTargetIP1=old\r\nProtocol=DoIP\r\n");
    makeFile(dataFile);

    const qel::SdconnectNetworkStatus status = configure(L"SDconnect", libraryFolder + L"\\vci.dll", LAN, WIFI);

    EXPECT_TRUE(status.sdconnectProvider);
    EXPECT_TRUE(status.lanReachable);
    EXPECT_TRUE(status.wifiReachable);
    EXPECT_EQ(status.preferredTarget, LAN);
    EXPECT_EQ(status.configPath, ownIni());
    // The set orders by code unit: the upper-case "P" of ProgramData sorts before "V".
    EXPECT_EQ(status.patchedIniFiles, (std::vector<std::wstring>{dataFile, libraryFile}));
    EXPECT_EQ(echoes, 2u);

    const wchar_t* expectedVariables[] = {LAN, WIFI, LAN, WIFI, LAN, WIFI, LAN, LAN};
    for (std::size_t i = 0; i < std::size(WRITTEN_VARIABLES); ++i) {
        EXPECT_EQ(env(WRITTEN_VARIABLES[i]), expectedVariables[i]) << qel::utf8(WRITTEN_VARIABLES[i]);
    }

    const std::pair<const wchar_t*, std::wstring> expectedValues[] = {
        {L"IPLAN", LAN},
        {L"IPWIFI", WIFI},
        {L"PreferredIP", LAN},
        {L"TargetIP1", std::wstring(LAN) + L",SDconnect"},
        {L"TargetIP2", std::wstring(WIFI) + L",SDconnect"}};
    for (const auto& [name, text] : expectedValues) {
        const RegistryString value = readRegistry(name);
        EXPECT_EQ(value.type, static_cast<DWORD>(REG_SZ)) << qel::utf8(name);
        EXPECT_EQ(value.bytes, (text.size() + 1) * sizeof(wchar_t)) << qel::utf8(name);
        EXPECT_EQ(value.text, text) << qel::utf8(name);
    }

    EXPECT_EQ(iniValue(ownIni(), L"SDconnect", L"IPLAN"), LAN);
    EXPECT_EQ(iniValue(ownIni(), L"SDconnect", L"IPWIFI"), WIFI);
    EXPECT_EQ(iniValue(ownIni(), L"SDconnect", L"PreferredIP"), LAN);
    EXPECT_EQ(iniValue(ownIni(), L"SETTING", L"TargetIP1"), std::wstring(LAN) + L",SDconnect");
    EXPECT_EQ(iniValue(ownIni(), L"SETTING", L"TargetIP2"), std::wstring(WIFI) + L",SDconnect");
    // Written in order, the entries lie in the file in order.
    const std::string own = readFile(ownIni());
    std::size_t at = 0;
    for (const char* entry : {"[SDconnect]", "IPLAN=", "IPWIFI=", "PreferredIP=", "[SETTING]", "TargetIP1=", "TargetIP2="}) {
        const std::size_t next = own.find(entry, at);
        ASSERT_NE(next, std::string::npos) << entry << " in\n" << own;
        at = next;
    }

    for (const std::wstring& file : {libraryFile, dataFile}) {
        EXPECT_EQ(iniValue(file, L"SETTING", L"TargetIP1"), std::wstring(LAN) + L",SDconnect");
        EXPECT_EQ(iniValue(file, L"SETTING", L"TargetIP2"), std::wstring(WIFI) + L",SDconnect");
    }
    EXPECT_EQ(iniValue(libraryFile, L"SETTING", L"Protocol"), L"DoIP");

    EXPECT_EQ(lines, (std::vector<std::wstring>{
                         L"SDconnect target setup: LAN 172.29.127.122 | Wi-Fi 192.168.2.199.",
                         L"SDconnect LAN probe 172.29.127.122: reachable.",
                         L"SDconnect Wi-Fi probe 192.168.2.199: reachable.",
                         L"SDconnect preferred target: 172.29.127.122 (LAN has priority when reachable).",
                         L"SDconnect network configuration saved to: " + ownIni(),
                         L"Patched 2 installed SDconnect D-PDU target INI file(s)."}));
}

TEST_F(SetupTest, OnlyWifiAnswersAndBecomesTheTarget) {
    // No keyword in the name: the Xentry folder makes it a provider. Its
    // target file is reached from all four nested roots and patched once.
    const std::wstring libraryFolder = base + L"\\xentry\\a\\b";
    const std::wstring libraryFile = libraryFolder + L"\\" + TARGET_NAME;
    makeFile(libraryFile);

    const qel::SdconnectNetworkStatus status = configure(L"Vendor pass-thru", libraryFolder + L"\\vci.dll", SILENT_LAN, WIFI);

    EXPECT_FALSE(status.lanReachable);
    EXPECT_TRUE(status.wifiReachable);
    EXPECT_EQ(status.preferredTarget, WIFI);
    EXPECT_EQ(status.patchedIniFiles, std::vector<std::wstring>{libraryFile});
    EXPECT_EQ(echoes, 1u);

    EXPECT_EQ(env(L"QEL_SDCONNECT_TARGET_IP"), WIFI);
    EXPECT_EQ(env(L"SDCONNECT_TARGET_IP"), WIFI);
    EXPECT_EQ(env(L"IPLAN"), SILENT_LAN);
    EXPECT_EQ(readRegistry(L"PreferredIP").text, WIFI);
    EXPECT_EQ(readRegistry(L"TargetIP1").text, std::wstring(SILENT_LAN) + L",SDconnect");
    EXPECT_EQ(readRegistry(L"TargetIP2").text, std::wstring(WIFI) + L",SDconnect");
    EXPECT_EQ(iniValue(ownIni(), L"SDconnect", L"PreferredIP"), WIFI);
    EXPECT_EQ(iniValue(libraryFile, L"SETTING", L"TargetIP1"), std::wstring(SILENT_LAN) + L",SDconnect");

    EXPECT_EQ(lines, (std::vector<std::wstring>{
                         L"SDconnect target setup: LAN 172.29.127.123 | Wi-Fi 192.168.2.199.",
                         L"SDconnect LAN probe 172.29.127.123: no ICMP reply.",
                         L"SDconnect Wi-Fi probe 192.168.2.199: reachable.",
                         L"SDconnect preferred target: 192.168.2.199 (LAN has priority when reachable).",
                         L"SDconnect network configuration saved to: " + ownIni(),
                         L"Patched 1 installed SDconnect D-PDU target INI file(s)."}));
}

TEST_F(SetupTest, NeitherAnswersTheLanStaysTargetAndTheWarningEnds) {
    // A read-only target file is found but not counted.
    const std::wstring readOnly = base + L"\\Caesar\\a\\b\\" + TARGET_NAME;
    makeFile(readOnly, "[SETTING]\r\n");
    ASSERT_TRUE(SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY));

    const qel::SdconnectNetworkStatus status =
        configure(L"Caesar", base + L"\\Caesar\\a\\b\\vci.dll", SILENT_LAN, SILENT_WIFI);

    EXPECT_FALSE(status.lanReachable);
    EXPECT_FALSE(status.wifiReachable);
    EXPECT_EQ(status.preferredTarget, SILENT_LAN);
    EXPECT_TRUE(status.patchedIniFiles.empty());
    EXPECT_EQ(readFile(readOnly), "[SETTING]\r\n");
    EXPECT_EQ(env(L"SDCONNECT_TARGET_IP"), SILENT_LAN);
    EXPECT_EQ(readRegistry(L"PreferredIP").text, SILENT_LAN);
    EXPECT_EQ(iniValue(ownIni(), L"SDconnect", L"PreferredIP"), SILENT_LAN);

    EXPECT_EQ(lines, (std::vector<std::wstring>{
                         L"SDconnect target setup: LAN 172.29.127.123 | Wi-Fi 192.168.2.200.",
                         L"SDconnect LAN probe 172.29.127.123: no ICMP reply.",
                         L"SDconnect Wi-Fi probe 192.168.2.200: no ICMP reply.",
                         L"SDconnect preferred target: 172.29.127.123 (LAN has priority when reachable).",
                         L"SDconnect network configuration saved to: " + ownIni(), NO_TARGET_FILE_LINE,
                         WARNING_LINE}));
}

TEST_F(SetupTest, AHostNameIsNeverResolvedOrProbed) {
    const qel::SdconnectNetworkStatus status = configure(L"SDconnect", L"vci.dll", L"localhost", L"127.0.0.1");
    EXPECT_FALSE(status.lanReachable);
    EXPECT_TRUE(status.wifiReachable);
    EXPECT_EQ(echoes, 1u);  // the one to 127.0.0.1
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], L"SDconnect LAN probe localhost: no ICMP reply.");
    EXPECT_EQ(lines[2], L"SDconnect Wi-Fi probe 127.0.0.1: reachable.");
}

TEST_F(SetupTest, AnEmptyLogStillProbesAndWrites) {
    const std::wstring libraryFile = base + L"\\das\\a\\b\\" + TARGET_NAME;
    makeFile(libraryFile);
    const unsigned long before = sentEchoes();
    const qel::SdconnectNetworkStatus status =
        qel::configureSdconnectNetwork(L"Vendor", base + L"\\das\\a\\b\\vci.dll", LAN, WIFI, qel::LogCallback{});
    EXPECT_EQ(sentEchoes() - before, 2u);
    EXPECT_TRUE(status.lanReachable);
    EXPECT_EQ(status.patchedIniFiles, std::vector<std::wstring>{libraryFile});
    EXPECT_EQ(env(L"SDCONNECT_TARGET_IP"), LAN);
    EXPECT_EQ(readRegistry(L"IPWIFI").text, WIFI);
    EXPECT_EQ(iniValue(ownIni(), L"SETTING", L"TargetIP2"), std::wstring(WIFI) + L",SDconnect");
}

TEST_F(SetupTest, OwnIniFallsBackToCProgramDataAndCreatesItsFolders) {
    for (const wchar_t* programDataValue : {L"", static_cast<const wchar_t*>(nullptr)}) {
        std::filesystem::remove_all(L"C:\\ProgramData\\Tarnwick");
        SetEnvironmentVariableW(L"ProgramData", programDataValue);
        const qel::SdconnectNetworkStatus status = configure(L"SDconnect", L"vci.dll", LAN, WIFI);
        const std::wstring path = L"C:\\ProgramData\\Tarnwick\\SDconnect\\QEL_SDconnect_Network.ini";
        EXPECT_EQ(status.configPath, path);
        EXPECT_EQ(iniValue(path, L"SDconnect", L"IPLAN"), LAN);
        EXPECT_EQ(lines.at(4), L"SDconnect network configuration saved to: " + path);
        lines.clear();
    }

    SetEnvironmentVariableW(L"ProgramData", (base + L"\\deep\\er\\data").c_str());
    const qel::SdconnectNetworkStatus status = configure(L"SDconnect", L"vci.dll", LAN, WIFI);
    EXPECT_EQ(status.configPath, base + L"\\deep\\er\\data\\Tarnwick\\SDconnect\\QEL_SDconnect_Network.ini");
    EXPECT_EQ(iniValue(status.configPath, L"SETTING", L"TargetIP1"), std::wstring(LAN) + L",SDconnect");
}

TEST_F(SetupTest, AnUnwritableOwnIniIsNotReportedAsSaved) {
    const std::string content = "[SDconnect]\r\nIPLAN=old\r\n";
    makeFile(ownIni(), content);
    ASSERT_TRUE(SetFileAttributesW(ownIni().c_str(), FILE_ATTRIBUTE_READONLY));
    const qel::SdconnectNetworkStatus status = configure(L"SDconnect", L"vci.dll", LAN, WIFI);
    EXPECT_EQ(status.configPath, ownIni());
    EXPECT_EQ(readFile(ownIni()), content);
    EXPECT_EQ(lines.at(4), L"SDconnect network configuration could not be saved to: " + ownIni());
    EXPECT_EQ(env(L"IPLAN"), LAN);
    EXPECT_EQ(readRegistry(L"IPLAN").text, LAN);
}

TEST_F(SetupTest, ANonProviderGetsNothingAtAll) {
    const std::wstring libraryFile = base + L"\\Vendor\\a\\b\\" + TARGET_NAME;
    makeFile(libraryFile, "[SETTING]\r\n");
    struct Interface {
        const wchar_t* name;
        std::wstring libraryPath;
    };
    const Interface interfaces[] = {{L"SD-Connect PDU", base + L"\\Vendor\\a\\b\\vci.dll"},
                                    {L"Vendor", base + L"\\Vendor\\a\\b\\pduapi.dll"},
                                    {L"I+ME XS", base + L"\\Vendor\\a\\b\\vci.dll"}};
    for (const Interface& vci : interfaces) {
        const qel::SdconnectNetworkStatus status = configure(vci.name, vci.libraryPath, LAN, WIFI);
        EXPECT_FALSE(status.sdconnectProvider);
        EXPECT_FALSE(status.lanReachable);
        EXPECT_FALSE(status.wifiReachable);
        EXPECT_TRUE(status.preferredTarget.empty());
        EXPECT_TRUE(status.configPath.empty());
        EXPECT_TRUE(status.patchedIniFiles.empty());
    }
    EXPECT_EQ(echoes, 0u);
    EXPECT_TRUE(lines.empty());
    for (const wchar_t* name : WRITTEN_VARIABLES) EXPECT_EQ(env(name), L"<unset>") << qel::utf8(name);
    EXPECT_FALSE(registryKeyExists());
    EXPECT_FALSE(std::filesystem::exists(programData));
    EXPECT_EQ(readFile(libraryFile), "[SETTING]\r\n");
}

TEST_F(SetupTest, AFailingLogCallbackLeavesTheSetup) {
    int calls = 0;
    EXPECT_THROW(qel::configureSdconnectNetwork(L"SDconnect", L"vci.dll", LAN, WIFI,
                                                [&calls](const std::wstring&) {
                                                    ++calls;
                                                    throw std::runtime_error("log box gone");
                                                }),
                 std::runtime_error);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(env(L"IPLAN"), L"<unset>");
}

}  // namespace
