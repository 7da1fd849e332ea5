// Small helpers that build and read the folder trees of the SDconnect tests.
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace qeltest {

inline constexpr wchar_t TARGET_NAME[] = L"PDUAPI_I+ME_ACTIA_XS.ini";

// A fresh, empty folder for one test.
inline std::wstring freshFolder(const std::wstring& path) {
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    return path;
}

inline void makeFile(const std::wstring& path, const std::string& content = "[SETTING]\r\n") {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(std::filesystem::path(path), std::ios::binary) << content;
}

inline std::string readFile(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline bool isFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

inline std::wstring iniValue(const std::wstring& path, const wchar_t* section, const wchar_t* key) {
    wchar_t value[256] = {};
    GetPrivateProfileStringW(section, key, L"<missing>", value, 256, path.c_str());
    return value;
}

}  // namespace qeltest
