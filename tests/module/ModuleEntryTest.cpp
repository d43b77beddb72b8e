#include "module/ModuleEntry.h"

#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

namespace {

using testsupport::FakePlatform;
using testsupport::LogCapture;
using testsupport::RegistrySandbox;

class ModuleEntryTest : public ::testing::Test {
protected:
    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
};

// Consent and the browser are refused by exact name, whatever the case; configured exceptions
// name whole host names and ignore empty items.
TEST_F(ModuleEntryTest, ExcludedHostsAreMatchedByWholeName) {
    for (auto [path, loads] : {std::pair{L"C:\\Windows\\System32\\consent.exe", FALSE},
                               {L"C:\\Windows\\System32\\Consent.EXE", FALSE},
                               {L"C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE", FALSE},
                               {L"C:\\Windows\\System32\\consentx.exe", TRUE},
                               {L"C:\\Windows\\System32\\my.consent.exe", TRUE},
                               {L"C:\\Windows\\System32\\LogonUI.exe", TRUE}}) {
        fake.hostPath = path;
        EXPECT_EQ(ModuleEntry(::GetModuleHandleW(nullptr), DLL_THREAD_ATTACH, nullptr), loads) << path;
    }
    for (auto [config, host, excluded] :
         {std::tuple{L";;WinLogon;;", L"winlogon", true}, {L";;WinLogon;;", L"logonui", false},
          {L";;WinLogon;;", L"", false}, {L";;WinLogon;;", L"winlogon2", false}, {L"explorer;rundll32", L"RUNDLL32", true},
          {L"explorer;rundll32", L"explorer", true}, {L"explorer;rundll32", L"explorer;rundll32", false}}) {
        registry.SetAgentConfig(L"CredentialFilterExceptions", config);
        EXPECT_EQ(IsExcludedHost(host), excluded) << config << " " << host;
    }
}

TEST_F(ModuleEntryTest, AttachInARemoteLogonUiStartsTheMonitorAndDetachStopsIt) {
    fake.SetServer2019Rds();
    fake.sessionId = 3;
    fake.consoleSessionId = 1;
    HINSTANCE self = ::GetModuleHandleW(nullptr);
    ASSERT_TRUE(ModuleEntry(self, DLL_PROCESS_ATTACH, nullptr));
    EXPECT_EQ(ModuleInstance(), self);
    EXPECT_TRUE(log.Contains(L"tcfiltr attach for session with sessionId=3"));
    EXPECT_TRUE(testsupport::WaitFor([&] { return log.Contains(L"Waiting for logon or reconnect to sessionId=3"); }));
    ASSERT_TRUE(ModuleEntry(self, DLL_PROCESS_DETACH, nullptr));
    EXPECT_TRUE(log.Contains(L"tcfiltr detach for session with sessionId=3"));
    EXPECT_TRUE(log.Contains(L"The LogonUI Process is ending for sessionId=3"));
    EXPECT_EQ(fake.terminateCalls.load(), 0);
    // A second teardown finds nothing left to do.
    TeardownModuleObjects();
}

TEST_F(ModuleEntryTest, AttachOnAWorkstationStartsNoMonitor) {
    fake.SetWindows10Workstation();
    ASSERT_TRUE(ModuleEntry(::GetModuleHandleW(nullptr), DLL_PROCESS_ATTACH, nullptr));
    EXPECT_TRUE(log.Contains(L"RdsReconnectMonitor: Exit, not required on this system"));
    EXPECT_TRUE(ModuleEntry(::GetModuleHandleW(nullptr), DLL_PROCESS_DETACH, nullptr));
}

}  // namespace
