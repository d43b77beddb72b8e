#include "provider/credprovider.h"

#include "base/ModuleRef.h"
#include "base/OfflineChannel.h"
#include "base/SessionInfo.h"
#include "platform/UniqueResource.h"
#include "sso/Credentials.h"
#include "support/CredentialsReset.h"
#include "support/FakeEvents.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"
#include "support/ScriptedAgent.h"

#include <gtest/gtest.h>

namespace {

using platform::com_ptr;
using namespace testsupport;

constexpr UINT_PTR kContext = 0x5150;

class CredProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A session of our own: the re-enumeration event is a real named object.
        fake.sessionId = 3000 + ::GetCurrentProcessId() % 20000;
        ResetSessionIdCache();
        ResetCredentials();
    }
    void TearDown() override {
        CleanupOfflineChannel();
        ResetSessionIdCache();
    }
    static void SetRecord(bool ticketFound, bool available) {
        TheCredentials().ticketFound = ticketFound;
        TheCredentials().credentialsAvailable = available;
    }
    static void Unlock(bool cert, bool whfb, bool entra) {
        auto& c = TheCredentials();
        c.isUnlockScenario = true;
        c.isCertSsoUnlockEnabled = cert;
        c.isWhfbCertSsoUnlockEnabled = whfb;
        c.isEntraUnlockEnabled = entra;
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
    for (auto [scenario, hr] : {std::pair{CPUS_LOGON, S_OK}, {CPUS_UNLOCK_WORKSTATION, S_OK}, {CPUS_CREDUI, E_INVALIDARG},
                                {CPUS_CHANGE_PASSWORD, E_INVALIDARG},
                                {static_cast<CREDENTIAL_PROVIDER_USAGE_SCENARIO>(77), E_INVALIDARG}})
        EXPECT_EQ(provider->SetUsageScenario(scenario, 0), hr) << scenario;
    EXPECT_EQ(provider->SetSerialization(nullptr), E_NOTIMPL);
    EXPECT_EQ(provider->Advise(nullptr, kContext), E_INVALIDARG);
    EXPECT_EQ(provider->Advise(&events, 0), E_INVALIDARG);
    EXPECT_EQ(events.refs.load(), 1u);
    EXPECT_FALSE(log.Contains(L"DRV_EnumerateCredentials"));
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

TEST_F(CredProviderTest, FieldDescriptorsFollowTheSsoKind) {
    auto provider = Create();
    DWORD count = 0;
    ASSERT_EQ(provider->GetFieldDescriptorCount(&count), S_OK);
    EXPECT_EQ(count, 2u);
    // The unlock flags count only during unlock; Windows Hello wins over KeySSO.
    const struct {
        DWORD index;
        bool unlock, cert, whfb;
        const wchar_t* label;
        CREDENTIAL_PROVIDER_FIELD_TYPE type;
    } kCases[] = {{1, false, false, false, L"submit", CPFT_SUBMIT_BUTTON},
                  {0, false, false, false, L"Dravik_SSO_User", CPFT_LARGE_TEXT},
                  {0, true, true, false, L"Dravik_KEYSSO_User", CPFT_LARGE_TEXT},
                  {0, true, true, true, L"Dravik_Whfb_Cert_User", CPFT_LARGE_TEXT},
                  {0, false, true, true, L"Dravik_SSO_User", CPFT_LARGE_TEXT}};
    for (const auto& c : kCases) {
        Unlock(c.cert, c.whfb, false);
        TheCredentials().isUnlockScenario = c.unlock;
        CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR* d = nullptr;
        ASSERT_EQ(provider->GetFieldDescriptorAt(c.index, &d), S_OK);
        EXPECT_EQ(std::wstring(d->pszLabel), c.label);
        EXPECT_EQ(d->dwFieldID, c.index);
        EXPECT_EQ(d->cpft, c.type);
        EXPECT_TRUE(IsEqualGUID(d->guidFieldType, GUID_NULL));
        ::CoTaskMemFree(d->pszLabel);
        ::CoTaskMemFree(d);
    }
}

// One tile only with credentials; auto logon is withheld for certificate and Entra unlock.
TEST_F(CredProviderTest, CredentialCountOffersOneTileOnlyWithCredentials) {
    const struct {
        bool available, unlock, cert, whfb, entra;
        DWORD count, defaultIndex;
        BOOL autoLogon;
    } kCases[] = {{false, false, false, false, false, 0, CREDENTIAL_PROVIDER_NO_DEFAULT, FALSE},
                  {true, false, false, false, false, 1, 0, TRUE},
                  {true, true, true, false, false, 1, 0, FALSE},
                  {true, true, false, true, false, 1, 0, TRUE},
                  {true, true, false, false, true, 1, 0, FALSE}};
    auto provider = Create();
    for (const auto& c : kCases) {
        SetRecord(c.available, c.available);
        Unlock(c.cert, c.whfb, c.entra);
        TheCredentials().isUnlockScenario = c.unlock;
        DWORD count = 9, defaultIndex = 9;
        BOOL autoLogon = 2;
        ASSERT_EQ(provider->GetCredentialCount(&count, &defaultIndex, &autoLogon), S_OK);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(defaultIndex, c.defaultIndex);
        EXPECT_EQ(autoLogon, c.autoLogon) << c.available << c.cert << c.whfb << c.entra;
    }
}

TEST_F(CredProviderTest, NoCredentialsInADrvSessionSignalsNotReadyForSeamlessWindows) {
    fake.clientProtocol = 3;
    std::wstring name = fake.namespaceEventPrefix + L"dravikndmg.NotReadyForTessel" + std::to_wstring(fake.sessionId);
    platform::unique_handle tessel(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    auto provider = Create();
    DWORD count = 0, defaultIndex = 0;
    BOOL autoLogon = FALSE;
    for (bool available : {true, false}) {
        SetRecord(available, available);
        ASSERT_EQ(provider->GetCredentialCount(&count, &defaultIndex, &autoLogon), S_OK);
        EXPECT_EQ(::WaitForSingleObject(tessel.get(), 0) == WAIT_OBJECT_0, !available);
    }
}

TEST_F(CredProviderTest, ReEnumerationIsSkippedOnlyInOtherRemoteSessions) {
    fake.clientProtocolError = ERROR_ACCESS_DENIED;  // unknown: registers by default
    {
        auto first = Create();
        EXPECT_TRUE(IsReEnumerationEnabled());
        EXPECT_TRUE(GetOfflineChannel()->IsThreadRunning());
    }
    CleanupOfflineChannel();

    fake.clientProtocolError = 0;
    fake.clientProtocol = 5;
    SetRecord(true, true);
    auto provider = Create();
    EXPECT_FALSE(IsReEnumerationEnabled());
    EXPECT_FALSE(GetOfflineChannel()->IsThreadRunning());
    ASSERT_EQ(provider->Advise(&events, kContext), S_OK);
    EXPECT_EQ(events.refs.load(), 1u);  // no sink stored
    Impl(provider)->DRV_EnumerateCredentials(true, true);
    EXPECT_EQ(events.changed.load(), 0);
}

// What LogonUI hears after Advise: steps a=Advise, u=UnAdvise, e=signal, r=retry request,
// l=credentials lost then signal, o=the sink stops failing; `changed` is the count after each.
struct SignalCase {
    const char* what;
    bool available, cert, entra, sinkFails;
    const char* steps;
    const char* changed;
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.what; }

class SignalTest : public CredProviderTest, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(SignalTest, CredentialsChangedFollowsTheState) {
    const SignalCase& c = GetParam();
    SetRecord(c.available, c.available);
    if (c.cert || c.entra) Unlock(c.cert, false, c.entra);
    if (c.sinkFails) events.result = E_FAIL;
    auto provider = Create();
    for (size_t i = 0; c.steps[i]; ++i) {
        switch (c.steps[i]) {
        case 'a': ASSERT_EQ(provider->Advise(&events, kContext), S_OK); break;
        case 'u': ASSERT_EQ(provider->UnAdvise(), S_OK); break;
        case 'o': events.result = S_OK; break;
        case 'l': TheCredentials().credentialsAvailable = false; [[fallthrough]];
        default: Impl(provider)->DRV_EnumerateCredentials(true, c.steps[i] == 'r');
        }
        EXPECT_EQ(events.changed.load(), c.changed[i] - '0') << "after step " << i;
    }
    EXPECT_EQ(events.lastContext.load(), events.changed.load() ? kContext : 0);
    provider->UnAdvise();
    EXPECT_EQ(events.refs.load(), 1u);
}

const SignalCase kSignals[] = {
    {"a change once, a retry always", true, false, false, false, "aeerlu", "111233"},
    {"a failed call is raised again", true, false, false, true, "aoee", "1122"},
    {"no ticket lookup, no signal", false, false, false, false, "ar", "00"},
    {"certificate unlock once per advise", false, true, false, false, "areua", "11112"},
    {"failed Entra unlock tries again", false, false, true, true, "aoee", "1122"},
};

INSTANTIATE_TEST_SUITE_P(Signals, SignalTest, ::testing::ValuesIn(kSignals));

TEST_F(CredProviderTest, FirstEnumerationFetchesQuietlyAndTheFirstSignalReportsIt) {
    ScriptedAgent agent;
    agent.Answer(L"GetCredentialsForTicket", Bag({{L"userName", L"alice"}, {L"password", L"pw"}}));
    auto provider = Create();
    ASSERT_EQ(provider->Advise(&events, kContext), S_OK);
    EXPECT_EQ(events.changed.load(), 0);  // LogonUI asks for the count right after Advise anyway
    EXPECT_TRUE(TheCredentials().credentialsAvailable);
    // The last reported state is still "no credentials": the first signal reports the change.
    Impl(provider)->DRV_EnumerateCredentials(true, false);
    Impl(provider)->DRV_EnumerateCredentials(true, false);
    EXPECT_EQ(events.changed.load(), 1);
    EXPECT_EQ(agent.CountOf(L"GetCredentialsForTicket"), 1u);  // looked up once
    provider->UnAdvise();
}

TEST_F(CredProviderTest, AgentSignalReachesTheSinkThroughTheChannelThread) {
    SetRecord(true, true);
    auto provider = Create();
    ASSERT_EQ(provider->Advise(&events, kContext), S_OK);
    ASSERT_EQ(events.changed.load(), 1);
    // The agent signals the per-session named event; the state changed, so it is reported...
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

TEST_F(CredProviderTest, SecondAdviseReplacesTheSinkAndFreeingClearsTheRecord) {
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
    // Only LogonUI's reference is left: releasing it frees the provider and the record.
    LONG before = DllRefCount();
    provider.reset();
    EXPECT_EQ(DllRefCount(), before - 1);
    EXPECT_FALSE(TheCredentials().credentialsAvailable);
    EXPECT_FALSE(TheCredentials().ticketFound);
}

}  // namespace
