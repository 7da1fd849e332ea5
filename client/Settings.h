// The form's settings, kept for the current user in the 32-bit registry view,
// with the password protected for that user by the data protection API.
#pragma once

#include <windows.h>

#include <string>

namespace qel {

inline constexpr wchar_t DEFAULT_SERVER_URL[] = L"https://bridge.tarnwick.com";
inline constexpr wchar_t DEFAULT_STATION_ID[] = L"QEL-VIRTUAL-VCI";
inline constexpr wchar_t SDCONNECT_LABEL[] = L"SDconnect";
inline constexpr wchar_t J2534_LABEL[] = L"J2534 Passthru.04.04";

struct SavedConfig {
    std::wstring serverUrl = DEFAULT_SERVER_URL;
    std::wstring username;
    std::wstring password;
    std::wstring stationId = DEFAULT_STATION_ID;
    std::wstring vciMode = SDCONNECT_LABEL;
    std::wstring selectedDll;
    bool rememberPassword = false;
};

// Reads a REG_SZ or REG_EXPAND_SZ value (expanded) up to its first zero
// character; leaves text untouched and returns false when there is none.
bool queryString(HKEY key, const wchar_t* name, std::wstring& text);
std::wstring getRegString(HKEY key, const wchar_t* name, const std::wstring& fallback);

SavedConfig loadConfig();
void saveConfig(const SavedConfig& config);

}  // namespace qel
