#include "filter/credfilter.h"

#include "base/Guids.h"
#include "base/SessionInfo.h"
#include "platform/UniqueResource.h"
#include "sso/Credentials.h"
#include "support/CredentialsReset.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

namespace {

using platform::com_ptr;
using testsupport::FakePlatform;
using testsupport::LogCapture;
using testsupport::RegistrySandbox;

// {11111111-2222-3333-4444-555555555555}: some other provider.
constexpr GUID kOtherProvider = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

class CredFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetSessionIdCache();
        testsupport::ResetCredentials();
        EXPECT_EQ(credfilter_CreateInstance(IID_ICredentialProviderFilter, filter.put_void()), S_OK);
    }
    HRESULT RunFilter(CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario) {
        return filter->Filter(scenario, 0, providers, allow, 3);
    }

    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
    com_ptr<ICredentialProviderFilter> filter;
    GUID providers[3] = {kOtherProvider, CLSID_credprovider, kOtherProvider};
    BOOL allow[3] = {TRUE, TRUE, TRUE};
};

TEST_F(CredFilterTest, OtherScenariosExcludeOnlyOurProvider) {
    TheCredentials().isUnlockScenario = true;
    for (auto scenario : {CPUS_CREDUI, CPUS_CHANGE_PASSWORD, CPUS_PLAP}) {
        BOOL local[3] = {TRUE, TRUE, TRUE};
        EXPECT_EQ(filter->Filter(scenario, 0, providers, local, 3), S_OK);
        EXPECT_TRUE(local[0]);
        EXPECT_FALSE(local[1]);
        EXPECT_TRUE(local[2]);
    }
    EXPECT_FALSE(TheCredentials().isUnlockScenario);
    EXPECT_TRUE(log.Contains(L"credfilter::Filter(): No SSO for this usage scenario: excluding tcprovd"));

    GUID others[2] = {kOtherProvider, kOtherProvider};
    BOOL untouched[2] = {TRUE, FALSE};
    EXPECT_EQ(filter->Filter(CPUS_CREDUI, 0, others, untouched, 2), S_OK);
    EXPECT_TRUE(untouched[0]);
    EXPECT_FALSE(untouched[1]);
    EXPECT_EQ(filter->Filter(CPUS_CREDUI, 0, providers, allow, 0), S_OK);
    EXPECT_TRUE(allow[1]);
    EXPECT_EQ(filter->Filter(CPUS_CREDUI, 0, nullptr, nullptr, 0), S_OK);
}

TEST_F(CredFilterTest, SsoDisabledByGroupPolicyChangesNothingAndDoesNotAskTheAgent) {
    registry.SetAgentConfig(L"AllowSingleSignon", L"1");  // group policy wins
    registry.SetString(L"Software\\Policies\\Velmora\\Zephral\\Agent\\Configuration", L"AllowSingleSignon", L"false");
    EXPECT_EQ(RunFilter(CPUS_LOGON), S_OK);
    EXPECT_TRUE(allow[0] && allow[1] && allow[2]);
    EXPECT_TRUE(log.Contains(L"credfilter::Filter(): SSO is disabled by policy"));
    EXPECT_FALSE(log.Contains(L"Populating credentials"));
    EXPECT_FALSE(TheCredentials().isUnlockScenario);
    EXPECT_EQ(RunFilter(CPUS_UNLOCK_WORKSTATION), S_OK);
    EXPECT_TRUE(TheCredentials().isUnlockScenario);
}

TEST_F(CredFilterTest, SsoDisabledInADrvSessionSignalsNotReadyForSeamlessWindows) {
    registry.SetAgentConfig(L"AllowSingleSignon", L"0");
    fake.clientProtocol = 3;
    std::wstring name = fake.namespaceEventPrefix + L"dravikndmg.NotReadyForTessel" + std::to_wstring(fake.sessionId);
    platform::unique_handle tessel(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    EXPECT_EQ(RunFilter(CPUS_LOGON), S_OK);
    EXPECT_EQ(::WaitForSingleObject(tessel.get(), 0), WAIT_OBJECT_0);
}

TEST_F(CredFilterTest, UnlockWithCertificateOrEntraSsoMakesCredentialsAvailable) {
    struct Case {
        bool cert, whfb, entra;
        const wchar_t* line;
    } cases[] = {{true, false, false, L"credfilter::Filter(): CertSSO is enabled for the session"},
                 {false, true, false, L"credfilter::Filter(): Whfb CertSSO is enabled for the session"},
                 {false, false, true, L"credfilter::Filter(): [EntraAuth] SSO is enabled for the session"}};
    for (const auto& c : cases) {
        auto& creds = TheCredentials();
        creds.credentialsAvailable = false;
        creds.isCertSsoUnlockEnabled = c.cert;
        creds.isWhfbCertSsoUnlockEnabled = c.whfb;
        creds.isEntraUnlockEnabled = c.entra;
        EXPECT_EQ(RunFilter(CPUS_UNLOCK_WORKSTATION), S_OK);
        EXPECT_TRUE(creds.credentialsAvailable);
        EXPECT_TRUE(log.Contains(c.line)) << log.Dump().size();
    }
    EXPECT_TRUE(allow[1]);
}

TEST_F(CredFilterTest, LogonPopulatesOnlyWhenNoTicketWasSeenAndNotInADrvSession) {
    EXPECT_EQ(RunFilter(CPUS_LOGON), S_OK);
    EXPECT_TRUE(log.Contains(L"credfilter::Filter(): Populating credentials"));
    log.Clear();
    TheCredentials().ticketFound = true;
    EXPECT_EQ(RunFilter(CPUS_LOGON), S_OK);
    EXPECT_TRUE(log.Contains(L"credfilter::Filter(): Already found ticket in UpdateRemoteCredential"));
    EXPECT_FALSE(log.Contains(L"Populating credentials"));
    log.Clear();
    fake.clientProtocol = 3;
    EXPECT_EQ(RunFilter(CPUS_LOGON), S_OK);
    EXPECT_TRUE(log.Contains(L"Not populating credentials in our filter"));
    EXPECT_TRUE(allow[0] && allow[1] && allow[2]);
}

}  // namespace
