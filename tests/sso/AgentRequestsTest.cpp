#include "sso/AgentRequests.h"

#include "base/SessionInfo.h"
#include "lib/mfw/common/bag/PropertyBag.h"
#include "sso/Credentials.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"
#include "support/ScriptedAgent.h"
#include "platform/UniqueResource.h"

#include <gtest/gtest.h>

namespace {

using testsupport::FakePlatform;
using testsupport::LogCapture;
using testsupport::RegistrySandbox;

class AgentRequestsTest : public ::testing::Test {
protected:
    void SetUp() override { ResetSessionIdCache(); }
    void TearDown() override { ResetSessionIdCache(); }
    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
    Credentials creds;
};

TEST_F(AgentRequestsTest, CertSsoAttemptsAreClampedAndReadWithoutPolicy) {
    EXPECT_EQ(GetCertSsoAttempts(), 3u);
    struct Case {
        const wchar_t* text;
        DWORD attempts;
    } cases[] = {{L"0", 1}, {L"9", 5}, {L" 04 ", 4}, {L"1", 1}, {L"5", 5}, {L"x", 1}};
    for (const auto& c : cases) {
        registry.SetAgentConfig(L"CertSsoAttempts", c.text);
        EXPECT_EQ(GetCertSsoAttempts(), c.attempts) << c.text;
    }
    registry.SetString(L"Software\\Policies\\Velmora\\Zephral\\Agent\\Configuration", L"CertSsoAttempts", L"2");
    EXPECT_EQ(GetCertSsoAttempts(), 1u);  // still the plain value "x"
}

TEST_F(AgentRequestsTest, UnlockCompletionWithoutASessionGuidSendsNothing) {
    CORE::PropertyBag answer;
    EXPECT_FALSE(CertSsoUnlockSessionCompleteNotif(creds, answer));
    EXPECT_EQ(answer.GetError(), 1u);
    EXPECT_EQ(answer.GetErrorText(L""),
              L"Request CertSsoUnlockSessionCompleteNotif failed, (sessionId=2) No sessionGuid available to perform "
              L"CertSSO unlock");
    EXPECT_FALSE(log.Contains(L"SendMsgToDesktopManager("));
}

TEST_F(AgentRequestsTest, SessionZeroIsRefusedBeforeSending) {
    fake.sessionId = 0;
    CORE::PropertyBag answer;
    EXPECT_FALSE(CheckCertSsoEnabledForSession(creds, answer));
    EXPECT_EQ(answer.GetErrorText(L""), L"Request CheckCertSsoEnabledForSession failed, sessionId is invalid");
    EXPECT_FALSE(log.Contains(L"SendMsgToDesktopManager("));
}

// The node manager's own routing failure is the same result as no channel, but the log says which.
TEST_F(AgentRequestsTest, RoutingFailureOfTheNodeManagerIsNotAnUnreachableAgent) {
    testsupport::ScriptedAgent agent;
    agent.Fail(L"GetCredentialsForTicket", 2);
    CORE::PropertyBag request, answer;
    EXPECT_EQ(SendMsgToDesktopManager(L"GetCredentialsForTicket", request, answer, 30000), 2u);
    EXPECT_TRUE(log.Contains(L"Call to DesktopManager failed: ", CORE::LOG_DEBUG));
    EXPECT_FALSE(log.Contains(L"Could not contact node manager"));
}

TEST_F(AgentRequestsTest, UnreachableAgentFailsEveryRequestAndSaysSo) {
    CORE::PropertyBag request, answer;
    EXPECT_EQ(SendMsgToDesktopManager(L"GetCredentialsForTicket", request, answer, 30000), 2u);
    bool found = true;
    EXPECT_FALSE(GetCredentialsForTicket(request, answer, &found));
    EXPECT_FALSE(found);
    EXPECT_FALSE(GetConsoleProtocolCredentials(creds));
    EXPECT_FALSE(creds.ticketFound);
    EXPECT_FALSE(NotifyDazSrvCertSsoUnlockAndRefreshTicket(creds));
    EXPECT_TRUE(creds.sessionGuid.empty());
    EXPECT_FALSE(creds.certLogon.HasUnlockEvent());
    CORE::PropertyBag check;
    EXPECT_FALSE(CheckCertSsoEnabledForSession(creds, check));
    EXPECT_EQ(check.GetErrorText(L"").rfind(L"Request CheckCertSsoEnabledForSession failed, (sessionId=2)", 0), 0u);
    EXPECT_TRUE(log.Contains(L"SendMsgToDesktopManager(GetCredentialsForTicket) (sessionId=2) begin"));
    EXPECT_TRUE(log.Contains(L"(sessionId=2) Could not contact node manager"));
    EXPECT_TRUE(log.Contains(L"(sessionId=2) GetCredentialsOverFramework complete: ticket not matched"));
}

}  // namespace

namespace {

using testsupport::Bag;
using testsupport::ScriptedAgent;


class SimpleTokenTest : public AgentRequestsTest {
protected:
    ScriptedAgent agent;
};

TEST_F(SimpleTokenTest, RequestCarriesTheSessionTicketAndTheUnlockKinds) {
    creds.isUnlockScenario = true;
    creds.isWhfbCertSsoUnlockEnabled = true;
    agent.Answer(L"GetCredentialsForTicket", Bag({{L"password", L"{SSO-AES:0}xyz"}, {L"userName", L"alice"}}));
    EXPECT_TRUE(GetConsoleProtocolCredentials(creds));
    auto sent = agent.Requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].timeoutMs, 30000u);
    const CORE::PropertyBag& r = sent[0].request;
    const wchar_t* names[] = {L"sessionId", L"processId", L"userName", L"domainName", L"ticket",
                              L"certssoUnlock", L"whfbCertssoUnlock", L"entrassoUnlock"};
    ASSERT_EQ(r.Count(), 8u);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(r.GetNameAt(i), names[i]);
    EXPECT_EQ(r.Get(L"sessionId"), L"2");
    EXPECT_EQ(r.Get(L"processId"), std::to_wstring(::GetCurrentProcessId()));
    EXPECT_EQ(r.Get(L"ticket"), L"SESSION_PROTOCOL_TICKET_2");
    EXPECT_EQ(r.Get(L"certssoUnlock"), L"false");
    EXPECT_EQ(r.Get(L"whfbCertssoUnlock"), L"true");
    EXPECT_TRUE(creds.ticketFound);
    EXPECT_TRUE(creds.password == L"{SSO-AES:0}xyz");  // kept protected as received
    EXPECT_TRUE(log.Contains(L"GetConsoleProtocolCredentials(): (sessionId=2) Successfully got credentials for user \\alice"));
}

// What the record keeps of each answer to the session's ticket.
TEST_F(SimpleTokenTest, AnswersFillTheRecord) {
    using Items = std::initializer_list<std::pair<const wchar_t*, const wchar_t*>>;
    const struct {
        const char* what;
        Items answer;
        Items upns;  // a "upns" bag, when not empty
        bool usable, ticketFound;
        bool (*kept)(const Credentials&);
    } kCases[] = {
        {"Windows Hello wins over a smart card PIN",
         {{L"whfbCertPin", L"1111"}, {L"whfbCertCtxId", L"ctx"}, {L"smartCardPIN", L"2222"}}, {}, true, true,
         [](const Credentials& c) { return c.whfbCertPin == L"1111" && c.whfbCertCtxId == L"ctx" && c.smartCardPin.empty(); }},
        {"certificate PIN without a container", {{L"certLogonPin", L"1234"}, {L"certLogonContainerName", L""}}, {},
         false, true, [](const Credentials& c) { return c.certLogon.pin.empty(); }},
        {"certificate SSO", {{L"certLogonPin", L"1234"}, {L"certLogonContainerName", L"cont"},
         {L"CERTIFICATESSOID", L"cert-7"}, {L"REPORTERRORS", L"YES"}}, {}, true, true,
         [](const Credentials& c) {
             return c.certLogon.containerName == L"cont" && c.certLogon.attemptsLeft == 4 &&
                    c.certificateSsoId == L"cert-7" && c.reportErrors;
         }},
        // Which words count as true is ParseBool's own test.
        {"REPORTERRORS 0", {{L"certLogonPin", L"1"}, {L"certLogonContainerName", L"c"}, {L"REPORTERRORS", L"0"}}, {},
         true, true, [](const Credentials& c) { return !c.reportErrors; }},
        {"smart card: UPNs in order, empty values skipped, PIN as it is",
         {{L"smartCardPIN", L"4321"}, {L"smartCardReader", L"Reader 1"}, {L"userName", L"alice"}},
         {{L"a@corp.example", L"1"}, {L"skip@corp.example", L""}, {L"b@corp.example", L"1"}}, true, true,
         [](const Credentials& c) {
             return c.smartCardPin == L"4321" && c.smartCardReader == L"Reader 1" &&
                    c.upnList == std::vector<std::wstring>{L"a@corp.example", L"b@corp.example"};
         }},
        {"an empty answer is no ticket", {}, {}, false, false, [](const Credentials&) { return true; }},
        {"unauthenticated access alone", {{L"unauthUserName", L"kiosk"}, {L"unauthPassword", L"pw"}}, {}, true, true,
         [](const Credentials& c) { return c.unauthUserName == L"kiosk"; }},
    };
    registry.SetAgentConfig(L"CertSsoAttempts", L"4");
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        Credentials record;
        record.upnList = {L"stale@corp.example"};
        CORE::PropertyBag answer = Bag(c.answer);
        if (c.upns.size()) answer.SetBag(L"upns", Bag(c.upns));
        agent.Answer(L"GetCredentialsForTicket", answer);
        EXPECT_EQ(GetConsoleProtocolCredentials(record), c.usable);
        EXPECT_EQ(record.ticketFound, c.ticketFound);
        EXPECT_TRUE(c.kept(record));
    }
    EXPECT_TRUE(log.Contains(L"GetCredentialsForSimpleToken():  (sessionId=2) got Whfb CertSso Creds."));
}

TEST_F(SimpleTokenTest, PopulateWithAPinWhoseCardIsNotFoundKeepsUserButNotThePin) {
    CORE::PropertyBag answer = Bag({{L"smartCardPIN", L"4321"}, {L"userName", L"alice"}, {L"domainName", L"CORP"}});
    answer.SetBag(L"upns", Bag({{L"a@corp.example", L"1"}}));
    agent.Answer(L"GetCredentialsForTicket", answer);
    PopulateCredentials(creds);
    EXPECT_FALSE(creds.credentialsAvailable);
    EXPECT_TRUE(creds.smartCardPin.empty());
    EXPECT_EQ(creds.userName, L"alice");
    EXPECT_EQ(creds.domainName, L"CORP");
    EXPECT_TRUE(log.Contains(L"Unable to find certificate with the specified user principal name. - 0x8010001D"));
}

TEST_F(SimpleTokenTest, UnlockHandshakeStoresTheGuidAndNamesTheEventAfterIt) {
    const std::wstring guid = L"guid-" + std::to_wstring(::GetCurrentProcessId());
    agent.Answer(L"NotifyDazSrvCertSsoUnlockAndRefreshTicket", Bag({{L"sessionGuid", guid.c_str()}}));
    agent.Answer(L"CertSsoUnlockSessionCompleteNotif", CORE::PropertyBag());
    ASSERT_TRUE(NotifyDazSrvCertSsoUnlockAndRefreshTicket(creds));
    EXPECT_EQ(creds.sessionGuid, guid);
    EXPECT_TRUE(creds.certLogon.HasUnlockEvent());
    platform::unique_handle agentSide(::OpenEventW(EVENT_MODIFY_STATE, FALSE, CertSsoUnlockEventName(guid).c_str()));
    EXPECT_TRUE(agentSide);
    CORE::PropertyBag answer;
    EXPECT_TRUE(CertSsoUnlockSessionCompleteNotif(creds, answer));
    auto sent = agent.Requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].request.Count(), 1u);
    EXPECT_EQ(sent[1].request.Get(L"sessionId"), L"2");
}

TEST_F(SimpleTokenTest, AnAgentErrorIsCarriedIntoTheAnswer) {
    CORE::PropertyBag error;
    error.SetError(17, L"queue paused");
    agent.Answer(L"CheckCertSsoEnabledForSession", error, 8);
    CORE::PropertyBag answer;
    EXPECT_FALSE(CheckCertSsoEnabledForSession(creds, answer));
    EXPECT_EQ(answer.GetError(), 17u);
    EXPECT_EQ(answer.GetErrorText(L""), L"Request CheckCertSsoEnabledForSession failed, (sessionId=2) queue paused");
    EXPECT_TRUE(log.Contains(L"Call to DesktopManager failed: queue paused - ErrorCode = 17"));
}

}  // namespace
