#include "filter/RdsReconnectMonitor.h"

#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

namespace {

using testsupport::FakePlatform;
using testsupport::WaitFor;

constexpr WTS_CONNECTSTATE_CLASS D = WTSDisconnected;
constexpr WTS_CONNECTSTATE_CLASS A = WTSActive;
constexpr WTS_CONNECTSTATE_CLASS F = FakePlatform::kConnectStateQueryFails;

class RdsReconnectMonitorTest : public ::testing::Test {
protected:
    // A remote session (3) of a Server 2019 RDS host inside LogonUI, nobody logged on.
    void SetUp() override { Reset(); }
    void TearDown() override { Drop(); }
    void Reset() {
        Drop();
        std::lock_guard<std::mutex> guard(fake.lock);
        fake.SetServer2019Rds();
        fake.sessionId = 3;
        fake.consoleSessionId = 1;
        fake.userName.clear();
        fake.userNameError = 0;
        fake.hostPath = L"C:\\WINDOWS\\system32\\LOGONUI.EXE";
        fake.connectStates = {D};
        registry.SetAgentConfig(L"DisableRdsReconnectMonitor", L"FALSE");
        log.Clear();
    }
    void Drop() {
        if (!monitor) return;
        monitor->Stop();
        monitor->Release();
        monitor = nullptr;
    }
    bool Start(DWORD pollMs = 10, DWORD graceMs = 10) {
        RdsReconnectMonitor::Timing timing;
        timing.pollMs = pollMs;
        timing.graceMs = graceMs;
        monitor = new RdsReconnectMonitor(timing);
        return monitor->Start();
    }
    bool WaitForThreadEnd() { return monitor->WaitForThreadEnd(5000); }

    testsupport::RegistrySandbox registry;
    FakePlatform fake;
    testsupport::LogCapture log;
    RdsReconnectMonitor* monitor = nullptr;
};

// It watches only inside LogonUI, in a remote session nobody is logged on to, of a multi-session host.
TEST_F(RdsReconnectMonitorTest, StartsOnlyWhereASessionCanBeLeftBehind) {
    const struct {
        const wchar_t* host;  // null: LogonUI
        DWORD major, minor;
        BYTE type;
        WORD suite;
        char change;  // p: disabled by policy, c: the console session, u: a user logged on, e: unreadable user
        bool starts;
        const wchar_t* line;
    } kCases[] = {
        {L"C:\\Windows\\System32\\winlogon.exe", 10, 0, VER_NT_SERVER, VER_SUITE_TERMINAL, 0, false, nullptr},
        {L"C:\\x\\logonuix.exe", 10, 0, VER_NT_SERVER, VER_SUITE_TERMINAL, 0, false, nullptr},
        {L"C:\\x\\logon.ui", 10, 0, VER_NT_SERVER, VER_SUITE_TERMINAL, 0, false, nullptr},
        {nullptr, 10, 0, VER_NT_SERVER, VER_SUITE_TERMINAL, 'p', false, L"RdsReconnectMonitor: Disabled"},
        {nullptr, 10, 0, VER_NT_SERVER, VER_SUITE_TERMINAL, 'c', false, L"Exit, not required for console sessionId=3"},
        {nullptr, 10, 0, VER_NT_SERVER, VER_SUITE_TERMINAL, 'u', false, L"Exit, a user is LoggedOn to sessionId=3"},
        {nullptr, 10, 0, VER_NT_SERVER, VER_SUITE_TERMINAL, 'e', true, L"Failed to query for username Error=5, sessionId=3"},
        {nullptr, 10, 0, VER_NT_WORKSTATION, VER_SUITE_TERMINAL | VER_SUITE_SINGLEUSERTS, 0, false, nullptr},  // RDP client
        {nullptr, 10, 0, VER_NT_SERVER, VER_SUITE_TERMINAL | VER_SUITE_SINGLEUSERTS, 0, false, nullptr},  // admin mode
        {nullptr, 10, 0, VER_NT_SERVER, 0, 0, false, nullptr},                                           // no RDS
        {nullptr, 6, 1, VER_NT_WORKSTATION, VER_SUITE_TERMINAL, 0, false, nullptr},                       // level 7
        {nullptr, 6, 1, VER_NT_SERVER, VER_SUITE_TERMINAL, 0, true, nullptr},                             // level 8
        {nullptr, 10, 0, VER_NT_SERVER, VER_SUITE_TERMINAL, 0, true, nullptr},
    };
    for (const auto& c : kCases) {
        Reset();
        if (c.host) fake.hostPath = c.host;
        fake.os.major = c.major, fake.os.minor = c.minor, fake.os.productType = c.type, fake.os.suiteMask = c.suite;
        if (c.change == 'p') registry.SetAgentConfig(L"DisableRdsReconnectMonitor", L"TRUE");
        if (c.change == 'c') fake.consoleSessionId = 3;
        if (c.change == 'u') fake.userName = "alice";
        if (c.change == 'e') fake.userNameError = ERROR_ACCESS_DENIED;
        EXPECT_EQ(Start(), c.starts) << (c.host ? c.host : L"") << c.major << "." << c.minor << int(c.type) << c.suite;
        EXPECT_TRUE(!c.line || log.Contains(c.line)) << c.line;
    }
}

TEST_F(RdsReconnectMonitorTest, FiveDisconnectedPollsEndTheProcess) {
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitForThreadEnd());
    EXPECT_EQ(fake.terminateCalls.load(), 1);
    EXPECT_EQ(fake.terminateExitCode.load(), 0u);
    EXPECT_EQ(fake.connectStateQueries.load(), 5);
    for (int count : {1, 3, 5, 7, 9})
        EXPECT_TRUE(log.Contains(L"Session is disconnected (count=" + std::to_wstring(count) + L") sessionId=3"));
    EXPECT_TRUE(log.Contains(L"Terminate the LogonUI Process sessionId=3", CORE::LOG_DEBUG));
}

TEST_F(RdsReconnectMonitorTest, AConnectedPollOrAFailedQueryResetsTheCount) {
    fake.connectStates = {D, D, D, D, A, D, D, D, D, F, D, D, D, D, A};
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([&] { return fake.connectStateQueries.load() >= 20; }));
    monitor->Stop();
    EXPECT_TRUE(WaitForThreadEnd());
    EXPECT_EQ(fake.terminateCalls.load(), 0);
    EXPECT_TRUE(log.Contains(L"Failed to get Connect State Error=1722 - sessionId=3"));
    EXPECT_TRUE(log.Contains(L"The LogonUI Process is ending for sessionId=3"));
}

// Stop during the grace wait, a user starting to log on (or one it cannot read) and becoming the
// console session each end the watch without cutting anybody off.
TEST_F(RdsReconnectMonitorTest, StopAUserOrTheConsoleEndTheWatchWithoutTermination) {
    const struct {
        char change;  // s: Stop during the grace wait, u: a user, e: unreadable user, c: the console
        const wchar_t* line;
    } kCases[] = {{'s', nullptr},
                  {'u', L"Exit, A user has started to logon to sessionId=3"},
                  {'e', nullptr},
                  {'c', L"Exit, Console sessionId=3"}};
    for (const auto& c : kCases) {
        Reset();
        ASSERT_TRUE(Start(30, c.change == 's' ? 10000 : 10));
        if (c.change == 's') {
            ASSERT_TRUE(WaitFor([&] { return log.Contains(L"Terminate the LogonUI Process"); }));
            monitor->Stop();
        }
        {
            std::lock_guard<std::mutex> guard(fake.lock);
            if (c.change == 'u') fake.userName = "bob";
            if (c.change == 'e') fake.userNameError = ERROR_ACCESS_DENIED;
            if (c.change == 'c') fake.consoleSessionId = 3;
        }
        ASSERT_TRUE(WaitForThreadEnd()) << c.change;
        EXPECT_EQ(fake.terminateCalls.load(), 0) << c.change;
        EXPECT_TRUE(!c.line || log.Contains(c.line)) << c.line;
    }
}

}  // namespace
