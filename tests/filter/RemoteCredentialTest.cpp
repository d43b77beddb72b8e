#include "filter/credfilter.h"

#include "base/SessionInfo.h"
#include "filter/PackedInteractiveLogon.h"
#include "platform/UniqueResource.h"
#include "sso/Credentials.h"
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

CORE::PropertyBag Bag(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> items) {
    CORE::PropertyBag bag;
    for (const auto& [name, value] : items) bag.Set(name, value);
    return bag;
}

class RemoteCredentialTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ResetSessionIdCache();
        Credentials& c = TheCredentials();
        c.ClearCredentials(true);
        c.certLogon.containerName.clear();
        c.certLogon.pin.Wipe();
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
    bool Refused() const { return !fake.messageBoxTexts.empty() && fake.disconnects.load() == 1; }

    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
    ScriptedAgent agent;
    com_ptr<ICredentialProviderFilter> filter;
    std::vector<BYTE> input;
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION out{};
};

TEST_F(RemoteCredentialTest, DrvSessionsAreLeftToTheirOwnProtocol) {
    fake.clientProtocol = 3;
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION untouched;
    std::memset(&untouched, 0xAB, sizeof(untouched));
    out = untouched;
    EXPECT_EQ(filter->UpdateRemoteCredential(nullptr, &out), E_NOTIMPL);
    EXPECT_EQ(std::memcmp(&out, &untouched, sizeof(out)), 0);
    out = {};
    EXPECT_TRUE(log.Contains(L"DRV protocol type, skipping UpdateRemoteCredential"));
}

TEST_F(RemoteCredentialTest, NoOutputPointerIsRefusedCleanly) {
    EXPECT_EQ(filter->UpdateRemoteCredential(nullptr, nullptr), E_INVALIDARG);
}

TEST_F(RemoteCredentialTest, ExactlyTheHeaderWithEmptyStringsIsAMissingTicket) {
    EXPECT_EQ(Update(Packed(L"", L"", L"")), S_OK);
    EXPECT_TRUE(TheCredentials().ticketFound);
    EXPECT_EQ(out.rgbSerialization, nullptr);
    EXPECT_EQ(out.cbSerialization, 0u);
    EXPECT_TRUE(log.Contains(L"credfilter::UpdateRemoteCredential(): no ticket specified for user \\"));
    EXPECT_EQ(agent.Requests().size(), 0u);
    EXPECT_FALSE(Refused());
}

TEST_F(RemoteCredentialTest, AStringOneByteBeyondTheBufferIsInvalidData) {
    std::vector<BYTE> bytes = Packed(L"CORP", L"alice", L"t1");
    bytes[40] += 1;  // Password Length
    bytes[42] += 1;
    EXPECT_EQ(Update(bytes), S_OK);  // direct RDP allowed: the connection goes on as it came
    EXPECT_TRUE(log.Contains(L"KERB_INTERACTIVE_LOGON invalid data"));
    EXPECT_TRUE(log.Contains(L"AllowDirectRDP is true or unset. Allowing direct connection."));
    EXPECT_FALSE(TheCredentials().ticketFound);
    ASSERT_EQ(out.cbSerialization, bytes.size());  // LogonUI keeps the remote credential
    EXPECT_EQ(std::memcmp(out.rgbSerialization, bytes.data(), bytes.size()), 0);
}

TEST_F(RemoteCredentialTest, AHugeOffsetCannotWrapPastTheSizeCheck) {
    std::vector<BYTE> bytes = Packed(L"CORP", L"alice", L"t1");
    const ULONGLONG huge = 0xFFFFFFFFFFFFFFFEull;
    std::memcpy(&bytes[48], &huge, 8);
    EXPECT_EQ(Update(bytes), S_OK);
    EXPECT_TRUE(log.Contains(L"KERB_INTERACTIVE_LOGON invalid data"));
}

TEST_F(RemoteCredentialTest, WrongMessageTypeAndShortBuffersAreNotTickets) {
    std::vector<BYTE> bytes = Packed(L"CORP", L"alice", L"t1");
    bytes[0] = 7;
    EXPECT_EQ(Update(bytes), S_OK);
    EXPECT_TRUE(log.Contains(L"NOT KerbInteractiveLogon. MessageType is 7."));
    EXPECT_EQ(Update(std::vector<BYTE>(55, 0)), S_OK);
    EXPECT_TRUE(log.Contains(L"KERB_INTERACTIVE_LOGON too small"));
}

TEST_F(RemoteCredentialTest, MatchedTicketWithAPasswordMakesSsoAvailable) {
    agent.Answer(L"GetCredentialsForTicket",
                 Bag({{L"password", L"{SSO-AES:0}payload"}, {L"userName", L"alice2"}, {L"domainName", L"CORP2"}}));
    EXPECT_EQ(Update(Packed(L"CORP", L"alice", L"TICKET-123")), S_OK);
    const Credentials& c = TheCredentials();
    EXPECT_TRUE(c.ticketFound);
    EXPECT_TRUE(c.credentialsAvailable);
    EXPECT_TRUE(c.password == L"{SSO-AES:0}payload");
    EXPECT_EQ(c.userName, L"alice2");
    EXPECT_EQ(c.domainName, L"CORP2");
    EXPECT_EQ(out.rgbSerialization, nullptr);  // the ticket does not go on to LogonUI
    auto sent = agent.Requests();
    ASSERT_EQ(sent.size(), 1u);
    const CORE::PropertyBag& r = sent[0].request;
    ASSERT_EQ(r.Count(), 5u);
    EXPECT_EQ(r.GetNameAt(0), L"sessionId");
    EXPECT_EQ(r.GetNameAt(4), L"ticket");
    EXPECT_EQ(r.Get(L"ticket"), L"TICKET-123");
    EXPECT_EQ(r.Get(L"userName"), L"alice");
    EXPECT_TRUE(log.Contains(L"Check for our ticket, domain=CORP, user=alice, ticket size=10"));
    EXPECT_FALSE(log.Contains(L"TICKET-123"));  // the ticket itself is never logged
    EXPECT_TRUE(log.Contains(L"got encrypted password from DesktopManager"));
}

TEST_F(RemoteCredentialTest, UserAndDomainDefaultToTheRemoteCredential) {
    agent.Answer(L"GetCredentialsForTicket", Bag({{L"password", L"pw"}}));
    EXPECT_EQ(Update(Packed(L"CORP", L"alice", L"T")), S_OK);
    EXPECT_EQ(TheCredentials().userName, L"alice");
    EXPECT_EQ(TheCredentials().domainName, L"CORP");
}

TEST_F(RemoteCredentialTest, ExpiredWinsOverEveryCredentialItCarries) {
    agent.Answer(L"GetCredentialsForTicket", Bag({{L"expired", L"true"}, {L"password", L"pw"},
                                                  {L"unauthUserName", L"k"}, {L"unauthPassword", L"p"}}));
    EXPECT_EQ(Update(Packed(L"CORP", L"alice", L"T")), E_FAIL);
    EXPECT_TRUE(Refused());
    EXPECT_FALSE(TheCredentials().credentialsAvailable);
    ASSERT_EQ(fake.messageBoxCaptions.size(), 1u);
    EXPECT_EQ(fake.messageBoxCaptions[0], L"Dravik Lumo Agent");
    EXPECT_EQ(fake.messageBoxStyles[0], static_cast<UINT>(MB_ICONERROR | MB_SERVICE_NOTIFICATION));
    EXPECT_FALSE(fake.messageBoxTexts[0].empty());
    EXPECT_TRUE(log.Contains(L"User CORP\\alice attempted an un-brokered connection to this machine", CORE::LOG_WARN));
}

TEST_F(RemoteCredentialTest, CertificateSsoStoresContainerPinAndAttempts) {
    agent.Answer(L"GetCredentialsForTicket", Bag({{L"certLogonPin", L"1234"}, {L"certLogonContainerName", L"cont"},
                                                  {L"BROKERUSERSID", L"S-1-5-21-9"}}));
    EXPECT_EQ(Update(Packed(L"CORP", L"alice", L"T")), S_OK);
    const Credentials& c = TheCredentials();
    EXPECT_TRUE(c.credentialsAvailable);
    EXPECT_EQ(c.certLogon.containerName, L"cont");
    EXPECT_EQ(c.certLogon.attemptsLeft, 3u);
    EXPECT_EQ(c.brokerUserSid, L"S-1-5-21-9");
}

TEST_F(RemoteCredentialTest, ACertificatePinWithoutAContainerFallsThroughToThePassword) {
    agent.Answer(L"GetCredentialsForTicket", Bag({{L"certLogonPin", L"1234"}, {L"password", L"pw"}}));
    EXPECT_EQ(Update(Packed(L"CORP", L"alice", L"T")), S_OK);
    EXPECT_TRUE(TheCredentials().certLogon.pin.empty());
    EXPECT_TRUE(TheCredentials().password == L"pw");
}

TEST_F(RemoteCredentialTest, ASmartCardPinWithoutUpnsIsOnlyAVerification) {
    CORE::PropertyBag answer = Bag({{L"smartCardPIN", L"4321"}, {L"password", L"pw"}});
    answer.SetBag(L"upns", CORE::PropertyBag());
    agent.Answer(L"GetCredentialsForTicket", answer);
    EXPECT_EQ(Update(Packed(L"CORP", L"alice", L"T")), S_OK);
    EXPECT_FALSE(TheCredentials().credentialsAvailable);
    EXPECT_TRUE(log.Contains(L"Successful ticket verification NON SSO"));
}

TEST_F(RemoteCredentialTest, SsoDisabledByPolicyMeansVerificationOnly) {
    registry.SetAgentConfig(L"AllowSingleSignon", L"false");
    agent.Answer(L"GetCredentialsForTicket", Bag({{L"password", L"pw"}}));
    EXPECT_EQ(Update(Packed(L"CORP", L"alice", L"T")), S_OK);
    EXPECT_FALSE(TheCredentials().credentialsAvailable);
    EXPECT_TRUE(TheCredentials().ticketFound);
}

TEST_F(RemoteCredentialTest, UnbrokeredConnectionsAreRefusedWhenDirectRdpIsOff) {
    registry.SetAgentConfig(L"AllowDirectRDP", L"false");
    EXPECT_EQ(Update(Packed(L"CORP", L"mallory", L"")), E_FAIL);
    EXPECT_TRUE(Refused());
    EXPECT_TRUE(log.Contains(L"User CORP\\mallory attempted an un-brokered connection"));
}

TEST_F(RemoteCredentialTest, AnUnmatchedTicketIsRefusedWhenDirectRdpIsOff) {
    registry.SetAgentConfig(L"AllowDirectRDP", L"0");
    agent.Answer(L"GetCredentialsForTicket", CORE::PropertyBag());  // the agent knows no such ticket
    EXPECT_EQ(Update(Packed(L"CORP", L"alice", L"forged")), E_FAIL);
    EXPECT_TRUE(log.Contains(L"AllowDirectRDP is false. Disallowing direct RDP connection."));
    EXPECT_TRUE(Refused());
    EXPECT_FALSE(TheCredentials().ticketFound);
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
