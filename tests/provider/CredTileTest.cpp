#include "provider/cred.h"

#include "base/OfflineChannel.h"
#include "base/SessionInfo.h"
#include "sso/Credentials.h"
#include "support/CredentialsReset.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using platform::com_ptr;
using namespace testsupport;

constexpr LONG kLogonFailure = static_cast<LONG>(0xC000006D);
constexpr LONG kWrongPassword = static_cast<LONG>(0xC000006A);

std::atomic<int> g_retries{0};

class CredTileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSessionIdCache();
        ResetCredentials();
        tile = Tile();
    }
    void TearDown() override {
        tile.reset();
        CleanupOfflineChannel();
    }
    com_ptr<ICredentialProviderCredential> Tile(bool startRetryTimer = false) {
        com_ptr<ICredentialProviderCredential> made;
        EXPECT_EQ(cred_CreateInstance(made.put(), CPUS_LOGON, startRetryTimer), S_OK);
        return made;
    }
    static void Unlock(bool unlock, bool cert, bool whfb, bool entra) {
        auto& creds = TheCredentials();
        creds.isUnlockScenario = unlock;
        creds.isCertSsoUnlockEnabled = cert;
        creds.isWhfbCertSsoUnlockEnabled = whfb;
        creds.isEntraUnlockEnabled = entra;
    }
    // The channel thread with a callback that counts explicit requests once and others by 100.
    static void StartChannel() {
        std::wstring name = L"Local\\TcfiltrTest.Tile." + std::to_wstring(::GetCurrentProcessId());
        GetOfflineChannel()->SetReEnumerationCallback(
            [](void*, bool explicitRequest) { g_retries += explicitRequest ? 1 : 100; }, name.c_str());
        GetOfflineChannel()->Start();
    }
    static void CertSso(ULONGLONG attempts) {
        auto& creds = TheCredentials();
        creds.certLogon.containerName = L"le-container";
        creds.certLogon.pin = std::wstring_view(L"2468");
        creds.certLogon.attemptsLeft = attempts;
        creds.credentialsAvailable = true;
    }
    // The text and icon of a result, as "text|icon" (no text: "-", an untouched icon: 77).
    std::wstring Report(LONG status, LONG substatus, HRESULT hr = S_OK) {
        LPWSTR text = nullptr;
        auto icon = static_cast<CREDENTIAL_PROVIDER_STATUS_ICON>(77);
        EXPECT_EQ(tile->ReportResult(status, substatus, &text, &icon), hr);
        std::wstring result = (text ? text : L"-") + std::wstring(L"|") + std::to_wstring(icon);
        ::CoTaskMemFree(text);
        return result;
    }
    int EndEvents() const {
        int count = 0;
        for (const auto& e : fake.etwEvents) count += e.descriptor.Opcode == 2 ? 1 : 0;
        return count;
    }

    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
    com_ptr<ICredentialProviderCredential> tile;
};

TEST_F(CredTileTest, EveryMethodAnswersBadArgumentsAndUnsupportedCalls) {
    CREDENTIAL_PROVIDER_FIELD_STATE state;
    CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE interactive;
    CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE response;
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION serialization;
    LPWSTR text = nullptr;
    DWORD adjacent = 7;
    const HRESULT invalid[] = {
        tile->SetSelected(nullptr), tile->GetFieldState(2, &state, &interactive),
        tile->GetFieldState(0, nullptr, &interactive), tile->GetFieldState(0, &state, nullptr),
        tile->GetStringValue(1, &text), tile->GetStringValue(0, nullptr), tile->GetSubmitButtonValue(0, &adjacent),
        tile->GetSubmitButtonValue(1, nullptr), tile->GetSerialization(nullptr, &serialization, nullptr, nullptr),
        tile->GetSerialization(&response, nullptr, nullptr, nullptr), tile->ReportResult(0, 0, nullptr, nullptr),
        cred_CreateInstance(nullptr, CPUS_LOGON, false)};
    for (size_t i = 0; i < std::size(invalid); ++i) EXPECT_EQ(invalid[i], E_INVALIDARG) << i;
    const HRESULT unsupported[] = {
        tile->GetBitmapValue(0, nullptr), tile->GetCheckboxValue(0, nullptr, nullptr),
        tile->GetComboBoxValueCount(0, nullptr, nullptr), tile->GetComboBoxValueAt(0, 0, nullptr),
        tile->SetStringValue(0, nullptr), tile->SetCheckboxValue(0, TRUE), tile->SetComboBoxSelectedValue(0, 0),
        tile->CommandLinkClicked(0)};
    for (size_t i = 0; i < std::size(unsupported); ++i) EXPECT_EQ(unsupported[i], E_NOTIMPL) << i;
    EXPECT_EQ(tile->Advise(nullptr) | tile->UnAdvise() | tile->SetDeselected(), S_OK);
}

// A label and a submit button beside it; the label follows the unlock mode at each call and
// Windows Hello wins over the others.
TEST_F(CredTileTest, FieldsAreALabelAndASubmitButtonBesideIt) {
    CREDENTIAL_PROVIDER_FIELD_STATE label, submit;
    CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE interactive, unused;
    ASSERT_EQ(tile->GetFieldState(0, &label, &interactive) | tile->GetFieldState(1, &submit, &unused), S_OK);
    DWORD adjacent = 7;
    ASSERT_EQ(tile->GetSubmitButtonValue(1, &adjacent), S_OK);
    EXPECT_EQ(std::vector<int>({label, interactive, submit, int(adjacent)}),
              std::vector<int>({CPFS_DISPLAY_IN_BOTH, CPFIS_NONE, CPFS_DISPLAY_IN_SELECTED_TILE, 0}));
    const struct {
        bool unlock, cert, whfb, entra;
        const wchar_t* label;
    } kLabels[] = {{false, true, true, true, L"Zephral SSO User"},
                   {true, true, false, false, L"Zephral KeySSO User"},
                   {true, false, false, true, L"Zephral Entra ID User"},
                   {true, true, true, true, L"Zephral Windows Hello User"}};
    for (const auto& c : kLabels) {
        Unlock(c.unlock, c.cert, c.whfb, c.entra);
        LPWSTR text = nullptr;
        EXPECT_EQ(tile->GetStringValue(0, &text), S_OK);
        EXPECT_EQ(std::wstring(text ? text : L""), c.label);
        ::CoTaskMemFree(text);
    }
}

// Selection is refused (no auto logon) except for unlock on systems older than Windows 10 /
// Server 2016, and CertSSO unlock when the override is set.
TEST_F(CredTileTest, SelectionIsAcceptedOnlyForUnlockOnOlderSystemsOrByOverride) {
    const struct {
        bool unlock, cert, whfb, entra;
        DWORD major;
        BYTE type;
        bool override;
        HRESULT hr;
    } kCases[] = {
        {false, false, false, false, 6, VER_NT_WORKSTATION, false, E_FAIL},
        {true, true, false, false, 10, VER_NT_WORKSTATION, false, E_FAIL},
        {true, false, true, false, 10, VER_NT_SERVER, false, E_FAIL},
        {true, false, false, true, 10, VER_NT_WORKSTATION, false, E_FAIL},
        {true, true, false, false, 6, VER_NT_WORKSTATION, false, S_OK},
        {true, false, false, true, 6, VER_NT_SERVER, false, S_OK},
        {true, true, false, false, 10, VER_NT_WORKSTATION, true, S_OK},
        {true, false, true, false, 10, VER_NT_WORKSTATION, true, E_FAIL},  // the override is for CertSSO only
    };
    for (const auto& c : kCases) {
        Unlock(c.unlock, c.cert, c.whfb, c.entra);
        fake.os.major = c.major;
        fake.os.minor = c.major == 6 ? 3 : 0;
        fake.os.productType = c.type;
        registry.SetAgentConfig(L"CertSSOCredFilterSetSelectedOk", c.override ? L"yes" : L"no");
        BOOL autoLogon = TRUE;
        EXPECT_EQ(tile->SetSelected(&autoLogon), c.hr) << c.unlock << c.cert << c.whfb << c.entra << c.major << c.override;
        EXPECT_FALSE(autoLogon);
    }
}

// The retry timer is read from the configuration, fires once and only without credentials,
// and stops with its tile.
TEST_F(CredTileTest, RetryTimerAsksForOneMoreAttemptOnlyWithoutCredentials) {
    StartChannel();
    registry.SetAgentConfig(L"SSORetryTimeout", L"0");
    Tile(true);
    EXPECT_TRUE(log.Contains(L"ssoRetryTimer is disabled"));
    registry.SetAgentConfig(L"SSORetryTimeout", L" 030 ");
    auto timed = Tile(true);
    EXPECT_TRUE(log.Contains(L"ssoRetryTimer started (timeout = 30)"));
    EXPECT_TRUE(WaitFor([] { return g_retries.load() != 0; }));
    EXPECT_EQ(g_retries.load(), 1);
    EXPECT_FALSE(WaitFor([] { return g_retries.load() != 1; }, 150)) << "one shot";
    timed.reset();
    EXPECT_TRUE(log.Contains(L"ssoRetryTimer stopped"));
    TheCredentials().credentialsAvailable = true;
    auto second = Tile(true);
    EXPECT_TRUE(WaitFor(
        [&] { return log.Contains(L"ssoRetryTimer::TimerCallback(): SSO credentials already available, skipping retry"); }));
    EXPECT_FALSE(WaitFor([] { return g_retries.load() != 1; }, 150));
}

// A CertSSO failure with no substatus is retried while attempts remain, keeping the material;
// every other result is reported as it is, uses the material up and ends the SSO attempt. Success
// writes the smart card removal data.
TEST_F(CredTileTest, CertSsoFailuresAreRetriedWhileAttemptsRemain) {
    const struct {
        ULONGLONG attempts;  // 0: no certificate material
        LONG status, substatus;
        bool retry;  // with the text "Retry Lumo SSO"; other results set no text and no icon
    } kCases[] = {{3, kLogonFailure, 0, true},  {2, kLogonFailure, 0, true},
                  {1, kLogonFailure, 0, false}, {3, kWrongPassword, 0, false},
                  {3, kLogonFailure, kWrongPassword, false},  // a substatus makes it a known failure
                  {0, 0, kWrongPassword, false}, {0, 0, 0, false}};
    fake.sessionId = 3;
    registry.SetString(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", L"ScRemoveOption", L"1");
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.attempts << " " << c.status << " " << c.substatus);
        ResetCredentials();
        fake.etwEvents.clear();
        TheCredentials().smartCardReader = L"R";
        if (c.attempts) CertSso(c.attempts);
        EXPECT_EQ(Report(c.status, c.substatus), c.retry ? L"Retry Lumo SSO|0" : L"-|77");  // CPSI_NONE
        if (c.retry) { EXPECT_EQ(TheCredentials().certLogon.attemptsLeft, c.attempts - 1); }
        const auto& cert = TheCredentials().certLogon;
        EXPECT_EQ(int(cert.containerName.empty()) + int(cert.pin.empty()), c.retry ? 0 : 2);  // PIN and container wiped
        EXPECT_EQ(EndEvents(), 1);
    }
    DWORD size = 0;
    EXPECT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Removal Policy", L"3",
                             RRF_RT_REG_BINARY, nullptr, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);
}

// The agent hears of CertSSO failures only when it asked to; a retry asks the channel to close
// LogonUI's error dialog.
TEST_F(CredTileTest, CertSsoFailuresReachTheAgentOnRequestAndRetriesDismissTheDialog) {
    CertSso(1);
    Report(kLogonFailure, 0);
    EXPECT_FALSE(log.Contains(L"SendMsgToDesktopManager(SendLoginErrorEvent)"));
    CertSso(1);
    TheCredentials().reportErrors = true;
    Report(kLogonFailure, 0);
    EXPECT_TRUE(log.Contains(L"SendMsgToDesktopManager(SendLoginErrorEvent) (sessionId=2) begin"));
    EXPECT_TRUE(log.Contains(L"cred::ReportResult(): Failed to send SendLoginErrorEvent message, resp: "));
    StartChannel();
    CertSso(2);
    Report(kLogonFailure, 0);
    EXPECT_TRUE(WaitFor([&] { return log.Contains(L"Dismiss attempt completed"); }));
    EXPECT_TRUE(log.Contains(L"OfflineChannel::ThreadEntry(): Attempt to dismiss retry error dialog"));
}

}  // namespace
