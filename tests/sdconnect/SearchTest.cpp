// The provider test, the path helpers, the target file search and the patch,
// on folder trees that each test builds for itself. The helpers are private
// to their source file, so it is compiled into this test; nothing here sends
// an echo.
#include "SdconnectNetwork.cpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestFiles.h"
#include "Utf8.h"

namespace {

using qeltest::freshFolder;
using qeltest::iniValue;
using qeltest::makeFile;
using qeltest::readFile;
using qeltest::TARGET_NAME;

// ---------------------------------------------------------------- provider

struct ProviderCase {
    const wchar_t* name;
    const wchar_t* libraryPath;
    bool provider;
};

class ProviderTest : public testing::TestWithParam<ProviderCase> {};

TEST_P(ProviderTest, MatchesTheKeywordsInNameAndPath) {
    const ProviderCase& c = GetParam();
    EXPECT_EQ(qel::looksLikeSdconnectProvider(c.name, c.libraryPath), c.provider)
        << "name \"" << qel::utf8(c.name) << "\" path \"" << qel::utf8(c.libraryPath) << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Keywords, ProviderTest,
    testing::Values(
        ProviderCase{L"SDconnect Toolkit", L"C:\\Vendor\\vci.dll", true},
        ProviderCase{L"sd connect", L"C:\\Vendor\\vci.dll", true},
        ProviderCase{L"Caesar bridge", L"C:\\Vendor\\vci.dll", true},
        ProviderCase{L"Vendor pass-thru", L"C:\\Program Files\\xEnTrY\\vci.dll", true},
        ProviderCase{L"Madasz interface", L"C:\\Vendor\\vci.dll", true},
        ProviderCase{L"Vendor", L"C:\\Tools\\Das\\vci.dll", true},
        ProviderCase{L"i+me actia XS", L"C:\\Vendor\\vci.dll", true},
        // Keywords may span the space that joins name and path.
        ProviderCase{L"Vendor SD", L"connect.dll", true},
        ProviderCase{L"I+ME", L"ACTIA\\vci.dll", true},
        // Listed under the SDconnect type, yet no provider here.
        ProviderCase{L"SD-Connect PDU", L"C:\\Vendor\\vci.dll", false},
        ProviderCase{L"Vendor", L"C:\\Vendor\\pduapi.dll", false},
        ProviderCase{L"I+ME XS", L"C:\\Vendor\\i+me.dll", false},
        ProviderCase{L"SDconnec", L"t\\vci.dll", false},
        ProviderCase{L"", L"", false},
        // Only a to z change case: a long s does not become an S.
        ProviderCase{L"\u017Fdconnect", L"C:\\Vendor\\vci.dll", false}));

// ---------------------------------------------------------------- paths

struct PathCase {
    const wchar_t* path;
    const wchar_t* expected;
};

class DirectoryOfTest : public testing::TestWithParam<PathCase> {};

TEST_P(DirectoryOfTest, KeepsTheTextBeforeTheLastSeparator) {
    EXPECT_EQ(qel::directoryOf(GetParam().path), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Paths, DirectoryOfTest,
                         testing::Values(PathCase{L"C:\\Vendor\\vci.dll", L"C:\\Vendor"},
                                         PathCase{L"C:\\vci.dll", L"C:"},
                                         PathCase{L"vci.dll", L""},
                                         PathCase{L"", L""},
                                         PathCase{L"C:/Vendor/vci.dll", L"C:/Vendor"},
                                         PathCase{L"C:\\Vendor/sub\\vci.dll", L"C:\\Vendor/sub"},
                                         PathCase{L"C:\\Vendor\\", L"C:\\Vendor"},
                                         PathCase{L"\\\\server\\share\\vci.dll", L"\\\\server\\share"}));

class ParentOfTest : public testing::TestWithParam<PathCase> {};

TEST_P(ParentOfTest, IgnoresTrailingSeparators) { EXPECT_EQ(qel::parentOf(GetParam().path), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(Paths, ParentOfTest,
                         testing::Values(PathCase{L"C:\\Vendor\\sub", L"C:\\Vendor"},
                                         PathCase{L"C:\\Vendor\\sub\\", L"C:\\Vendor"},
                                         PathCase{L"C:\\Vendor\\sub\\/\\", L"C:\\Vendor"},
                                         PathCase{L"C:\\Vendor", L"C:"},
                                         PathCase{L"C:\\", L""},
                                         PathCase{L"C:", L""},
                                         PathCase{L"Vendor", L""},
                                         PathCase{L"\\\\", L""},
                                         PathCase{L"", L""}));

TEST(EnsureDirectoryTree, CreatesMissingParentsFirst) {
    const std::wstring base = freshFolder(L"C:\\Search\\Ensure");
    qel::ensureDirectoryTree(base + L"\\one\\two");
    EXPECT_TRUE(qeltest::isFolder(base + L"\\one"));
    EXPECT_TRUE(qeltest::isFolder(base + L"\\one\\two"));

    qel::ensureDirectoryTree(base + L"/fwd/slash/");
    EXPECT_TRUE(qeltest::isFolder(base + L"\\fwd\\slash"));

    // Straight below a drive root: the drive designator ends the climb.
    qel::ensureDirectoryTree(L"Q:\\made\\here");
    EXPECT_TRUE(qeltest::isFolder(L"Q:\\made\\here"));
}

TEST(EnsureDirectoryTree, CreatesABareNameInTheCurrentFolder) {
    const std::wstring base = freshFolder(L"C:\\Search\\EnsureBare");
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(base.c_str()));
    qel::ensureDirectoryTree(L"bare");
    SetCurrentDirectoryW(previous);
    EXPECT_TRUE(qeltest::isFolder(base + L"\\bare"));
}

TEST(EnsureDirectoryTree, LeavesAFileInTheWayAndIgnoresEmptyPaths) {
    const std::wstring base = freshFolder(L"C:\\Search\\EnsureFile");
    makeFile(base + L"\\taken", "keep");
    qel::ensureDirectoryTree(base + L"\\taken");
    qel::ensureDirectoryTree(base + L"\\taken\\below");
    qel::ensureDirectoryTree(L"");
    EXPECT_EQ(readFile(base + L"\\taken"), "keep");
    EXPECT_FALSE(qeltest::isFolder(base + L"\\taken"));
}

TEST(EnvValue, ReadsUnsetEmptyAndLongValues) {
    SetEnvironmentVariableW(L"QEL_TEST_VALUE", nullptr);
    EXPECT_EQ(qel::envValue(L"QEL_TEST_VALUE"), L"");
    SetEnvironmentVariableW(L"QEL_TEST_VALUE", L"");
    EXPECT_EQ(qel::envValue(L"QEL_TEST_VALUE"), L"");
    const std::wstring longValue(5000, L'x');
    SetEnvironmentVariableW(L"QEL_TEST_VALUE", (longValue + L"\u00e9").c_str());
    EXPECT_EQ(qel::envValue(L"QEL_TEST_VALUE"), longValue + L"\u00e9");
    SetEnvironmentVariableW(L"QEL_TEST_VALUE", nullptr);
}

// ---------------------------------------------------------------- search

// Every search reads these two variables; each test says what they hold.
class SearchTest : public testing::Test {
protected:
    void SetUp() override {
        SetEnvironmentVariableW(L"ProgramFiles(x86)", nullptr);
        SetEnvironmentVariableW(L"ProgramData", nullptr);
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"ProgramFiles(x86)", L"C:\\Program Files (x86)");
        SetEnvironmentVariableW(L"ProgramData", L"C:\\ProgramData");
    }
};

using Paths = std::set<std::wstring>;

TEST_F(SearchTest, RootsAreTheLibraryFolderAndThreeAncestors) {
    const std::wstring base = freshFolder(L"C:\\Search\\Roots");
    const std::wstring library = base + L"\\a\\b\\c\\d\\e\\vci.dll";
    makeFile(base + L"\\a\\b\\c\\d\\e\\" + TARGET_NAME);
    makeFile(base + L"\\a\\b\\side\\" + TARGET_NAME);
    makeFile(base + L"\\a\\other\\" + TARGET_NAME);  // below the fourth ancestor
    makeFile(base + L"\\" + TARGET_NAME);

    EXPECT_EQ(qel::findTargetIniFiles(library),
              (Paths{base + L"\\a\\b\\c\\d\\e\\" + TARGET_NAME, base + L"\\a\\b\\side\\" + TARGET_NAME}));
}

TEST_F(SearchTest, ProgramFilesAndProgramDataAddTheVendorFolders) {
    const std::wstring base = freshFolder(L"C:\\Search\\Vendor");
    const std::wstring files = base + L"\\PF";
    const std::wstring data = base + L"\\PD";
    makeFile(files + L"\\Mercedes-Benz\\SDconnect Toolkit\\cfg\\" + TARGET_NAME);
    makeFile(files + L"\\Mercedes-Benz\\Xentry\\" + TARGET_NAME);
    makeFile(files + L"\\Mercedes-Benz\\Other\\" + TARGET_NAME);
    makeFile(data + L"\\Mercedes-Benz\\any\\deeper\\" + TARGET_NAME);
    makeFile(data + L"\\Other\\" + TARGET_NAME);
    const Paths vendorFiles{files + L"\\Mercedes-Benz\\SDconnect Toolkit\\cfg\\" + TARGET_NAME,
                            files + L"\\Mercedes-Benz\\Xentry\\" + TARGET_NAME};
    const Paths dataFiles{data + L"\\Mercedes-Benz\\any\\deeper\\" + TARGET_NAME};

    EXPECT_EQ(qel::findTargetIniFiles(L"vci.dll"), Paths{});

    SetEnvironmentVariableW(L"ProgramFiles(x86)", files.c_str());
    EXPECT_EQ(qel::findTargetIniFiles(L"vci.dll"), vendorFiles);

    SetEnvironmentVariableW(L"ProgramFiles(x86)", nullptr);
    SetEnvironmentVariableW(L"ProgramData", data.c_str());
    EXPECT_EQ(qel::findTargetIniFiles(L"vci.dll"), dataFiles);

    SetEnvironmentVariableW(L"ProgramFiles(x86)", files.c_str());
    Paths both = vendorFiles;
    both.insert(dataFiles.begin(), dataFiles.end());
    EXPECT_EQ(qel::findTargetIniFiles(L"vci.dll"), both);
}

TEST_F(SearchTest, ListsFoldersDownToDepthFive) {
    const std::wstring root = freshFolder(L"C:\\Search\\Depth");
    std::wstring folder = root;
    Paths expected;
    for (int depth = 0; depth <= 6; ++depth) {
        makeFile(folder + L"\\" + TARGET_NAME);
        if (depth <= 5) expected.insert(folder + L"\\" + TARGET_NAME);
        folder += L"\\level" + std::to_wstring(depth + 1);
    }
    std::uint32_t budget = 32;
    Paths found;
    qel::findIniRecursive(root, 0, budget, found);
    EXPECT_EQ(found, expected);
    EXPECT_EQ(budget, 32u - 6u);
}

TEST_F(SearchTest, StopsAfterThirtyTwoMatches) {
    const std::wstring base = freshFolder(L"C:\\Search\\Budget");
    for (int i = 0; i < 40; ++i) makeFile(base + L"\\a\\b\\c\\lib\\f" + std::to_wstring(i) + L"\\" + TARGET_NAME);
    EXPECT_EQ(qel::findTargetIniFiles(base + L"\\a\\b\\c\\lib\\vci.dll").size(), 32u);
}

TEST_F(SearchTest, TheBudgetIsSharedByAllRootsAndCountsEveryVisit) {
    const std::wstring base = freshFolder(L"C:\\Search\\Shared");
    const std::wstring libraryFolder = base + L"\\a\\b\\c\\lib";
    Paths libraryFiles;
    for (int i = 0; i < 5; ++i) {
        libraryFiles.insert(libraryFolder + L"\\f" + std::to_wstring(i) + L"\\" + TARGET_NAME);
        makeFile(*libraryFiles.rbegin());
    }
    // The four nested roots reach the same five files: 20 of the 32 spent,
    // five paths found. The program-data root comes next and gets 12 more;
    // the program-files roots sort last and are never walked.
    for (int i = 0; i < 20; ++i) makeFile(base + L"\\pd\\Mercedes-Benz\\f" + std::to_wstring(i) + L"\\" + TARGET_NAME);
    makeFile(base + L"\\pf\\Mercedes-Benz\\Xentry\\" + TARGET_NAME);
    SetEnvironmentVariableW(L"ProgramData", (base + L"\\pd").c_str());
    SetEnvironmentVariableW(L"ProgramFiles(x86)", (base + L"\\pf").c_str());

    const Paths found = qel::findTargetIniFiles(libraryFolder + L"\\vci.dll");
    EXPECT_EQ(found.size(), 5u + 12u);
    for (const std::wstring& path : libraryFiles) EXPECT_EQ(found.count(path), 1u) << qel::utf8(path);
    EXPECT_EQ(found.count(base + L"\\pf\\Mercedes-Benz\\Xentry\\" + TARGET_NAME), 0u);
}

TEST_F(SearchTest, ABareDriveIsARootWalkedFromItsTop) {
    // Q: is an empty drive that the test runner gives this prefix.
    makeFile(std::wstring(L"Q:\\a\\b\\c\\") + TARGET_NAME);
    makeFile(std::wstring(L"Q:\\top\\") + TARGET_NAME);
    makeFile(std::wstring(L"Q:\\1\\2\\3\\4\\5\\") + TARGET_NAME);
    makeFile(std::wstring(L"Q:\\1\\2\\3\\4\\5\\6\\") + TARGET_NAME);

    EXPECT_EQ(qel::findTargetIniFiles(L"Q:\\a\\b\\c\\vci.dll"),
              (Paths{std::wstring(L"Q:\\1\\2\\3\\4\\5\\") + TARGET_NAME, std::wstring(L"Q:\\a\\b\\c\\") + TARGET_NAME,
                     std::wstring(L"Q:\\top\\") + TARGET_NAME}));
}

TEST_F(SearchTest, MatchesTheNameInAnyCaseAndOnlyFiles) {
    const std::wstring root = freshFolder(L"C:\\Search\\Case");
    makeFile(root + L"\\upper\\PDUAPI_I+ME_ACTIA_XS.INI");
    makeFile(root + L"\\lower\\pduapi_i+me_actia_xs.ini");
    makeFile(root + L"\\other\\PDUAPI_I+ME_ACTIA_XS.ini.bak");
    makeFile(root + L"\\other\\XS.ini");
    makeFile(root + L"\\" + TARGET_NAME + L"\\inside\\" + TARGET_NAME);  // a folder with the name
    std::uint32_t budget = 32;
    Paths found;
    qel::findIniRecursive(root, 0, budget, found);
    EXPECT_EQ(found, (Paths{root + L"\\" + TARGET_NAME + L"\\inside\\" + TARGET_NAME,
                            root + L"\\lower\\pduapi_i+me_actia_xs.ini", root + L"\\upper\\PDUAPI_I+ME_ACTIA_XS.INI"}));
}

TEST_F(SearchTest, DoesNotEnterDirectoryLinks) {
    // The test runner made C:\LinkWalk\Linked a link to C:\LinkTarget.
    makeFile(std::wstring(L"C:\\LinkTarget\\") + TARGET_NAME);
    const DWORD attributes = GetFileAttributesW(L"C:\\LinkWalk\\Linked");
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    ASSERT_EQ(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    ASSERT_TRUE(std::filesystem::exists(std::wstring(L"C:\\LinkWalk\\Linked\\") + TARGET_NAME));

    std::uint32_t budget = 32;
    Paths found;
    qel::findIniRecursive(L"C:\\LinkWalk", 0, budget, found);
    EXPECT_EQ(found, Paths{});
    EXPECT_EQ(budget, 32u);
}

TEST_F(SearchTest, PassesOverMissingRootsAndFiles) {
    const std::wstring base = freshFolder(L"C:\\Search\\Missing");
    makeFile(base + L"\\plain.txt");
    std::uint32_t budget = 32;
    Paths found;
    qel::findIniRecursive(base + L"\\absent", 0, budget, found);
    qel::findIniRecursive(base + L"\\plain.txt", 0, budget, found);
    qel::findIniRecursive(L"", 0, budget, found);
    EXPECT_EQ(found, Paths{});
    EXPECT_EQ(qel::findTargetIniFiles(L""), Paths{});
}

// ---------------------------------------------------------------- patch

TEST(PatchTargetIni, WritesBothTargetsAndKeepsTheRest) {
    const std::wstring path = freshFolder(L"C:\\Search\\Patch") + L"\\" + TARGET_NAME;
    makeFile(path, "[SETTING]\r\nTargetIP1=old\r\nProtocol=DoIP\r\n[OTHER]\r\nKey=value\r\n");
    EXPECT_TRUE(qel::patchTargetIni(path, L"172.29.127.122", L"192.168.2.199"));
    EXPECT_EQ(iniValue(path, L"SETTING", L"TargetIP1"), L"172.29.127.122,SDconnect");
    EXPECT_EQ(iniValue(path, L"SETTING", L"TargetIP2"), L"192.168.2.199,SDconnect");
    EXPECT_EQ(iniValue(path, L"SETTING", L"Protocol"), L"DoIP");
    EXPECT_EQ(iniValue(path, L"OTHER", L"Key"), L"value");
}

TEST(PatchTargetIni, AReadOnlyFileIsNotCountedAndStaysUnchanged) {
    const std::wstring path = freshFolder(L"C:\\Search\\PatchReadOnly") + L"\\" + TARGET_NAME;
    const std::string content = "[SETTING]\r\nTargetIP1=old\r\n";
    makeFile(path, content);
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(qel::patchTargetIni(path, L"172.29.127.122", L"192.168.2.199"));
    EXPECT_EQ(readFile(path), content);
}

TEST(PatchTargetIni, AFileInAMissingFolderIsNotCounted) {
    const std::wstring path = freshFolder(L"C:\\Search\\PatchMissing") + L"\\absent\\" + TARGET_NAME;
    EXPECT_FALSE(qel::patchTargetIni(path, L"172.29.127.122", L"192.168.2.199"));
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
