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

// A CertSSO failure with no substatus is retried while attempts remain, keeping the material;
// every other result is reported as it is and uses the material up.
struct ResultCase {
    ULONGLONG attempts;  // 0: no certificate material
    LONG status, substatus;
    bool retry;  // with the text "Retry Lumo SSO"; other results set no text and no icon
};

void PrintTo(const ResultCase& c, std::ostream* os) { *os << c.attempts << " " << c.status << " " << c.substatus; }

class ResultTest : public ReportResultTest, public ::testing::WithParamInterface<ResultCase> {};

TEST_P(ResultTest, CertSsoFailuresAreRetriedWhileAttemptsRemain) {
    const ResultCase& c = GetParam();
    if (c.attempts) CertSso(c.attempts);
    Outcome outcome = Report(c.status, c.substatus);
    EXPECT_EQ(outcome.hr, S_OK);
    EXPECT_EQ(outcome.hasText, c.retry);
    EXPECT_EQ(outcome.text == L"Retry Lumo SSO", c.retry);
    EXPECT_EQ(outcome.icon, c.retry ? CPSI_NONE : static_cast<CREDENTIAL_PROVIDER_STATUS_ICON>(77));
    if (c.retry) { EXPECT_EQ(TheCredentials().certLogon.attemptsLeft, c.attempts - 1); }
    EXPECT_EQ(TheCredentials().certLogon.containerName.empty(), !c.retry);
    EXPECT_EQ(TheCredentials().certLogon.pin.empty(), !c.retry);
    EXPECT_EQ(EndEvents(), 1);
}

const ResultCase kResults[] = {
    {3, kLogonFailure, 0, true}, {2, kLogonFailure, 0, true}, {1, kLogonFailure, 0, false},
    {3, kWrongPassword, 0, false}, {3, kLogonFailure, kWrongPassword, false},  // a substatus makes it a known failure
    {0, 0, kWrongPassword, false},
};

INSTANTIATE_TEST_SUITE_P(Results, ResultTest, ::testing::ValuesIn(kResults));

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
