#include "SdconnectNetwork.h"

// icmpapi.h depends on these, in this order.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>

#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <set>

namespace qel {
namespace {

constexpr const wchar_t* PROVIDER_KEYWORDS[] = {L"SDCONNECT", L"SD CONNECT", L"CAESAR",
                                                L"XENTRY",    L"DAS",        L"I+ME ACTIA"};
constexpr DWORD PROBE_TIMEOUT_MS = 700;
constexpr DWORD ECHO_REPLY_BYTES = 106;
constexpr wchar_t TARGET_SUFFIX[] = L",SDconnect";
constexpr wchar_t TARGET_INI_NAME[] = L"PDUAPI_I+ME_ACTIA_XS.ini";
constexpr std::uint32_t MATCH_BUDGET = 32;
// Folders of depth 0 (a root) to 5 are listed; depth 6 never is.
constexpr std::uint32_t DEPTH_LIMIT = 6;

using PathSet = std::set<std::wstring>;

class IcmpHandle {
public:
    IcmpHandle() : handle_(IcmpCreateFile()) {}
    ~IcmpHandle() {
        if (valid()) IcmpCloseHandle(handle_);
    }
    IcmpHandle(const IcmpHandle&) = delete;
    IcmpHandle& operator=(const IcmpHandle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() {
        if (key_) RegCloseKey(key_);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

class FindHandle {
public:
    explicit FindHandle(HANDLE handle) : handle_(handle) {}
    ~FindHandle() {
        if (valid()) FindClose(handle_);
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

std::wstring envValue(const wchar_t* name) {
    const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return {};
    std::wstring value(size, L'\0');
    GetEnvironmentVariableW(name, value.data(), size);
    if (value.back() == L'\0') value.pop_back();
    return value;
}

std::wstring directoryOf(const std::wstring& path) {
    const std::size_t last = path.find_last_of(L"\\/");
    if (last == std::wstring::npos) return {};
    return path.substr(0, last);
}

std::wstring parentOf(const std::wstring& path) {
    std::wstring trimmed = path;
    while (!trimmed.empty() && isSeparator(trimmed.back())) trimmed.pop_back();
    return directoryOf(trimmed);
}

bool isDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void ensureDirectoryTree(const std::wstring& path) {
    if (path.empty() || isDirectory(path)) return;
    const std::wstring parent = parentOf(path);
    if (!parent.empty() && parent != path) ensureDirectoryTree(parent);
    CreateDirectoryW(path.c_str(), nullptr);
}

void findIniRecursive(const std::wstring& folder, std::uint32_t depth, std::uint32_t& budget, PathSet& found) {
    if (budget == 0 || depth >= DEPTH_LIMIT || folder.empty()) return;
    if (!isDirectory(folder)) return;
    WIN32_FIND_DATAW entry{};
    const FindHandle listing(FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!listing.valid()) return;
    do {
        if (budget == 0) break;
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // Junctions and directory links may lead anywhere, even back up the tree.
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                findIniRecursive(path, depth + 1, budget, found);
            }
        } else if (_wcsicmp(entry.cFileName, TARGET_INI_NAME) == 0) {
            found.insert(path);
            --budget;
        }
    } while (FindNextFileW(listing.get(), &entry) != 0);
}

PathSet findTargetIniFiles(const std::wstring& libraryPath) {
    PathSet roots;
    std::wstring folder = directoryOf(libraryPath);
    for (int level = 0; level < 4 && !folder.empty(); ++level) {
        roots.insert(folder);
        folder = parentOf(folder);
    }
    const std::wstring programFilesX86 = envValue(L"ProgramFiles(x86)");
    const std::wstring programData = envValue(L"ProgramData");
    if (!programFilesX86.empty()) {
        roots.insert(programFilesX86 + L"\\Mercedes-Benz\\SDconnect Toolkit");
        roots.insert(programFilesX86 + L"\\Mercedes-Benz\\Xentry");
    }
    if (!programData.empty()) roots.insert(programData + L"\\Mercedes-Benz");

    std::uint32_t budget = MATCH_BUDGET;
    PathSet found;
    for (const std::wstring& root : roots) findIniRecursive(root, 0, budget, found);
    return found;
}

bool patchTargetIni(const std::wstring& path, const std::wstring& lanIp, const std::wstring& wifiIp) {
    const std::wstring target1 = lanIp + TARGET_SUFFIX;
    const std::wstring target2 = wifiIp + TARGET_SUFFIX;
    const bool wrote1 = WritePrivateProfileStringW(L"SETTING", L"TargetIP1", target1.c_str(), path.c_str()) != 0;
    const bool wrote2 = WritePrivateProfileStringW(L"SETTING", L"TargetIP2", target2.c_str(), path.c_str()) != 0;
    // Flushes the platform's cached copy so the vendor software reads the new entries.
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, path.c_str());
    return wrote1 && wrote2;
}

bool pingIpv4(const std::wstring& address, std::uint32_t timeoutMs) {
    IN_ADDR destination{};
    if (InetPtonW(AF_INET, address.c_str(), &destination) != 1) return false;
    const IcmpHandle icmp;
    if (!icmp.valid()) return false;
    char request[] = "QEL-SDCONNECT";
    static_assert(sizeof(request) == 14, "the echo carries the text and its terminating zero");
    std::vector<unsigned char> reply(ECHO_REPLY_BYTES, 0);
    const DWORD replies = IcmpSendEcho(icmp.get(), destination.S_un.S_addr, request, sizeof(request), nullptr,
                                       reply.data(), ECHO_REPLY_BYTES, timeoutMs);
    return replies != 0;
}

void setRegistryString(HKEY key, const wchar_t* name, const std::wstring& value) {
    const DWORD bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes);
}

void writeRegistryValues(const std::wstring& lanIp, const std::wstring& wifiIp, const std::wstring& preferred) {
    RegistryKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Tarnwick\\SDconnect", 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE | KEY_WOW64_32KEY, nullptr, key.out(), nullptr) != ERROR_SUCCESS) {
        return;
    }
    setRegistryString(key.get(), L"IPLAN", lanIp);
    setRegistryString(key.get(), L"IPWIFI", wifiIp);
    setRegistryString(key.get(), L"PreferredIP", preferred);
    setRegistryString(key.get(), L"TargetIP1", lanIp + TARGET_SUFFIX);
    setRegistryString(key.get(), L"TargetIP2", wifiIp + TARGET_SUFFIX);
}

// Creates the folder on the way.
std::wstring ownIniPath() {
    std::wstring programData = envValue(L"ProgramData");
    if (programData.empty()) programData = L"C:\\ProgramData";
    const std::wstring folder = programData + L"\\Tarnwick\\SDconnect";
    ensureDirectoryTree(folder);
    return folder + L"\\QEL_SDconnect_Network.ini";
}

struct IniEntry {
    const wchar_t* section;
    const wchar_t* key;
    std::wstring value;
};

// True when every entry was written.
bool writeOwnIni(const std::wstring& path, const std::wstring& lanIp, const std::wstring& wifiIp,
                 const std::wstring& preferred) {
    const IniEntry entries[] = {{L"SDconnect", L"IPLAN", lanIp},
                                {L"SDconnect", L"IPWIFI", wifiIp},
                                {L"SDconnect", L"PreferredIP", preferred},
                                {L"SETTING", L"TargetIP1", lanIp + TARGET_SUFFIX},
                                {L"SETTING", L"TargetIP2", wifiIp + TARGET_SUFFIX}};
    bool written = true;
    for (const IniEntry& entry : entries) {
        if (WritePrivateProfileStringW(entry.section, entry.key, entry.value.c_str(), path.c_str()) == 0) {
            written = false;
        }
    }
    WritePrivateProfileStringW(nullptr, nullptr, nullptr, path.c_str());
    return written;
}

std::wstring probeLine(const wchar_t* label, const std::wstring& address, bool reachable) {
    return std::wstring(L"SDconnect ") + label + L" probe " + address +
           (reachable ? L": reachable." : L": no ICMP reply.");
}

}  // namespace

bool looksLikeSdconnectProvider(const std::wstring& name, const std::wstring& libraryPath) {
    std::wstring text = name + L" " + libraryPath;
    for (wchar_t& c : text) c = static_cast<wchar_t>(towupper(static_cast<wint_t>(c)));
    for (const wchar_t* keyword : PROVIDER_KEYWORDS) {
        if (text.find(keyword) != std::wstring::npos) return true;
    }
    return false;
}

SdconnectNetworkStatus configureSdconnectNetwork(const std::wstring& name, const std::wstring& libraryPath,
                                                 const std::wstring& lanIp, const std::wstring& wifiIp,
                                                 const LogCallback& log) {
    SdconnectNetworkStatus status;
    status.sdconnectProvider = looksLikeSdconnectProvider(name, libraryPath);
    if (!status.sdconnectProvider) return status;

    if (log) log(L"SDconnect target setup: LAN " + lanIp + L" | Wi-Fi " + wifiIp + L".");

    status.lanReachable = pingIpv4(lanIp, PROBE_TIMEOUT_MS);
    status.wifiReachable = pingIpv4(wifiIp, PROBE_TIMEOUT_MS);
    // With no answer at all the LAN address stays the target, so that every
    // place written below still names one.
    status.preferredTarget = (status.wifiReachable && !status.lanReachable) ? wifiIp : lanIp;

    SetEnvironmentVariableW(L"QEL_SDCONNECT_IPLAN", lanIp.c_str());
    SetEnvironmentVariableW(L"QEL_SDCONNECT_IPWIFI", wifiIp.c_str());
    SetEnvironmentVariableW(L"SDCONNECT_IPLAN", lanIp.c_str());
    SetEnvironmentVariableW(L"SDCONNECT_IPWIFI", wifiIp.c_str());
    SetEnvironmentVariableW(L"IPLAN", lanIp.c_str());
    SetEnvironmentVariableW(L"IPWIFI", wifiIp.c_str());
    SetEnvironmentVariableW(L"QEL_SDCONNECT_TARGET_IP", status.preferredTarget.c_str());
    SetEnvironmentVariableW(L"SDCONNECT_TARGET_IP", status.preferredTarget.c_str());

    writeRegistryValues(lanIp, wifiIp, status.preferredTarget);
    status.configPath = ownIniPath();
    const bool configSaved = writeOwnIni(status.configPath, lanIp, wifiIp, status.preferredTarget);

    for (const std::wstring& path : findTargetIniFiles(libraryPath)) {
        if (patchTargetIni(path, lanIp, wifiIp)) status.patchedIniFiles.push_back(path);
    }

    if (!log) return status;
    log(probeLine(L"LAN", lanIp, status.lanReachable));
    log(probeLine(L"Wi-Fi", wifiIp, status.wifiReachable));
    log(L"SDconnect preferred target: " + status.preferredTarget + L" (LAN has priority when reachable).");
    log((configSaved ? L"SDconnect network configuration saved to: "
                     : L"SDconnect network configuration could not be saved to: ") +
        status.configPath);
    if (!status.patchedIniFiles.empty()) {
        log(L"Patched " + std::to_wstring(status.patchedIniFiles.size()) +
            L" installed SDconnect D-PDU target INI file(s).");
    } else {
        log(L"No installed PDUAPI_I+ME_ACTIA_XS.ini was writable/found. The J2534 provider can still use its own "
            L"Toolkit discovery plus the exported target variables.");
    }
    if (!status.lanReachable && !status.wifiReachable) {
        log(L"Warning: neither configured SDconnect IP replied. Check the PC adapter subnet, cable/Wi-Fi, "
            L"firewall, and SDconnect display IP.");
    }
    return status;
}

}  // namespace qel
