// Finds the vendor J2534 libraries registered for SAE J2534-1 04.04 that a
// 32-bit process can load.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <vector>

namespace qel {

struct VciEntry {
    std::wstring name;
    std::wstring libraryPath;
};

// Appends the usable registrations of one registry root. seenPaths holds the
// lower-cased paths accepted so far, across roots, so each file is listed once.
void scanRoot(HKEY root, std::set<std::wstring>& seenPaths, std::vector<VciEntry>& entries);

bool isSdconnectEntry(const std::wstring& name, const std::wstring& libraryPath);

}  // namespace qel
