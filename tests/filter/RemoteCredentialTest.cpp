#include "filter/credfilter.h"

#include "base/SessionInfo.h"
#include "filter/PackedInteractiveLogon.h"
#include "platform/UniqueResource.h"
#include "sso/Credentials.h"
#include "support/CredentialsReset.h"
#include "support/FakePlatform.h"
#include "support/HandlerRegistration.h"
#include "support/LogCapture.h"
#include "support/Mutator.h"
#include "support/RegistrySandbox.h"
#include "support/ScriptedAgent.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using platform::com_ptr;
using namespace testsupport;

// A packed KERB_INTERACTIVE_LOGON as the RDP client's credential carries it.
std::vector<BYTE> Packed(const std::wstring& domain, const std::wstring& user, const std::wstring& ticket) {
    std::vector<BYTE> bytes(56);
    bytes[0] = 2;
    const std::wstring* texts[] = {&domain, &user, &ticket};
    for (int i = 0; i < 3; ++i) {
        const size_t field = 8 + 16 * i;
        const USHORT length = static_cast<USHORT>(texts[i]->size() * 2);
        const ULONGLONG offset = length ? bytes.size() : 0;
        std::memcpy(&bytes[field], &length, 2);
        std::memcpy(&bytes[field + 2], &length, 2);
        std::memcpy(&bytes[field + 8], &offset, 8);
        const BYTE* chars = reinterpret_cast<const BYTE*>(texts[i]->data());
        bytes.insert(bytes.end(), chars, chars + length);
    }
    return bytes;
}

class RemoteCredentialTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ResetSessionIdCache();
        ResetCredentials();
        ASSERT_EQ(credfilter_CreateInstance(IID_ICredentialProviderFilter, filter.put_void()), S_OK);
    }
    void TearDown() override {
        ::CoTaskMemFree(out.rgbSerialization);
        filter.reset();
        ::CoUninitialize();
    }
    HRESULT Update(std::vector<BYTE> bytes) {
        input = std::move(bytes);
        CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION in = {2, {}, static_cast<ULONG>(input.size()), input.data()};
        ::CoTaskMemFree(out.rgbSerialization);
        std::memset(&out, 0xAB, sizeof(out));
        return filter->UpdateRemoteCredential(&in, &out);
    }
    // The refusal: the user is told in a service message box and the session is disconnected.
    bool Refused() const {
        return fake.messageBoxTexts.size() == 1 && !fake.messageBoxTexts[0].empty() && fake.disconnects.load() == 1 &&
               fake.messageBoxCaptions[0] == L"Dravik Lumo Agent" &&
               fake.messageBoxStyles[0] == static_cast<UINT>(MB_ICONERROR | MB_SERVICE_NOTIFICATION);
    }

    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
    ScriptedAgent agent;
    com_ptr<ICredentialProviderFilter> filter;
    std::vector<BYTE> input;
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION out{};
};

TEST_F(RemoteCredentialTest, DrvSessionsAndAMissingOutputAreLeftAlone) {
    EXPECT_EQ(filter->UpdateRemoteCredential(nullptr, nullptr), E_INVALIDARG);
    fake.clientProtocol = 3;
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION untouched;
    std::memset(&untouched, 0xAB, sizeof(untouched));
    out = untouched;
    EXPECT_EQ(filter->UpdateRemoteCredential(nullptr, &out), E_NOTIMPL);
    EXPECT_EQ(std::memcmp(&out, &untouched, sizeof(out)), 0);
    out = {};
    EXPECT_TRUE(log.Contains(L"DRV protocol type, skipping UpdateRemoteCredential"));
}

// Credentials that carry no ticket: with direct RDP allowed (the default) the connection goes
// on with the remote credential as it came, and the agent is never asked.
TEST_F(RemoteCredentialTest, MalformedCredentialsAreNotTickets) {
    const ULONGLONG huge = 0xFFFFFFFFFFFFFFFEull;
    std::vector<BYTE> beyond = Packed(L"CORP", L"alice", L"t1"), wrapping = beyond, notInteractive = beyond;
    beyond[40] += 1;  // Password Length, one byte past the end
    beyond[42] += 1;
    std::memcpy(&wrapping[48], &huge, 8);  // an offset that would wrap past the size check
    notInteractive[0] = 7;
    const struct {
        const char* what;
        std::vector<BYTE> bytes;
        const wchar_t* line;
    } kCases[] = {
        {"string beyond the buffer", beyond, L"KERB_INTERACTIVE_LOGON invalid data"},
        {"wrapping offset", wrapping, L"KERB_INTERACTIVE_LOGON invalid data"},
        {"wrong message type", notInteractive, L"NOT KerbInteractiveLogon. MessageType is 7."},
        {"short header", std::vector<BYTE>(55, 0), L"KERB_INTERACTIVE_LOGON too small"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        log.Clear();
        EXPECT_EQ(Update(c.bytes), S_OK);
        EXPECT_TRUE(log.Contains(c.line));
        EXPECT_TRUE(log.Contains(L"AllowDirectRDP is true or unset. Allowing direct connection."));
        EXPECT_FALSE(TheCredentials().ticketFound);
        EXPECT_EQ(out.ulAuthenticationPackage, 2u);
        EXPECT_TRUE(IsEqualCLSID(out.clsidCredentialProvider, GUID_NULL));
        ASSERT_EQ(out.cbSerialization, c.bytes.size());
        EXPECT_NE(out.rgbSerialization, input.data());
        EXPECT_EQ(std::memcmp(out.rgbSerialization, c.bytes.data(), c.bytes.size()), 0);
    }
    EXPECT_TRUE(agent.Requests().empty());
    EXPECT_FALSE(Refused());
}

TEST_F(RemoteCredentialTest, ExactlyTheHeaderWithEmptyStringsIsAMissingTicket) {
    EXPECT_EQ(Update(Packed(L"", L"", L"")), S_OK);
    EXPECT_TRUE(TheCredentials().ticketFound);
    EXPECT_EQ(out.rgbSerialization, nullptr);
    EXPECT_EQ(out.cbSerialization, 0u);
    EXPECT_TRUE(log.Contains(L"credfilter::UpdateRemoteCredential(): no ticket specified for user \\"));
    EXPECT_TRUE(agent.Requests().empty());
    EXPECT_FALSE(Refused());
}

TEST_F(RemoteCredentialTest, TheAgentIsAskedForTheTicketWhichIsNeverLogged) {
    agent.Answer(L"GetCredentialsForTicket", CORE::PropertyBag());
    EXPECT_EQ(Update(Packed(L"CORP", L"alice", L"TICKET-123")), S_OK);
    auto sent = agent.Requests();
    ASSERT_EQ(sent.size(), 1u);
    const CORE::PropertyBag& r = sent[0].request;
    ASSERT_EQ(r.Count(), 5u);
    EXPECT_EQ(r.GetNameAt(0), L"sessionId");
    EXPECT_EQ(r.GetNameAt(4), L"ticket");
    EXPECT_EQ(r.Get(L"ticket"), L"TICKET-123");
    EXPECT_EQ(r.Get(L"userName"), L"alice");
    EXPECT_TRUE(log.Contains(L"Check for our ticket, domain=CORP, user=alice, ticket size=10"));
    EXPECT_FALSE(log.Contains(L"TICKET-123"));
}

// What the filter makes of each answer of the agent to the ticket of CORP\alice.
struct AnswerCase {
    const char* what;
    std::vector<std::pair<const wchar_t*, const wchar_t*>> answer;
    const wchar_t* setting;  // agent configuration value set to `settingValue`, or null
    const wchar_t* settingValue;
    const wchar_t* ticket;
    HRESULT hr;
    bool available, ticketFound, refused;
    const wchar_t* user;       // kept user and domain, when checked
    const wchar_t* domain;
    const wchar_t* password;   // kept password, when checked
    const wchar_t* line;       // a log line, or null
    bool emptyUpns = false;    // the answer also carries an empty "upns" bag
};

void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.what; }

class AnswerTest : public RemoteCredentialTest, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, DecidesFromTheAnswer) {
    const AnswerCase& c = GetParam();
    if (c.setting) registry.SetAgentConfig(c.setting, c.settingValue);
    CORE::PropertyBag answer;
    for (const auto& [name, value] : c.answer) answer.Set(name, value);
    if (c.emptyUpns) answer.SetBag(L"upns", CORE::PropertyBag());
    agent.Answer(L"GetCredentialsForTicket", answer);
    EXPECT_EQ(Update(Packed(L"CORP", L"alice", c.ticket)), c.hr);
    const Credentials& creds = TheCredentials();
    EXPECT_EQ(creds.credentialsAvailable, c.available);
    EXPECT_EQ(creds.ticketFound, c.ticketFound);
    EXPECT_EQ(Refused(), c.refused);
    if (c.refused) {
        EXPECT_TRUE(log.Contains(L"User CORP\\alice attempted an un-brokered connection to this machine", CORE::LOG_WARN));
    } else {
        EXPECT_EQ(out.rgbSerialization, nullptr);  // a ticket never goes on to LogonUI
    }
    if (c.user) {
        EXPECT_EQ(creds.userName, c.user);
        EXPECT_EQ(creds.domainName, c.domain);
    }
    if (c.password) {
        EXPECT_TRUE(creds.password == c.password);
    }
    if (c.line) {
        EXPECT_TRUE(log.Contains(c.line)) << c.line;
    }
}

const AnswerCase kAnswers[] = {
    {"password with user and domain", {{L"password", L"{SSO-AES:0}payload"}, {L"userName", L"alice2"}, {L"domainName", L"CORP2"}},
     nullptr, nullptr, L"T", S_OK, true, true, false, L"alice2", L"CORP2", L"{SSO-AES:0}payload",
     L"got encrypted password from DesktopManager"},
    {"user and domain default to the remote credential", {{L"password", L"pw"}}, nullptr, nullptr, L"T", S_OK, true,
     true, false, L"alice", L"CORP", L"pw", nullptr},
    {"expired wins over every credential", {{L"expired", L"true"}, {L"password", L"pw"}, {L"unauthUserName", L"k"},
     {L"unauthPassword", L"p"}}, nullptr, nullptr, L"T", E_FAIL, false, true, true, nullptr, nullptr, nullptr, nullptr},
    {"certificate pin without container falls through to the password", {{L"certLogonPin", L"1234"}, {L"password", L"pw"}},
     nullptr, nullptr, L"T", S_OK, true, true, false, nullptr, nullptr, L"pw", nullptr},
    {"smart card pin without UPNs is a verification", {{L"smartCardPIN", L"4321"}, {L"password", L"pw"}}, nullptr,
     nullptr, L"T", S_OK, false, true, false, nullptr, nullptr, nullptr, L"Successful ticket verification NON SSO", true},
    {"SSO disabled by policy is a verification", {{L"password", L"pw"}}, L"AllowSingleSignon", L"false", L"T", S_OK,
     false, true, false, nullptr, nullptr, nullptr, nullptr},
    {"no ticket while direct RDP is off", {}, L"AllowDirectRDP", L"false", L"", E_FAIL, false, true, true, nullptr,
     nullptr, nullptr, nullptr},
    {"unmatched ticket while direct RDP is off", {}, L"AllowDirectRDP", L"0", L"forged", E_FAIL, false, false, true,
     nullptr, nullptr, nullptr, L"AllowDirectRDP is false. Disallowing direct RDP connection."},
};

INSTANTIATE_TEST_SUITE_P(Answers, AnswerTest, ::testing::ValuesIn(kAnswers));

TEST_F(RemoteCredentialTest, CertificateSsoStoresContainerPinAndAttempts) {
    agent.Answer(L"GetCredentialsForTicket", Bag({{L"certLogonPin", L"1234"}, {L"certLogonContainerName", L"cont"},
                                                  {L"BROKERUSERSID", L"S-1-5-21-9"}}));
    EXPECT_EQ(Update(Packed(L"CORP", L"alice", L"T")), S_OK);
    const Credentials& c = TheCredentials();
    EXPECT_TRUE(c.credentialsAvailable);
    EXPECT_EQ(c.certLogon.containerName, L"cont");
    EXPECT_TRUE(c.certLogon.pin == L"1234");
    EXPECT_EQ(c.certLogon.attemptsLeft, 3u);
    EXPECT_EQ(c.brokerUserSid, L"S-1-5-21-9");
}

TEST_F(RemoteCredentialTest, WithoutAPassedCredentialTheRemoteLogonFilterIsAsked) {
    ASSERT_TRUE(RegisterFakeRemoteLogonFilter());
    ::SetEnvironmentVariableW(L"TCFILTR_TEST_RLF", L"CORP|alice|RLF-TICKET");
    agent.Answer(L"GetCredentialsForTicket", Bag({{L"password", L"pw"}}));
    std::memset(&out, 0, sizeof(out));
    EXPECT_EQ(filter->UpdateRemoteCredential(nullptr, &out), S_OK);
    ::SetEnvironmentVariableW(L"TCFILTR_TEST_RLF", nullptr);
    EXPECT_TRUE(log.Contains(L"Credentials were NULL. Using RemoteLogonFilter to retrieve them."));
    ASSERT_EQ(agent.Requests().size(), 1u);
    EXPECT_EQ(agent.Requests()[0].request.Get(L"ticket"), L"RLF-TICKET");
    EXPECT_TRUE(TheCredentials().credentialsAvailable);
}

// Bytes placed right before a page nobody may touch: any read past their end faults at once.
class GuardedBytes {
public:
    GuardedBytes() {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        page_ = info.dwPageSize;
        base_ = static_cast<BYTE*>(::VirtualAlloc(nullptr, 2 * page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        ::VirtualProtect(base_ + page_, page_, PAGE_NOACCESS, &old);
    }
    ~GuardedBytes() { ::VirtualFree(base_, 0, MEM_RELEASE); }
    BYTE* Place(const std::vector<BYTE>& bytes) {
        BYTE* at = base_ + page_ - bytes.size();
        std::memcpy(at, bytes.data(), bytes.size());
        return at;
    }

private:
    BYTE* base_ = nullptr;
    size_t page_ = 0;
};

TEST(PackedInteractiveLogonFuzz, MutatedCredentialsNeverReadOutOfBounds) {
    Mutator mutator(0x7C0FF1E);
    GuardedBytes guard;
    const std::vector<BYTE> seed = Packed(L"CORP", L"alice", L"a-broker-ticket");
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        std::vector<BYTE> bytes = mutator.Mutate(seed);
        if (bytes.size() > 4096) continue;
        const BYTE* placed = guard.Place(bytes);
        PackedInteractiveLogon logon;
        PackedLogonStatus status = UnpackInteractiveLogon(placed, static_cast<ULONG>(bytes.size()), &logon);
        if (status != PackedLogonStatus::Ok) continue;
        ++accepted;
        EXPECT_GE(bytes.size(), 56u);
        EXPECT_EQ(bytes[0], 2);
    }
    EXPECT_GT(accepted, 100);  // the mutations also exercise the accepting path
}

TEST_F(RemoteCredentialTest, MutatedCredentialsThroughTheFilterEndCleanly) {
    agent.Answer(L"GetCredentialsForTicket", CORE::PropertyBag());
    Mutator mutator(0xF11735);
    const std::vector<BYTE> seed = Packed(L"CORP", L"alice", L"a-broker-ticket");
    for (int i = 0; i < 1500; ++i) {
        HRESULT hr = Update(mutator.Mutate(seed));
        EXPECT_TRUE(hr == S_OK || hr == E_NOTIMPL) << i;
    }
    EXPECT_FALSE(Refused());
}

}  // namespace
