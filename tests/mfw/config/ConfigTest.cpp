// Reading settings: the text-to-bool and text-to-number rules, stored-data conversion, bad
// paths and the policy lookup order; the watched tables (reloads, deleted keys, the watcher
// thread's handle limit). All against a private HKLM of the test prefix.
#include "mfw/MfwTestSupport.h"

#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/config/configWatch.h"
#include "lib/mfw/common/config/sysconfig.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "support/WaitFor.h"

#include <algorithm>
#include <atomic>
#include <memory>

namespace mfwtest {
namespace {

using namespace CORE;
using testsupport::WaitFor;

const wchar_t kAgentKey[] = L"Software\\Velmora\\Zephral\\Agent\\Configuration";
const std::wstring kAgentPath = L"HKLM\\Software\\Velmora\\Zephral\\Agent\\Configuration\\";

TEST(ParseText, BoolsAreWordsOrNonZeroNumbersAndNumbersAreNormalisedThenParsedWithBaseZero) {
    for (const wchar_t* text : {L"TRUE", L"Yes", L"ON", L"1", L"0x10", L"2x", L"-1"}) EXPECT_TRUE(ParseBool(text)) << Narrow(text);
    for (const wchar_t* text : {L"false", L"no", L"0", L"", L"x2", L" true", L"truex", L"off"}) EXPECT_FALSE(ParseBool(text)) << Narrow(text);
    const std::tuple<const wchar_t*, const wchar_t*, long> cases[] = {  // text, normalised, value
        {L" 0045000 ", L"45000", 45000}, {L"\t\r\n007\n", L"7", 7}, {L"08", L"8", 8}, {L"0x1F", L"0x1F", 31}, {L"0", L"0", 0},
        {L"-0012", L"-12", -12}, {L"+005", L"+5", 5}, {L"1001", L"1001", 1001}, {L"12abc", L"12abc", 12}, {L"", L"", 0}};
    for (const auto& [text, normalized, value] : cases)
        EXPECT_EQ(std::make_tuple(NormalizeNumber(text), ParseInt(text, true), ParseUInt(text, true)),
                  std::make_tuple(std::wstring(normalized), value, static_cast<unsigned long>(value)))
            << Narrow(text);
    // Without normalising, a leading zero means octal and "08" stops at the 8.
    EXPECT_EQ(std::make_pair(ParseUInt(L"010", false), ParseUInt(L"08", false)), std::make_pair(8ul, 0ul));
}

struct RegistryReadTest : testing::Test {
    testsupport::RegistrySandbox registry;
    testsupport::LogCapture log;
};

TEST_F(RegistryReadTest, ReadsConvertEveryStoredTypeFallBackToTheDefaultAndPreferPolicyThenLegacyPolicyByTheFallbackSwitch) {
    ::SetEnvironmentVariableW(L"TC_CONFIG_TEST_VAR", L"expanded");
    auto bytes = [](const auto& value) { return std::string(reinterpret_cast<const char*>(&value), sizeof(value)); };
    const std::wstring longText(3000, L'L');  // past the stack buffer
    const std::tuple<const wchar_t*, DWORD, std::string, std::wstring> cases[] = {  // name, type, stored bytes, text
        {L"Dword", REG_DWORD, bytes(DWORD(45000)), L"45000"}, {L"Qword", REG_QWORD, bytes(0x123456789ULL), L"4886718345"},
        {L"Expand", REG_EXPAND_SZ, bytes(L"%TC_CONFIG_TEST_VAR%\\x"), L"expanded\\x"},
        {L"Multi", REG_MULTI_SZ, bytes(L"a\0bc\0"), std::wstring(L"a\0bc\0\0", 6)},  // two strings and the closing NUL
        {L"Binary", REG_BINARY, std::string("h\0i\0", 4), L"hi"}, {L"NoTerminator", REG_SZ, std::string("n\0o\0z\0", 6), L"noz"},
        {L"Long", REG_SZ, std::string(reinterpret_cast<const char*>(longText.c_str()), (longText.size() + 1) * 2), longText},
    };
    registry.SetString(kAgentKey, L"Created", L"");
    platform::unique_hkey opened;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAgentKey, 0, KEY_QUERY_VALUE, opened.put()), ERROR_SUCCESS);
    const HKEY key = opened.get();
    for (const auto& [name, type, data, expected] : cases) {
        registry.SetValue(kAgentKey, name, type, data.data(), static_cast<DWORD>(data.size()));
        std::wstring text;
        EXPECT_EQ(ReadRegistryValueTyped(key, name, static_cast<DWORD>(-1), &text), type) << Narrow(name);
        EXPECT_EQ(std::make_pair(text, ReadRegistryValue(kAgentPath + name, L"default")), std::make_pair(expected, expected)) << Narrow(name);
    }
    std::wstring text = L"unchanged";
    for (const auto& [name, type, error] : {std::tuple{L"Dword", DWORD(REG_SZ), DWORD(ERROR_INVALID_DATA)},
                                            {L"Missing", static_cast<DWORD>(-1), DWORD(ERROR_FILE_NOT_FOUND)}})
        EXPECT_TRUE(ReadRegistryValueTyped(key, name, type, &text) == static_cast<DWORD>(-1) && ::GetLastError() == error) << Narrow(name);
    EXPECT_TRUE(text == L"unchanged" && ReadRegistryValueTyped(key, L"Long", static_cast<DWORD>(-1), nullptr) == static_cast<DWORD>(-1));
    EXPECT_EQ(ReadRegistryValue(kAgentPath + L"Missing", L"5000") + ReadPolicyValue(kAgentPath + L"Missing", L"7"), L"50007");
    for (const wchar_t* path : {L"HKXX\\Software\\Velmora\\Zephral\\Value", L"NoSeparators", L"HKLM\\OnlyValue", L""})
        EXPECT_TRUE(ReadPolicyValue(path, L"fallback") == L"fallback" && ::GetLastError() == ERROR_PATH_NOT_FOUND &&
                    ReadRegistryValue(path, L"fallback") == L"fallback") << Narrow(path);
    const wchar_t *root = kRootKey, *rootPolicy = L"Software\\Policies\\Velmora\\Zephral";
    // Each step stores one value, then reads the setting through the policy lookup.
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*, const wchar_t*> steps[] = {  // key, name, value, read
        {kAgentKey, L"Setting", L"plain", L"plain"},
        {L"Software\\Policies\\Dravik, Inc.\\Dravik ZDM\\Agent\\Configuration", L"Setting", L"legacy", L"legacy"},
        {root, L"FallbackToLegacyGPO", L"false", L"plain"},
        {rootPolicy, L"FallbackToLegacyGPO", L"true", L"legacy"},  // the policy location decides when it has a value
        {root, L"FallbackToLegacyGPO", L"true", L"legacy"},
        {rootPolicy, L"FallbackToLegacyGPO", L"0", L"plain"},
        {rootPolicy, L"FallbackToLegacyGPO", L"", L"legacy"},  // an empty policy value does not decide
        {L"Software\\Policies\\Velmora\\Zephral\\Agent\\Configuration", L"Setting", L"policy", L"policy"},
    };
    for (const auto& [key, name, value, read] : steps) {
        registry.SetString(key, name, value);
        EXPECT_EQ(ReadPolicyValue(kAgentPath + L"Setting", L"x"), read) << Narrow(key) << " " << Narrow(value);
    }
    // The plain read ignores both policies; forward slashes read the same value.
    EXPECT_EQ(ReadPolicyValue(L"HKLM/Software/Velmora/Zephral/Agent/Configuration/Setting", L"0") +
                  ReadRegistryValue(L"hklm/Software\\Velmora/Zephral\\Agent/Configuration/Setting", L"0"),
              L"policyplain");
}

using SysConfigTest = RegistryReadTest;

TEST_F(SysConfigTest, TableReadsThePolicyOnlyWhenAskedKeepsDefaultsAndWhenWatchedReloadsAndCallsBackEvenWhenTheCallbackThrows) {
    registry.SetString(L"Software\\Policies\\Velmora\\Zephral\\Node Manager", L"Port", L"9000");
    registry.SetString(kNodeManagerKey, L"Port", L"8000");
    const std::vector<std::wstring> entries = {L"Timeout=30", L"Port=1", L"Empty="};
    sysconfig policy(kNodeManagerPath, entries, false, true), plain(kNodeManagerPath, entries, false, false);
    sysconfig missing(L"HKLM\\Software\\Velmora\\Zephral\\NoSuchKey", entries, true, true);
    EXPECT_EQ(policy.Get(L"port") + L"," + plain.Get(L"Port") + L"," + missing.Get(L"Timeout") + L"," + policy.Get(L"Empty") +
                  policy.Get(L"NotInTable"),
              L"9000,8000,30,");  // names ignore case
    EXPECT_FALSE(policy.IsWatched() || missing.IsWatched());
    registry.SetString(kNodeManagerKey, L"Value", L"1");
    std::atomic<int> changes{0};
    sysconfig table(kNodeManagerPath, {L"Value=0"}, true, true, [&] {
        ++changes;
        throw std::runtime_error("owner failed");
    });
    ASSERT_TRUE(table.IsWatched());
    for (const auto& [value, calls] : {std::pair{L"2", 1}, {L"3", 2}}) {  // armed again after the first change
        registry.SetString(kNodeManagerKey, L"Value", value);
        EXPECT_TRUE(WaitFor([&] { return table.Get(L"Value") == value && changes.load() >= calls; })) << calls;
    }
}

// Brings a watched table's key to deletion while the watch is armed: the first reload
// blocks in the changed callback, the key gets a subkey (which signals the armed watch) and
// is deleted with it, then the callback returns and the watcher re-arms a deleted key.
// (Deleting a key signals its own watchers on Windows; Wine only signals the parent's.)
struct DeletedKeyTest : SysConfigTest {
    void SetUp() override {
        registry.SetString(kNodeManagerKey, L"Value", L"1");
        table_ = std::make_unique<sysconfig>(kNodeManagerPath, std::vector<std::wstring>{L"Value=0"}, true, false, [this] {
            if (++calls_ == 1) ::SignalObjectAndWait(entered_.get(), release_.get(), 10000, FALSE);
        });
        registry.SetString(kNodeManagerKey, L"Value", L"2");
        ASSERT_EQ(::WaitForSingleObject(entered_.get(), 5000), WAIT_OBJECT_0);
        registry.SetString(std::wstring(kNodeManagerKey) + L"\\Sub", L"X", L"x");
        ASSERT_EQ(::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kNodeManagerKey), ERROR_SUCCESS);
        ::SetEvent(release_.get());
    }
    void TearDown() override { ::SetEvent(release_.get()), table_.reset(); }

    platform::unique_handle entered_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    platform::unique_handle release_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<int> calls_{0};
    std::unique_ptr<sysconfig> table_;
};

TEST_F(DeletedKeyTest, RecreatedKeyIsWatchedAgain) {
    EXPECT_TRUE(WaitFor([&] { return log.Contains(L"ERROR_KEY_DELETED, retrying count=1"); })) << Narrow(log.Dump());
    for (const wchar_t* value : {L"3", L"4"}) {
        registry.SetString(kNodeManagerKey, L"Value", value);
        EXPECT_TRUE(WaitFor([&] { return table_->Get(L"Value") == value; }));
    }
}

TEST_F(DeletedKeyTest, KeyThatStaysDeletedIsGivenUpAfterTenRetriesAndFallsBackToDefaults) {
    EXPECT_TRUE(WaitFor([&] { return log.Contains(L"configWatch: registryWatch failed after 10 retries", LOG_ERROR); })) << Narrow(log.Dump());
    EXPECT_TRUE(WaitFor([&] { return table_->Get(L"Value") == L"0"; }));
}

struct CountingTarget : IConfigWatchTarget {
    void OnConfigKeyChanged() override { ++calls; }
    std::atomic<int> calls{0};
};

TEST_F(SysConfigTest, WatcherRefusesMoreHandlesThanOneWaitTakesAndEndsWithTheLastWatch) {
    registry.SetString(kNodeManagerKey, L"Value", L"1");
    LogMessage(LOG_INFO, L"the logger's own tables are watched before counting");
    configWatch& watcher = configWatch::Instance();
    std::vector<std::unique_ptr<CountingTarget>> targets;
    for (size_t i = watcher.WatchCount(); i < MAXIMUM_WAIT_OBJECTS - 1; ++i)
        ASSERT_TRUE(watcher.AddWatch(kNodeManagerPath, targets.emplace_back(std::make_unique<CountingTarget>()).get())) << i;
    CountingTarget extra;
    EXPECT_FALSE(watcher.AddWatch(kNodeManagerPath, &extra));
    registry.SetString(kNodeManagerKey, L"Value", L"2");
    EXPECT_TRUE(WaitFor([&] { return std::all_of(targets.begin(), targets.end(), [](auto& target) { return target->calls.load() > 0; }); }));
    EXPECT_EQ(extra.calls.load(), 0);
    watcher.Shutdown();  // drops the logger's own watches too
    EXPECT_TRUE(WaitFor([&] { return watcher.ThreadId() == 0; }));
    ASSERT_TRUE(watcher.AddWatch(kNodeManagerPath, targets[0].get()));
    EXPECT_NE(watcher.ThreadId(), 0u);
    watcher.RemoveWatch(targets[0].get());
    EXPECT_TRUE(WaitFor([&] { return watcher.ThreadId() == 0; }));
}

}  // namespace
}  // namespace mfwtest
