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

TEST_F(ModuleEntryTest, ConsentAndTheBrowserAreRefusedByExactName) {
    struct Case {
        const wchar_t* path;
        BOOL loads;
    } cases[] = {{L"C:\\Windows\\System32\\consent.exe", FALSE}, {L"C:\\Windows\\System32\\Consent.EXE", FALSE},
                 {L"C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE", FALSE},
                 {L"C:\\Windows\\System32\\consentx.exe", TRUE}, {L"C:\\Windows\\System32\\my.consent.exe", TRUE},
                 {L"C:\\Windows\\System32\\LogonUI.exe", TRUE}};
    for (const auto& c : cases) {
        fake.hostPath = c.path;
        EXPECT_EQ(ModuleEntry(::GetModuleHandleW(nullptr), DLL_THREAD_ATTACH, nullptr), c.loads) << c.path;
    }
}

TEST_F(ModuleEntryTest, ConfiguredExceptionsIgnoreEmptyItems) {
    registry.SetAgentConfig(L"CredentialFilterExceptions", L";;WinLogon;;");
    EXPECT_TRUE(IsExcludedHost(L"winlogon"));
    EXPECT_FALSE(IsExcludedHost(L"logonui"));
    EXPECT_FALSE(IsExcludedHost(L""));
    EXPECT_FALSE(IsExcludedHost(L"winlogon2"));
    registry.SetAgentConfig(L"CredentialFilterExceptions", L"explorer;rundll32");
    EXPECT_TRUE(IsExcludedHost(L"RUNDLL32"));
    EXPECT_TRUE(IsExcludedHost(L"explorer"));
    EXPECT_FALSE(IsExcludedHost(L"explorer;rundll32"));
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
