#include <gtest/gtest.h>

#include <string>

#include "ProxySettings.h"
#include "RegistrySettings.h"

namespace {

using qel::readDwordSetting;
using qel::readStringSetting;
using qel::test::RegistrySettings;

class Settings : public ::testing::Test {
protected:
    RegistrySettings registry;
};

TEST_F(Settings, DefaultsWithoutAnyKey) {
    EXPECT_EQ(readStringSetting(L"Host", L"127.0.0.1"), L"127.0.0.1");
    EXPECT_EQ(readStringSetting(L"StationId", L"VYR-SERVER"), L"VYR-SERVER");
    EXPECT_EQ(readDwordSetting(L"Port", 28434), 28434u);
    EXPECT_EQ(qel::relayTimeoutMs(), 65000u);
}

TEST_F(Settings, CurrentUserComesFirstThenLocalMachine) {
    RegistrySettings::setString(HKEY_LOCAL_MACHINE, L"Host", L"machine-host");
    RegistrySettings::setDword(HKEY_LOCAL_MACHINE, L"Port", 1111);
    EXPECT_EQ(readStringSetting(L"Host", L"127.0.0.1"), L"machine-host");
    EXPECT_EQ(readDwordSetting(L"Port", 28434), 1111u);

    RegistrySettings::setString(HKEY_CURRENT_USER, L"Host", L"user-host");
    RegistrySettings::setDword(HKEY_CURRENT_USER, L"Port", 2222);
    EXPECT_EQ(readStringSetting(L"Host", L"127.0.0.1"), L"user-host");
    EXPECT_EQ(readDwordSetting(L"Port", 28434), 2222u);
}

TEST_F(Settings, EmptyOrWronglyTypedStringsFallBack) {
    // An empty text under the current user is taken from the machine, and an empty machine value from the default.
    RegistrySettings::setString(HKEY_CURRENT_USER, L"Host", L"");
    RegistrySettings::setString(HKEY_LOCAL_MACHINE, L"Host", L"machine-host");
    EXPECT_EQ(readStringSetting(L"Host", L"127.0.0.1"), L"machine-host");
    RegistrySettings::setString(HKEY_LOCAL_MACHINE, L"Host", L"");
    EXPECT_EQ(readStringSetting(L"Host", L"127.0.0.1"), L"127.0.0.1");

    RegistrySettings::setRaw(HKEY_CURRENT_USER, L"StationId", REG_SZ, L"", 0);
    EXPECT_EQ(readStringSetting(L"StationId", L"VYR-SERVER"), L"VYR-SERVER");
    RegistrySettings::setDword(HKEY_CURRENT_USER, L"StationId", 7);
    EXPECT_EQ(readStringSetting(L"StationId", L"VYR-SERVER"), L"VYR-SERVER");
    RegistrySettings::setRaw(HKEY_CURRENT_USER, L"StationId", REG_BINARY, L"AB", 6);
    EXPECT_EQ(readStringSetting(L"StationId", L"VYR-SERVER"), L"VYR-SERVER");
}

TEST_F(Settings, WronglyTypedDwordsFallBack) {
    RegistrySettings::setString(HKEY_CURRENT_USER, L"Port", L"4000");
    EXPECT_EQ(readDwordSetting(L"Port", 28434), 28434u);
    const std::uint64_t wide = 4000;
    RegistrySettings::setRaw(HKEY_CURRENT_USER, L"Port", REG_QWORD, &wide, sizeof(wide));
    EXPECT_EQ(readDwordSetting(L"Port", 28434), 28434u);
}

TEST_F(Settings, AllOnesCountsAsAbsentOnlyForTheCurrentUser) {
    RegistrySettings::setDword(HKEY_CURRENT_USER, L"Port", 0xFFFFFFFF);
    EXPECT_EQ(readDwordSetting(L"Port", 28434), 28434u);
    RegistrySettings::setDword(HKEY_LOCAL_MACHINE, L"Port", 3333);
    EXPECT_EQ(readDwordSetting(L"Port", 28434), 3333u);
    RegistrySettings::setDword(HKEY_LOCAL_MACHINE, L"Port", 0xFFFFFFFF);
    EXPECT_EQ(readDwordSetting(L"Port", 28434), 0xFFFFFFFFu);
    RegistrySettings::setDword(HKEY_CURRENT_USER, L"Port", 0);
    EXPECT_EQ(readDwordSetting(L"Port", 28434), 0u);
}

TEST_F(Settings, TimeoutIsAtLeastFiveSeconds) {
    const struct {
        std::uint32_t stored;
        std::uint32_t used;
    } cases[] = {{0, 5000}, {1000, 5000}, {4999, 5000}, {5000, 5000}, {5001, 5001}, {120000, 120000}};
    for (const auto& c : cases) {
        RegistrySettings::setDword(HKEY_CURRENT_USER, L"TimeoutMs", c.stored);
        EXPECT_EQ(qel::relayTimeoutMs(), c.used) << c.stored;
    }
}

TEST_F(Settings, ExpandableStringsAreExpanded) {
    SetEnvironmentVariableW(L"QEL_TEST_RELAY", L"relay-from-env");
    RegistrySettings::setString(HKEY_CURRENT_USER, L"Host", L"%QEL_TEST_RELAY%.lan", REG_EXPAND_SZ);
    EXPECT_EQ(readStringSetting(L"Host", L"127.0.0.1"), L"relay-from-env.lan");
    // A plain string is taken as written.
    RegistrySettings::setString(HKEY_CURRENT_USER, L"Host", L"%QEL_TEST_RELAY%", REG_SZ);
    EXPECT_EQ(readStringSetting(L"Host", L"127.0.0.1"), L"%QEL_TEST_RELAY%");
}

TEST_F(Settings, ExpansionThatDoesNotFitKeepsTheText) {
    SetEnvironmentVariableW(L"QEL_TEST_LONG", std::wstring(600, L'x').c_str());
    RegistrySettings::setString(HKEY_CURRENT_USER, L"Host", L"%QEL_TEST_LONG%", REG_EXPAND_SZ);
    EXPECT_EQ(readStringSetting(L"Host", L"127.0.0.1"), L"%QEL_TEST_LONG%");
    SetEnvironmentVariableW(L"QEL_TEST_LONG", std::wstring(511, L'y').c_str());
    EXPECT_EQ(readStringSetting(L"Host", L"127.0.0.1"), std::wstring(511, L'y'));
}

TEST_F(Settings, StringBufferIsBounded) {
    // 512 characters without a terminator fill the 1024 bytes exactly: Windows
    // hands them over unterminated, Wine refuses them; neither may be read past.
    const std::wstring full(512, L'h');
    RegistrySettings::setRaw(HKEY_CURRENT_USER, L"Host", REG_SZ, full.data(), 1024);
    const std::wstring read = readStringSetting(L"Host", L"127.0.0.1");
    EXPECT_TRUE(read == full || read == L"127.0.0.1") << read.size();
    // Longer values do not fit and fall back.
    RegistrySettings::setString(HKEY_CURRENT_USER, L"Host", std::wstring(600, L'h'));
    EXPECT_EQ(readStringSetting(L"Host", L"127.0.0.1"), L"127.0.0.1");
    RegistrySettings::setString(HKEY_CURRENT_USER, L"Host", std::wstring(511, L'h'));
    EXPECT_EQ(readStringSetting(L"Host", L"127.0.0.1"), std::wstring(511, L'h'));
}

TEST_F(Settings, OnlyTheThirtyTwoBitViewIsRead) {
    RegistrySettings::setRaw(HKEY_LOCAL_MACHINE, L"Host", REG_SZ, L"sixty-four", 22, KEY_WOW64_64KEY);
    EXPECT_EQ(readStringSetting(L"Host", L"127.0.0.1"), L"127.0.0.1");
    RegistrySettings::setRaw(HKEY_LOCAL_MACHINE, L"Host", REG_SZ, L"thirty-two", 22, KEY_WOW64_32KEY);
    EXPECT_EQ(readStringSetting(L"Host", L"127.0.0.1"), L"thirty-two");
}

TEST_F(Settings, EveryReadSeesTheCurrentValue) {
    RegistrySettings::setString(HKEY_CURRENT_USER, L"StationId", L"FIRST");
    EXPECT_EQ(readStringSetting(L"StationId", L"VYR-SERVER"), L"FIRST");
    RegistrySettings::setString(HKEY_CURRENT_USER, L"StationId", L"SECOND");
    EXPECT_EQ(readStringSetting(L"StationId", L"VYR-SERVER"), L"SECOND");
}

}  // namespace
