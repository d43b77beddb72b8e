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
#include "tools/logonsim/LogonUiSession.h"

#include <gtest/gtest.h>

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
    const ULONGLONG huge = 0xFFFFFFFFFFFFFFFEull;
    std::vector<BYTE> beyond = Packed(L"CORP", L"alice", L"t1"), wrapping = beyond, notInteractive = beyond,
                      overlapping = beyond, inHeader = beyond;
    beyond[40] += 1;  // Password Length, one byte past the end
    beyond[42] += 1;
    std::memcpy(&wrapping[48], &huge, 8);  // an offset that would wrap past the size check
    notInteractive[0] = 7;
    std::memcpy(&overlapping[16], &overlapping[32], 8);  // the domain reads the user's characters
    const ULONGLONG headerOffset = 20;
    std::memcpy(&inHeader[48], &headerOffset, 8);  // the ticket reads header bytes
    const struct {
        const char* what;
        std::vector<BYTE> bytes;
        PackedLogonStatus status;
        const wchar_t *domain = nullptr, *user = nullptr, *ticket = nullptr;
    } kCases[] = {
        {"whole", Packed(L"CORP", L"alice", L"t1"), PackedLogonStatus::Ok, L"CORP", L"alice", L"t1"},
        {"exactly the header", Packed(L"", L"", L""), PackedLogonStatus::Ok, L"", L"", L""},
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
        if (c.status != PackedLogonStatus::Ok) continue;
        EXPECT_EQ(logon.domain, c.domain);
        EXPECT_EQ(logon.user, c.user);
        EXPECT_TRUE(logon.ticket == c.ticket) << c.what;
    }
    PackedInteractiveLogon logon;
    EXPECT_EQ(UnpackInteractiveLogon(nullptr, 56, &logon), PackedLogonStatus::TooSmall);
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
}

// With direct RDP allowed (the default) a credential that is no ticket goes on to LogonUI as a
// copy of what came, and the agent is never asked.
TEST_F(RemoteCredentialTest, ACredentialThatIsNoTicketIsPassedOnAsACopy) {
    std::vector<BYTE> bytes = Packed(L"CORP", L"alice", L"t1");
    bytes[0] = 7;
    EXPECT_EQ(Update(bytes), S_OK);
    EXPECT_FALSE(TheCredentials().ticketFound);
    EXPECT_EQ(out.ulAuthenticationPackage, 2u);
    EXPECT_TRUE(IsEqualCLSID(out.clsidCredentialProvider, GUID_NULL));
    ASSERT_EQ(out.cbSerialization, bytes.size());
    EXPECT_NE(out.rgbSerialization, input.data());
    EXPECT_EQ(std::memcmp(out.rgbSerialization, bytes.data(), bytes.size()), 0);
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
    EXPECT_TRUE(log.Contains(L"ticket size=10"));
    EXPECT_FALSE(log.Contains(L"TICKET-123"));
}

// What the filter makes of each answer of the agent to the ticket of CORP\alice; null
// expectations are not checked.
struct AnswerCase {
    const char* what;
    std::vector<std::pair<const wchar_t*, const wchar_t*>> answer;
    const wchar_t *setting, *settingValue;  // an agent configuration value, or null
    const wchar_t* ticket;
    HRESULT hr;
    bool available, ticketFound, refused;
    const wchar_t *user, *domain, *password;  // kept in the record
    bool emptyUpns = false;                   // the answer also carries an empty "upns" bag
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
    EXPECT_EQ(Update(c.ticket ? Packed(L"CORP", L"alice", c.ticket) : std::vector<BYTE>(55, 0)), c.hr);
    const Credentials& creds = TheCredentials();
    EXPECT_EQ(creds.credentialsAvailable, c.available);
    EXPECT_EQ(creds.ticketFound, c.ticketFound);
    EXPECT_EQ(Refused(), c.refused);
    if (!c.refused && c.ticket) { EXPECT_EQ(out.rgbSerialization, nullptr); }  // a ticket never goes on to LogonUI
    if (c.user) { EXPECT_EQ(creds.userName, c.user); }
    if (c.domain) { EXPECT_EQ(creds.domainName, c.domain); }
    if (c.password) { EXPECT_TRUE(creds.password == c.password); }
}

const AnswerCase kAnswers[] = {
    {"password with user and domain", {{L"password", L"{SSO-AES:0}payload"}, {L"userName", L"alice2"}, {L"domainName", L"CORP2"}},
     nullptr, nullptr, L"T", S_OK, true, true, false, L"alice2", L"CORP2", L"{SSO-AES:0}payload"},
    {"user and domain default to the remote credential", {{L"password", L"pw"}}, nullptr, nullptr, L"T", S_OK, true,
     true, false, L"alice", L"CORP", L"pw"},
    {"expired wins over every credential", {{L"expired", L"true"}, {L"password", L"pw"}, {L"unauthUserName", L"k"},
     {L"unauthPassword", L"p"}}, nullptr, nullptr, L"T", E_FAIL, false, true, true, nullptr, nullptr, nullptr},
    {"certificate pin without container falls through to the password", {{L"certLogonPin", L"1234"}, {L"password", L"pw"}},
     nullptr, nullptr, L"T", S_OK, true, true, false, nullptr, nullptr, L"pw"},
    {"smart card pin without UPNs is a verification", {{L"smartCardPIN", L"4321"}, {L"password", L"pw"}}, nullptr,
     nullptr, L"T", S_OK, false, true, false, nullptr, nullptr, nullptr, true},
    {"SSO disabled by policy is a verification", {{L"password", L"pw"}}, L"AllowSingleSignon", L"false", L"T", S_OK,
     false, true, false, nullptr, nullptr, nullptr},
    {"an empty ticket is missing", {}, nullptr, nullptr, L"", S_OK, false, true, false, nullptr, nullptr, nullptr},
    {"no ticket while direct RDP is off", {}, L"AllowDirectRDP", L"false", L"", E_FAIL, false, true, true, nullptr,
     nullptr, nullptr},
    {"unmatched ticket while direct RDP is off", {}, L"AllowDirectRDP", L"0", L"forged", E_FAIL, false, false, true,
     nullptr, nullptr, nullptr},
    {"no credential while direct RDP is off", {}, L"AllowDirectRDP", L"false", nullptr, E_FAIL, false, false, true,
     nullptr, nullptr, nullptr},
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
    ASSERT_EQ(agent.Requests().size(), 1u);
    EXPECT_EQ(agent.Requests()[0].request.Get(L"ticket"), L"RLF-TICKET");
    EXPECT_TRUE(TheCredentials().credentialsAvailable);
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
