// Reading settings: path parsing, the policy lookup order, stored-data conversion, the
// text-to-bool and text-to-number rules; the configuration tables and the registry watcher
// (defaults, the policy flag, reloads after a change, deleted keys, the watcher thread's
// handle limit). All against a private HKLM of the test prefix.
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
const wchar_t kAgentPolicyKey[] = L"Software\\Policies\\Velmora\\Zephral\\Agent\\Configuration";
const wchar_t kLegacyAgentKey[] = L"Software\\Policies\\Dravik, Inc.\\Dravik ZDM\\Agent\\Configuration";
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
    testsupport::LogCapture log;
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

using SysConfigTest = RegistryReadTest;

TEST_F(SysConfigTest, LoadsValuesAndKeepsDefaultsForMissingOnes) {
    registry.SetString(kNodeManagerKey, L"KeepAliveTimeoutSeconds", L"45");
    registry.SetString(L"Software\\Policies\\Velmora\\Zephral\\Node Manager", L"Port", L"9000");
    registry.SetString(kNodeManagerKey, L"Port", L"8000");
    const std::vector<std::wstring> entries = {L"KeepAliveTimeoutSeconds=30", L"Port=1", L"Empty=", L"Flag=true"};
    sysconfig withPolicy(kNodeManagerPath, entries, false, true);
    EXPECT_EQ(withPolicy.GetUInt(L"KeepAliveTimeoutSeconds"), 45u);
    EXPECT_EQ(withPolicy.Get(L"port"), L"9000");  // names ignore case
    EXPECT_EQ(withPolicy.Get(L"Empty") + withPolicy.Get(L"NotInTable"), L"");
    EXPECT_TRUE(withPolicy.GetBool(L"Flag"));
    EXPECT_FALSE(withPolicy.IsWatched());
    EXPECT_EQ(sysconfig(kNodeManagerPath, entries, false, false).Get(L"Port"), L"8000");
}

TEST_F(SysConfigTest, WatchedTableReloadsAndCallsBackAfterEveryChangeEvenWhenTheCallbackThrows) {
    registry.SetString(kNodeManagerKey, L"Value", L"1");
    std::atomic<int> changes{0};
    sysconfig table(kNodeManagerPath, {L"Value=0"}, true, true, [&] {
        ++changes;
        throw std::runtime_error("owner failed");
    });
    ASSERT_TRUE(table.IsWatched());
    EXPECT_EQ(table.Get(L"Value"), L"1");
    registry.SetString(kNodeManagerKey, L"Value", L"2");
    EXPECT_TRUE(WaitFor([&] { return table.Get(L"Value") == L"2" && changes.load() >= 1; }));
    EXPECT_TRUE(WaitFor([&] { return log.Contains(L"error in sysconfig: EXCEPTION in changed callback", LOG_ERROR); }));
    registry.SetString(kNodeManagerKey, L"Value", L"3");  // armed again after the first change
    EXPECT_TRUE(WaitFor([&] { return changes.load() >= 2 && table.Get(L"Value") == L"3"; }));
}

TEST_F(SysConfigTest, MissingKeyCannotBeWatchedAndKeepsDefaults) {
    sysconfig table(L"HKLM\\Software\\Velmora\\Zephral\\NoSuchKey", {L"A=5"}, true, true);
    EXPECT_FALSE(table.IsWatched());
    EXPECT_EQ(table.GetUInt(L"A"), 5u);
    EXPECT_TRUE(log.Contains(L"error in configWatch: cannot open path HKLM\\Software\\Velmora\\Zephral\\NoSuchKey", LOG_ERROR));
}

// Brings a watched table's key to deletion while the watch is armed: the first reload
// blocks in the changed callback, the key gets a subkey (which signals the armed watch) and
// is deleted with it, then the callback returns and the watcher re-arms a deleted key.
// (Deleting a key signals its own watchers on Windows; Wine only signals the parent's.)
class DeletedKeyTest : public SysConfigTest {
protected:
    void SetUp() override {
        registry.SetString(kNodeManagerKey, L"Value", L"1");
        table_ = std::make_unique<sysconfig>(kNodeManagerPath, std::vector<std::wstring>{L"Value=0"}, true, false, [this] {
            if (++calls_ == 1) {
                ::SetEvent(entered_.get());
                ::WaitForSingleObject(release_.get(), 10000);
            }
        });
        ASSERT_TRUE(table_->IsWatched());
        registry.SetString(kNodeManagerKey, L"Value", L"2");
        ASSERT_EQ(::WaitForSingleObject(entered_.get(), 5000), WAIT_OBJECT_0);
        registry.SetString(std::wstring(kNodeManagerKey) + L"\\Sub", L"X", L"x");
        ASSERT_EQ(::RegDeleteTreeW(HKEY_LOCAL_MACHINE, kNodeManagerKey), ERROR_SUCCESS);
        ::SetEvent(release_.get());
    }
    void TearDown() override {
        ::SetEvent(release_.get());
        table_.reset();
    }

    platform::unique_handle entered_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    platform::unique_handle release_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<int> calls_{0};
    std::unique_ptr<sysconfig> table_;
};

TEST_F(DeletedKeyTest, RecreatedKeyIsWatchedAgain) {
    EXPECT_TRUE(WaitFor([&] { return log.Contains(L"RegNotifyChangeKeyValue return ERROR_KEY_DELETED, retrying count=1"); }))
        << Narrow(log.Dump());
    for (const wchar_t* value : {L"3", L"4"}) {
        registry.SetString(kNodeManagerKey, L"Value", value);
        EXPECT_TRUE(WaitFor([&] { return table_->Get(L"Value") == value; }));
    }
    EXPECT_FALSE(log.Contains(L"registryWatch failed"));
}

TEST_F(DeletedKeyTest, KeyThatStaysDeletedIsGivenUpAfterTenRetriesAndFallsBackToDefaults) {
    EXPECT_TRUE(WaitFor([&] { return log.Contains(L"configWatch: registryWatch failed after 10 retries", LOG_ERROR); })) << Narrow(log.Dump());
    EXPECT_TRUE(log.Contains(L"RegNotifyChangeKeyValue return ERROR_KEY_DELETED, retrying count=10"));
    EXPECT_FALSE(log.Contains(L"retrying count=11"));
    EXPECT_TRUE(WaitFor([&] { return table_->Get(L"Value") == L"0"; }));
}

class CountingTarget : public IConfigWatchTarget {
public:
    void OnConfigKeyChanged() override { ++calls; }
    std::atomic<int> calls{0};
};

TEST_F(SysConfigTest, WatcherRefusesMoreHandlesThanOneWaitTakesAndEndsWithTheLastWatch) {
    registry.SetString(kNodeManagerKey, L"Value", L"1");
    LogMessage(LOG_INFO, L"the logger's own tables are watched before counting");
    configWatch& watcher = configWatch::Instance();
    ASSERT_LT(watcher.WatchCount(), 63u);
    std::vector<std::unique_ptr<CountingTarget>> targets;
    for (size_t i = watcher.WatchCount(); i < MAXIMUM_WAIT_OBJECTS - 1; ++i) {
        targets.push_back(std::make_unique<CountingTarget>());
        ASSERT_TRUE(watcher.AddWatch(kNodeManagerPath, targets.back().get())) << i;
    }
    CountingTarget extra;
    EXPECT_FALSE(watcher.AddWatch(kNodeManagerPath, &extra));
    EXPECT_TRUE(log.Contains(L"_watcherThread::ThreadEntry(): configWatch: nEvents exceeded MAXIMUM_WAIT_OBJECTS", LOG_ERROR));
    registry.SetString(kNodeManagerKey, L"Value", L"2");
    EXPECT_TRUE(WaitFor([&] { return std::all_of(targets.begin(), targets.end(), [](auto& target) { return target->calls.load() > 0; }); }));
    EXPECT_EQ(extra.calls.load(), 0);

    watcher.Shutdown();  // drops the logger's own watches too
    EXPECT_TRUE(WaitFor([&] { return watcher.ThreadId() == 0; }));
    ASSERT_TRUE(watcher.AddWatch(kNodeManagerPath, targets[0].get()));
    const DWORD thread = watcher.ThreadId();
    EXPECT_NE(thread, 0u);
    watcher.RemoveWatch(targets[0].get());
    EXPECT_TRUE(WaitFor([&] {
        return watcher.ThreadId() == 0 &&
               log.Contains(L"_watcherThread::ThreadEntry(): configWatch: Thread exiting, no watches remaining, ThreadId=" + std::to_wstring(thread));
    }));
}

}  // namespace
}  // namespace mfwtest
