#include "filter/credfilter.h"

#include "base/Guids.h"
#include "base/SessionInfo.h"
#include "filter/PackedInteractiveLogon.h"
#include "filter/RdsReconnectMonitor.h"
#include "platform/UniqueResource.h"
#include "sso/Credentials.h"
#include "support/CredentialsReset.h"
#include "support/FakePlatform.h"
#include "support/HandlerRegistration.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"
#include "support/ScriptedAgent.h"
#include "support/WaitFor.h"
#include "tools/logonsim/LogonUiSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

using platform::com_ptr;
using namespace testsupport;

std::vector<BYTE> Packed(const wchar_t* domain, const wchar_t* user, const wchar_t* ticket) {
    return logonsim::PackRemoteCredential({true, domain, user, ticket});
}

// The credential's parser alone: what it accepts and why it refuses the rest.
TEST(PackedInteractiveLogon, AcceptsOnlyAnInteractiveLogonWhoseStringsFit) {
    const ULONGLONG huge = 0xFFFFFFFFFFFFFFFEull, headerOffset = 20;
    std::vector<BYTE> beyond = Packed(L"CORP", L"alice", L"t1"), wrapping = beyond, notInteractive = beyond,
                      overlapping = beyond, inHeader = beyond, offsetZero = beyond;
    std::memset(&offsetZero[16], 0, 8);  // the domain keeps its length but has no offset
    beyond[40] += 1, beyond[42] += 1, notInteractive[0] = 7;  // Password Length, one byte past the end
    std::memcpy(&wrapping[48], &huge, 8);  // an offset that would wrap past the size check
    std::memcpy(&overlapping[16], &overlapping[32], 8);  // the domain reads the user's characters
    std::memcpy(&inHeader[48], &headerOffset, 8);        // the ticket reads header bytes
    // fields: "domain\user:ticket" when accepted.
    const struct { const char* what; std::vector<BYTE> bytes; PackedLogonStatus status; const wchar_t* fields = L""; }
        kCases[] = {
        {"whole", Packed(L"CORP", L"alice", L"t1"), PackedLogonStatus::Ok, L"CORP\\alice:t1"},
        {"exactly the header", Packed(L"", L"", L""), PackedLogonStatus::Ok, L"\\:"},
        {"offset 0 is an empty string", offsetZero, PackedLogonStatus::Ok, L"\\alice:t1"},
        {"string beyond the buffer", beyond, PackedLogonStatus::InvalidData},
        {"wrapping offset", wrapping, PackedLogonStatus::InvalidData},
        {"strings sharing bytes", overlapping, PackedLogonStatus::InvalidData},
        {"string inside the header", inHeader, PackedLogonStatus::InvalidData},
        {"wrong message type", notInteractive, PackedLogonStatus::NotInteractive},
        {"short header", std::vector<BYTE>(55, 0), PackedLogonStatus::TooSmall},
    };
    for (const auto& c : kCases) {
        PackedInteractiveLogon logon;
        EXPECT_EQ(UnpackInteractiveLogon(c.bytes.data(), static_cast<ULONG>(c.bytes.size()), &logon), c.status) << c.what;
        if (c.status == PackedLogonStatus::Ok) {
            EXPECT_EQ(logon.domain + L"\\" + logon.user + L":" + logon.ticket.c_str(), c.fields) << c.what;
        }
    }
    PackedInteractiveLogon logon;
    EXPECT_EQ(UnpackInteractiveLogon(nullptr, 56, &logon), PackedLogonStatus::TooSmall);
}

class CredFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ResetSessionIdCache(), ResetCredentials();
        ASSERT_EQ(credfilter_CreateInstance(IID_ICredentialProviderFilter, filter.put_void()), S_OK);
    }
    void TearDown() override {
        ::CoTaskMemFree(out.rgbSerialization), filter.reset();
        ::CoUninitialize();
    }
    HRESULT Update(std::vector<BYTE> bytes) {
        input = std::move(bytes);
        CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION in = {2, {}, static_cast<ULONG>(input.size()), input.data()};
        ::CoTaskMemFree(out.rgbSerialization), std::memset(&out, 0xAB, sizeof(out));
        return filter->UpdateRemoteCredential(&in, &out);
    }
    // The refusal: the user is told in a service message box and the session is disconnected.
    bool Refused() const {
        return fake.messageBoxTexts.size() == 1 && !fake.messageBoxTexts[0].empty() && fake.disconnects.load() == 1 &&
               fake.messageBoxCaptions[0] == L"Dravik Lumo Agent" &&
               fake.messageBoxStyles[0] == static_cast<UINT>(MB_ICONERROR | MB_SERVICE_NOTIFICATION);
    }
    // Our provider's place among two others after Filter, as "allowed ours allowed".
    std::wstring RunFilter(CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario) {
        GUID providers[3] = {kOther, CLSID_credprovider, kOther};
        BOOL allow[3] = {TRUE, TRUE, TRUE};
        EXPECT_EQ(filter->Filter(scenario, 0, providers, allow, 3), S_OK);
        return std::to_wstring(allow[0]) + std::to_wstring(allow[1]) + std::to_wstring(allow[2]);
    }
    // {11111111-2222-3333-4444-555555555555}: some other provider.
    static constexpr GUID kOther = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
    ScriptedAgent agent;
    com_ptr<ICredentialProviderFilter> filter;
    std::vector<BYTE> input;
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION out{};
};

// Without a passed credential the system's remote logon filter is asked for it; DRV sessions and
// a missing output are left alone.
TEST_F(CredFilterTest, WithoutAPassedCredentialTheRemoteLogonFilterIsAsked) {
    EXPECT_EQ(filter->UpdateRemoteCredential(nullptr, nullptr), E_INVALIDARG);
    ASSERT_TRUE(RegisterFakeRemoteLogonFilter());
    ::SetEnvironmentVariableW(L"TCFILTR_TEST_RLF", L"CORP|alice|RLF-TICKET");
    agent.Answer(L"GetCredentialsForTicket", Bag({{L"password", L"pw"}}));
    fake.clientProtocol = 3;
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION untouched;
    std::memset(&untouched, 0xAB, sizeof(untouched));
    out = untouched;
    EXPECT_TRUE(filter->UpdateRemoteCredential(nullptr, &out) == E_NOTIMPL && !std::memcmp(&out, &untouched, sizeof(out)));
    fake.clientProtocol = 0, std::memset(&out, 0, sizeof(out));
    EXPECT_EQ(filter->UpdateRemoteCredential(nullptr, &out), S_OK);
    ::SetEnvironmentVariableW(L"TCFILTR_TEST_RLF", nullptr);
    EXPECT_TRUE(agent.Requests().size() == 1 && agent.Requests()[0].request.Get(L"ticket") == L"RLF-TICKET" &&
                TheCredentials().credentialsAvailable);
}

TEST_F(CredFilterTest, TheAgentIsAskedForTheTicketWhichIsNeverLogged) {
    agent.Answer(L"GetCredentialsForTicket", CORE::PropertyBag());
    EXPECT_EQ(Update(Packed(L"CORP", L"alice", L"TICKET-123")), S_OK);
    auto sent = agent.Requests();
    ASSERT_TRUE(sent.size() == 1 && sent[0].request.Count() == 5);
    const CORE::PropertyBag& r = sent[0].request;
    EXPECT_EQ(r.GetNameAt(0) + L" " + r.GetNameAt(4) + L"=" + r.Get(L"ticket") + L" " + r.Get(L"userName"),
              L"sessionId ticket=TICKET-123 alice");
    EXPECT_TRUE(log.Contains(L"ticket size=10") && !log.Contains(L"TICKET-123"));
}

// "name=value;..." as a bag; a name without a value is an empty bag.
CORE::PropertyBag BagOf(const std::wstring& items) {
    CORE::PropertyBag bag;
    for (size_t at = 0; at < items.size();) {
        const size_t end = std::min(items.find(L';', at), items.size()), eq = items.find(L'=', at);
        if (eq < end) bag.Set(items.substr(at, eq - at), items.substr(eq + 1, end - eq - 1));
        else bag.SetBag(items.substr(at, end - at), CORE::PropertyBag());
        at = end + 1;
    }
    return bag;
}

// What the filter makes of each answer of the agent to the ticket of CORP\alice.
// answer: the agent's bag; setting: an agent configuration value, as "name=value"; ticket: null for a
// credential too short to read, "#7" for one that is not an interactive logon; flags: a: credentials
// available, t: ticket found, r: refused; record: requests sent, the account, password, CertSSO
// container:pin/attempts, broker SID.
struct AnswerCase { const char* what; const wchar_t *answer, *setting, *ticket; HRESULT hr; const char* flags;
                    const wchar_t* record; };

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.what; }

class AnswerTest : public CredFilterTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, DecidesFromTheAnswer) {
    const AnswerCase& c = GetParam();
    CORE::PropertyBag setting = BagOf(c.setting);
    if (setting.Count()) registry.SetAgentConfig(setting.GetNameAt(0), setting.Get(setting.GetNameAt(0)));
    agent.Answer(L"GetCredentialsForTicket", BagOf(c.answer));
    const bool notInteractive = c.ticket && std::wstring(c.ticket) == L"#7";
    std::vector<BYTE> bytes = c.ticket ? Packed(L"CORP", L"alice", c.ticket) : std::vector<BYTE>(55, 0);
    if (notInteractive) bytes[0] = 7;
    EXPECT_EQ(Update(bytes), c.hr);
    const Credentials& r = TheCredentials();
    EXPECT_EQ(std::string(r.credentialsAvailable ? "a" : "") + (r.ticketFound ? "t" : "") + (Refused() ? "r" : ""), c.flags);
    EXPECT_EQ(std::to_wstring(agent.Requests().size()) + L" " + r.domainName + L"\\" + r.userName + L" " +
                  r.password.c_str() + L" " + r.certLogon.containerName + L":" + r.certLogon.pin.c_str() +
                  (r.certLogon.containerName.empty() ? L"" : L"/" + std::to_wstring(r.certLogon.attemptsLeft)) + L" " +
                  r.brokerUserSid,
              c.record);
    if (notInteractive) {  // passed on to LogonUI as a copy of what came
        ASSERT_TRUE(out.ulAuthenticationPackage == 2 && IsEqualCLSID(out.clsidCredentialProvider, GUID_NULL) &&
                    out.cbSerialization == bytes.size() && out.rgbSerialization != input.data());
        EXPECT_EQ(std::memcmp(out.rgbSerialization, bytes.data(), bytes.size()), 0);
    } else if (c.ticket || Refused()) {
        // A ticket never goes on to LogonUI, nor anything of a refused connection.
        EXPECT_TRUE(out.rgbSerialization == nullptr && out.cbSerialization == 0);
    }
}

const AnswerCase kAnswers[] = {
    {"password for another account", L"password={SSO-AES:0}p;userName=alice2;domainName=CORP2", L"", L"T", S_OK, "at",
     L"1 CORP2\\alice2 {SSO-AES:0}p : "},
    {"account defaults to the remote credential's", L"password=pw", L"", L"T", S_OK, "at", L"1 CORP\\alice pw : "},
    {"expired wins", L"expired=true;password=pw;unauthUserName=k;unauthPassword=p", L"", L"T", E_FAIL, "tr", L"1 \\  : "},
    {"CertSSO with the broker's SID", L"certLogonPin=1234;certLogonContainerName=cont;BROKERUSERSID=S-1-5-21-9", L"", L"T",
     S_OK, "at", L"1 CORP\\alice  cont:1234/3 S-1-5-21-9"},
    {"hybrid account wins over the password", L"unauthUserName=kiosk;unauthPassword=kp;password=pw", L"", L"T", S_OK, "at",
     L"1 \\  : "},
    {"PIN without container: password", L"certLogonPin=1234;password=pw", L"", L"T", S_OK, "at", L"1 CORP\\alice pw : "},
    {"smart card PIN without UPNs verifies", L"smartCardPIN=4321;password=pw;upns", L"", L"T", S_OK, "t", L"1 \\  : "},
    {"SSO off by policy verifies", L"password=pw", L"AllowSingleSignon=false", L"T", S_OK, "t", L"1 \\  : "},
    {"empty ticket", L"", L"", L"", S_OK, "t", L"0 \\  : "},
    {"no ticket passed on, direct RDP allowed", L"", L"", L"#7", S_OK, "", L"0 \\  : "},
    {"no ticket, direct RDP off", L"", L"AllowDirectRDP=false", L"", E_FAIL, "tr", L"0 \\  : "},
    {"unmatched ticket, direct RDP off", L"", L"AllowDirectRDP=0", L"forged", E_FAIL, "r", L"1 \\  : "},
    {"no credential, direct RDP off", L"", L"AllowDirectRDP=false", nullptr, E_FAIL, "r", L"0 \\  : "},
};

INSTANTIATE_TEST_SUITE_P(Answers, AnswerTest, ::testing::ValuesIn(kAnswers));

// A failure inside the check frees the copy holding the ticket and is judged like a failed
// lookup: refused only where direct connections are not allowed.
TEST_F(CredFilterTest, AnExceptionDropsTheCopyAndFollowsTheRefusalRule) {
    agent.throws = true;
    for (const wchar_t* allowed : {L"true", L"false"}) {
        registry.SetAgentConfig(L"AllowDirectRDP", allowed);
        const HRESULT hr = Update(Packed(L"CORP", L"alice", L"TICKET-1"));
        EXPECT_TRUE(FAILED(hr) && out.rgbSerialization == nullptr && out.cbSerialization == 0) << allowed;
        EXPECT_EQ(Refused(), allowed[0] == L'f');
    }
}

// Logon and unlock leave every provider in place; what else happens follows the record, the
// policy (group policy over the agent's value) and the session kind. Other scenarios exclude only
// our provider and end the unlock scenario; an array without our provider, an empty one and none
// at all are left as they are.
TEST_F(CredFilterTest, ScenariosPolicySessionAndRecordDecide) {
    // given: o: SSO off, d: DRV session, t: ticket found, u: unlock scenario, c/w/e: CertSSO, Hello, Entra
    // unlock; after: x: ours excluded, a: credentials available, u: unlock scenario, s: not-ready signal
    const struct { CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario; const char *given, *after; } kCases[] = {
        {CPUS_LOGON, "", ""},  // the only row that populates the record
        {CPUS_LOGON, "t", ""},  {CPUS_LOGON, "d", ""},  {CPUS_LOGON, "o", ""},   {CPUS_UNLOCK_WORKSTATION, "o", "u"},
        {CPUS_LOGON, "od", "s"}, {CPUS_UNLOCK_WORKSTATION, "c", "au"}, {CPUS_UNLOCK_WORKSTATION, "w", "au"},
        {CPUS_UNLOCK_WORKSTATION, "e", "au"}, {CPUS_CREDUI, "u", "x"}, {CPUS_CHANGE_PASSWORD, "u", "x"}, {CPUS_PLAP, "u", "x"},
    };
    auto tessel = fake.TesselEvent();
    registry.SetAgentConfig(L"AllowSingleSignon", L"1");  // group policy wins
    for (const auto& c : kCases) {
        const std::string given = c.given;
        auto has = [&](char flag) { return given.find(flag) != std::string::npos; };
        SCOPED_TRACE(given + std::to_string(c.scenario));
        ResetCredentials(), log.Clear(), ::ResetEvent(tessel.get());
        registry.SetString(L"Software\\Policies\\Velmora\\Zephral\\Agent\\Configuration", L"AllowSingleSignon",
                           has('o') ? L"false" : L"true");
        auto& r = TheCredentials();
        fake.clientProtocol = has('d') ? 3 : 0, r.ticketFound = has('t'), r.isCertSsoUnlockEnabled = has('c');
        r.isWhfbCertSsoUnlockEnabled = has('w'), r.isEntraUnlockEnabled = has('e'), r.isUnlockScenario = has('u');
        const std::wstring allowed = RunFilter(c.scenario);
        EXPECT_EQ(std::string(allowed == L"101" ? "x" : allowed == L"111" ? "" : "?") + (r.credentialsAvailable ? "a" : "") +
                      (r.isUnlockScenario ? "u" : "") + (IsSet(tessel) ? "s" : ""),
                  c.after);
        EXPECT_EQ(log.Contains(L"credfilter::Filter(): Populating credentials"), &c == &kCases[0]);
    }
    GUID others[2] = {kOther, kOther}, ours[1] = {CLSID_credprovider};
    BOOL allow[2] = {TRUE, FALSE};
    EXPECT_EQ(filter->Filter(CPUS_CREDUI, 0, others, allow, 2), S_OK);
    EXPECT_EQ(filter->Filter(CPUS_CREDUI, 0, ours, allow, 0), S_OK);
    EXPECT_EQ(filter->Filter(CPUS_CREDUI, 0, nullptr, nullptr, 0), S_OK);
    EXPECT_TRUE(allow[0] && !allow[1]);
}

constexpr WTS_CONNECTSTATE_CLASS D = WTSDisconnected, A = WTSActive, F = FakePlatform::kConnectStateQueryFails;

class RdsReconnectMonitorTest : public ::testing::Test {
protected:
    // A remote session (3) of a Server 2019 RDS host inside LogonUI, nobody logged on.
    void SetUp() override { Reset(); }
    void TearDown() override { Drop(); }
    void Reset() {
        Drop();
        std::lock_guard<std::mutex> guard(fake.lock);
        fake.SetServer2019Rds();
        fake.sessionId = 3, fake.consoleSessionId = 1, fake.userNameError = 0, fake.connectStates = {D};
        fake.userName.clear(), fake.hostPath = L"C:\\WINDOWS\\system32\\LOGONUI.EXE";
        registry.SetAgentConfig(L"DisableRdsReconnectMonitor", L"FALSE"), log.Clear();
    }
    void Drop() {
        if (monitor) monitor->Stop(), monitor->Release();
        monitor = nullptr;
    }
    bool Start(DWORD pollMs = 10, DWORD graceMs = 10) {
        monitor = new RdsReconnectMonitor(RdsReconnectMonitor::Timing{pollMs, graceMs});
        return monitor->Start();
    }
    bool WaitForThreadEnd() { return monitor->WaitForThreadEnd(5000); }

    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
    RdsReconnectMonitor* monitor = nullptr;
};

// It watches only inside LogonUI, in a remote session nobody is logged on to, of a multi-session host.
TEST_F(RdsReconnectMonitorTest, StartsOnlyWhereASessionCanBeLeftBehind) {
    // From a Server 2019 RDS host's LogonUI: x/y: other hosts, p: disabled by policy, c: the console session, u: a user
    // logged on, e: unreadable user, a: RDS in admin mode, n: no RDS, 7/8: Windows 7, Server 2008 R2.
    for (auto [change, starts] : {std::pair{'x', false}, {'y', false}, {'p', false}, {'c', false}, {'u', false},
                                  {'e', true}, {'a', false}, {'n', false}, {'7', false}, {'8', true}}) {
        Reset();
        if (change == 'x' || change == 'y') fake.hostPath = change == 'x' ? L"C:\\x\\logonuix.exe" : L"C:\\x\\logon.ui";
        if (change == 'p') registry.SetAgentConfig(L"DisableRdsReconnectMonitor", L"TRUE");
        if (change == 'c') fake.consoleSessionId = 3;
        if (change == 'u') fake.userName = "alice";
        if (change == 'e') fake.userNameError = ERROR_ACCESS_DENIED;
        if (change == 'a' || change == 'n') fake.os.suiteMask = change == 'a' ? VER_SUITE_TERMINAL | VER_SUITE_SINGLEUSERTS : 0;
        if (change == '7' || change == '8') fake.os.major = 6, fake.os.minor = 1;
        if (change == '7') fake.os.productType = VER_NT_WORKSTATION;
        EXPECT_EQ(Start(), starts) << change;
    }
}

TEST_F(RdsReconnectMonitorTest, FiveDisconnectedPollsEndTheProcess) {
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitForThreadEnd());
    EXPECT_TRUE(fake.terminateCalls.load() == 1 && fake.terminateExitCode.load() == 0 && fake.connectStateQueries.load() == 5);
    EXPECT_TRUE(log.Contains(L"Terminate the LogonUI Process sessionId=3", CORE::LOG_DEBUG));
}

TEST_F(RdsReconnectMonitorTest, AConnectedPollOrAFailedQueryResetsTheCount) {
    fake.connectStates = {D, D, D, D, A, D, D, D, D, F, D, D, D, D, A};
    ASSERT_TRUE(Start());
    ASSERT_TRUE(WaitFor([&] { return fake.connectStateQueries.load() >= 20; }));
    monitor->Stop();
    EXPECT_TRUE(WaitForThreadEnd() && fake.terminateCalls.load() == 0);
    EXPECT_TRUE(log.Contains(L"Failed to get Connect State Error=1722 - sessionId=3"));
}

// Stop during the grace wait, a user starting to log on (or one it cannot read) and becoming the
// console session each end the watch without cutting anybody off.
TEST_F(RdsReconnectMonitorTest, StopAUserOrTheConsoleEndTheWatchWithoutTermination) {
    // s: Stop during the grace wait, u: a user, e: unreadable user, c: the console
    for (auto [change, line] : {std::pair<char, const wchar_t*>{'s', nullptr}, {'e', nullptr},
                                {'u', L"Exit, A user has started to logon to sessionId=3"}, {'c', L"Exit, Console sessionId=3"}}) {
        Reset();
        ASSERT_TRUE(Start(30, change == 's' ? 10000 : 10));
        if (change == 's') {
            ASSERT_TRUE(WaitFor([&] { return log.Contains(L"Terminate the LogonUI Process"); }));
            monitor->Stop();
        }
        {
            std::lock_guard<std::mutex> guard(fake.lock);
            if (change == 'u') fake.userName = "bob";
            if (change == 'e') fake.userNameError = ERROR_ACCESS_DENIED;
            if (change == 'c') fake.consoleSessionId = 3;
        }
        EXPECT_TRUE(WaitForThreadEnd() && fake.terminateCalls.load() == 0 && (!line || log.Contains(line))) << change;
    }
}

}  // namespace
