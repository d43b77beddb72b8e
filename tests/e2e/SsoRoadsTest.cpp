// What crosses processes, end to end: the stand-in agent (agentsim) answers from its scenario
// and protects the secrets it hands out; the stand-in LogonUI (logonsim) drives the simulation
// build of the module and checks what it finally holds. Which logon each record becomes is the
// provider's serialization test, the bytes of each the logon tests'.
#include "support/AgentSimProcess.h"
#include "support/LogSecrets.h"
#include "support/ScriptedAgent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>

namespace {

using testsupport::Bag;

const wchar_t kConfigKey[] = L"Software\\Velmora\\Zephral\\Agent\\Configuration";
const wchar_t kPassword[] = L"Tr0ub4dor&3";

struct Road {
    CORE::PropertyBag scenario;  // the agent's answers (AgentServer.h)
    bool startAgent = true;
    // The simulated session (SessionId, ClientProtocol, ...; NodeManagerAccountSid as text).
    std::map<std::wstring, DWORD> system{{L"SessionId", 2}, {L"ClientProtocol", 2}};
    std::map<std::wstring, std::wstring> systemText;
    std::map<std::wstring, std::wstring> settings;  // Agent\Configuration values for this run
    std::vector<std::wstring> arguments;            // of logonsim, after --dll tcfiltr_sim.dll
};

// A scenario entry for one operation: its answer, and extra entry items ("protect", ...).
void Answer(Road& road, const wchar_t* operation, const CORE::PropertyBag& answer,
            std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> entry = {}) {
    CORE::PropertyBag operations = road.scenario.TypeOf(L"DesktopManager") == CORE::PropertyBag::ITEM_BAG
                                       ? road.scenario.GetBag(L"DesktopManager")
                                       : CORE::PropertyBag();
    CORE::PropertyBag item = Bag(entry);
    item.SetBag(L"answer", answer);
    operations.SetBag(operation, item);
    road.scenario.SetBag(L"DesktopManager", operations);
}

void SetString(const std::wstring& key, const std::wstring& name, const std::wstring& value) {
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), REG_SZ, value.c_str(),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

Road Rdp(std::initializer_list<const wchar_t*> arguments) {
    return Road{.arguments = {arguments.begin(), arguments.end()}};
}

Road TicketRoad(std::initializer_list<const wchar_t*> arguments) {
    Road road = Rdp(arguments);
    Answer(road, L"GetCredentialsForTicket",
           Bag({{L"userName", L"alice"}, {L"domainName", L"CORP"}, {L"password", kPassword}}),
           {{L"protect", L"password"}});
    return road;
}

// The agent lets the unlock go ahead `signalAfterMs` after the handshake, or never (null).
Road CertSsoUnlock(const wchar_t* signalAfterMs, std::initializer_list<const wchar_t*> arguments) {
    Road road = Rdp({L"--scenario", L"unlock", L"--expect-package", L"Kerberos", L"--expect-message", L"15"});
    road.arguments.insert(road.arguments.end(), arguments.begin(), arguments.end());
    road.system[L"SessionId"] = 3;
    Answer(road, L"CheckCertSsoEnabledForSession", Bag({{L"isCertSsoUnlockEnabled", L"true"}}));
    Answer(road, L"CertSsoUnlockSessionCompleteNotif", Bag({}));
    Answer(road, L"GetCredentialsForTicket",
           Bag({{L"userName", L"alice"}, {L"domainName", L"CORP"}, {L"certLogonContainerName", L"ctr-unlock"},
                {L"certLogonPin", L"112233"}}));
    const CORE::PropertyBag guid = Bag({{L"sessionGuid", L"e2e-unlock-guid"}});
    if (signalAfterMs)
        Answer(road, L"NotifyDazSrvCertSsoUnlockAndRefreshTicket", guid, {{L"signalUnlockAfterMs", signalAfterMs}});
    else
        Answer(road, L"NotifyDazSrvCertSsoUnlockAndRefreshTicket", guid);
    return road;
}

struct RoadCase {
    const char* name;
    std::function<Road()> road;
    std::map<std::wstring, DWORD> records;  // what the simulated system must have recorded (0: nothing)
    const wchar_t* printed;                 // by logonsim, when not null
    ULONGLONG atLeastMs;
};

// Runs logonsim against the simulation build, its output in a file; gives up after 150 s.
DWORD RunLogonsim(const std::vector<std::wstring>& arguments, std::wstring* output) {
    testsupport::TempDirectory dir;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    platform::unique_hfile file(::CreateFileW((dir.Path() + L"out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                              &inherit, CREATE_ALWAYS, 0, nullptr));
    std::wstring command = L"--dll tcfiltr_sim.dll";
    for (const auto& argument : arguments) command += L" \"" + argument + L"\"";
    platform::unique_handle process = testsupport::Launch(L"logonsim.exe", command, file.get());
    DWORD exitCode = 0xFFFFFFFF;
    if (::WaitForSingleObject(process.get(), 150000) != WAIT_OBJECT_0 && ::TerminateProcess(process.get(), 0xDEAD))
        ::WaitForSingleObject(process.get(), 10000);
    ::GetExitCodeProcess(process.get(), &exitCode);
    file.reset();
    *output = testsupport::ReadAllLogText(dir.Path());
    return exitCode;
}

class SsoRoads : public testing::TestWithParam<RoadCase> {};

TEST_P(SsoRoads, EndsAsExpected) {
    static std::atomic<int> counter{0};
    const RoadCase& c = GetParam();
    const Road road = c.road();
    const std::wstring tag = L"e2e-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    const std::wstring simKey = L"Software\\TcfiltrSim\\" + tag;
    // The simulated system of this run, found by the module through TCFILTR_SIM_KEY.
    SetString(simKey, L"NodeManagerInstance", tag);
    for (const auto& [name, value] : road.system)
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, simKey.c_str(), name.c_str(), REG_DWORD, &value, sizeof(value));
    for (const auto& [name, value] : road.systemText) SetString(simKey, name, value);
    for (const auto& [name, value] : road.settings) SetString(kConfigKey, name, value);
    ::SetEnvironmentVariableW(L"TCFILTR_SIM_KEY", simKey.c_str());

    std::wstring output;
    {
        testsupport::AgentSimProcess agent;
        if (road.startAgent) EXPECT_TRUE(agent.Start(tag, road.scenario, 120));
        const ULONGLONG start = ::GetTickCount64();
        EXPECT_EQ(RunLogonsim(road.arguments, &output), 0u) << output;
        EXPECT_GE(::GetTickCount64() - start, c.atLeastMs) << output;
    }
    if (c.printed) EXPECT_NE(output.find(c.printed), std::wstring::npos) << output;
    for (const auto& [name, expected] : c.records) {
        DWORD value = 0, size = sizeof(value);
        ::RegGetValueW(HKEY_LOCAL_MACHINE, (simKey + L"\\Record").c_str(), name.c_str(), RRF_RT_REG_DWORD, nullptr,
                       &value, &size);
        EXPECT_EQ(value, expected) << name;
    }
    ::SetEnvironmentVariableW(L"TCFILTR_SIM_KEY", nullptr);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, simKey.c_str());
    for (const auto& [name, value] : road.settings) ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kConfigKey, name.c_str());
}

const RoadCase kRoads[] = {
    {"BrokeredRdpTicketGivesANegotiatePasswordLogon", [] {
         return TicketRoad({L"--remote", L"CORP\\alice", L"--ticket", L"T-8812", L"--expect-package", L"Negotiate",
                            L"--expect-domain", L"CORP", L"--expect-user", L"alice", L"--expect-secret", kPassword});
     }, {{L"NodeManagerBindingSecured", 1}}, L"ticket consumed", 0},
    // An agent whose process does not run as the node manager's account is not asked at all.
    {"AnAgentOfAnotherAccountIsNotBelieved", [] {
         Road road = TicketRoad({L"--remote", L"CORP\\alice", L"--ticket", L"T-8813", L"--expect-tiles", L"0"});
         road.systemText = {{L"NodeManagerAccountSid", L"S-1-5-18"}};
         return road;
     }, {}, nullptr, 0},
    {"UnbrokeredRdpIsRefusedWhenDirectRdpIsOff", [] {
         Road road = Rdp({L"--remote", L"CORP\\mallory", L"--ticket", L"", L"--expect-refusal"});
         road.settings = {{L"AllowDirectRDP", L"false"}};
         return road;
     }, {{L"MessageBoxCount", 1}, {L"MessageBoxStyle", MB_ICONERROR | MB_SERVICE_NOTIFICATION},
         {L"DisconnectCount", 1}}, nullptr, 0},
    {"CertSsoUnlockWaitsForTheAgentsGoAhead",
     [] { return CertSsoUnlock(L"300", {L"--expect-container", L"ctr-unlock", L"--expect-secret", L"112233"}); }, {},
     nullptr, 0},
    {"CertSsoUnlockWithoutTheGoAheadTimesOutAndStillTries", [] {
         Road road = CertSsoUnlock(nullptr, {});
         road.settings = {{L"CertSSOCredNotifTimeout", L"400"}};
         return road;
     }, {}, nullptr, 0},
    // Direct RDP is allowed: no refusal either.
    {"NoAgentMeansNoTileAndNothingBreaks", [] {
         Road road = Rdp({L"--remote", L"CORP\\alice", L"--ticket", L"T-lost", L"--expect-tiles", L"0"});
         road.startAgent = false;
         return road;
     }, {{L"DisconnectCount", 0}}, nullptr, 0},
    {"NoQueueHandlerEndsInTheDocumentedFailure", [] {
         Road road = Rdp({L"--remote", L"CORP\\alice", L"--ticket", L"T-3", L"--expect-refusal"});
         Answer(road, L"GetCredentialsForTicket", Bag({}), {{L"result", L"3"}});
         road.settings = {{L"AllowDirectRDP", L"false"}};
         return road;
     }, {{L"DisconnectCount", 1}}, nullptr, 0},
    // Three requests (the ticket, then the session's own from the filter and from the
    // provider's first enumeration), each given up after its 30 s.
    {"AnAgentThatNeverAnswersIsGivenUpAfterItsTimeOut", [] {
         Road road = Rdp({L"--remote", L"CORP\\alice", L"--ticket", L"T-silent", L"--expect-tiles", L"0"});
         Answer(road, L"GetCredentialsForTicket", Bag({}), {{L"neverAnswer", L"true"}});
         return road;
     }, {}, nullptr, 89000},
};

INSTANTIATE_TEST_SUITE_P(Roads, SsoRoads, testing::ValuesIn(kRoads),
                         [](const testing::TestParamInfo<RoadCase>& info) { return info.param.name; });

}  // namespace
