// What crosses processes, end to end: the stand-in agent (agentsim) answers from its scenario
// and protects the secrets it hands out; the stand-in LogonUI (logonsim) drives the simulation
// build of the module and checks what it finally holds. Which logon each record becomes is the
// provider's serialization test, the bytes of each the logon tests'.
#include "support/AgentSimProcess.h"
#include "support/LogSecrets.h"
#include "support/ScriptedAgent.h"
#include "entra/P2PStores.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <optional>

namespace {

using CORE::PropertyBag;
using testsupport::Bag;
using Pairs = std::initializer_list<std::pair<const wchar_t*, const wchar_t*>>;

const wchar_t kProductKey[] = L"Software\\Velmora\\Zephral";
const wchar_t kConfigKey[] = L"Software\\Velmora\\Zephral\\Agent\\Configuration";
const wchar_t kLogKey[] = L"Software\\Velmora\\Zephral\\Log";
const wchar_t kWinlogonKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
const wchar_t kRemovalKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Removal Policy";
const wchar_t kPassword[] = L"Tr0ub4dor&3";

// A scenario entry for one operation: its answer, and extra entry items ("protect", ...).
void Answer(PropertyBag& operations, const wchar_t* operation, const PropertyBag& answer, Pairs entry = {}) {
    PropertyBag item = Bag(entry);
    item.SetBag(L"answer", answer);
    operations.SetBag(operation, item);
}
void Answer(PropertyBag& operations, const wchar_t* operation, Pairs answer, Pairs entry = {}) {
    Answer(operations, operation, Bag(answer), entry);
}

// The agent's answers to the desktop manager's operations (AgentServer.h) on each road.
void Ticket(PropertyBag& s) {
    Answer(s, L"GetCredentialsForTicket", {{L"userName", L"alice"}, {L"domainName", L"CORP"}, {L"password", kPassword}},
           {{L"protect", L"password"}});
}
void NoAnswers(PropertyBag&) {}
void NoQueueHandler(PropertyBag& s) { Answer(s, L"GetCredentialsForTicket", {}, {{L"result", L"3"}}); }
void Silent(PropertyBag& s) { Answer(s, L"GetCredentialsForTicket", {}, {{L"neverAnswer", L"true"}}); }
void Garbage(PropertyBag& s) {
    Answer(s, L"GetCredentialsForTicket", {}, {{L"garbage", L"true"}, {L"neverAnswer", L"true"}});
}
void CertSsoUnlock(PropertyBag& s) {
    Answer(s, L"CheckCertSsoEnabledForSession", {{L"isCertSsoUnlockEnabled", L"true"}});
    Answer(s, L"CertSsoUnlockSessionCompleteNotif", {});
    Answer(s, L"GetCredentialsForTicket", {{L"userName", L"alice"}, {L"domainName", L"CORP"},
                                           {L"certLogonContainerName", L"ctr-unlock"}, {L"certLogonPin", L"112233"}});
    Answer(s, L"NotifyDazSrvCertSsoUnlockAndRefreshTicket", {{L"sessionGuid", L"e2e-unlock-guid"}});
}
// The go-ahead comes 300 ms after the handshake.
void CertSsoUnlockGoAhead(PropertyBag& s) {
    CertSsoUnlock(s);
    Answer(s, L"NotifyDazSrvCertSsoUnlockAndRefreshTicket", {{L"sessionGuid", L"e2e-unlock-guid"}},
           {{L"signalUnlockAfterMs", L"300"}});
}

// The brokered smart card user: the PIN and reader come from the agent, the user and domain
// hints from the directory's answer for the broker's SID.
const wchar_t kPin[] = L"482913", kReader[] = L"Redirected Reader 1", kAliceSid[] = L"S-1-5-21-7-7-7-1104";
void SmartCard(PropertyBag& s) {
    PropertyBag answer = Bag({{L"smartCardPIN", kPin}, {L"smartCardReader", kReader}, {L"BROKERUSERSID", kAliceSid}});
    answer.SetBag(L"upns", Bag({{L"alice@corp.example", L"1"}}));
    Answer(s, L"GetCredentialsForTicket", answer, {{L"protect", L"smartCardPIN"}});
}

// Entra SSO: the broker's answer names the request; the assertion comes from the broker, or from
// the remote client through the agent's common service (EntraService.h).
const wchar_t kAssertion[] = L"eyJhbGciOi.rdp-assertion-e2e.c2ln", kBlob[] = L"CLOUDAP-BLOB:eyJhbGciOi.rdp-assertion-e2e.c2ln";
PropertyBag EntraAuth(Pairs more) {
    PropertyBag entra = Bag({{L"CORRELATIONID", L"6f1c2b7e-0d4a-4c55-9a3e-2b8f00c1d9e4"},
                             {L"RESOURCEURI", L"ms-device-service://termsrv.wvd.microsoft.com/name/e2e"},
                             {L"BROKERUSERSID", kAliceSid}});
    for (const auto& [name, value] : more) entra.Set(name, value);
    PropertyBag answer;
    answer.SetBag(L"ENTRAAUTH", entra);
    return answer;
}
void EntraGiven(PropertyBag& s) { Answer(s, L"GetCredentialsForTicket", EntraAuth({{L"RDPASSERTION", kAssertion}})); }
void EntraRequest(PropertyBag& s) { Answer(s, L"GetCredentialsForTicket", EntraAuth({})); }
void EntraWait(PropertyBag& s) { Answer(s, L"GetCredentialsForTicket", EntraAuth({{L"REQUESTID", L"42"}})); }
// The session's own protocol: the filter asks the agent with the session's ticket.
std::vector<std::wstring> CloudApLogon() {
    return {L"--await-change", L"20000", L"--expect-package", L"CloudAP", L"--expect-secret", kBlob};
}
// Teardown while the request is still outstanding: LogonUI waits a little, then lets go.
std::vector<std::wstring> Abandoned() {
    return {L"--await-change", L"1500", L"--expect-tiles", L"1"};
}

void SetString(const std::wstring& key, const std::wstring& name, const std::wstring& value) {
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), REG_SZ, value.c_str(),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::vector<BYTE> Certificate(const char* name) {
    std::vector<BYTE> der = testsupport::logfiles::ReadBytes(Wide(std::string(TC_TEST_CERT_DIR) + name));
    EXPECT_FALSE(der.empty()) << name;
    return der;
}

// The simulated system's cards (SimDescriptions.h): a card in the redirected reader whose
// containers hold the named certificates, and a directory that knows alice.
void Card(const std::wstring& simKey, std::initializer_list<const char*> certificates) {
    const std::wstring reader = simKey + L"\\Cards\\Readers\\0";
    SetString(reader, L"Name", kReader), SetString(reader, L"CardType", L"Sim Card");
    SetString(reader, L"Ksp", L"Microsoft Smart Card Key Storage Provider");
    const BYTE atr[] = {0x3B, 0x8F, 0x80, 0x01};
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, reader.c_str(), L"Atr", REG_BINARY, atr, sizeof(atr));
    int n = 0;
    for (const char* name : certificates) {
        const std::wstring container = reader + L"\\Containers\\" + std::to_wstring(n++);
        SetString(container, L"KeyName", L"ctr-" + Wide(name));
        std::vector<BYTE> der = Certificate(name);
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, container.c_str(), L"Certificate", REG_BINARY, der.data(),
                          static_cast<DWORD>(der.size()));
    }
    const std::wstring account = simKey + L"\\Directory\\Accounts\\alice";
    SetString(account, L"Sid", kAliceSid), SetString(account, L"Name", L"alice"), SetString(account, L"Domain", L"CORP");
    SetString(simKey + L"\\Directory\\DcDomains", L"CORP", L"corp.example");
}
void MatchAmongOthers(const std::wstring& simKey) { Card(simKey, {"expired.der", "rfc822.der", "upn.der", "noku.der"}); }
void NoneValid(const std::wstring& simKey) { Card(simKey, {"expired.der", "othereku.der", "nosign.der"}); }
void ServiceStopped(const std::wstring& simKey) {
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, (simKey + L"\\Cards").c_str(), L"Running", REG_DWORD, "\0\0\0\0", 4);
}

struct RoadCase {
    const char* name;
    std::vector<std::wstring> arguments;  // of logonsim, after --dll tcfiltr_sim.dll
    void (*agent)(PropertyBag&);          // null: no agent runs
    std::map<std::wstring, std::wstring> settings = {};    // Agent\Configuration values for this run
    std::map<std::wstring, std::wstring> systemText = {};  // of the simulated session
    DWORD sessionId = 2;
    void (*system)(const std::wstring& simKey) = nullptr;  // more of the simulated system
    std::map<std::wstring, DWORD> records = {};  // what the simulated system must have recorded (0: nothing)
    const wchar_t* printed = L"";                // by logonsim or in the module's log
    ULONGLONG atLeastMs = 0;
    ULONGLONG atMostMs = 60000;  // a hang bound, not a benchmark
    bool removalData = false;    // the reader is written for the smart card removal policy
    // The agent's common service for Entra SSO ("entra" of its scenario) and the Entra-joined
    // device (its id, a nonce, the P2P certificate and key in the prefix's stores).
    std::map<std::wstring, std::wstring> entraService = {};
    bool entraDevice = false;
};

void PrintTo(const RoadCase& c, std::ostream* os) { *os << c.name; }

std::vector<std::wstring> Unlock(std::vector<std::wstring> more = {}) {
    more.insert(more.begin(), {L"--scenario", L"unlock", L"--expect-package", L"Kerberos", L"--expect-message", L"15"});
    return more;
}

const RoadCase kRoads[] = {
    {.name = "BrokeredRdpTicketGivesANegotiatePasswordLogon",
     .arguments = {L"--remote", L"CORP\\alice", L"--ticket", L"T-8812", L"--expect-package", L"Negotiate",
                   L"--expect-domain", L"CORP", L"--expect-user", L"alice", L"--expect-secret", kPassword},
     .agent = Ticket, .records = {{L"NodeManagerBindingSecured", 1}}, .printed = L"ticket consumed"},
    // An agent whose process does not run as the node manager's account is not asked at all.
    {.name = "AnAgentOfAnotherAccountIsNotBelieved",
     .arguments = {L"--remote", L"CORP\\alice", L"--ticket", L"T-8813", L"--expect-tiles", L"0"}, .agent = Ticket,
     .systemText = {{L"NodeManagerAccountSid", L"S-1-5-18"}}},
    {.name = "UnbrokeredRdpIsRefusedWhenDirectRdpIsOff",
     .arguments = {L"--remote", L"CORP\\mallory", L"--ticket", L"", L"--expect-refusal"}, .agent = NoAnswers,
     .settings = {{L"AllowDirectRDP", L"false"}},
     .records = {{L"MessageBoxCount", 1}, {L"MessageBoxStyle", MB_ICONERROR | MB_SERVICE_NOTIFICATION},
                 {L"DisconnectCount", 1}}},
    {.name = "CertSsoUnlockWaitsForTheAgentsGoAhead",
     .arguments = Unlock({L"--expect-container", L"ctr-unlock", L"--expect-secret", L"112233"}),
     .agent = CertSsoUnlockGoAhead, .sessionId = 3},
    {.name = "CertSsoUnlockWithoutTheGoAheadTimesOutAndStillTries", .arguments = Unlock(), .agent = CertSsoUnlock,
     .settings = {{L"CertSSOCredNotifTimeout", L"400"}}, .sessionId = 3},
    // Direct RDP is allowed: no refusal either.
    {.name = "NoAgentMeansNoTileAndNothingBreaks",
     .arguments = {L"--remote", L"CORP\\alice", L"--ticket", L"T-lost", L"--expect-tiles", L"0"}, .agent = nullptr,
     .records = {{L"DisconnectCount", 0}}},
    {.name = "NoQueueHandlerEndsInTheDocumentedFailure",
     .arguments = {L"--remote", L"CORP\\alice", L"--ticket", L"T-3", L"--expect-refusal"}, .agent = NoQueueHandler,
     .settings = {{L"AllowDirectRDP", L"false"}}, .records = {{L"DisconnectCount", 1}}},
    // The ticket is given up after its 30 s; the filter's and the provider's own lookups of the
    // same logon do not wait for that agent again.
    {.name = "AnAgentThatNeverAnswersCostsOneTimeOut",
     .arguments = {L"--remote", L"CORP\\alice", L"--ticket", L"T-silent", L"--expect-tiles", L"0"}, .agent = Silent,
     .atLeastMs = 29000, .atMostMs = 59000},
    // An unreadable answer closes the channel: its waiter fails at once instead of waiting.
    {.name = "AnAgentThatAnswersGarbageIsLeftAtOnce",
     .arguments = {L"--remote", L"CORP\\alice", L"--ticket", L"T-junk", L"--expect-tiles", L"0"}, .agent = Garbage,
     .atMostMs = 20000},
    // The certificate that names the brokered user is picked out of the card's; the account
    // comes from the broker's SID, the domain as the domain controller names it.
    {.name = "SmartCardSsoSignsOnWithTheMatchingCertificate",
     .arguments = {L"--ticket", L"T-card", L"--expect-package", L"Kerberos",
                   L"--expect-message", L"13", L"--expect-user", L"alice", L"--expect-domain", L"corp.example",
                   L"--expect-container", L"ctr-upn.der", L"--expect-provider",
                   L"Microsoft Smart Card Key Storage Provider", L"--expect-secret", kPin},
     .agent = SmartCard, .settings = {{L"UseDomainOnSmartCard", L"true"}}, .system = MatchAmongOthers,
     .printed = L"reader 'Redirected Reader 1', container 'ctr-upn.der', provider 'Microsoft Smart Card Key "
                L"Storage Provider', key spec 0, PIN of 6 characters"},
    // The unlock takes the same card; the reader is then handed to the removal policy.
    {.name = "SmartCardSsoUnlocksAndArmsTheRemovalPolicy",
     .arguments = Unlock({L"--expect-container", L"ctr-upn.der", L"--expect-secret", kPin}), .agent = SmartCard,
     .sessionId = 5, .system = MatchAmongOthers, .removalData = true},
    {.name = "ACardWithoutAValidCertificateGivesNoTile",
     .arguments = {L"--remote", L"CORP\\alice", L"--ticket", L"T-card", L"--expect-tiles", L"0"}, .agent = SmartCard,
     .system = NoneValid,
     .printed = L"Unable to find certificate with the specified user principal name. - 0xC0000385"},
    {.name = "AStoppedCardServiceIsWaitedForBoundedly",
     .arguments = {L"--remote", L"CORP\\alice", L"--ticket", L"T-card", L"--expect-tiles", L"0"}, .agent = SmartCard,
     .settings = {{L"SmartCardServiceWaitTime", L"1500"}}, .system = ServiceStopped,
     .printed = L"Unable to find certificate with the specified user principal name. - 0x8010001D", .atLeastMs = 1500,
     .atMostMs = 30000},
    {.name = "EntraSsoWithTheBrokersAssertionGivesACloudApLogon", .arguments = CloudApLogon(),
     .agent = EntraGiven, .sessionId = 11, .printed = L"RDP assertion provided by broker"},
    // The service signs the request with the device's P2P key; the client checks the signature.
    {.name = "EntraSsoRequestGoesSignedToTheClientAndItsAnswerSignsOn", .arguments = CloudApLogon(),
     .agent = EntraRequest, .sessionId = 12, .printed = L"RPC completed",
     .entraService = {{L"assertion", kAssertion}}, .entraDevice = true},
    {.name = "EntraSsoWaitTakesTheAnswerTheClientGaveBeforeTheModuleAsked", .arguments = CloudApLogon(),
     .agent = EntraWait, .sessionId = 13, .printed = L"RPC completed",
     .entraService = {{L"assertion", kAssertion}, {L"brokerRequestId", L"42"}}},
    {.name = "EntraSsoWaitTakesTheAnswerThatComesAfterTheModuleAsked", .arguments = CloudApLogon(),
     .agent = EntraWait, .sessionId = 14, .printed = L"RPC completed", .atLeastMs = 2000,
     .entraService = {{L"assertion", kAssertion}, {L"brokerRequestId", L"42"}, {L"delayMs", L"2000"}}},
    // LogonUI lets go of the module while the client is silent: the call in flight is cancelled
    // (Wine's runtime ends it as failed, 0x6BE, where Windows says cancelled, 0x71A); without
    // the cancel logonsim would never finish.
    {.name = "AClientThatNeverAnswersIsCancelledWhenLogonUiLetsGo", .arguments = Abandoned(),
     .agent = EntraRequest, .sessionId = 15, .printed = L"RPC completed", .atMostMs = 30000,
     .entraService = {{L"neverAnswer", L"true"}}, .entraDevice = true},
    {.name = "AServiceThatNeverStartsIsGivenUpWhenLogonUiLetsGo", .arguments = Abandoned(),
     .agent = EntraRequest, .sessionId = 16, .printed = L"Cancellation requested while waiting for RPC bind"},
    {.name = "AClientThatAnswersWithAnErrorGivesNoLogon",
     .arguments = {L"--await-change", L"20000", L"--expect-tiles", L"0"},
     .agent = EntraRequest, .sessionId = 17, .printed = L"hr=80070005",
     .entraService = {{L"hr", L"0x80070005"}}, .entraDevice = true},
};

class SsoRoads : public testing::TestWithParam<RoadCase> {};

// The agent (when there is one) and logonsim each in a process of their own, the simulated
// system in a registry key of its own; logonsim's output goes to a file, and it is given up
// after 150 s.
TEST_P(SsoRoads, EndsAsExpected) {
    static std::atomic<int> counter{0};
    const RoadCase& c = GetParam();
    const std::wstring tag = L"e2e-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    const std::wstring simKey = L"Software\\TcfiltrSim\\" + tag;
    SetString(simKey, L"NodeManagerInstance", tag);
    for (const auto& [name, value] : std::map<std::wstring, DWORD>{{L"SessionId", c.sessionId}, {L"ClientProtocol", 2}})
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, simKey.c_str(), name.c_str(), REG_DWORD, &value, sizeof(value));
    for (const auto& [name, value] : c.systemText) SetString(simKey, name, value);
    for (const auto& [name, value] : c.settings) SetString(kConfigKey, name, value);
    if (c.system) c.system(simKey);
    std::optional<entratest::P2PStores> device;
    if (c.entraDevice) {
        device.emplace(false);
        device->AddDevice("device-p2p");
        device->AddIssuer("p2p-issuer");
        const std::string id = entratest::DeviceId();
        SetString(simKey, L"AadDeviceId", std::wstring(id.begin(), id.end()));
        SetString(simKey, L"CloudApNonce", L"e2e-nonce-1");
        const DWORD joined = 1;
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, simKey.c_str(), L"AadJoinType", REG_DWORD, &joined, sizeof(joined));
    }
    testsupport::TempDirectory dir;
    SetString(kLogKey, L"LogFileDirectory", dir.Path()), SetString(kProductKey, L"traceEnabled", L"true");
    if (c.removalData) SetString(kWinlogonKey, L"ScRemoveOption", L"1");
    ::SetEnvironmentVariableW(L"TCFILTR_SIM_KEY", simKey.c_str());  // where the module finds its system
    {
        testsupport::AgentSimProcess agent;
        PropertyBag operations, scenario;
        if (c.agent) c.agent(operations);
        if (!operations.IsEmpty()) scenario.SetBag(L"DesktopManager", operations);
        if (!c.entraService.empty()) {
            PropertyBag entra;
            for (const auto& [name, value] : c.entraService) entra.Set(name, value);
            scenario.SetBag(L"entra", entra);
        }
        if (c.agent) {
            EXPECT_TRUE(agent.Start(tag, scenario, 120));
        }


        std::wstring command = L"--dll tcfiltr_sim.dll";
        for (const auto& argument : c.arguments) command += L" \"" + argument + L"\"";
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        platform::unique_hfile file(::CreateFileW((dir.Path() + L"out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                                  &inherit, CREATE_ALWAYS, 0, nullptr));
        const ULONGLONG start = ::GetTickCount64();
        platform::unique_handle logonsim = testsupport::Launch(L"logonsim.exe", command, file.get());
        if (::WaitForSingleObject(logonsim.get(), 150000) != WAIT_OBJECT_0 && ::TerminateProcess(logonsim.get(), 9))
            ::WaitForSingleObject(logonsim.get(), 10000);
        DWORD exitCode = 0xFFFFFFFF;
        ::GetExitCodeProcess(logonsim.get(), &exitCode);
        file.reset();
        const std::wstring output = testsupport::ReadAllLogText(dir.Path());
        EXPECT_EQ(exitCode, 0u) << output;
        EXPECT_GE(::GetTickCount64() - start, c.atLeastMs) << output;
        EXPECT_LE(::GetTickCount64() - start, c.atMostMs) << output;
        EXPECT_NE(output.find(c.printed), std::wstring::npos) << output;
        testsupport::ExpectNoSecretInLogs(dir.Path(), {kPassword, kPin, L"112233", kAssertion, kBlob});
    }
    if (c.removalData) {
        // The reader's name with its terminator, then the activity count.
        const std::wstring session = std::to_wstring(c.sessionId);
        std::vector<BYTE> data(256);
        DWORD size = static_cast<DWORD>(data.size());
        EXPECT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, kRemovalKey, session.c_str(), RRF_RT_REG_BINARY, nullptr,
                                 data.data(), &size), ERROR_SUCCESS);
        EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(data.data())), kReader);
        EXPECT_EQ(size, sizeof(kReader) + 4);
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRemovalKey, session.c_str());
        ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kWinlogonKey, L"ScRemoveOption");
    }
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kLogKey, L"LogFileDirectory");
    ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kProductKey, L"traceEnabled");
    for (const auto& [name, expected] : c.records) {
        DWORD value = 0, size = sizeof(value);
        ::RegGetValueW(HKEY_LOCAL_MACHINE, (simKey + L"\\Record").c_str(), name.c_str(), RRF_RT_REG_DWORD, nullptr,
                       &value, &size);
        EXPECT_EQ(value, expected) << name;
    }
    ::SetEnvironmentVariableW(L"TCFILTR_SIM_KEY", nullptr);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, simKey.c_str());
    for (const auto& [name, value] : c.settings) ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kConfigKey, name.c_str());
}

INSTANTIATE_TEST_SUITE_P(Roads, SsoRoads, testing::ValuesIn(kRoads),
                         [](const testing::TestParamInfo<RoadCase>& info) { return info.param.name; });

}  // namespace
