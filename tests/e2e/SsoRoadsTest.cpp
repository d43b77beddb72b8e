// What crosses processes, end to end: the stand-in agent (agentsim) answers from its scenario
// and protects the secrets it hands out; the stand-in LogonUI (logonsim) drives the simulation
// build of the module and checks what it finally holds. Which logon each record becomes is the
// provider's serialization test.
#include "Road.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

const wchar_t kPassword[] = L"Tr0ub4dor&3";

std::vector<std::wstring> Args(std::initializer_list<const wchar_t*> items) {
    return std::vector<std::wstring>(items.begin(), items.end());
}

Road RdpRoad() {
    Road road;
    road.system = {{L"SessionId", 2}, {L"ClientProtocol", 2}};
    return road;
}

#define EXPECT_ROAD_OK(outcome) EXPECT_EQ((outcome).exitCode, 0u) << (outcome).output

TEST(SsoRoads, BrokeredRdpTicketGivesANegotiatePasswordLogon) {
    Road road = RdpRoad();
    Answer(road.scenario, L"GetCredentialsForTicket",
           Bag({{L"userName", L"alice"}, {L"domainName", L"CORP"}, {L"password", kPassword}}), {{L"protect", L"password"}});
    road.logonsimArguments = Args({L"--remote", L"CORP\\alice", L"--ticket", L"T-8812", L"--expect-package",
                                   L"Negotiate", L"--expect-message", L"2", L"--expect-domain", L"CORP", L"--expect-user",
                                   L"alice", L"--expect-secret", kPassword});
    Outcome outcome = Drive(road);
    EXPECT_ROAD_OK(outcome);
    EXPECT_NE(outcome.output.find("ticket consumed"), std::string::npos) << outcome.output;
}

TEST(SsoRoads, UnbrokeredRdpIsRefusedWhenDirectRdpIsOff) {
    Road road = RdpRoad();
    road.settings = {{L"AllowDirectRDP", L"false"}};
    road.logonsimArguments = Args({L"--remote", L"CORP\\mallory", L"--ticket", L"", L"--expect-refusal"});
    Outcome outcome = Drive(road);
    EXPECT_ROAD_OK(outcome);
    EXPECT_EQ(outcome.records[L"MessageBoxCount"], 1u);
    EXPECT_EQ(outcome.records[L"MessageBoxStyle"], static_cast<DWORD>(MB_ICONERROR | MB_SERVICE_NOTIFICATION));
    EXPECT_EQ(outcome.records[L"DisconnectCount"], 1u);
}

TEST(SsoRoads, AnExpiredTicketIsRefused) {
    Road road = RdpRoad();
    Answer(road.scenario, L"GetCredentialsForTicket", Bag({{L"expired", L"true"}, {L"password", kPassword}}));
    road.logonsimArguments = Args({L"--remote", L"CORP\\alice", L"--ticket", L"T-old", L"--expect-refusal"});
    Outcome outcome = Drive(road);
    EXPECT_ROAD_OK(outcome);
    EXPECT_EQ(outcome.records[L"DisconnectCount"], 1u);
}

Road CertSsoUnlockRoad() {
    Road road;
    road.system = {{L"SessionId", 3}, {L"ClientProtocol", 2}};
    Answer(road.scenario, L"CheckCertSsoEnabledForSession", Bag({{L"isCertSsoUnlockEnabled", L"true"}}));
    Answer(road.scenario, L"CertSsoUnlockSessionCompleteNotif", Bag({}));
    Answer(road.scenario, L"GetCredentialsForTicket",
           Bag({{L"userName", L"alice"}, {L"domainName", L"CORP"}, {L"certLogonContainerName", L"ctr-unlock"},
                {L"certLogonPin", L"112233"}}));
    return road;
}

TEST(SsoRoads, CertSsoUnlockWaitsForTheAgentsGoAhead) {
    Road road = CertSsoUnlockRoad();
    Answer(road.scenario, L"NotifyDazSrvCertSsoUnlockAndRefreshTicket", Bag({{L"sessionGuid", L"e2e-unlock-guid"}}),
           {{L"signalUnlockAfterMs", L"300"}});
    road.logonsimArguments = Args({L"--scenario", L"unlock", L"--expect-package", L"Kerberos", L"--expect-message",
                                   L"15", L"--expect-container", L"ctr-unlock", L"--expect-secret", L"112233"});
    EXPECT_ROAD_OK(Drive(road));
}

TEST(SsoRoads, CertSsoUnlockWithoutTheGoAheadTimesOutAndStillTries) {
    Road road = CertSsoUnlockRoad();
    road.settings = {{L"CertSSOCredNotifTimeout", L"400"}};
    Answer(road.scenario, L"NotifyDazSrvCertSsoUnlockAndRefreshTicket", Bag({{L"sessionGuid", L"e2e-silent-guid"}}));
    road.logonsimArguments = Args({L"--scenario", L"unlock", L"--expect-package", L"Kerberos", L"--expect-message",
                                   L"15"});
    EXPECT_ROAD_OK(Drive(road));
}

TEST(SsoRoads, NoAgentMeansNoTileAndNothingBreaks) {
    Road road = RdpRoad();
    road.startAgent = false;
    road.logonsimArguments = Args({L"--remote", L"CORP\\alice", L"--ticket", L"T-lost", L"--expect-tiles", L"0"});
    Outcome outcome = Drive(road);
    EXPECT_ROAD_OK(outcome);
    EXPECT_EQ(outcome.records.count(L"DisconnectCount"), 0u);  // direct RDP allowed: no refusal
}

TEST(SsoRoads, NoQueueHandlerEndsInTheDocumentedFailure) {
    Road road = RdpRoad();
    CORE::PropertyBag operations;
    operations.SetBag(L"GetCredentialsForTicket", Bag({{L"result", L"3"}}));
    road.scenario.SetBag(L"DesktopManager", operations);
    road.settings = {{L"AllowDirectRDP", L"false"}};
    road.logonsimArguments = Args({L"--remote", L"CORP\\alice", L"--ticket", L"T-3", L"--expect-refusal"});
    Outcome outcome = Drive(road);
    EXPECT_ROAD_OK(outcome);
    EXPECT_EQ(outcome.records[L"DisconnectCount"], 1u);
}

TEST(SsoRoads, AnAgentThatNeverAnswersIsGivenUpAfterItsTimeOut) {
    Road road = RdpRoad();
    CORE::PropertyBag operations;
    operations.SetBag(L"GetCredentialsForTicket", Bag({{L"neverAnswer", L"true"}}));
    road.scenario.SetBag(L"DesktopManager", operations);
    road.logonsimArguments = Args({L"--remote", L"CORP\\alice", L"--ticket", L"T-silent", L"--expect-tiles", L"0"});
    Outcome outcome = Drive(road);
    EXPECT_ROAD_OK(outcome);
    // Three requests (the ticket, then the session's own from the filter and from the
    // provider's first enumeration), each given up after its 30 s.
    EXPECT_GE(outcome.milliseconds, 89000u) << outcome.output;
}

}  // namespace
}  // namespace e2e
