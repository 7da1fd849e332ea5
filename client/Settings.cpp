#include "Settings.h"

#include "RegKey.h"

#include <wincrypt.h>

#include <algorithm>
#include <vector>

namespace qel {
namespace {

constexpr wchar_t SETTINGS_KEY[] = L"Software\\Tarnwick\\RemoteVCIClient";
constexpr wchar_t PASSWORD_DESCRIPTION[] = L"Tarnwick Remote VCI";

void writeString(HKEY key, const wchar_t* name, const std::wstring& text) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool readRememberPassword(HKEY key) {
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (RegQueryValueExW(key, L"RememberPassword", nullptr, &type,
                         reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS)
        return false;
    return type == REG_DWORD && value != 0;
}

std::wstring readProtectedPassword(HKEY key) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, L"ProtectedPassword", nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_BINARY || size == 0)
        return {};
    std::vector<BYTE> blob(size, 0);
    RegQueryValueExW(key, L"ProtectedPassword", nullptr, nullptr, blob.data(), &size);

    DATA_BLOB in{static_cast<DWORD>(blob.size()), blob.data()};
    DATA_BLOB out{};
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
        return {};
    // Read no further than the decrypted bytes, even when they hold no zero.
    const auto* chars = reinterpret_cast<const wchar_t*>(out.pbData);
    const auto* end = chars + out.cbData / sizeof(wchar_t);
    std::wstring password(chars, std::find(chars, end, L'\0'));
    SecureZeroMemory(out.pbData, out.cbData);
    LocalFree(out.pbData);
    return password;
}

void writeProtectedPassword(HKEY key, const std::wstring& password) {
    DATA_BLOB in{static_cast<DWORD>((password.size() + 1) * sizeof(wchar_t)),
                 reinterpret_cast<BYTE*>(const_cast<wchar_t*>(password.c_str()))};
    DATA_BLOB out{};
    if (!CryptProtectData(&in, PASSWORD_DESCRIPTION, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN,
                          &out))
        return;
    const std::vector<BYTE> blob(out.pbData, out.pbData + out.cbData);
    LocalFree(out.pbData);
    if (!blob.empty())
        RegSetValueExW(key, L"ProtectedPassword", 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
}

}  // namespace

bool queryString(HKEY key, const wchar_t* name, std::wstring& text) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size == 0)
        return false;
    // Two spare characters so that a value stored without its terminator
    // still ends inside the buffer.
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 2, L'\0');
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &size) !=
        ERROR_SUCCESS)
        return false;
    text = buffer.data();
    if (type == REG_EXPAND_SZ) {
        const DWORD needed = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
        std::wstring expanded(needed, L'\0');
        if (needed == 0 || ExpandEnvironmentStringsW(text.c_str(), expanded.data(), needed) == 0)
            expanded.clear();
        if (!expanded.empty() && expanded.back() == L'\0') expanded.pop_back();
        text = expanded;
    }
    return true;
}

std::wstring getRegString(HKEY key, const wchar_t* name, const std::wstring& fallback) {
    std::wstring text;
    return queryString(key, name, text) ? text : fallback;
}

SavedConfig loadConfig() {
    SavedConfig config;
    RegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_READ | KEY_WOW64_32KEY, key.receive()) !=
        ERROR_SUCCESS)
        return config;
    config.serverUrl = getRegString(key.get(), L"ServerUrl", config.serverUrl);
    config.username = getRegString(key.get(), L"Username", config.username);
    config.stationId = getRegString(key.get(), L"StationId", config.stationId);
    config.vciMode = getRegString(key.get(), L"VciMode", config.vciMode);
    config.selectedDll = getRegString(key.get(), L"SelectedDll", config.selectedDll);
    config.rememberPassword = readRememberPassword(key.get());
    if (config.rememberPassword) config.password = readProtectedPassword(key.get());
    return config;
}

void saveConfig(const SavedConfig& config) {
    RegKey key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_WOW64_32KEY, nullptr, key.receive(),
                        nullptr) != ERROR_SUCCESS)
        return;
    writeString(key.get(), L"ServerUrl", config.serverUrl);
    writeString(key.get(), L"Username", config.username);
    writeString(key.get(), L"StationId", config.stationId);
    writeString(key.get(), L"VciMode", config.vciMode);
    writeString(key.get(), L"SelectedDll", config.selectedDll);
    const DWORD remember = config.rememberPassword ? 1 : 0;
    RegSetValueExW(key.get(), L"RememberPassword", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&remember),
                   sizeof(remember));
    if (config.rememberPassword)
        writeProtectedPassword(key.get(), config.password);
    else
        RegDeleteValueW(key.get(), L"ProtectedPassword");
}

}  // namespace qel
