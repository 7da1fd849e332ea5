// Pellith's settings under "Software\Tarnwick\RemoteVCI": each value is
// looked up under HKEY_CURRENT_USER first, then HKEY_LOCAL_MACHINE, always in
// the 32-bit registry view, and read afresh for every connection attempt.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace qel {

std::uint32_t readRegistryDword(HKEY root, const wchar_t* name, std::uint32_t fallback);
std::wstring readRegistryString(HKEY root, const wchar_t* name, const wchar_t* fallback);

// An empty text under HKEY_CURRENT_USER counts as absent.
std::wstring readStringSetting(const wchar_t* name, const wchar_t* fallback);
// 0xFFFFFFFF under HKEY_CURRENT_USER counts as absent.
std::uint32_t readDwordSetting(const wchar_t* name, std::uint32_t fallback);

// Send and receive time-out of a relay socket: "TimeoutMs", at least 5000.
std::uint32_t relayTimeoutMs();

}  // namespace qel
