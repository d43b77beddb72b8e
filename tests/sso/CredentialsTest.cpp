// The process-wide credentials record (what a clear forgets, the CertSSO unlock event, smart
// card removal data, the Entra wait) and the agent requests that fill it, against no agent
// and against a scripted desktop manager.
#include "sso/AgentRequests.h"
#include "sso/Credentials.h"

#include "base/OfflineChannel.h"
#include "base/SessionInfo.h"
#include "lib/mfw/common/bag/PropertyBag.h"
#include "platform/UniqueResource.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "keyvault/VaultSandbox.h"
#include "lib/keyvault/PayloadWriter.h"
#include "support/RegistrySandbox.h"
#include "support/ScriptedAgent.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using testsupport::Bag;

class CredentialsTest : public ::testing::Test {
protected:
    void SetUp() override { ResetSessionIdCache(); }
    void TearDown() override {
        CleanupOfflineChannel();
        ResetSessionIdCache();
    }
    // The answer of a request that fails.
    template <typename Request>
    CORE::PropertyBag Refused(Request request) {
        CORE::PropertyBag answer;
        EXPECT_FALSE(request(creds, answer));
        return answer;
    }
    vaulttest::VaultSandbox registry;  // protected material deciphers as from a real agent
    testsupport::FakePlatform fake;
    testsupport::LogCapture log;
    Credentials creds;
    const std::wstring event = CertSsoUnlockEventName(L"TcfiltrTest-" + std::to_wstring(::GetCurrentProcessId()));
};

TEST_F(CredentialsTest, ClearForgetsTheAttemptButKeepsSessionWideFacts) {
    Credentials& c = creds;
    c.userName = L"alice", c.domainName = L"CORP", c.password = std::wstring_view(L"{SSO-AES:0}secret");
    c.brokerUserSid = L"S-1-5-21-1", c.dnsDomainName = L"corp.example", c.upnList = {L"alice@corp.example"};
    c.smartCardPin = std::wstring_view(L"1234"), c.smartCardReader = L"Reader 0", c.smartCardHintUpn = L"hint@corp.example";
    c.cardName = L"card", c.containerName = L"container", c.providerName = L"provider", c.keySpec = 1;
    c.certLogon.containerName = L"certContainer", c.certLogon.pin = std::wstring_view(L"9876");
    c.certLogon.attemptsLeft = 3, c.sessionGuid = L"guid", c.certificateSsoId = L"certId", c.reportErrors = true;
    c.unauthUserName = L"kiosk", c.unauthPassword = std::wstring_view(L"kioskpw"), c.activityCount = 0x50000;
    c.whfbCertPin = std::wstring_view(L"4321"), c.whfbCertCtxId = L"ctx";
    c.ticketFound = c.credentialsAvailable = c.isUnlockScenario = c.isCertSsoUnlockEnabled = true;
    ::SetEvent(c.m_entraAuthRdpAssertionComplete.get());
    c.ClearCredentials(false);
    EXPECT_TRUE(c.userName.empty() && c.domainName.empty() && c.password.empty() && c.brokerUserSid.empty() &&
                c.dnsDomainName.empty() && c.smartCardPin.empty() && c.upnList.empty() && c.smartCardReader.empty());
    EXPECT_TRUE(c.cardName.empty() && c.containerName.empty() && c.providerName.empty() && c.unauthUserName.empty() &&
                c.unauthPassword.empty() && c.whfbCertPin.empty() && c.certLogon.pin.empty() && c.certLogon.containerName.empty());
    EXPECT_FALSE(c.ticketFound || c.credentialsAvailable || c.reportErrors || c.activityCount);
    EXPECT_EQ(::WaitForSingleObject(c.m_entraAuthRdpAssertionComplete.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    // What belongs to the session, not to one attempt, survives.
    EXPECT_TRUE(c.smartCardHintUpn == L"hint@corp.example" && c.keySpec == 1u && c.isUnlockScenario &&
                c.isCertSsoUnlockEnabled && c.certLogon.attemptsLeft == 3u);
    EXPECT_TRUE(c.sessionGuid == L"guid" && c.certificateSsoId == L"certId" && c.whfbCertCtxId == L"ctx");
}

TEST_F(CredentialsTest, TheAgentsSignalReleasesTheWaitButOneFromBeforeInitDoesNotCount) {
    platform::unique_handle early(::CreateEventW(nullptr, FALSE, TRUE, event.c_str()));
    ASSERT_TRUE(creds.InitCertSsoUnlockEvent(event));
    registry.SetAgentConfig(L"CertSSOCredNotifTimeout", L"0");
    CORE::PropertyBag answer;
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_FALSE(creds.WaitForCertSsoUnlockEvent(answer));
    EXPECT_LT(::GetTickCount64() - start, 5000u);  // a zero time-out is a poll, not the 45 s default
    EXPECT_EQ(answer.GetErrorText(L""), L"CertSsoUnlockEvent timed out");
    platform::unique_handle agent(::OpenEventW(EVENT_MODIFY_STATE, FALSE, event.c_str()));
    ASSERT_TRUE(agent && ::SetEvent(agent.get()));
    CORE::PropertyBag released;
    EXPECT_TRUE(creds.WaitForCertSsoUnlockEvent(released) && released.GetError() == 0u);
}

// A waiter is released with success whether the event is set up again under the same name or
// cleared; after clearing, later waits fail at once.
TEST_F(CredentialsTest, ReinitialisingOrClearingReleasesAWaiter) {
    for (bool clear : {false, true}) {
        log.Clear();
        ASSERT_TRUE(creds.InitCertSsoUnlockEvent(event));
        std::atomic<int> outcome{-1};
        std::thread waiter([&] { CORE::PropertyBag answer; outcome = creds.WaitForCertSsoUnlockEvent(answer) ? 1 : 0; });
        ASSERT_TRUE(testsupport::WaitFor([&] { return log.Contains(L"Credentials::WaitForCertSsoUnlockEvent() (sessionId"); }));
        if (clear)
            creds.certLogon.ClearEvent();
        else
            ASSERT_TRUE(creds.InitCertSsoUnlockEvent(event));
        waiter.join();
        EXPECT_EQ(outcome.load(), 1) << clear;
    }
    CORE::PropertyBag answer;
    EXPECT_FALSE(creds.WaitForCertSsoUnlockEvent(answer));
    EXPECT_EQ(answer.GetError(), 1u);
    EXPECT_EQ(answer.GetErrorText(L""), L"CertSsoUnlockEvent released or not initialized");
}

TEST_F(CredentialsTest, RemovalDataIsWrittenOnlyWhenARemovalActionIsConfigured) {
    fake.sessionId = 3, creds.smartCardReader = L"R", creds.activityCount = 0x00050000;
    for (const wchar_t* option : {L"", L"0", L"1"}) {
        if (*option) registry.SetString(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon", L"ScRemoveOption", option);
        creds.SendReaderToSmartCardService();
        std::vector<BYTE> written(64);
        DWORD size = 64;
        LSTATUS status = ::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Removal Policy",
                                        L"3", RRF_RT_REG_BINARY, nullptr, written.data(), &size);
        written.resize(status == ERROR_SUCCESS ? size : 0);
        EXPECT_EQ(written, (*option == L'1' ? std::vector<BYTE>{0x52, 0, 0, 0, 0, 0, 5, 0} : std::vector<BYTE>{}))
            << testing::PrintToString(std::wstring(option));
    }
}

struct FakeEntra : IEntraContext {
    explicit FakeEntra(HRESULT s) : status(s) {}
    HRESULT GetStatus() override { return status; }
    HRESULT SerializeCredential(BYTE**, ULONG*) override { return E_NOTIMPL; }
    void WipeAssertion() override { ++wiped; }
    HRESULT status;
    int wiped = 0;
};

TEST_F(CredentialsTest, EntraWaitTimesOutForAPendingRequestAndClearingWipesTheAssertion) {
    registry.SetAgentConfig(L"CertSSOCredNotifTimeout", L"0");
    creds.SetEntraContext(std::make_unique<FakeEntra>(E_PENDING));
    creds.WaitForClientEntraAuthCompletion();
    EXPECT_TRUE(log.Contains(L"WaitForClientEntraAuthCompletion(): [EntraAuth] SSO timed out"));
    // Clearing wipes the assertion but keeps the request itself.
    auto* entra = new FakeEntra(S_OK);
    creds.SetEntraContext(std::unique_ptr<IEntraContext>(entra));
    creds.ClearCredentials(true);
    EXPECT_TRUE(entra->wiped == 1 && creds.entraContext.get() == entra);
}

TEST_F(CredentialsTest, EntraCompletionAsksForARetryOnlyWhenCredentialsAreReady) {
    static std::atomic<int> callbacks{0};
    std::wstring name = L"Local\\TcfiltrTest.Entra." + std::to_wstring(::GetCurrentProcessId());
    GetOfflineChannel()->SetReEnumerationCallback([](IUnknown*, bool explicitRequest) { callbacks += explicitRequest ? 1 : 100; },
                                                  name.c_str());
    GetOfflineChannel()->Start();
    creds.OnEntraAuthComplete();  // nothing ready yet
    EXPECT_FALSE(log.Contains(L"OfflineChannel::RequestSSORetry()"));
    creds.credentialsAvailable = true;
    creds.OnEntraAuthComplete();
    ASSERT_TRUE(testsupport::WaitFor([] { return callbacks.load() != 0; }));
    EXPECT_EQ(callbacks.load(), 1);
    EXPECT_EQ(::WaitForSingleObject(creds.m_entraAuthRdpAssertionComplete.get(), 0), WAIT_OBJECT_0);
}

// --- Agent requests.

TEST_F(CredentialsTest, WithoutAnAgentEveryRequestFailsSaysSoAndLeavesNothingAvailable) {
    EXPECT_EQ(Refused(CertSsoUnlockSessionCompleteNotif).GetErrorText(L""),
              L"Request CertSsoUnlockSessionCompleteNotif failed, (sessionId=2) No sessionGuid available to perform "
              L"CertSSO unlock");
    EXPECT_FALSE(log.Contains(L"SendMsgToDesktopManager(")) << "refused before sending";
    CORE::PropertyBag request, answer;
    EXPECT_EQ(SendMsgToDesktopManager(L"GetCredentialsForTicket", request, answer, 30000), 2u);
    bool found = true;
    EXPECT_FALSE(GetCredentialsForTicket(request, answer, &found) || found);
    EXPECT_FALSE(GetConsoleProtocolCredentials(creds) || creds.ticketFound);
    EXPECT_FALSE(NotifyDazSrvCertSsoUnlockAndRefreshTicket(creds));
    EXPECT_TRUE(creds.sessionGuid.empty() && !creds.certLogon.HasUnlockEvent());
    EXPECT_EQ(Refused(CheckCertSsoEnabledForSession).GetErrorText(L"").rfind(L"Request CheckCertSsoEnabledForSession failed, (sessionId=2)", 0),
              0u);
    for (bool whfb : {true, false}) {
        creds.isWhfbCertSsoUnlockEnabled = whfb;
        EXPECT_EQ(CheckDMIfCertSsoUsed(creds), whfb) << "keeps the previous flags";
    }
    creds.password = std::wstring_view(L"stale");
    creds.ticketFound = creds.credentialsAvailable = true;
    PopulateCredentials(creds);
    EXPECT_FALSE(creds.credentialsAvailable || creds.ticketFound || !creds.password.empty());
    EXPECT_TRUE(log.Contains(L"(sessionId=2) Could not contact node manager"));
    fake.sessionId = 0;
    ResetSessionIdCache();
    EXPECT_EQ(Refused(CheckCertSsoEnabledForSession).GetErrorText(L""),
              L"Request CheckCertSsoEnabledForSession failed, sessionId is invalid");
}

class AgentRequestsTest : public CredentialsTest {
protected:
    testsupport::ScriptedAgent agent;
};

TEST_F(AgentRequestsTest, RequestCarriesTheSessionTicketAndTheUnlockKinds) {
    creds.isUnlockScenario = creds.isWhfbCertSsoUnlockEnabled = true;
    agent.Answer(L"GetCredentialsForTicket", Bag({{L"password", L"{SSO-AES:0}xyz"}, {L"userName", L"alice"}}));
    EXPECT_TRUE(GetConsoleProtocolCredentials(creds));
    auto sent = agent.Requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].timeoutMs, 30000u);
    const CORE::PropertyBag& r = sent[0].request;
    std::wstring items;
    for (size_t i = 0; i < r.Count(); ++i) items += r.GetNameAt(i) + L"=" + r.Get(r.GetNameAt(i)) + L" ";
    EXPECT_EQ(items, L"sessionId=2 processId=" + std::to_wstring(::GetCurrentProcessId()) +
                         L" userName= domainName= ticket=SESSION_PROTOCOL_TICKET_2 certssoUnlock=false "
                         L"whfbCertssoUnlock=true entrassoUnlock=false ");
    EXPECT_TRUE(creds.ticketFound && creds.password == L"{SSO-AES:0}xyz");  // kept protected as received
}

// What the record keeps of each answer to the session's ticket.
TEST_F(AgentRequestsTest, AnswersFillTheRecord) {
    using Items = std::initializer_list<std::pair<const wchar_t*, const wchar_t*>>;
    // upns: a "upns" bag, when not empty.
    const struct { Items answer, upns; bool usable, ticketFound; bool (*kept)(const Credentials&); } kCases[] = {

        // Windows Hello wins over a smart card PIN.
        {{{L"whfbCertPin", L"1111"}, {L"whfbCertCtxId", L"ctx"}, {L"smartCardPIN", L"2222"}}, {}, true, true,
         [](const Credentials& c) { return c.whfbCertPin == L"1111" && c.whfbCertCtxId == L"ctx" && c.smartCardPin.empty(); }},
        // A certificate PIN without a container is no use.
        {{{L"certLogonPin", L"1234"}, {L"certLogonContainerName", L""}}, {}, false, true,
         [](const Credentials& c) { return c.certLogon.pin.empty(); }},
        // Certificate SSO. Which words count as true is ParseBool's own test.
        {{{L"certLogonPin", L"1234"}, {L"certLogonContainerName", L"cont"}, {L"CERTIFICATESSOID", L"cert-7"}, {L"REPORTERRORS", L"YES"},
          {L"domainName", L"CORP"}, {L"BROKERUSERSID", L"S-1-5-21-9"}},
         {}, true, true, [](const Credentials& c) { return c.certLogon.containerName == L"cont" && c.certLogon.attemptsLeft == 4 &&
                                                           c.certificateSsoId == L"cert-7" && c.reportErrors &&
                                                           c.domainName == L"CORP" && c.brokerUserSid == L"S-1-5-21-9"; }},
        // A smart card: UPN names in order, empty values skipped, the PIN decrypted ("P" is replaced
        // by the protected form of "4321").
        {{{L"smartCardPIN", L"P"}, {L"smartCardReader", L"Reader 1"}, {L"smartCardHintUpn", L"hint@corp.example"}},
         {{L"a@corp.example", L"1"}, {L"skip@corp.example", L""}, {L"b@corp.example", L"1"}}, true, true,
         [](const Credentials& c) { return c.smartCardPin == L"4321" && c.smartCardReader == L"Reader 1" &&
             c.smartCardHintUpn == L"hint@corp.example" && c.upnList == std::vector<std::wstring>{L"a@corp.example", L"b@corp.example"}; }},
        // A PIN that does not decrypt yields nothing, never another kind of logon.
        {{{L"smartCardPIN", L"{SSO-AES:1}QUJD"}, {L"password", L"pw"}}, {}, false, true,
         [](const Credentials& c) { return c.smartCardPin.empty() && c.password.empty(); }},
        {{}, {}, false, false, [](const Credentials&) { return true; }},  // an empty answer is no ticket
        {{{L"unauthUserName", L"kiosk"}, {L"unauthPassword", L"pw"}}, {}, true, true,  // unauthenticated access alone
         [](const Credentials& c) { return c.unauthUserName == L"kiosk"; }},
    };
    registry.SetAgentConfig(L"CertSsoAttempts", L"4");
    for (const auto& c : kCases) {
        SCOPED_TRACE(&c - kCases);
        Credentials record;
        record.upnList = {L"stale@corp.example"};
        CORE::PropertyBag answer = Bag(c.answer);
        if (c.upns.size()) answer.SetBag(L"upns", Bag(c.upns));
        if (answer.Get(L"smartCardPIN") == L"P") answer.Set(L"smartCardPIN", keyvault::BuildProtectedPayload(L"4321"));
        agent.Answer(L"GetCredentialsForTicket", answer);
        const bool usable = GetConsoleProtocolCredentials(record);
        EXPECT_TRUE(usable == c.usable && record.ticketFound == c.ticketFound && c.kept(record));
    }
}

TEST_F(AgentRequestsTest, PopulateWithAPinWhoseCardIsNotFoundKeepsUserButNotThePin) {
    CORE::PropertyBag answer = Bag({{L"smartCardPIN", L"4321"}, {L"userName", L"alice"}, {L"domainName", L"CORP"}});
    answer.SetBag(L"upns", Bag({{L"a@corp.example", L"1"}}));
    agent.Answer(L"GetCredentialsForTicket", answer);
    PopulateCredentials(creds);
    EXPECT_FALSE(creds.credentialsAvailable);
    EXPECT_TRUE(creds.smartCardPin.empty() && creds.userName == L"alice" && creds.domainName == L"CORP");
}

TEST_F(AgentRequestsTest, UnlockHandshakeStoresTheGuidAndNamesTheEventAfterIt) {
    const std::wstring guid = L"guid-" + std::to_wstring(::GetCurrentProcessId());
    agent.Answer(L"NotifyDazSrvCertSsoUnlockAndRefreshTicket", Bag({{L"sessionGuid", guid.c_str()}}));
    agent.Answer(L"CertSsoUnlockSessionCompleteNotif", CORE::PropertyBag());
    ASSERT_TRUE(NotifyDazSrvCertSsoUnlockAndRefreshTicket(creds));
    EXPECT_EQ(creds.sessionGuid, guid);
    EXPECT_TRUE(creds.certLogon.HasUnlockEvent() &&
                platform::unique_handle(::OpenEventW(EVENT_MODIFY_STATE, FALSE, CertSsoUnlockEventName(guid).c_str())));
    CORE::PropertyBag answer;
    EXPECT_TRUE(CertSsoUnlockSessionCompleteNotif(creds, answer));
    auto sent = agent.Requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_TRUE(sent[1].request.Count() == 1 && sent[1].request.Get(L"sessionId") == L"2");
}

TEST_F(AgentRequestsTest, AnAgentErrorIsCarriedIntoTheAnswer) {
    CORE::PropertyBag error;
    error.SetError(17, L"queue paused");
    agent.Answer(L"CheckCertSsoEnabledForSession", error, 8);
    CORE::PropertyBag answer = Refused(CheckCertSsoEnabledForSession);
    EXPECT_EQ(answer.GetError(), 17u);
    EXPECT_EQ(answer.GetErrorText(L""), L"Request CheckCertSsoEnabledForSession failed, (sessionId=2) queue paused");
}

}  // namespace
