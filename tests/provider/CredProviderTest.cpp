#include "provider/credprovider.h"

#include "base/ModuleRef.h"
#include "base/SessionInfo.h"
#include "platform/UniqueResource.h"
#include "base/OfflineChannel.h"
#include "sso/Credentials.h"
#include "support/FakeEvents.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"
#include "support/ScriptedAgent.h"

#include <gtest/gtest.h>

namespace {

using platform::com_ptr;
using testsupport::FakeEvents;
using testsupport::FakePlatform;
using testsupport::LogCapture;
using testsupport::RegistrySandbox;

constexpr UINT_PTR kContext = 0x5150;

class CredProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A session of our own: the re-enumeration event is a real named object.
        fake.sessionId = 3000 + ::GetCurrentProcessId() % 20000;
        ResetSessionIdCache();
        SetRecord(false, false);
        auto& creds = TheCredentials();
        creds.isUnlockScenario = false;
        creds.isCertSsoUnlockEnabled = false;
        creds.isWhfbCertSsoUnlockEnabled = false;
        creds.isEntraUnlockEnabled = false;
    }
    void TearDown() override {
        CleanupOfflineChannel();
        ResetSessionIdCache();
    }

    static void SetRecord(bool ticketFound, bool available) {
        TheCredentials().ticketFound = ticketFound;
        TheCredentials().credentialsAvailable = available;
    }
    com_ptr<ICredentialProvider> Create() {
        com_ptr<ICredentialProvider> provider;
        EXPECT_EQ(credprovider_CreateInstance(IID_ICredentialProvider, provider.put_void()), S_OK);
        return provider;
    }
    static credprovider* Impl(const com_ptr<ICredentialProvider>& p) { return static_cast<credprovider*>(p.get()); }

    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
    FakeEvents events;
};

TEST_F(CredProviderTest, EveryMethodRejectsBadArguments) {
    auto provider = Create();
    ASSERT_TRUE(provider);
    EXPECT_EQ(provider->SetUsageScenario(CPUS_CREDUI, 0), E_INVALIDARG);
    EXPECT_EQ(provider->SetUsageScenario(CPUS_CHANGE_PASSWORD, 0), E_INVALIDARG);
    EXPECT_EQ(provider->SetUsageScenario(static_cast<CREDENTIAL_PROVIDER_USAGE_SCENARIO>(77), 0), E_INVALIDARG);
    EXPECT_EQ(provider->SetSerialization(nullptr), E_NOTIMPL);
    EXPECT_EQ(provider->Advise(nullptr, kContext), E_INVALIDARG);
    EXPECT_EQ(provider->Advise(&events, 0), E_INVALIDARG);
    EXPECT_EQ(provider->GetFieldDescriptorCount(nullptr), E_INVALIDARG);
    CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR* descriptor = nullptr;
    EXPECT_EQ(provider->GetFieldDescriptorAt(0, nullptr), E_INVALIDARG);
    EXPECT_EQ(provider->GetFieldDescriptorAt(2, &descriptor), E_INVALIDARG);
    EXPECT_EQ(provider->GetFieldDescriptorAt(0xFFFFFFFF, &descriptor), E_INVALIDARG);
    EXPECT_EQ(descriptor, nullptr);
    DWORD count = 0, defaultIndex = 0;
    BOOL autoLogon = FALSE;
    EXPECT_EQ(provider->GetCredentialCount(nullptr, &defaultIndex, &autoLogon), E_INVALIDARG);
    EXPECT_EQ(provider->GetCredentialCount(&count, nullptr, &autoLogon), E_INVALIDARG);
    EXPECT_EQ(provider->GetCredentialCount(&count, &defaultIndex, nullptr), E_INVALIDARG);
    SetRecord(true, true);
    ICredentialProviderCredential* tile = reinterpret_cast<ICredentialProviderCredential*>(1);
    EXPECT_EQ(provider->GetCredentialAt(1, &tile), E_INVALIDARG);
    EXPECT_EQ(provider->GetCredentialAt(0, nullptr), E_INVALIDARG);
    EXPECT_EQ(provider->UnAdvise(), S_OK);  // never advised: nothing to undo
}

TEST_F(CredProviderTest, UsageScenarioAcceptsLogonAndUnlockOnly) {
    auto provider = Create();
    EXPECT_EQ(provider->SetUsageScenario(CPUS_LOGON, 0), S_OK);
    EXPECT_EQ(provider->SetUsageScenario(CPUS_UNLOCK_WORKSTATION, 0xFFFF), S_OK);
}

TEST_F(CredProviderTest, FieldDescriptorsFollowTheSsoKind) {
    auto provider = Create();
    DWORD count = 0;
    ASSERT_EQ(provider->GetFieldDescriptorCount(&count), S_OK);
    EXPECT_EQ(count, 2u);
    auto label = [&](DWORD index, CREDENTIAL_PROVIDER_FIELD_TYPE* type) {
        CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR* d = nullptr;
        EXPECT_EQ(provider->GetFieldDescriptorAt(index, &d), S_OK);
        std::wstring text = d->pszLabel;
        EXPECT_EQ(d->dwFieldID, index);
        EXPECT_TRUE(IsEqualGUID(d->guidFieldType, GUID_NULL));
        *type = d->cpft;
        ::CoTaskMemFree(d->pszLabel);
        ::CoTaskMemFree(d);
        return text;
    };
    CREDENTIAL_PROVIDER_FIELD_TYPE type{};
    EXPECT_EQ(label(1, &type), L"submit");
    EXPECT_EQ(type, CPFT_SUBMIT_BUTTON);
    EXPECT_EQ(label(0, &type), L"Dravik_SSO_User");
    EXPECT_EQ(type, CPFT_LARGE_TEXT);
    auto& creds = TheCredentials();
    creds.isUnlockScenario = true;
    creds.isCertSsoUnlockEnabled = true;
    EXPECT_EQ(label(0, &type), L"Dravik_KEYSSO_User");
    creds.isWhfbCertSsoUnlockEnabled = true;  // Windows Hello wins over KeySSO
    EXPECT_EQ(label(0, &type), L"Dravik_Whfb_Cert_User");
    creds.isUnlockScenario = false;  // the flags only count during unlock
    EXPECT_EQ(label(0, &type), L"Dravik_SSO_User");
}

TEST_F(CredProviderTest, CredentialCountOffersOneTileOnlyWithCredentials) {
    auto provider = Create();
    DWORD count = 9, defaultIndex = 9;
    BOOL autoLogon = TRUE;
    ASSERT_EQ(provider->GetCredentialCount(&count, &defaultIndex, &autoLogon), S_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(defaultIndex, CREDENTIAL_PROVIDER_NO_DEFAULT);
    EXPECT_FALSE(autoLogon);

    SetRecord(true, true);
    ASSERT_EQ(provider->GetCredentialCount(&count, &defaultIndex, &autoLogon), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(defaultIndex, 0u);
    EXPECT_TRUE(autoLogon);
}

TEST_F(CredProviderTest, AutoLogonIsWithheldForCertificateAndEntraUnlockButNotWindowsHello) {
    auto provider = Create();
    SetRecord(true, true);
    auto& creds = TheCredentials();
    creds.isUnlockScenario = true;
    struct Case {
        bool cert, whfb, entra;
        BOOL autoLogon;
    } cases[] = {{true, false, false, FALSE}, {false, true, false, TRUE}, {false, false, true, FALSE}};
    for (const auto& c : cases) {
        creds.isCertSsoUnlockEnabled = c.cert;
        creds.isWhfbCertSsoUnlockEnabled = c.whfb;
        creds.isEntraUnlockEnabled = c.entra;
        DWORD count = 0, defaultIndex = 0;
        BOOL autoLogon = 2;
        ASSERT_EQ(provider->GetCredentialCount(&count, &defaultIndex, &autoLogon), S_OK);
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(autoLogon, c.autoLogon) << c.cert << c.whfb << c.entra;
    }
}

TEST_F(CredProviderTest, NoCredentialsInADrvSessionSignalsNotReadyForSeamlessWindows) {
    fake.clientProtocol = 3;
    std::wstring name = fake.namespaceEventPrefix + L"dravikndmg.NotReadyForTessel" + std::to_wstring(fake.sessionId);
    platform::unique_handle tessel(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    auto provider = Create();
    DWORD count = 0, defaultIndex = 0;
    BOOL autoLogon = FALSE;
    ASSERT_EQ(provider->GetCredentialCount(&count, &defaultIndex, &autoLogon), S_OK);
    EXPECT_EQ(::WaitForSingleObject(tessel.get(), 0), WAIT_OBJECT_0);
    // With credentials nothing is signalled.
    ::ResetEvent(tessel.get());
    SetRecord(true, true);
    ASSERT_EQ(provider->GetCredentialCount(&count, &defaultIndex, &autoLogon), S_OK);
    EXPECT_EQ(::WaitForSingleObject(tessel.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(CredProviderTest, AdviseWithZeroContextDoesNotEnumerate) {
    auto provider = Create();
    log.Clear();
    EXPECT_EQ(provider->Advise(&events, 0), E_INVALIDARG);
    EXPECT_FALSE(log.Contains(L"DRV_EnumerateCredentials"));
    EXPECT_EQ(events.refs.load(), 1u);
}

TEST_F(CredProviderTest, OtherRemoteSessionNeverRegistersForReEnumeration) {
    fake.clientProtocol = 5;
    auto provider = Create();
    EXPECT_FALSE(IsReEnumerationEnabled());
    EXPECT_TRUE(log.Contains(L"Other remote session, so not setting re-enumeration callbacks."));
    EXPECT_TRUE(log.Contains(L"OfflineChannel::Start(): Skipping thread start since this is an RDP session."));
    EXPECT_FALSE(GetOfflineChannel()->IsThreadRunning());
    ASSERT_EQ(provider->Advise(&events, kContext), S_OK);
    EXPECT_EQ(events.refs.load(), 1u);  // no sink stored
    EXPECT_TRUE(log.Contains(L"Not configured to re-enumerate by advise, ignoring."));
    Impl(provider)->DRV_EnumerateCredentials(true, true);
    EXPECT_EQ(log.Count(L"Not configured to re-enumerate by advise, ignoring."), 2u);
    EXPECT_EQ(events.changed.load(), 0);
}

TEST_F(CredProviderTest, ProtocolQueryFailureStillRegisters) {
    fake.clientProtocolError = ERROR_ACCESS_DENIED;
    auto provider = Create();
    EXPECT_TRUE(IsReEnumerationEnabled());
    EXPECT_TRUE(log.Contains(L"credprovider_CreateInstance: Unknown session, so setting re-enumeration callbacks by default.",
                             CORE::LOG_WARN));
    EXPECT_TRUE(GetOfflineChannel()->IsThreadRunning());
}

TEST_F(CredProviderTest, StateChangeIsReportedOnceAndRepeatedOnlyOnExplicitRequest) {
    SetRecord(true, true);  // the filter already matched the ticket
    auto provider = Create();
    ASSERT_EQ(provider->Advise(&events, kContext), S_OK);
    EXPECT_EQ(events.changed.load(), 1);  // no credentials -> has credentials
    EXPECT_EQ(events.lastContext.load(), kContext);
    EXPECT_TRUE(log.Contains(L"Credential state changed (no credentials -> has credentials), signaling re-enumeration"));
    Impl(provider)->DRV_EnumerateCredentials(true, false);
    Impl(provider)->DRV_EnumerateCredentials(true, false);
    EXPECT_EQ(events.changed.load(), 1);
    EXPECT_EQ(log.Count(L"Credential state unchanged, suppressing CredentialsChanged"), 2u);
    Impl(provider)->DRV_EnumerateCredentials(true, true);  // SSO retry
    EXPECT_EQ(events.changed.load(), 2);
    // Losing the credentials is a change too.
    TheCredentials().credentialsAvailable = false;
    Impl(provider)->DRV_EnumerateCredentials(true, false);
    EXPECT_EQ(events.changed.load(), 3);
    EXPECT_TRUE(log.Contains(L"(had credentials -> no credentials)"));
    EXPECT_EQ(provider->UnAdvise(), S_OK);
    EXPECT_EQ(events.refs.load(), 1u);
}

TEST_F(CredProviderTest, FailedCredentialsChangedIsRetriedOnTheNextSignal) {
    SetRecord(true, true);
    events.result = E_FAIL;
    auto provider = Create();
    ASSERT_EQ(provider->Advise(&events, kContext), S_OK);
    EXPECT_EQ(events.changed.load(), 1);
    EXPECT_TRUE(log.Contains(L"CredentialsChanged failed, Error: 0x80004005", CORE::LOG_ERROR));
    events.result = S_OK;
    Impl(provider)->DRV_EnumerateCredentials(true, false);
    EXPECT_EQ(events.changed.load(), 2);  // state was not stored, so it is raised again
    Impl(provider)->DRV_EnumerateCredentials(true, false);
    EXPECT_EQ(events.changed.load(), 2);
    provider->UnAdvise();
}

TEST_F(CredProviderTest, NoTicketLookupMeansNoSignal) {
    auto provider = Create();
    ASSERT_EQ(provider->Advise(&events, kContext), S_OK);
    EXPECT_TRUE(log.Contains(L"DRV_EnumerateCredentials(): Refreshing credentials."));
    EXPECT_TRUE(log.Contains(L"No ticket lookup so not signaling credential re-enumeration."));
    Impl(provider)->DRV_EnumerateCredentials(true, true);
    EXPECT_EQ(events.changed.load(), 0);
    provider->UnAdvise();
}

TEST_F(CredProviderTest, FirstEnumerationFetchesQuietlyAndTheFirstSignalReportsIt) {
    testsupport::ScriptedAgent agent;
    CORE::PropertyBag answer;
    answer.Set(L"userName", L"alice");
    answer.Set(L"password", L"pw");
    agent.Answer(L"GetCredentialsForTicket", answer);
    auto provider = Create();
    ASSERT_EQ(provider->Advise(&events, kContext), S_OK);
    EXPECT_TRUE(log.Contains(L"Initial credential enumeration (got SSO credentials)"));
    EXPECT_EQ(events.changed.load(), 0);  // LogonUI asks for the count right after Advise anyway
    EXPECT_TRUE(TheCredentials().credentialsAvailable);
    // The last reported state is still "no credentials": the first signal reports the change.
    Impl(provider)->DRV_EnumerateCredentials(true, false);
    EXPECT_EQ(events.changed.load(), 1);
    Impl(provider)->DRV_EnumerateCredentials(true, false);
    EXPECT_EQ(events.changed.load(), 1);
    EXPECT_EQ(agent.CountOf(L"GetCredentialsForTicket"), 1u);  // looked up once
    provider->UnAdvise();
}

TEST_F(CredProviderTest, CertificateUnlockFiresOncePerAdvisePeriod) {
    auto& creds = TheCredentials();
    creds.isUnlockScenario = true;
    creds.isCertSsoUnlockEnabled = true;
    auto provider = Create();
    ASSERT_EQ(provider->Advise(&events, kContext), S_OK);
    EXPECT_EQ(events.changed.load(), 1);
    Impl(provider)->DRV_EnumerateCredentials(true, true);
    Impl(provider)->DRV_EnumerateCredentials(true, false);
    EXPECT_EQ(events.changed.load(), 1);
    EXPECT_TRUE(log.Contains(L"Suppressing duplicate CredentialsChanged for CertSSO/EntraSSO"));
    ASSERT_EQ(provider->UnAdvise(), S_OK);
    ASSERT_EQ(provider->Advise(&events, kContext), S_OK);
    EXPECT_EQ(events.changed.load(), 2);
    provider->UnAdvise();
}

TEST_F(CredProviderTest, EntraUnlockFailureLeavesTheFlagForTheNextTry) {
    auto& creds = TheCredentials();
    creds.isUnlockScenario = true;
    creds.isEntraUnlockEnabled = true;
    events.result = E_ACCESSDENIED;
    auto provider = Create();
    ASSERT_EQ(provider->Advise(&events, kContext), S_OK);
    events.result = S_OK;
    Impl(provider)->DRV_EnumerateCredentials(true, false);
    EXPECT_EQ(events.changed.load(), 2);
    Impl(provider)->DRV_EnumerateCredentials(true, false);
    EXPECT_EQ(events.changed.load(), 2);
    provider->UnAdvise();
}

TEST_F(CredProviderTest, AgentSignalReachesTheSinkThroughTheChannelThread) {
    SetRecord(true, true);
    auto provider = Create();
    ASSERT_TRUE(GetOfflineChannel()->IsThreadRunning());
    ASSERT_EQ(provider->Advise(&events, kContext), S_OK);
    ASSERT_EQ(events.changed.load(), 1);
    // The agent signals the per-session named event; unchanged state is suppressed...
    platform::unique_handle agentSide(::OpenEventW(EVENT_MODIFY_STATE, FALSE, EnumerateEventName().c_str()));
    ASSERT_TRUE(agentSide);
    TheCredentials().credentialsAvailable = false;
    ::SetEvent(agentSide.get());
    EXPECT_TRUE(events.WaitForChanged(2));
    // ...and a retry request is always resent.
    GetOfflineChannel()->RequestSSORetry();
    EXPECT_TRUE(events.WaitForChanged(3));
    provider->UnAdvise();
    EXPECT_EQ(GetOfflineChannel()->Context(), nullptr);
}

TEST_F(CredProviderTest, SecondAdviseReplacesTheSinkWithoutLeakingReferences) {
    SetRecord(true, true);
    auto provider = Create();
    FakeEvents second;
    ASSERT_EQ(provider->Advise(&events, kContext), S_OK);
    ASSERT_EQ(provider->Advise(&second, kContext + 1), S_OK);
    EXPECT_EQ(events.refs.load(), 1u);
    EXPECT_EQ(second.refs.load(), 2u);
    EXPECT_EQ(GetOfflineChannel()->Context(), static_cast<void*>(Impl(provider)));
    ASSERT_EQ(provider->UnAdvise(), S_OK);
    EXPECT_EQ(second.refs.load(), 1u);
    // Only LogonUI's reference is left: releasing it frees the provider.
    LONG before = DllRefCount();
    provider.reset();
    EXPECT_EQ(DllRefCount(), before - 1);
}

TEST_F(CredProviderTest, FreeingTheProviderClearsTheRecord) {
    auto provider = Create();
    SetRecord(true, true);
    provider.reset();
    EXPECT_FALSE(TheCredentials().credentialsAvailable);
    EXPECT_FALSE(TheCredentials().ticketFound);
}

}  // namespace
