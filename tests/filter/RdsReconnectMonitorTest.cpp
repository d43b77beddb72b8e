#include "filter/RdsReconnectMonitor.h"

#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

namespace {

using testsupport::FakePlatform;
using testsupport::LogCapture;
using testsupport::RegistrySandbox;

constexpr WTS_CONNECTSTATE_CLASS D = WTSDisconnected;
constexpr WTS_CONNECTSTATE_CLASS A = WTSActive;
constexpr WTS_CONNECTSTATE_CLASS F = FakePlatform::kConnectStateQueryFails;

class RdsReconnectMonitorTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake.SetServer2019Rds();
        fake.sessionId = 3;
        fake.consoleSessionId = 1;
    }
    void TearDown() override {
        if (monitor) {
            monitor->Stop();
            monitor->Release();
        }
    }
    bool Start(DWORD pollMs = 10, DWORD graceMs = 10) {
        RdsReconnectMonitor::Timing timing;
        timing.pollMs = pollMs;
        timing.graceMs = graceMs;
        monitor = new RdsReconnectMonitor(timing);
        return monitor->Start();
    }
    bool WaitForThreadEnd() { return monitor->WaitForThreadEnd(5000); }

    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
    RdsReconnectMonitor* monitor = nullptr;
};

TEST_F(RdsReconnectMonitorTest, RunsOnlyInsideLogonUi) {
    for (const wchar_t* host : {L"C:\\Windows\\System32\\winlogon.exe", L"C:\\x\\logonuix.exe", L"C:\\x\\logon.ui"}) {
        fake.hostPath = host;
        EXPECT_FALSE(Start()) << host;
        monitor->Release();
        monitor = nullptr;
    }
    fake.hostPath = L"C:\\WINDOWS\\system32\\LOGONUI.EXE";
    EXPECT_TRUE(Start());
}

TEST_F(RdsReconnectMonitorTest, PolicyConsoleAndALoggedOnUserKeepItFromStarting) {
    const struct {
        const wchar_t* line;
        void (*arrange)(FakePlatform&, RegistrySandbox&);
    } kCases[] = {
        {L"RdsReconnectMonitor: Disabled",
         [](FakePlatform&, RegistrySandbox& r) { r.SetAgentConfig(L"DisableRdsReconnectMonitor", L"TRUE"); }},
        {L"RdsReconnectMonitor: Exit, not required for console sessionId=3",
         [](FakePlatform& f, RegistrySandbox&) { f.consoleSessionId = 3; }},
        {L"RdsReconnectMonitor: Exit, a user is LoggedOn to sessionId=3",
         [](FakePlatform& f, RegistrySandbox&) { f.userName = "alice"; }},
    };
    for (const auto& c : kCases) {
        registry.SetAgentConfig(L"DisableRdsReconnectMonitor", L"FALSE");
        fake.consoleSessionId = 1;
        fake.userName.clear();
        c.arrange(fake, registry);
        EXPECT_FALSE(Start()) << c.line;
        EXPECT_TRUE(log.Contains(c.line)) << c.line;
        monitor->Release();
        monitor = nullptr;
    }
}

TEST_F(RdsReconnectMonitorTest, OnlyMultiSessionHostsStartIt) {
    struct Case {
        DWORD major, minor;
        BYTE type;
        WORD suite;
        bool starts;
    } cases[] = {
        {10, 0, VER_NT_WORKSTATION, VER_SUITE_TERMINAL | VER_SUITE_SINGLEUSERTS, false},  // client with RDP
        {10, 0, VER_NT_SERVER, VER_SUITE_TERMINAL | VER_SUITE_SINGLEUSERTS, false},       // admin mode server
        {10, 0, VER_NT_SERVER, 0, false},                                                  // no terminal services
        {6, 1, VER_NT_WORKSTATION, VER_SUITE_TERMINAL, false},                             // level 7
        {6, 1, VER_NT_SERVER, VER_SUITE_TERMINAL, true},                                   // level 8
        {10, 0, VER_NT_SERVER, VER_SUITE_TERMINAL, true},
    };
    for (const auto& c : cases) {
        fake.os.major = c.major;
        fake.os.minor = c.minor;
        fake.os.productType = c.type;
        fake.os.suiteMask = c.suite;
        EXPECT_EQ(Start(), c.starts) << c.major << "." << c.minor << " type " << int(c.type) << " suite " << c.suite;
        monitor->Stop();
        monitor->Release();
        monitor = nullptr;
    }
}

TEST_F(RdsReconnectMonitorTest, AnUnreadableUserNameStartsIt) {
    fake.userNameError = ERROR_ACCESS_DENIED;
    EXPECT_TRUE(Start());
    EXPECT_TRUE(log.Contains(L"Failed to query for username Error=5, sessionId=3", CORE::LOG_ERROR));
}

TEST_F(RdsReconnectMonitorTest, FiveDisconnectedPollsEndTheProcess) {
    fake.connectStates = {D};
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
    ASSERT_TRUE(testsupport::WaitFor([&] { return fake.connectStateQueries.load() >= 20; }));
    monitor->Stop();
    EXPECT_TRUE(WaitForThreadEnd());
    EXPECT_EQ(fake.terminateCalls.load(), 0);
    EXPECT_TRUE(log.Contains(L"Failed to get Connect State Error=1722 - sessionId=3"));
    EXPECT_TRUE(log.Contains(L"The LogonUI Process is ending for sessionId=3"));
}

TEST_F(RdsReconnectMonitorTest, StopDuringTheGraceWaitPreventsTermination) {
    fake.connectStates = {D};
    ASSERT_TRUE(Start(10, 10000));
    ASSERT_TRUE(testsupport::WaitFor([&] { return log.Contains(L"Terminate the LogonUI Process"); }));
    monitor->Stop();
    EXPECT_TRUE(WaitForThreadEnd());
    EXPECT_EQ(fake.terminateCalls.load(), 0);
}

// While it watches, a user starting to log on (or one it cannot read) and becoming the console
// session each end the thread without cutting anybody off.
TEST_F(RdsReconnectMonitorTest, AUserOrTheConsoleEndTheWatchWithoutTermination) {
    const struct {
        void (*change)(FakePlatform&);
        const wchar_t* line;
    } kCases[] = {
        {[](FakePlatform& f) {
             std::lock_guard<std::mutex> guard(f.lock);
             f.userName = "bob";
         },
         L"Exit, A user has started to logon to sessionId=3"},
        {[](FakePlatform& f) { f.userNameError = ERROR_ACCESS_DENIED; }, nullptr},
        {[](FakePlatform& f) { f.consoleSessionId = 3; }, L"Exit, Console sessionId=3"},
    };
    for (const auto& c : kCases) {
        fake.connectStates = {D};
        ASSERT_TRUE(Start(30));
        c.change(fake);
        ASSERT_TRUE(WaitForThreadEnd());
        EXPECT_EQ(fake.terminateCalls.load(), 0);
        EXPECT_TRUE(!c.line || log.Contains(c.line)) << c.line;
        monitor->Stop();
        monitor->Release();
        monitor = nullptr;
        std::lock_guard<std::mutex> guard(fake.lock);
        fake.userName.clear();
        fake.userNameError = 0;
        fake.consoleSessionId = 1;
    }
}

}  // namespace
