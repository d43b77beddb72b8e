// Configuration tables and the registry watcher: defaults, the policy flag, reloads after a
// change, deleted keys, the handle limit of the watcher thread.
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

class SysConfigTest : public testing::Test {
protected:
    testsupport::RegistrySandbox registry;
    testsupport::LogCapture log;
};

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
