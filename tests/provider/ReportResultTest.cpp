#include "provider/cred.h"

#include "base/OfflineChannel.h"
#include "base/SessionInfo.h"
#include "platform/UniqueResource.h"
#include "sso/Credentials.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

namespace {

using platform::com_ptr;
using testsupport::FakePlatform;
using testsupport::LogCapture;
using testsupport::RegistrySandbox;

constexpr LONG kLogonFailure = static_cast<LONG>(0xC000006D);
constexpr LONG kWrongPassword = static_cast<LONG>(0xC000006A);

class ReportResultTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSessionIdCache();
        TheCredentials().ClearCredentials(true);
        TheCredentials().certLogon.containerName.clear();
        TheCredentials().certLogon.pin.Wipe();
        EXPECT_EQ(cred_CreateInstance(tile.put(), CPUS_LOGON, false), S_OK);
    }
    void TearDown() override {
        tile.reset();
        CleanupOfflineChannel();
    }
    static void CertSso(ULONGLONG attempts) {
        auto& creds = TheCredentials();
        creds.certLogon.containerName = L"le-container";
        creds.certLogon.pin = std::wstring_view(L"2468");
        creds.certLogon.attemptsLeft = attempts;
        creds.credentialsAvailable = true;
    }
    struct Outcome {
        HRESULT hr;
        std::wstring text;
        bool hasText;
        CREDENTIAL_PROVIDER_STATUS_ICON icon;
    };
    Outcome Report(LONG status, LONG substatus) {
        LPWSTR text = nullptr;
        CREDENTIAL_PROVIDER_STATUS_ICON icon = static_cast<CREDENTIAL_PROVIDER_STATUS_ICON>(77);
        Outcome outcome{tile->ReportResult(status, substatus, &text, &icon), text ? text : L"", text != nullptr, icon};
        ::CoTaskMemFree(text);
        return outcome;
    }
    int EndEvents() {
        int count = 0;
        for (const auto& e : fake.etwEvents) count += e.descriptor.Opcode == 2 ? 1 : 0;
        return count;
    }

    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
    com_ptr<ICredentialProviderCredential> tile;
};

TEST_F(ReportResultTest, SuccessEndsTheSsoAttemptAndWritesRemovalData) {
    fake.sessionId = 3;
    TheCredentials().smartCardReader = L"R";
    registry.SetString(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", L"ScRemoveOption", L"1");
    Outcome outcome = Report(0, 0);
    EXPECT_EQ(outcome.hr, S_OK);
    EXPECT_FALSE(outcome.hasText);
    EXPECT_EQ(EndEvents(), 1);
    DWORD size = 0;
    EXPECT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Removal Policy", L"3",
                             RRF_RT_REG_BINARY, nullptr, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);
}

TEST_F(ReportResultTest, CertSsoFailureIsRetriedWhileAttemptsRemain) {
    CertSso(3);
    for (int attempt = 1; attempt <= 2; ++attempt) {
        Outcome outcome = Report(kLogonFailure, 0);
        EXPECT_EQ(outcome.hr, S_OK);
        EXPECT_EQ(outcome.text, L"Retry Lumo SSO");
        EXPECT_EQ(outcome.icon, CPSI_NONE);
        EXPECT_EQ(TheCredentials().certLogon.attemptsLeft, ULONGLONG(3 - attempt));
        EXPECT_EQ(TheCredentials().certLogon.containerName, L"le-container");  // kept for the retry
    }
    EXPECT_TRUE(log.Contains(L"Unknown CertSSO failure - tries remaining: 1"));
    // The last attempt is reported like any failure and uses the material up.
    Outcome last = Report(kLogonFailure, 0);
    EXPECT_EQ(last.hr, S_OK);
    EXPECT_NE(last.text, L"Retry Lumo SSO");
    EXPECT_TRUE(TheCredentials().certLogon.containerName.empty());
    EXPECT_TRUE(TheCredentials().certLogon.pin.empty());
    EXPECT_EQ(EndEvents(), 3);
    EXPECT_TRUE(log.Contains(L"Reported authentication failure. Status=0xC000006D"));
}

TEST_F(ReportResultTest, OtherFailuresAreNotRetried) {
    CertSso(3);
    Outcome outcome = Report(kWrongPassword, 0);
    EXPECT_NE(outcome.text, L"Retry Lumo SSO");
    EXPECT_TRUE(TheCredentials().certLogon.pin.empty());
    CertSso(3);
    outcome = Report(kLogonFailure, kWrongPassword);  // a substatus makes it a known failure
    EXPECT_NE(outcome.text, L"Retry Lumo SSO");
}

TEST_F(ReportResultTest, AZeroStatusWithASubstatusSetsNoText) {
    Outcome outcome = Report(0, kWrongPassword);
    EXPECT_EQ(outcome.hr, S_OK);
    EXPECT_FALSE(outcome.hasText);
    EXPECT_EQ(outcome.icon, static_cast<CREDENTIAL_PROVIDER_STATUS_ICON>(77));
}

TEST_F(ReportResultTest, TheAgentHearsOfCertSsoFailuresOnlyWhenItAskedTo) {
    CertSso(1);
    Report(kLogonFailure, 0);
    EXPECT_FALSE(log.Contains(L"SendMsgToDesktopManager(SendLoginErrorEvent)"));
    CertSso(1);
    TheCredentials().reportErrors = true;
    Report(kLogonFailure, 0);
    EXPECT_TRUE(log.Contains(L"SendMsgToDesktopManager(SendLoginErrorEvent) (sessionId=2) begin"));
    EXPECT_TRUE(log.Contains(L"cred::ReportResult(): Failed to send SendLoginErrorEvent message, resp: "));
}

TEST_F(ReportResultTest, RetryAsksTheChannelToCloseLogonUisErrorDialog) {
    OfflineChannel* channel = GetOfflineChannel();
    std::wstring name = L"Local\\TcfiltrTest.Report." + std::to_wstring(::GetCurrentProcessId());
    channel->SetReEnumerationCallback([](void*, bool) {}, name.c_str());
    channel->Start();
    CertSso(2);
    Report(kLogonFailure, 0);
    EXPECT_TRUE(testsupport::WaitFor([&] { return log.Contains(L"Dismiss attempt completed"); }));
    EXPECT_TRUE(log.Contains(L"OfflineChannel::ThreadEntry(): Attempt to dismiss retry error dialog"));
}

}  // namespace
