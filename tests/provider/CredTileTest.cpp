#include "provider/cred.h"

#include "base/ModuleRef.h"
#include "base/OfflineChannel.h"
#include "base/SessionInfo.h"
#include "platform/UniqueResource.h"
#include "sso/Credentials.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using platform::com_ptr;
using testsupport::FakePlatform;
using testsupport::LogCapture;
using testsupport::RegistrySandbox;

class CredTileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSessionIdCache();
        auto& creds = TheCredentials();
        creds.ClearCredentials(true);
        creds.isUnlockScenario = false;
        creds.isCertSsoUnlockEnabled = false;
        creds.isWhfbCertSsoUnlockEnabled = false;
        creds.isEntraUnlockEnabled = false;
    }
    void TearDown() override { CleanupOfflineChannel(); }
    com_ptr<ICredentialProviderCredential> Tile(bool startRetryTimer = false) {
        com_ptr<ICredentialProviderCredential> tile;
        EXPECT_EQ(cred_CreateInstance(tile.put(), CPUS_LOGON, startRetryTimer), S_OK);
        return tile;
    }
    static void Unlock(bool cert, bool whfb, bool entra) {
        auto& creds = TheCredentials();
        creds.isUnlockScenario = true;
        creds.isCertSsoUnlockEnabled = cert;
        creds.isWhfbCertSsoUnlockEnabled = whfb;
        creds.isEntraUnlockEnabled = entra;
    }
    std::wstring UserText(ICredentialProviderCredential* tile) {
        LPWSTR text = nullptr;
        EXPECT_EQ(tile->GetStringValue(0, &text), S_OK);
        std::wstring result = text ? text : L"";
        ::CoTaskMemFree(text);
        return result;
    }

    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
};

TEST_F(CredTileTest, EveryMethodAnswersBadArgumentsAndUnsupportedCalls) {
    auto tile = Tile();
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
    EXPECT_EQ(tile->Advise(nullptr), S_OK);
    EXPECT_EQ(tile->UnAdvise(), S_OK);
    EXPECT_EQ(tile->SetDeselected(), S_OK);
}

TEST_F(CredTileTest, FieldsAreALabelAndASubmitButtonBesideIt) {
    auto tile = Tile();
    CREDENTIAL_PROVIDER_FIELD_STATE state;
    CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE interactive;
    ASSERT_EQ(tile->GetFieldState(0, &state, &interactive), S_OK);
    EXPECT_EQ(state, CPFS_DISPLAY_IN_BOTH);
    EXPECT_EQ(interactive, CPFIS_NONE);
    ASSERT_EQ(tile->GetFieldState(1, &state, &interactive), S_OK);
    EXPECT_EQ(state, CPFS_DISPLAY_IN_SELECTED_TILE);
    DWORD adjacent = 7;
    ASSERT_EQ(tile->GetSubmitButtonValue(1, &adjacent), S_OK);
    EXPECT_EQ(adjacent, 0u);
    // The label follows the unlock mode at each call; Windows Hello wins over the others.
    const struct {
        bool unlock, cert, whfb, entra;
        const wchar_t* label;
    } kLabels[] = {{false, true, true, true, L"Zephral SSO User"},
                   {true, true, false, false, L"Zephral KeySSO User"},
                   {true, false, false, true, L"Zephral Entra ID User"},
                   {true, true, true, true, L"Zephral Windows Hello User"}};
    for (const auto& c : kLabels) {
        Unlock(c.cert, c.whfb, c.entra);
        TheCredentials().isUnlockScenario = c.unlock;
        EXPECT_EQ(UserText(tile.get()), c.label);
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
    auto tile = Tile();
    for (const auto& c : kCases) {
        Unlock(c.cert, c.whfb, c.entra);
        TheCredentials().isUnlockScenario = c.unlock;
        fake.os.major = c.major;
        fake.os.minor = c.major == 6 ? 3 : 0;
        fake.os.productType = c.type;
        registry.SetAgentConfig(L"CertSSOCredFilterSetSelectedOk", c.override ? L"yes" : L"no");
        BOOL autoLogon = TRUE;
        EXPECT_EQ(tile->SetSelected(&autoLogon), c.hr) << c.unlock << c.cert << c.whfb << c.entra << c.major << c.override;
        EXPECT_FALSE(autoLogon);
    }
}

TEST_F(CredTileTest, RetryTimerIsConfiguredStartedAndStoppedWithTheTile) {
    registry.SetAgentConfig(L"SSORetryTimeout", L"0");
    auto quiet = Tile(true);
    EXPECT_TRUE(log.Contains(L"ssoRetryTimer is disabled"));
    registry.SetAgentConfig(L"SSORetryTimeout", L" 060000 ");
    auto tile = Tile(true);
    EXPECT_TRUE(log.Contains(L"ssoRetryTimer started (timeout = 60000)"));
    tile.reset();
    EXPECT_TRUE(log.Contains(L"ssoRetryTimer stopped"));
}

std::atomic<int> g_retries{0};

TEST_F(CredTileTest, RetryTimerAsksForOneMoreAttemptOnlyWithoutCredentials) {
    OfflineChannel* channel = GetOfflineChannel();
    std::wstring name = L"Local\\TcfiltrTest.Retry." + std::to_wstring(::GetCurrentProcessId());
    channel->SetReEnumerationCallback([](void*, bool explicitRequest) { g_retries += explicitRequest ? 1 : 100; },
                                      name.c_str());
    channel->Start();
    registry.SetAgentConfig(L"SSORetryTimeout", L"30");
    auto tile = Tile(true);
    EXPECT_TRUE(testsupport::WaitFor([] { return g_retries.load() != 0; }));
    EXPECT_EQ(g_retries.load(), 1);
    EXPECT_FALSE(testsupport::WaitFor([] { return g_retries.load() != 1; }, 150)) << "one shot";

    TheCredentials().credentialsAvailable = true;
    auto second = Tile(true);
    EXPECT_TRUE(testsupport::WaitFor(
        [&] { return log.Contains(L"ssoRetryTimer::TimerCallback(): SSO credentials already available, skipping retry"); }));
    EXPECT_EQ(g_retries.load(), 1);
}

}  // namespace
