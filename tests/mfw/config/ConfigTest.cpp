// Reading settings: path parsing, the policy lookup order, stored-data conversion and the
// text-to-bool and text-to-number rules, against a private HKLM of the test prefix.
#include "lib/mfw/common/config/Config.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

using namespace CORE;
using testsupport::RegistrySandbox;

namespace {

const wchar_t kAgentKey[] = L"Software\\Velmora\\Zephral\\Agent\\Configuration";
const wchar_t kAgentPolicyKey[] = L"Software\\Policies\\Velmora\\Zephral\\Agent\\Configuration";
const wchar_t kLegacyAgentKey[] = L"Software\\Policies\\Dravik, Inc.\\Dravik ZDM\\Agent\\Configuration";
const std::wstring kAgentPath = L"HKLM\\Software\\Velmora\\Zephral\\Agent\\Configuration\\";

TEST(ParseBool, AcceptsWordsAndNonZeroNumbersOnly) {
    struct Case {
        const wchar_t* text;
        bool expected;
    };
    const Case cases[] = {
        {L"TRUE", true}, {L"Yes", true}, {L"ON", true},   {L"1", true},   {L"0x10", true}, {L"2x", true},
        {L"-1", true},   {L"false", false}, {L"no", false}, {L"0", false}, {L"", false},    {L"x2", false},
        {L" true", false}, {L"truex", false}, {L"off", false},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseBool(c.text), c.expected) << "text: '" << testing::PrintToString(std::wstring(c.text)) << "'";
}

TEST(ParseNumber, NormalisesThenParsesLikeTheCLibraryWithBaseZero) {
    struct Case {
        const wchar_t* text;
        const wchar_t* normalized;
        long asInt;
        unsigned long asUInt;
    };
    const Case cases[] = {
        {L" 0045000 ", L"45000", 45000, 45000},
        {L"\t\r\n007\n", L"7", 7, 7},
        {L"08", L"8", 8, 8},  // not octal once normalised
        {L"0x1F", L"0x1F", 31, 31},
        {L"0", L"0", 0, 0},
        {L"-0012", L"-12", -12, static_cast<unsigned long>(-12)},
        {L"+005", L"+5", 5, 5},
        {L"1001", L"1001", 1001, 1001},  // inner zeros stay
        {L"12abc", L"12abc", 12, 12},
        {L"abc", L"abc", 0, 0},
        {L"", L"", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
        EXPECT_EQ(NormalizeNumber(c.text), c.normalized);
        EXPECT_EQ(ParseInt(c.text, true), c.asInt);
        EXPECT_EQ(ParseUInt(c.text, true), c.asUInt);
    }
    // Without normalising, a leading zero means octal and "08" stops at the 8.
    EXPECT_EQ(ParseUInt(L"010", false), 8u);
    EXPECT_EQ(ParseUInt(L"08", false), 0u);
}

class RegistryReadTest : public testing::Test {
protected:
    RegistrySandbox registry;
};

TEST_F(RegistryReadTest, ConvertsEveryStoredTypeToText) {
    ::SetEnvironmentVariableW(L"TC_CONFIG_TEST_VAR", L"expanded");
    auto bytes = [](const auto& value) { return std::string(reinterpret_cast<const char*>(&value), sizeof(value)); };
    const DWORD dword = 45000;
    const ULONGLONG qword = 0x123456789ULL;
    const std::wstring longText(3000, L'L');  // past the stack buffer
    const struct {
        const wchar_t* name;
        DWORD type;
        std::string data;
        std::wstring text;
    } cases[] = {
        {L"Dword", REG_DWORD, bytes(dword), L"45000"},
        {L"Qword", REG_QWORD, bytes(qword), L"4886718345"},
        {L"Sz", REG_SZ, bytes(L"plain text"), L"plain text"},
        {L"Expand", REG_EXPAND_SZ, bytes(L"%TC_CONFIG_TEST_VAR%\\x"), L"expanded\\x"},
        {L"Multi", REG_MULTI_SZ, bytes(L"a\0bc\0"), std::wstring(L"a\0bc\0\0", 6)},  // two strings and the closing NUL
        {L"Binary", REG_BINARY, std::string("h\0i\0", 4), L"hi"},
        {L"NoTerminator", REG_SZ, std::string("n\0o\0z\0", 6), L"noz"},
        {L"Long", REG_SZ, std::string(reinterpret_cast<const char*>(longText.c_str()), (longText.size() + 1) * 2), longText},
    };
    registry.SetString(kAgentKey, L"Created", L"");
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAgentKey, 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
        registry.SetValue(kAgentKey, c.name, c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
        std::wstring text;
        EXPECT_EQ(ReadRegistryValueTyped(key, c.name, static_cast<DWORD>(-1), &text), c.type);
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(ReadRegistryValue(kAgentPath + c.name, L"default"), c.text);
    }
    std::wstring text = L"unchanged";
    EXPECT_EQ(ReadRegistryValueTyped(key, L"Dword", REG_SZ, &text), static_cast<DWORD>(-1));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(ReadRegistryValueTyped(key, L"Missing", static_cast<DWORD>(-1), &text), static_cast<DWORD>(-1));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(text, L"unchanged");
    EXPECT_EQ(ReadRegistryValueTyped(key, L"Sz", static_cast<DWORD>(-1), nullptr), static_cast<DWORD>(-1));
    ::RegCloseKey(key);
}

TEST_F(RegistryReadTest, MissingValuesAndBadPathsGiveTheDefault) {
    EXPECT_EQ(ReadRegistryValue(kAgentPath + L"Missing", L"5000"), L"5000");
    EXPECT_EQ(ReadPolicyValue(kAgentPath + L"Missing", L"true"), L"true");
    for (const wchar_t* path : {L"HKXX\\Software\\Velmora\\Zephral\\Value", L"NoSeparators", L"HKLM\\OnlyValue", L""}) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(path)));
        EXPECT_EQ(ReadPolicyValue(path, L"fallback"), L"fallback");
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
        EXPECT_EQ(ReadRegistryValue(path, L"fallback"), L"fallback");
    }
}

TEST_F(RegistryReadTest, ForwardSlashesReadTheSameValue) {
    registry.SetAgentConfig(L"SSORetryTimeout", L"1234");
    EXPECT_EQ(ReadPolicyValue(L"HKLM/Software/Velmora/Zephral/Agent/Configuration/SSORetryTimeout", L"0"), L"1234");
    EXPECT_EQ(ReadRegistryValue(L"hklm/Software\\Velmora/Zephral\\Agent/Configuration/SSORetryTimeout", L"0"),
              L"1234");
}

TEST_F(RegistryReadTest, PolicyWinsOverLegacyPolicyWhichWinsOverThePlainKey) {
    const std::wstring path = kAgentPath + L"AllowSingleSignon";
    registry.SetString(kAgentKey, L"AllowSingleSignon", L"1");
    EXPECT_EQ(ReadPolicyValue(path, L"x"), L"1");
    registry.SetString(kLegacyAgentKey, L"AllowSingleSignon", L"legacy");
    EXPECT_EQ(ReadPolicyValue(path, L"x"), L"legacy");
    registry.SetString(kAgentPolicyKey, L"AllowSingleSignon", L"0");
    EXPECT_EQ(ReadPolicyValue(path, L"x"), L"0");
    // The plain read ignores both policies.
    EXPECT_EQ(ReadRegistryValue(path, L"x"), L"1");
}

TEST_F(RegistryReadTest, FallbackSwitchOffInEitherPlaceSkipsTheLegacyKey) {
    const std::wstring path = kAgentPath + L"Setting";
    registry.SetString(kAgentKey, L"Setting", L"plain");
    registry.SetString(kLegacyAgentKey, L"Setting", L"legacy");
    EXPECT_EQ(ReadPolicyValue(path, L"x"), L"legacy");

    registry.SetString(L"Software\\Velmora\\Zephral", L"FallbackToLegacyGPO", L"false");
    EXPECT_EQ(ReadPolicyValue(path, L"x"), L"plain");

    // The policy location decides when it has a value, in both directions.
    registry.SetString(L"Software\\Policies\\Velmora\\Zephral", L"FallbackToLegacyGPO", L"true");
    EXPECT_EQ(ReadPolicyValue(path, L"x"), L"legacy");
    registry.SetString(L"Software\\Velmora\\Zephral", L"FallbackToLegacyGPO", L"true");
    registry.SetString(L"Software\\Policies\\Velmora\\Zephral", L"FallbackToLegacyGPO", L"0");
    EXPECT_EQ(ReadPolicyValue(path, L"x"), L"plain");
    // An empty policy value does not decide.
    registry.SetString(L"Software\\Policies\\Velmora\\Zephral", L"FallbackToLegacyGPO", L"");
    EXPECT_EQ(ReadPolicyValue(path, L"x"), L"legacy");
}

TEST_F(RegistryReadTest, LegacyKeysFollowTheComponentTable) {
    struct Case {
        const wchar_t* path;        // under HKLM\Software\Velmora\Zephral
        const wchar_t* legacyKey;   // under HKLM\Software\Policies\Dravik, Inc.
    };
    const Case cases[] = {
        {L"", L"Dravik ZDM"},
        {L"\\Agent", L"Dravik ZDM\\Agent"},
        {L"\\AGENT\\Configuration", L"Dravik ZDM\\Agent\\Configuration"},
        {L"\\Authenticate\\Deep\\Er", L"Dravik ZDM\\Authenticate\\Deep\\Er"},
        {L"\\Log", L"Dravik ZDM\\Log"},
        {L"\\Node Manager", L"Dravik ZDM\\Node Manager"},
        {L"\\Security", L"Dravik ZDM\\Security"},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.path)));
        std::wstring name = L"Legacy" + std::to_wstring(++n);
        registry.SetString(std::wstring(L"Software\\Policies\\Dravik, Inc.\\") + c.legacyKey, name, L"old");
        EXPECT_EQ(ReadPolicyValue(L"HKLM\\Software\\Velmora\\Zephral" + std::wstring(c.path) + L"\\" + name, L"new"),
                  L"old");
    }
    // A component without a row has no legacy key, and neither has a path outside the product.
    registry.SetString(L"Software\\Policies\\Dravik, Inc.\\Dravik ZDM\\Unknown", L"V", L"old");
    EXPECT_EQ(ReadPolicyValue(L"HKLM\\Software\\Velmora\\Zephral\\Unknown\\V", L"new"), L"new");
    registry.SetString(L"Software\\Policies\\Dravik, Inc.\\Dravik ZDM\\Agent", L"W", L"old");
    EXPECT_EQ(ReadPolicyValue(L"HKLM\\Software\\Velmora\\ZephralAgent\\W", L"new"), L"new");
}

TEST_F(RegistryReadTest, PerUserPathFallsBackToTheMachine) {
    // HKCU is the prefix's real one: the value name is unique to this process.
    const std::wstring name = L"UserFallback" + std::to_wstring(::GetCurrentProcessId());
    registry.SetString(kAgentKey, name, L"machine");
    EXPECT_EQ(ReadPolicyValue(L"HKCU\\Software\\Velmora\\Zephral\\Agent\\Configuration\\" + name, L"none"), L"machine");
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, kAgentKey, name.c_str(), REG_SZ, L"user", 10), ERROR_SUCCESS);
    EXPECT_EQ(ReadPolicyValue(L"HKCU\\Software\\Velmora\\Zephral\\Agent\\Configuration\\" + name, L"none"), L"user");
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kAgentKey, name.c_str());
    // The plain read never falls back.
    EXPECT_EQ(ReadRegistryValue(L"HKCU\\Software\\Velmora\\Zephral\\Agent\\Configuration\\" + name, L"none"), L"none");
}

TEST_F(RegistryReadTest, ConfigHelpersParseTheirDefaults) {
    registry.SetAgentConfig(L"CertSSOCredNotifTimeout", L" 0045000 ");
    registry.SetAgentConfig(L"AllowDirectRDP", L"Yes");
    EXPECT_EQ(ReadConfigUInt(L"\\Agent\\Configuration\\CertSSOCredNotifTimeout", L"1"), 45000u);
    EXPECT_EQ(ReadConfigUInt(L"\\Agent\\Configuration\\Missing", L"5000"), 5000u);
    EXPECT_TRUE(ReadConfigBool(L"\\Agent\\Configuration\\AllowDirectRDP", L"false"));
    EXPECT_FALSE(ReadConfigBool(L"\\Agent\\Configuration\\Missing", L"false"));
}

}  // namespace
