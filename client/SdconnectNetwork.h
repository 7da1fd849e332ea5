// Target setup for an SDconnect multiplexer: probes its LAN and Wi-Fi
// addresses and leaves the chosen target where the vendor's J2534 provider
// and D-PDU software look for it.
#pragma once

#include <string>
#include <vector>

#include "LogCallback.h"

namespace qel {

struct SdconnectNetworkStatus {
    bool sdconnectProvider = false;
    bool lanReachable = false;
    bool wifiReachable = false;
    std::wstring preferredTarget;
    std::wstring configPath;
    std::vector<std::wstring> patchedIniFiles;
};

bool looksLikeSdconnectProvider(const std::wstring& name, const std::wstring& libraryPath);

// Runs on the caller's thread and blocks it for two ICMP echoes and the
// target file search. Does nothing at all for a library that is no
// SDconnect provider. An empty log produces no lines.
SdconnectNetworkStatus configureSdconnectNetwork(const std::wstring& name, const std::wstring& libraryPath,
                                                 const std::wstring& lanIp, const std::wstring& wifiIp,
                                                 const LogCallback& log);

}  // namespace qel
