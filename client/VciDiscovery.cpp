#include "VciDiscovery.h"

#include "RegKey.h"
#include "Settings.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <cwctype>

namespace qel {
namespace {

constexpr wchar_t PASSTHRU_KEY[] = L"SOFTWARE\\PassThruSupport.04.04";
constexpr REGSAM SCAN_ACCESS = KEY_READ | KEY_WOW64_32KEY;
constexpr DWORD FULL_PATH_CAPACITY = 1040;

constexpr std::array<const wchar_t*, 8> SDCONNECT_KEYWORDS = {
    L"sdconnect", L"sd connect", L"sd-connect", L"caesar", L"xentry", L"das", L"pduapi", L"i+me"};

class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    }
    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_;
};

std::wstring lowered(std::wstring text) {
    for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

template <typename T>
T readLittleEndian(const unsigned char* bytes) {
    T value{};
    std::memcpy(&value, bytes, sizeof(value));
    return value;
}

bool readExactly(HANDLE file, unsigned char* buffer, DWORD count) {
    DWORD read = 0;
    return ReadFile(file, buffer, count, &read, nullptr) && read == count;
}

// Only an image of our own machine and optional-header kind can be loaded
// into this process: x86 PE32 for the product, AMD64 PE32+ in the 64-bit build.
#ifdef _WIN64
constexpr std::uint16_t OWN_MACHINE = IMAGE_FILE_MACHINE_AMD64;
constexpr std::uint16_t OWN_OPTIONAL_HEADER_MAGIC = IMAGE_NT_OPTIONAL_HDR64_MAGIC;
#else
constexpr std::uint16_t OWN_MACHINE = IMAGE_FILE_MACHINE_I386;
constexpr std::uint16_t OWN_OPTIONAL_HEADER_MAGIC = IMAGE_NT_OPTIONAL_HDR32_MAGIC;
#endif

bool isLoadableImage(const std::wstring& path) {
    std::array<unsigned char, 64> dosHeader{};
    std::array<unsigned char, 26> peHeader{};
    {
        // A pipe's server may act as the client that opened it: identification
        // only, so that a pipe named here learns who we are and nothing more.
        FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        // A device or pipe named here (COM1, \\.\pipe\x) can block a read for
        // good; only a disk file can hold a library. A failed open is no disk file.
        if (GetFileType(file.get()) != FILE_TYPE_DISK) return false;
        if (!file || !readExactly(file.get(), dosHeader.data(), dosHeader.size())) return false;
        if (dosHeader[0] != 0x4D || dosHeader[1] != 0x5A) return false;
        LARGE_INTEGER offset{};
        offset.QuadPart = readLittleEndian<std::int32_t>(dosHeader.data() + 60);
        if (!SetFilePointerEx(file.get(), offset, nullptr, FILE_BEGIN) ||
            !readExactly(file.get(), peHeader.data(), peHeader.size()))
            return false;
    }
    return peHeader[0] == 0x50 && peHeader[1] == 0x45 && peHeader[2] == 0 && peHeader[3] == 0 &&
           readLittleEndian<std::uint16_t>(peHeader.data() + 4) == OWN_MACHINE &&
           readLittleEndian<std::uint16_t>(peHeader.data() + 24) == OWN_OPTIONAL_HEADER_MAGIC;
}

std::wstring fullPath(const std::wstring& path) {
    std::wstring buffer(FULL_PATH_CAPACITY, L'\0');
    const DWORD result = GetFullPathNameW(path.c_str(), FULL_PATH_CAPACITY, buffer.data(), nullptr);
    if (result == 0) return path;
    // A larger result is the size the path would need: it does not fit.
    if (result >= FULL_PATH_CAPACITY) return {};
    return buffer.c_str();
}

std::wstring fileNameOf(const std::wstring& path) {
    const auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

void scanRoot(HKEY root, std::set<std::wstring>& seenPaths, std::vector<VciEntry>& entries) {
    RegKey passThru;
    if (RegOpenKeyExW(root, PASSTHRU_KEY, 0, SCAN_ACCESS, passThru.receive()) != ERROR_SUCCESS) return;
    for (DWORD index = 0;; ++index) {
        std::array<wchar_t, 512> subkeyName{};
        DWORD nameLength = 511;
        if (RegEnumKeyExW(passThru.get(), index, subkeyName.data(), &nameLength, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS)
            return;

        std::wstring path;
        std::wstring name;
        {
            RegKey subkey;
            if (RegOpenKeyExW(passThru.get(), subkeyName.data(), 0, SCAN_ACCESS, subkey.receive()) !=
                ERROR_SUCCESS)
                continue;
            queryString(subkey.get(), L"FunctionLibrary", path);
            if (!queryString(subkey.get(), L"Name", name)) queryString(subkey.get(), L"DeviceName", name);
        }
        if (path.empty()) continue;

        const auto first = path.find_first_not_of(L'"');
        path = first == std::wstring::npos ? std::wstring() : path.substr(first);
        const auto last = path.find_last_not_of(L'"');
        path.erase(last == std::wstring::npos ? 0 : last + 1);

        path = fullPath(path);
        const std::wstring key = lowered(path);
        if (fileNameOf(key) == L"pellith.dll") continue;
        if (!isLoadableImage(path)) continue;
        if (!seenPaths.insert(key).second) continue;
        if (name.empty()) name = subkeyName.data();
        entries.push_back({name, path});
    }
}

bool isSdconnectEntry(const std::wstring& name, const std::wstring& libraryPath) {
    const std::wstring text = lowered(name + L" " + libraryPath);
    for (const auto* keyword : SDCONNECT_KEYWORDS)
        if (text.find(keyword) != std::wstring::npos) return true;
    return false;
}

}  // namespace qel

