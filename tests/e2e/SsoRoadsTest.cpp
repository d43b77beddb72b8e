// What crosses processes, end to end: the stand-in agent (agentsim) answers from its scenario
// and protects the secrets it hands out; the stand-in LogonUI (logonsim) drives the simulation
// build of the module and checks what it finally holds. Which logon each record becomes is the
// provider's serialization test, the bytes of each the logon tests'.
#include "Road.h"

#include <gtest/gtest.h>

#include <functional>

namespace e2e {
namespace {

const wchar_t kPassword[] = L"Tr0ub4dor&3";

struct RoadCase {
    const char* name;
    std::function<Road()> road;
    std::map<std::wstring, DWORD> records;  // what the simulated system must have recorded (0: nothing)
    const char* printed;                    // by logonsim, when not null
    ULONGLONG atLeastMs;
    ULONGLONG atMostMs = 60000;  // a hang bound, not a benchmark
};

Road Rdp(std::initializer_list<const wchar_t*> arguments, bool startAgent = true) {
    Road road;
    road.system = {{L"SessionId", 2}, {L"ClientProtocol", 2}};
    road.startAgent = startAgent;
    road.logonsimArguments.assign(arguments.begin(), arguments.end());
    return road;
}

// The agent lets the unlock go ahead `signalAfterMs` after the handshake, or never (0).
Road CertSsoUnlock(const wchar_t* signalAfterMs, std::initializer_list<const wchar_t*> arguments) {
    Road road;
    road.system = {{L"SessionId", 3}, {L"ClientProtocol", 2}};
    Answer(road.scenario, L"CheckCertSsoEnabledForSession", Bag({{L"isCertSsoUnlockEnabled", L"true"}}));
    Answer(road.scenario, L"CertSsoUnlockSessionCompleteNotif", Bag({}));
    Answer(road.scenario, L"GetCredentialsForTicket",
           Bag({{L"userName", L"alice"}, {L"domainName", L"CORP"}, {L"certLogonContainerName", L"ctr-unlock"},
                {L"certLogonPin", L"112233"}}));
    if (signalAfterMs)
        Answer(road.scenario, L"NotifyDazSrvCertSsoUnlockAndRefreshTicket", Bag({{L"sessionGuid", L"e2e-unlock-guid"}}),
               {{L"signalUnlockAfterMs", signalAfterMs}});
    else
        Answer(road.scenario, L"NotifyDazSrvCertSsoUnlockAndRefreshTicket", Bag({{L"sessionGuid", L"e2e-silent-guid"}}));
    road.logonsimArguments = {L"--scenario", L"unlock", L"--expect-package", L"Kerberos", L"--expect-message", L"15"};
    road.logonsimArguments.insert(road.logonsimArguments.end(), arguments.begin(), arguments.end());
    return road;
}

const RoadCase kRoads[] = {
    {"BrokeredRdpTicketGivesANegotiatePasswordLogon", [] {
         Road road = Rdp({L"--remote", L"CORP\\alice", L"--ticket", L"T-8812", L"--expect-package", L"Negotiate",
                          L"--expect-domain", L"CORP", L"--expect-user", L"alice", L"--expect-secret", kPassword});
         Answer(road.scenario, L"GetCredentialsForTicket",
                Bag({{L"userName", L"alice"}, {L"domainName", L"CORP"}, {L"password", kPassword}}),
                {{L"protect", L"password"}});
         return road;
     }, {{L"NodeManagerBindingSecured", 1}}, "ticket consumed", 0},
    // An agent whose process does not run as the node manager's account is not asked at all.
    {"AnAgentOfAnotherAccountIsNotBelieved", [] {
         Road road = Rdp({L"--remote", L"CORP\alice", L"--ticket", L"T-8813", L"--expect-tiles", L"0"});
         Answer(road.scenario, L"GetCredentialsForTicket",
                Bag({{L"userName", L"alice"}, {L"domainName", L"CORP"}, {L"password", kPassword}}),
                {{L"protect", L"password"}});
         road.systemText = {{L"NodeManagerAccountSid", L"S-1-5-18"}};
         return road;
     }, {}, nullptr, 0},
    {"UnbrokeredRdpIsRefusedWhenDirectRdpIsOff", [] {
         Road road = Rdp({L"--remote", L"CORP\\mallory", L"--ticket", L"", L"--expect-refusal"});
         road.settings = {{L"AllowDirectRDP", L"false"}};
         return road;
     }, {{L"MessageBoxCount", 1}, {L"MessageBoxStyle", MB_ICONERROR | MB_SERVICE_NOTIFICATION}, {L"DisconnectCount", 1}},
     nullptr, 0},
    {"CertSsoUnlockWaitsForTheAgentsGoAhead",
     [] { return CertSsoUnlock(L"300", {L"--expect-container", L"ctr-unlock", L"--expect-secret", L"112233"}); }, {},
     nullptr, 0},
    {"CertSsoUnlockWithoutTheGoAheadTimesOutAndStillTries", [] {
         Road road = CertSsoUnlock(nullptr, {});
         road.settings = {{L"CertSSOCredNotifTimeout", L"400"}};
         return road;
     }, {}, nullptr, 0},
    // Direct RDP is allowed: no refusal either.
    {"NoAgentMeansNoTileAndNothingBreaks",
     [] { return Rdp({L"--remote", L"CORP\\alice", L"--ticket", L"T-lost", L"--expect-tiles", L"0"}, false); },
     {{L"DisconnectCount", 0}}, nullptr, 0},
    {"NoQueueHandlerEndsInTheDocumentedFailure", [] {
         Road road = Rdp({L"--remote", L"CORP\\alice", L"--ticket", L"T-3", L"--expect-refusal"});
         Answer(road.scenario, L"GetCredentialsForTicket", Bag({}), {{L"result", L"3"}});
         road.settings = {{L"AllowDirectRDP", L"false"}};
         return road;
     }, {{L"DisconnectCount", 1}}, nullptr, 0},
    // The ticket is given up after its 30 s; the filter's and the provider's own lookups of the
    // same logon do not wait for that agent again.
    {"AnAgentThatNeverAnswersCostsOneTimeOut", [] {
         Road road = Rdp({L"--remote", L"CORP\\alice", L"--ticket", L"T-silent", L"--expect-tiles", L"0"});
         Answer(road.scenario, L"GetCredentialsForTicket", Bag({}), {{L"neverAnswer", L"true"}});
         return road;
     }, {}, nullptr, 29000, 59000},
    // An unreadable answer closes the channel: its waiter fails at once instead of waiting.
    {"AnAgentThatAnswersGarbageIsLeftAtOnce", [] {
         Road road = Rdp({L"--remote", L"CORP\\alice", L"--ticket", L"T-junk", L"--expect-tiles", L"0"});
         Answer(road.scenario, L"GetCredentialsForTicket", Bag({}), {{L"garbage", L"true"}, {L"neverAnswer", L"true"}});
         return road;
     }, {}, nullptr, 0, 20000},
};

class SsoRoads : public testing::TestWithParam<RoadCase> {};

TEST_P(SsoRoads, EndsAsExpected) {
    const RoadCase& c = GetParam();
    Outcome outcome = Drive(c.road());
    EXPECT_EQ(outcome.exitCode, 0u) << outcome.output;
    for (const auto& [name, value] : c.records) EXPECT_EQ(outcome.records[name], value) << std::wstring(name).size();
    if (c.printed) {
        EXPECT_NE(outcome.output.find(c.printed), std::string::npos) << outcome.output;
    }
    EXPECT_GE(outcome.milliseconds, c.atLeastMs) << outcome.output;
    EXPECT_LE(outcome.milliseconds, c.atMostMs) << outcome.output;
}

INSTANTIATE_TEST_SUITE_P(Roads, SsoRoads, testing::ValuesIn(kRoads),
                         [](const testing::TestParamInfo<RoadCase>& info) { return info.param.name; });

}  // namespace
}  // namespace e2e
