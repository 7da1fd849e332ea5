#include "ProxySettings.h"

#include <algorithm>
#include <cwchar>

namespace qel {

namespace {

constexpr wchar_t SETTINGS_KEY[] = L"Software\\Tarnwick\\RemoteVCI";
constexpr DWORD STRING_VALUE_BYTES = 1024;
constexpr DWORD EXPANDED_CHARS = 512;

class SettingsKey {
public:
    explicit SettingsKey(HKEY root) {
        if (RegOpenKeyExW(root, SETTINGS_KEY, 0, KEY_READ | KEY_WOW64_32KEY, &key_) != ERROR_SUCCESS) {
            key_ = nullptr;
        }
    }
    ~SettingsKey() {
        if (key_ != nullptr) {
            RegCloseKey(key_);
        }
    }
    SettingsKey(const SettingsKey&) = delete;
    SettingsKey& operator=(const SettingsKey&) = delete;

    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

}  // namespace

std::uint32_t readRegistryDword(HKEY root, const wchar_t* name, std::uint32_t fallback) {
    const SettingsKey key(root);
    if (key.get() == nullptr) {
        return fallback;
    }
    DWORD value = 0;
    DWORD size = sizeof(value);
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        return fallback;
    }
    return value;
}

std::wstring readRegistryString(HKEY root, const wchar_t* name, const wchar_t* fallback) {
    const SettingsKey key(root);
    if (key.get() == nullptr) {
        return fallback;
    }
    wchar_t raw[STRING_VALUE_BYTES / sizeof(wchar_t)] = {};
    DWORD size = STRING_VALUE_BYTES;
    DWORD type = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(raw), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || raw[0] == L'\0') {
        return fallback;
    }
    // A value that fills the buffer need not carry its terminator: the
    // reported size bounds the text.
    const std::wstring value(raw, wcsnlen(raw, size / sizeof(wchar_t)));
    if (type == REG_SZ) {
        return value;
    }
    wchar_t expanded[EXPANDED_CHARS] = {};
    const DWORD needed = ExpandEnvironmentStringsW(value.c_str(), expanded, EXPANDED_CHARS);
    // An expansion that does not fit leaves the buffer unusable: keep the text as written.
    if (needed == 0 || needed > EXPANDED_CHARS) {
        return value;
    }
    return expanded;
}

std::wstring readStringSetting(const wchar_t* name, const wchar_t* fallback) {
    std::wstring value = readRegistryString(HKEY_CURRENT_USER, name, L"");
    if (value.empty()) {
        value = readRegistryString(HKEY_LOCAL_MACHINE, name, fallback);
    }
    return value;
}

std::uint32_t readDwordSetting(const wchar_t* name, std::uint32_t fallback) {
    const std::uint32_t value = readRegistryDword(HKEY_CURRENT_USER, name, 0xFFFFFFFFu);
    if (value == 0xFFFFFFFFu) {
        return readRegistryDword(HKEY_LOCAL_MACHINE, name, fallback);
    }
    return value;
}

std::uint32_t relayTimeoutMs() { return std::max<std::uint32_t>(readDwordSetting(L"TimeoutMs", 65000), 5000); }

}  // namespace qel
