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
    EXPECT_EQ(tile->SetSelected(nullptr), E_INVALIDARG);
    CREDENTIAL_PROVIDER_FIELD_STATE state;
    CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE interactive;
    EXPECT_EQ(tile->GetFieldState(2, &state, &interactive), E_INVALIDARG);
    EXPECT_EQ(tile->GetFieldState(0, nullptr, &interactive), E_INVALIDARG);
    EXPECT_EQ(tile->GetFieldState(0, &state, nullptr), E_INVALIDARG);
    LPWSTR text = nullptr;
    EXPECT_EQ(tile->GetStringValue(1, &text), E_INVALIDARG);
    EXPECT_EQ(tile->GetStringValue(0, nullptr), E_INVALIDARG);
    DWORD adjacent = 7;
    EXPECT_EQ(tile->GetSubmitButtonValue(0, &adjacent), E_INVALIDARG);
    EXPECT_EQ(tile->GetSubmitButtonValue(1, nullptr), E_INVALIDARG);
    EXPECT_EQ(tile->GetBitmapValue(0, nullptr), E_NOTIMPL);
    EXPECT_EQ(tile->GetCheckboxValue(0, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(tile->GetComboBoxValueCount(0, nullptr, nullptr), E_NOTIMPL);
    EXPECT_EQ(tile->GetComboBoxValueAt(0, 0, nullptr), E_NOTIMPL);
    EXPECT_EQ(tile->SetStringValue(0, nullptr), E_NOTIMPL);
    EXPECT_EQ(tile->SetCheckboxValue(0, TRUE), E_NOTIMPL);
    EXPECT_EQ(tile->SetComboBoxSelectedValue(0, 0), E_NOTIMPL);
    EXPECT_EQ(tile->CommandLinkClicked(0), E_NOTIMPL);
    EXPECT_EQ(tile->Advise(nullptr), S_OK);
    EXPECT_EQ(tile->UnAdvise(), S_OK);
    EXPECT_EQ(tile->SetDeselected(), S_OK);
    CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE response;
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION serialization;
    EXPECT_EQ(tile->GetSerialization(nullptr, &serialization, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(tile->GetSerialization(&response, nullptr, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(tile->ReportResult(0, 0, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(cred_CreateInstance(nullptr, CPUS_LOGON, false), E_INVALIDARG);
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
}

TEST_F(CredTileTest, UserLabelFollowsTheUnlockModeAtEachCall) {
    auto tile = Tile();
    EXPECT_EQ(UserText(tile.get()), L"Zephral SSO User");
    Unlock(true, false, false);
    EXPECT_EQ(UserText(tile.get()), L"Zephral KeySSO User");
    Unlock(false, false, true);
    EXPECT_EQ(UserText(tile.get()), L"Zephral Entra ID User");
    Unlock(true, true, true);
    EXPECT_EQ(UserText(tile.get()), L"Zephral Windows Hello User");
}

TEST_F(CredTileTest, SelectionIsRefusedOutsideUnlock) {
    auto tile = Tile();
    BOOL autoLogon = TRUE;
    EXPECT_EQ(tile->SetSelected(&autoLogon), E_FAIL);
    EXPECT_FALSE(autoLogon);
}

TEST_F(CredTileTest, SelectionDuringUnlockDependsOnTheWindowsVersion) {
    auto tile = Tile();
    BOOL autoLogon = TRUE;
    struct Case {
        bool cert, whfb, entra;
        DWORD major;
        BYTE type;
        HRESULT hr;
        const wchar_t* trace;
    } cases[] = {
        {true, false, false, 10, VER_NT_WORKSTATION, E_FAIL, L"CertSSO unlock is detected"},
        {false, true, false, 10, VER_NT_SERVER, E_FAIL, L"WhfbCertSSO unlock is detected"},
        {false, false, true, 10, VER_NT_WORKSTATION, E_FAIL, L"EntraAuth SSO unlock is detected"},
        {true, false, false, 6, VER_NT_WORKSTATION, S_OK,
         L"Returing success for CertSSO unlock on Windows Client older than Windows 10"},
        {false, false, true, 6, VER_NT_SERVER, S_OK,
         L"Returing success for WhfbCertSSO unlock on Windows Server older than Windows Server 2016"},
    };
    for (const auto& c : cases) {
        Unlock(c.cert, c.whfb, c.entra);
        fake.os.major = c.major;
        fake.os.minor = c.major == 6 ? 3 : 0;
        fake.os.productType = c.type;
        log.Clear();
        EXPECT_EQ(tile->SetSelected(&autoLogon), c.hr) << c.trace;
        EXPECT_FALSE(autoLogon);
        EXPECT_TRUE(log.Contains(std::wstring(L"cred::SetSelected() (sessionId=2): Enter - ") + c.trace)) << c.trace;
    }
}

TEST_F(CredTileTest, CertSsoOverrideAcceptsSelectionOnAnyVersion) {
    auto tile = Tile();
    Unlock(true, false, false);
    registry.SetAgentConfig(L"CertSSOCredFilterSetSelectedOk", L"yes");
    BOOL autoLogon = TRUE;
    EXPECT_EQ(tile->SetSelected(&autoLogon), S_OK);
    EXPECT_FALSE(autoLogon);
    EXPECT_TRUE(log.Contains(L"Returing success for CertSSO unlock as override flag is set"));
    Unlock(false, true, false);  // the override is for CertSSO only
    EXPECT_EQ(tile->SetSelected(&autoLogon), E_FAIL);
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
