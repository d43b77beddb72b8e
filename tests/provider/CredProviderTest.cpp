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
    // The record as the filter left it: a: credentials looked up, u: unlock, c/w/e: CertSSO,
    // Windows Hello or Entra unlock enabled; d: a DRV session.
    void Record(const std::string& flags) {
        auto has = [&](char flag) { return flags.find(flag) != std::string::npos; };
        auto& c = TheCredentials();
        c.ticketFound = c.credentialsAvailable = has('a');
        c.isUnlockScenario = has('u');
        c.isCertSsoUnlockEnabled = has('c'), c.isWhfbCertSsoUnlockEnabled = has('w'), c.isEntraUnlockEnabled = has('e');
        fake.clientProtocol = has('d') ? 3 : 0;
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
    Record("a");
    CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR* descriptor = nullptr;
    ICredentialProviderCredential* tile = nullptr;
    DWORD n = 0;
    BOOL autoLogon = FALSE;
    const HRESULT invalid[] = {
        provider->SetUsageScenario(CPUS_CREDUI, 0), provider->SetUsageScenario(CPUS_CHANGE_PASSWORD, 0),
        provider->SetUsageScenario(static_cast<CREDENTIAL_PROVIDER_USAGE_SCENARIO>(77), 0),
        provider->Advise(nullptr, kContext), provider->Advise(&events, 0), provider->GetFieldDescriptorCount(nullptr),
        provider->GetFieldDescriptorAt(0, nullptr), provider->GetFieldDescriptorAt(2, &descriptor),
        provider->GetFieldDescriptorAt(0xFFFFFFFF, &descriptor), provider->GetCredentialCount(nullptr, &n, &autoLogon),
        provider->GetCredentialCount(&n, nullptr, &autoLogon), provider->GetCredentialCount(&n, &n, nullptr),
        provider->GetCredentialAt(1, &tile), provider->GetCredentialAt(0, nullptr)};
    for (size_t i = 0; i < std::size(invalid); ++i) EXPECT_EQ(invalid[i], E_INVALIDARG) << i;
    EXPECT_EQ(descriptor, nullptr);
    EXPECT_EQ(tile, nullptr);
    EXPECT_EQ(events.refs.load(), 1u);
    EXPECT_FALSE(log.Contains(L"DRV_EnumerateCredentials"));
    EXPECT_EQ(provider->SetUsageScenario(CPUS_LOGON, 0), S_OK);
    EXPECT_EQ(provider->SetUsageScenario(CPUS_UNLOCK_WORKSTATION, 0), S_OK);
    EXPECT_EQ(provider->SetSerialization(nullptr), E_NOTIMPL);
    EXPECT_EQ(provider->UnAdvise(), S_OK);  // never advised: nothing to undo
}

// One tile only with credentials; the label follows the SSO kind (unlock flags count only during
// unlock, Windows Hello wins over KeySSO); auto logon is withheld for certificate and Entra unlock.
// A DRV session without credentials tells the seamless-windows side it is not ready.
TEST_F(CredProviderTest, DescriptorsAndCountFollowTheRecord) {
    const struct {
        const char* record;
        const wchar_t* label;
        BOOL autoLogon;
    } kCases[] = {{"", L"Dravik_SSO_User", FALSE},         {"d", L"Dravik_SSO_User", FALSE},
                  {"ad", L"Dravik_SSO_User", TRUE},        {"auc", L"Dravik_KEYSSO_User", FALSE},
                  {"auw", L"Dravik_Whfb_Cert_User", TRUE}, {"aucw", L"Dravik_Whfb_Cert_User", FALSE},
                  {"aue", L"Dravik_SSO_User", FALSE},      {"acw", L"Dravik_SSO_User", TRUE}};
    std::wstring name = fake.namespaceEventPrefix + L"dravikndmg.NotReadyForTessel" + std::to_wstring(fake.sessionId);
    platform::unique_handle tessel(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    auto provider = Create();
    DWORD fields = 0;
    ASSERT_EQ(provider->GetFieldDescriptorCount(&fields), S_OK);
    EXPECT_EQ(fields, 2u);
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.record);
        Record(c.record);
        const bool available = TheCredentials().credentialsAvailable;
        ::ResetEvent(tessel.get());
        std::wstring labels;
        for (DWORD i = 0; i < 2; ++i) {
            CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR* d = nullptr;
            ASSERT_EQ(provider->GetFieldDescriptorAt(i, &d), S_OK);
            labels += d->pszLabel + std::wstring(L":") + std::to_wstring(d->dwFieldID) + L":" + std::to_wstring(d->cpft) +
                      (IsEqualGUID(d->guidFieldType, GUID_NULL) ? L" " : L"? ");
            ::CoTaskMemFree(d->pszLabel);
            ::CoTaskMemFree(d);
        }
        EXPECT_EQ(labels, c.label + std::wstring(L":0:1 submit:1:9 "));  // large text, submit button
        DWORD count = 9, defaultIndex = 9;
        BOOL autoLogon = 2;
        ASSERT_EQ(provider->GetCredentialCount(&count, &defaultIndex, &autoLogon), S_OK);
        EXPECT_EQ(count, available ? 1u : 0u);
        EXPECT_EQ(defaultIndex, available ? 0u : CREDENTIAL_PROVIDER_NO_DEFAULT);
        EXPECT_EQ(autoLogon, c.autoLogon);
        EXPECT_EQ(::WaitForSingleObject(tessel.get(), 0) == WAIT_OBJECT_0, fake.clientProtocol == 3 && !available);
    }
}

TEST_F(CredProviderTest, ReEnumerationIsSkippedOnlyInOtherRemoteSessions) {
    fake.clientProtocolError = ERROR_ACCESS_DENIED;  // unknown: registers by default
    Create();
    EXPECT_TRUE(IsReEnumerationEnabled());
    EXPECT_TRUE(GetOfflineChannel()->IsThreadRunning());
    CleanupOfflineChannel();
    fake.clientProtocolError = 0;
    Record("a");
    fake.clientProtocol = 5;
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
    const char* record;  // as Record takes it
    bool sinkFails;
    const char *steps, *changed;
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.what; }

class SignalTest : public CredProviderTest, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(SignalTest, CredentialsChangedFollowsTheState) {
    const SignalCase& c = GetParam();
    Record(c.record);
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
    {"a change once, a retry always", "a", false, "aeerlu", "111233"},
    {"a failed call is raised again", "a", true, "aoee", "1122"},
    {"no ticket lookup, no signal", "", false, "ar", "00"},
    {"certificate unlock once per advise", "uc", false, "areua", "11112"},
    {"failed Entra unlock tries again", "ue", true, "aoee", "1122"},
};

INSTANTIATE_TEST_SUITE_P(Signals, SignalTest, ::testing::ValuesIn(kSignals));

// The first enumeration fetches quietly (LogonUI asks for the count right after Advise anyway);
// the last reported state is still "no credentials", so the first signal reports the change.
TEST_F(CredProviderTest, FirstEnumerationFetchesQuietlyAndTheFirstSignalReportsIt) {
    ScriptedAgent agent;
    agent.Answer(L"GetCredentialsForTicket", Bag({{L"userName", L"alice"}, {L"password", L"pw"}}));
    auto provider = Create();
    ASSERT_EQ(provider->Advise(&events, kContext), S_OK);
    EXPECT_EQ(events.changed.load(), 0);
    EXPECT_TRUE(TheCredentials().credentialsAvailable);
    Impl(provider)->DRV_EnumerateCredentials(true, false);
    Impl(provider)->DRV_EnumerateCredentials(true, false);
    EXPECT_EQ(events.changed.load(), 1);
    EXPECT_EQ(agent.CountOf(L"GetCredentialsForTicket"), 1u);  // looked up once
    provider->UnAdvise();
}

// The agent's named event and a retry request reach the sink through the channel thread; a
// second Advise replaces the sink; releasing LogonUI's last reference frees the provider and the record.
TEST_F(CredProviderTest, SignalsReachTheLatestSinkAndFreeingClearsTheRecord) {
    Record("a");
    auto provider = Create();
    FakeEvents first;
    ASSERT_EQ(provider->Advise(&first, kContext + 1), S_OK);
    ASSERT_EQ(provider->Advise(&events, kContext), S_OK);
    EXPECT_EQ(first.refs.load(), 1u);
    EXPECT_EQ(events.refs.load(), 2u);
    EXPECT_EQ(GetOfflineChannel()->Context(), static_cast<void*>(Impl(provider)));
    const int reported = events.changed.load();
    platform::unique_handle agentSide(::OpenEventW(EVENT_MODIFY_STATE, FALSE, EnumerateEventName().c_str()));
    ASSERT_TRUE(agentSide);
    TheCredentials().credentialsAvailable = false;
    ::SetEvent(agentSide.get());
    EXPECT_TRUE(events.WaitForChanged(reported + 1));
    GetOfflineChannel()->RequestSSORetry();
    EXPECT_TRUE(events.WaitForChanged(reported + 2));
    ASSERT_EQ(provider->UnAdvise(), S_OK);
    EXPECT_EQ(events.refs.load(), 1u);
    EXPECT_EQ(GetOfflineChannel()->Context(), nullptr);
    TheCredentials().credentialsAvailable = true;
    LONG before = DllRefCount();
    provider.reset();
    EXPECT_EQ(DllRefCount(), before - 1);
    EXPECT_FALSE(TheCredentials().credentialsAvailable || TheCredentials().ticketFound);
}

}  // namespace
