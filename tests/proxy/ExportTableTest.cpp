// Reads the export and import directories of the built Pellith.dll from the
// file itself, as a diagnostic application's loader sees them.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char* const EXPORTS[] = {
    "PassThruClose",         "PassThruConnect",         "PassThruDisconnect",
    "PassThruGetLastError",  "PassThruIoctl",           "PassThruOpen",
    "PassThruReadMsgs",      "PassThruReadVersion",     "PassThruSetProgrammingVoltage",
    "PassThruStartMsgFilter", "PassThruStartPeriodicMsg", "PassThruStopMsgFilter",
    "PassThruStopPeriodicMsg", "PassThruWriteMsgs",
};

std::wstring besideTheTest(const wchar_t* file) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path);
    return directory.substr(0, directory.find_last_of(L"\\/") + 1) + file;
}

class PeImage {
public:
    explicit PeImage(const std::wstring& path) {
        std::ifstream in(std::filesystem::path(path), std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(in), {});
        if (bytes_.size() < sizeof(IMAGE_DOS_HEADER)) {
            throw std::runtime_error("file too short");
        }
        const auto& dos = at<IMAGE_DOS_HEADER>(0);
        nt_ = at<IMAGE_NT_HEADERS>(static_cast<std::size_t>(dos.e_lfanew));
        sections_ = static_cast<std::size_t>(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS, OptionalHeader) +
                    nt_.FileHeader.SizeOfOptionalHeader;
    }

    const IMAGE_NT_HEADERS& nt() const { return nt_; }

    template <typename T>
    const T& at(std::size_t offset) const {
        if (offset + sizeof(T) > bytes_.size()) {
            throw std::runtime_error("structure beyond the end of the file");
        }
        return *reinterpret_cast<const T*>(bytes_.data() + offset);
    }

    std::size_t fileOffset(DWORD rva) const {
        for (WORD i = 0; i < nt_.FileHeader.NumberOfSections; ++i) {
            const auto& section = at<IMAGE_SECTION_HEADER>(sections_ + i * sizeof(IMAGE_SECTION_HEADER));
            if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.Misc.VirtualSize) {
                return rva - section.VirtualAddress + section.PointerToRawData;
            }
        }
        throw std::runtime_error("address outside every section");
    }

    std::string textAt(DWORD rva) const { return std::string(&at<char>(fileOffset(rva))); }

private:
    std::vector<char> bytes_;
    IMAGE_NT_HEADERS nt_{};
    std::size_t sections_ = 0;
};

// The build names its target: x86 and PE32 for the product, AMD64 and PE32+
// for the 64-bit build.
TEST(ExportTable, IsADllForTheBuildsTarget) {
    const PeImage image(besideTheTest(L"Pellith.dll"));
    EXPECT_EQ(image.nt().Signature, IMAGE_NT_SIGNATURE);
    EXPECT_EQ(image.nt().FileHeader.Machine, QEL_PE_MACHINE);
    EXPECT_TRUE(image.nt().FileHeader.Characteristics & IMAGE_FILE_DLL);
    EXPECT_EQ(image.nt().OptionalHeader.Magic, QEL_PE_MAGIC);
}

TEST(ExportTable, ExactlyTheFourteenNamesWithAlphabeticalOrdinals) {
    const PeImage image(besideTheTest(L"Pellith.dll"));
    const auto& entry = image.nt().OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(entry.VirtualAddress, 0u);
    const auto& exports = image.at<IMAGE_EXPORT_DIRECTORY>(image.fileOffset(entry.VirtualAddress));
    EXPECT_EQ(image.textAt(exports.Name), "Pellith.dll");
    EXPECT_EQ(exports.Base, 1u);
    ASSERT_EQ(exports.NumberOfFunctions, 14u);
    ASSERT_EQ(exports.NumberOfNames, 14u);
    for (DWORD i = 0; i < 14; ++i) {
        const DWORD nameRva = image.at<DWORD>(image.fileOffset(exports.AddressOfNames) + 4 * i);
        const WORD index = image.at<WORD>(image.fileOffset(exports.AddressOfNameOrdinals) + 2 * i);
        const DWORD code = image.at<DWORD>(image.fileOffset(exports.AddressOfFunctions) + 4 * index);
        EXPECT_EQ(image.textAt(nameRva), EXPORTS[i]);
        EXPECT_EQ(index + exports.Base, i + 1) << EXPORTS[i];
        // Forwarded exports would point into the export directory itself.
        EXPECT_FALSE(code >= entry.VirtualAddress && code < entry.VirtualAddress + entry.Size) << EXPORTS[i];
    }
}

TEST(ExportTable, ImportsOnlySystemLibraries) {
    const PeImage image(besideTheTest(L"Pellith.dll"));
    const auto& entry = image.nt().OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const std::vector<std::string> system = {"ADVAPI32.DLL", "KERNEL32.DLL", "MSVCRT.DLL", "WS2_32.DLL"};
    std::vector<std::string> imported;
    for (std::size_t offset = image.fileOffset(entry.VirtualAddress);; offset += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto& descriptor = image.at<IMAGE_IMPORT_DESCRIPTOR>(offset);
        if (descriptor.Name == 0) {
            break;
        }
        std::string name = image.textAt(descriptor.Name);
        CharUpperA(name.data());
        imported.push_back(name);
    }
    EXPECT_FALSE(imported.empty());
    for (const std::string& name : imported) {
        EXPECT_NE(std::find(system.begin(), system.end(), name), system.end()) << name;
    }
}

TEST(ExportTable, LoaderFindsEachExportByNameAndOrdinal) {
    const HMODULE module = LoadLibraryW(besideTheTest(L"Pellith.dll").c_str());
    ASSERT_NE(module, nullptr);
    for (WORD ordinal = 1; ordinal <= 14; ++ordinal) {
        const FARPROC byName = GetProcAddress(module, EXPORTS[ordinal - 1]);
        EXPECT_NE(byName, nullptr) << EXPORTS[ordinal - 1];
        EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(ordinal)), byName) << EXPORTS[ordinal - 1];
    }
    EXPECT_EQ(GetProcAddress(module, MAKEINTRESOURCEA(15)), nullptr);
    EXPECT_EQ(GetProcAddress(module, "_PassThruOpen@8"), nullptr);
    EXPECT_EQ(GetProcAddress(module, "PassThruOpen@8"), nullptr);
    FreeLibrary(module);
}

}  // namespace
