// Writes Pellith's settings for a test and removes them again: the key
// "Software\Tarnwick\RemoteVCI" under both roots, in the 32-bit view.
// Tests that use it hold the ctest locks named after both keys.
#pragma once

#include <windows.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace qel::test {

class RegistrySettings {
public:
    RegistrySettings() { clear(); }
    ~RegistrySettings() { clear(); }
    RegistrySettings(const RegistrySettings&) = delete;
    RegistrySettings& operator=(const RegistrySettings&) = delete;

    static void clear() {
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
            for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
                RegDeleteKeyExW(root, KEY, view, 0);
            }
        }
    }

    static void setRaw(HKEY root, const wchar_t* name, DWORD type, const void* data, DWORD size,
                       REGSAM view = KEY_WOW64_32KEY) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(root, KEY, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key, nullptr) !=
            ERROR_SUCCESS) {
            throw std::runtime_error("cannot create the settings key");
        }
        const LSTATUS status = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS) {
            throw std::runtime_error("cannot write a setting");
        }
    }

    static void setString(HKEY root, const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ) {
        setRaw(root, name, type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }

    static void setDword(HKEY root, const wchar_t* name, std::uint32_t value) {
        const DWORD data = value;
        setRaw(root, name, REG_DWORD, &data, sizeof(data));
    }

    // Points Pellith at a relay on 127.0.0.1.
    static void setPort(std::uint16_t port) { setDword(HKEY_CURRENT_USER, L"Port", port); }

    static constexpr wchar_t KEY[] = L"Software\\Tarnwick\\RemoteVCI";
};

}  // namespace qel::test
