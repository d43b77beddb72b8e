// Reading settings: path parsing, the policy lookup order, stored-data conversion and the
// text-to-bool and text-to-number rules, against a private HKLM of the test prefix.
#include "lib/mfw/common/config/Config.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

using namespace CORE;

namespace {

const wchar_t kAgentKey[] = L"Software\\Velmora\\Zephral\\Agent\\Configuration";
const wchar_t kAgentPolicyKey[] = L"Software\\Policies\\Velmora\\Zephral\\Agent\\Configuration";
const wchar_t kLegacyAgentKey[] = L"Software\\Policies\\Dravik, Inc.\\Dravik ZDM\\Agent\\Configuration";
const wchar_t kRootKey[] = L"Software\\Velmora\\Zephral";
const wchar_t kRootPolicyKey[] = L"Software\\Policies\\Velmora\\Zephral";
const std::wstring kAgentPath = L"HKLM\\Software\\Velmora\\Zephral\\Agent\\Configuration\\";

std::string Quoted(const wchar_t* text) { return testing::PrintToString(std::wstring(text)); }

TEST(ParseBool, AcceptsWordsAndNonZeroNumbersOnly) {
    for (const wchar_t* text : {L"TRUE", L"Yes", L"ON", L"1", L"0x10", L"2x", L"-1"}) EXPECT_TRUE(ParseBool(text)) << Quoted(text);
    for (const wchar_t* text : {L"false", L"no", L"0", L"", L"x2", L" true", L"truex", L"off"}) EXPECT_FALSE(ParseBool(text)) << Quoted(text);
}

TEST(ParseNumber, NormalisesThenParsesLikeTheCLibraryWithBaseZero) {
    const std::tuple<const wchar_t*, const wchar_t*, long> cases[] = {
        {L" 0045000 ", L"45000", 45000}, {L"\t\r\n007\n", L"7", 7}, {L"08", L"8", 8},  // not octal once normalised
        {L"0x1F", L"0x1F", 31},          {L"0", L"0", 0},           {L"-0012", L"-12", -12},
        {L"+005", L"+5", 5},             {L"1001", L"1001", 1001},  // inner zeros stay
        {L"12abc", L"12abc", 12},        {L"abc", L"abc", 0},       {L"", L"", 0},
    };
    for (const auto& [text, normalized, value] : cases)
        EXPECT_EQ(std::make_tuple(NormalizeNumber(text), ParseInt(text, true), ParseUInt(text, true)),
                  std::make_tuple(std::wstring(normalized), value, static_cast<unsigned long>(value)))
            << Quoted(text);
    // Without normalising, a leading zero means octal and "08" stops at the 8.
    EXPECT_EQ(std::make_pair(ParseUInt(L"010", false), ParseUInt(L"08", false)), std::make_pair(8ul, 0ul));
}

class RegistryReadTest : public testing::Test {
protected:
    testsupport::RegistrySandbox registry;
};

TEST_F(RegistryReadTest, ConvertsEveryStoredTypeToText) {
    ::SetEnvironmentVariableW(L"TC_CONFIG_TEST_VAR", L"expanded");
    auto bytes = [](const auto& value) { return std::string(reinterpret_cast<const char*>(&value), sizeof(value)); };
    const DWORD dword = 45000;
    const ULONGLONG qword = 0x123456789ULL;
    const std::wstring longText(3000, L'L');  // past the stack buffer
    const std::tuple<const wchar_t*, DWORD, std::string, std::wstring> cases[] = {  // name, type, stored bytes, text
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
    for (const auto& [name, type, data, expected] : cases) {
        registry.SetValue(kAgentKey, name, type, data.data(), static_cast<DWORD>(data.size()));
        std::wstring text;
        EXPECT_EQ(ReadRegistryValueTyped(key, name, static_cast<DWORD>(-1), &text), type) << Quoted(name);
        EXPECT_EQ(std::make_pair(text, ReadRegistryValue(kAgentPath + name, L"default")), std::make_pair(expected, expected)) << Quoted(name);
    }
    std::wstring text = L"unchanged";
    for (const auto& [name, type, error] : {std::tuple{L"Dword", DWORD(REG_SZ), DWORD(ERROR_INVALID_DATA)},
                                            {L"Missing", static_cast<DWORD>(-1), DWORD(ERROR_FILE_NOT_FOUND)}}) {
        EXPECT_EQ(ReadRegistryValueTyped(key, name, type, &text), static_cast<DWORD>(-1));
        EXPECT_EQ(::GetLastError(), error);
    }
    EXPECT_EQ(text, L"unchanged");
    EXPECT_EQ(ReadRegistryValueTyped(key, L"Sz", static_cast<DWORD>(-1), nullptr), static_cast<DWORD>(-1));
    ::RegCloseKey(key);
}

TEST_F(RegistryReadTest, MissingValuesAndBadPathsGiveTheDefault) {
    EXPECT_EQ(ReadRegistryValue(kAgentPath + L"Missing", L"5000"), L"5000");
    EXPECT_EQ(ReadPolicyValue(kAgentPath + L"Missing", L"true"), L"true");
    for (const wchar_t* path : {L"HKXX\\Software\\Velmora\\Zephral\\Value", L"NoSeparators", L"HKLM\\OnlyValue", L""}) {
        EXPECT_EQ(ReadPolicyValue(path, L"fallback"), L"fallback") << Quoted(path);
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND)) << Quoted(path);
        EXPECT_EQ(ReadRegistryValue(path, L"fallback"), L"fallback") << Quoted(path);
    }
}

TEST_F(RegistryReadTest, PolicyBeatsLegacyPolicyBeatsThePlainKeyAndTheFallbackSwitchDecidesOnTheLegacyOne) {
    // Each step stores one value, then reads the setting through the policy lookup.
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*> steps[] = {  // key, name, value, read
        {kAgentKey, L"Setting", L"plain", L"plain"},
        {kLegacyAgentKey, L"Setting", L"legacy", L"legacy"},
        {kRootKey, L"FallbackToLegacyGPO", L"false", L"plain"},
        {kRootPolicyKey, L"FallbackToLegacyGPO", L"true", L"legacy"},  // the policy location decides when it has a value
        {kRootKey, L"FallbackToLegacyGPO", L"true", L"legacy"},
        {kRootPolicyKey, L"FallbackToLegacyGPO", L"0", L"plain"},
        {kRootPolicyKey, L"FallbackToLegacyGPO", L"", L"legacy"},  // an empty policy value does not decide
        {kAgentPolicyKey, L"Setting", L"policy", L"policy"},
    };
    for (const auto& [key, name, value, read] : steps) {
        registry.SetString(key, name, value);
        EXPECT_EQ(ReadPolicyValue(kAgentPath + L"Setting", L"x"), read) << Quoted(key) << " " << Quoted(value);
    }
    EXPECT_EQ(ReadRegistryValue(kAgentPath + L"Setting", L"x"), L"plain");  // the plain read ignores both policies
    // Forward slashes read the same value.
    EXPECT_EQ(ReadPolicyValue(L"HKLM/Software/Velmora/Zephral/Agent/Configuration/Setting", L"0"), L"policy");
    EXPECT_EQ(ReadRegistryValue(L"hklm/Software\\Velmora/Zephral\\Agent/Configuration/Setting", L"0"), L"plain");
}

TEST_F(RegistryReadTest, LegacyKeysFollowTheComponentTable) {
    // Under HKLM\Software\Velmora\Zephral, and the legacy key under HKLM\Software\Policies\Dravik, Inc.
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"", L"Dravik ZDM"},
        {L"\\Agent", L"Dravik ZDM\\Agent"},
        {L"\\AGENT\\Configuration", L"Dravik ZDM\\Agent\\Configuration"},
        {L"\\Authenticate\\Deep\\Er", L"Dravik ZDM\\Authenticate\\Deep\\Er"},
        {L"\\Log", L"Dravik ZDM\\Log"},
        {L"\\Node Manager", L"Dravik ZDM\\Node Manager"},
        {L"\\Security", L"Dravik ZDM\\Security"},
        {L"\\Unknown", nullptr},  // a component without a row has no legacy key
    };
    int n = 0;
    for (const auto& [path, legacyKey] : cases) {
        std::wstring name = L"Legacy" + std::to_wstring(++n);
        registry.SetString(std::wstring(L"Software\\Policies\\Dravik, Inc.\\") + (legacyKey ? legacyKey : L"Dravik ZDM\\Unknown"), name, L"old");
        EXPECT_EQ(ReadPolicyValue(L"HKLM\\Software\\Velmora\\Zephral" + std::wstring(path) + L"\\" + name, L"new"), legacyKey ? L"old" : L"new")
            << Quoted(path);
    }
    // Nor has a path outside the product.
    EXPECT_EQ(ReadPolicyValue(L"HKLM\\Software\\Velmora\\ZephralAgent\\Legacy2", L"new"), L"new");
}

TEST_F(RegistryReadTest, PerUserPathFallsBackToTheMachine) {
    // HKCU is the prefix's real one: the value name is unique to this process.
    const std::wstring name = L"UserFallback" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring path = L"HKCU\\Software\\Velmora\\Zephral\\Agent\\Configuration\\" + name;
    registry.SetString(kAgentKey, name, L"machine");
    EXPECT_EQ(ReadPolicyValue(path, L"none"), L"machine");
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, kAgentKey, name.c_str(), REG_SZ, L"user", 10), ERROR_SUCCESS);
    EXPECT_EQ(ReadPolicyValue(path, L"none"), L"user");
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kAgentKey, name.c_str());
    EXPECT_EQ(ReadRegistryValue(path, L"none"), L"none");  // the plain read never falls back
}

}  // namespace
