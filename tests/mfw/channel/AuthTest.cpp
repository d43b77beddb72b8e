// The client side of the authentication negotiation against the stand-in node manager's
// server half: versions, encodings, markers, packages and the SSPI settings.
#include "mfw/MfwTestSupport.h"

#include "lib/mfw/common/channel/AuthChannel.h"
#include "lib/mfw/common/channel/SharedMemChannel.h"

namespace mfwtest {
namespace {

using CORE::MessageFrameWork;
using CORE::PropertyBag;

class AuthFixture : public ChannelFixture {
protected:
    PropertyBag EchoScenario() {
        PropertyBag entry;
        entry.Set(L"echo", L"true");
        return WithOperation(PropertyBag(), L"Echo", entry);
    }
    // Connects; on success checks a round trip in the negotiated form.
    CORE::MessageChannel* Connect() {
        CORE::MessageChannel* channel = MessageFrameWork::GetFrameWork()->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM);
        if (!channel) return nullptr;
        PropertyBag request, response;
        request.Set(L"text", L"caf\u00e9 \u20ac");
        EXPECT_EQ(MessageFrameWork::GetFrameWork()->SendMsg(L"DesktopManager", L"Echo", request, response, channel, 30000), 0u)
            << Narrow(log.Dump());
        EXPECT_EQ(response.Get(L"text"), L"caf\u00e9 \u20ac");
        return channel;
    }
    void Close(CORE::MessageChannel* channel) { MessageFrameWork::GetFrameWork()->CloseChannel(channel); }
};

struct NegotiationCase {
    const char* what;
    const wchar_t* serverMinor;
    const wchar_t* serverEncoding;  // "" none
    const wchar_t* clientEncoding;  // "" none
    unsigned level;
    int encoding;
};

void PrintTo(const NegotiationCase& c, std::ostream* os) { *os << c.what; }

class Negotiation : public AuthFixture, public testing::WithParamInterface<NegotiationCase> {};

TEST_P(Negotiation, AgreesOnLevelAndEncoding) {
    const NegotiationCase& c = GetParam();
    PropertyBag scenario = WithServerKnob(EchoScenario(), L"MinorVersion", c.serverMinor);
    if (*c.serverEncoding) scenario = WithServerKnob(scenario, L"prefCharEncodingOnWire", c.serverEncoding);
    if (*c.clientEncoding) registry.SetString(kNodeManagerKey, L"onwireCharEncoding", c.clientEncoding);
    ASSERT_TRUE(StartServer(scenario));
    CORE::MessageChannel* channel = Connect();
    ASSERT_NE(channel, nullptr) << Narrow(log.Dump());
    EXPECT_EQ(channel->PeerLevel(), c.level);
    EXPECT_EQ(channel->WireEncoding(), c.encoding);
    Close(channel);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Negotiation,
    testing::Values(NegotiationCase{"minor 15 gives level 11", L"15", L"", L"", 11, 2},
                    NegotiationCase{"minor 9 gives level 9 (plain form even with Utf8)", L"9", L"1", L"Utf8", 9, 1},
                    NegotiationCase{"both Utf16", L"11", L"2", L"Utf16", 11, 2},
                    NegotiationCase{"client Utf8, server Utf16", L"11", L"2", L"Utf8", 11, 1},
                    NegotiationCase{"server Utf8, client Utf16", L"11", L"1", L"Utf16", 11, 1},
                    NegotiationCase{"client without preference", L"11", L"1", L"", 11, 2},
                    NegotiationCase{"both Utf8", L"11", L"1", L"utf8", 11, 1}),
    [](const testing::TestParamInfo<NegotiationCase>& info) { return "Case" + std::to_string(info.index); });

struct RefusalCase {
    const char* what;
    const wchar_t* knob;
    const wchar_t* value;
    const wchar_t* logged;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.what; }

class Refusal : public AuthFixture, public testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusal, FailsTheConnect) {
    const RefusalCase& c = GetParam();
    ASSERT_TRUE(StartServer(WithServerKnob(EchoScenario(), c.knob, c.value)));
    EXPECT_EQ(MessageFrameWork::GetFrameWork()->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM), nullptr);
    EXPECT_TRUE(log.Contains(c.logged)) << c.what << "\n" << Narrow(log.Dump());
    EXPECT_TRUE(log.Contains(L"Unable to connect, authentication failed, reason="));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusal,
    testing::Values(RefusalCase{"major version 3", L"MajorVersion", L"3", L"Authentication negotiate major version diff, mine=2, remote=3"},
                    RefusalCase{"marker mismatch", L"clientMarker", L"12345", L"Authentication outgoing: client marker incorrect"},
                    RefusalCase{"no auth guid", L"omitAuthGuid", L"true", L"Authentication negotiate version missing auth guid"},
                    RefusalCase{"no selected package", L"omitSelectedPackage", L"true", L"No selected package received from server"},
                    RefusalCase{"no common package", L"Packages", L"CERTSSL", L"No selected package received from server"}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return "Case" + std::to_string(info.index); });

TEST_F(AuthFixture, AnswersTheLocalChallenge) {
    ASSERT_TRUE(StartServer(WithServerKnob(EchoScenario(), L"challenge", L"true")));
    CORE::MessageChannel* channel = Connect();
    ASSERT_NE(channel, nullptr) << Narrow(log.Dump());
    Close(channel);
}

TEST_F(AuthFixture, ConnectsWhetherOrNotTheServerAnswersTheEarlyToken) {
    ASSERT_TRUE(StartServer(WithServerKnob(EchoScenario(), L"ignoreEarlyToken", L"true")));
    CORE::MessageChannel* ignored = Connect();
    ASSERT_NE(ignored, nullptr) << Narrow(log.Dump());
    Close(ignored);
    server.SetScenario(EchoScenario());
    CORE::MessageChannel* answered = Connect();
    ASSERT_NE(answered, nullptr) << Narrow(log.Dump());
    EXPECT_EQ(answered->Security()->Package(), L"Negotiate");
    Close(answered);
}

TEST_F(AuthFixture, OldPeersGetTheLocalStartupMessage) {
    ASSERT_TRUE(StartServer(WithServerKnob(EchoScenario(), L"MinorVersion", L"8")));
    CORE::MessageChannel* channel = Connect();
    ASSERT_NE(channel, nullptr);
    EXPECT_EQ(channel->PeerLevel(), 8u);
    Close(channel);
    EXPECT_TRUE(log.Contains(L"Local incoming channel peer exename="));
}

TEST_F(AuthFixture, AnImpostorKeyIsRefusedByMutualAuthentication) {
    fake.securityPackage.clientKeyOverride.assign(32, 0x42);
    ASSERT_TRUE(StartServer(EchoScenario()));
    EXPECT_EQ(MessageFrameWork::GetFrameWork()->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM), nullptr);
    EXPECT_TRUE(log.Contains(L"status 0x80090363")) << Narrow(log.Dump());  // SEC_E_MUTUAL_AUTH_FAILED
}

TEST_F(AuthFixture, ContextBelowTheMinimumIsRefused) {
    registry.SetString(L"Software\\Velmora\\Zephral\\Security", L"SspiClientContextWanted", L"14");  // no confidentiality
    ASSERT_TRUE(StartServer(EchoScenario()));
    EXPECT_EQ(MessageFrameWork::GetFrameWork()->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM), nullptr);
    EXPECT_TRUE(log.Contains(L"context attributes 0xe lack the minimum 0x1c")) << Narrow(log.Dump());
}

TEST_F(AuthFixture, KerberosFailureIsRetriedWithNtlm) {
    fake.dnsDomain = L"corp.example";  // an SPN exists, so Kerberos is offered
    fake.securityPackage.unavailablePackages = {L"Kerberos"};
    ASSERT_TRUE(StartServer(WithServerKnob(EchoScenario(), L"Packages", L"Kerberos,NTLM")));
    CORE::MessageChannel* channel = Connect();
    ASSERT_NE(channel, nullptr) << Narrow(log.Dump());
    EXPECT_EQ(channel->Security()->Package(), L"NTLM");
    Close(channel);
    EXPECT_TRUE(log.Contains(L"SharedMemChannel Kerberos authentication failed falling back to NTLM."));
    EXPECT_TRUE(log.Contains(L"Using 'vdi-host@corp.example' as SPN for Kerberos authentication."));
}

TEST_F(AuthFixture, WithoutSpnKerberosIsNotOfferedUnlessEnforced) {
    CORE::AuthOptions options;
    ASSERT_TRUE(CORE::SharedMemChannel::SetAuthParams(L"", &options));
    EXPECT_EQ(options.packages, (std::vector<std::wstring>{L"Negotiate", L"NTLM"}));
    EXPECT_TRUE(log.Contains(L"No SPN provided for Kerberos authentication, falling back to NTLM."));
    EXPECT_FALSE(CORE::SharedMemChannel::SetAuthParams(L"KERBEROS", &options));
    EXPECT_TRUE(log.Contains(L"Kerberos authentication enforced with no SPN, terminating connection."));
}

TEST_F(AuthFixture, OverrideModeForcesThePackage) {
    registry.SetString(kAuthenticateKey + std::wstring(L"\\SharedMem"), L"AuthPackageOverrideMode", L"none");
    ASSERT_TRUE(StartServer(EchoScenario()));
    CORE::MessageChannel* channel = Connect();
    ASSERT_NE(channel, nullptr) << Narrow(log.Dump());
    EXPECT_EQ(channel->Security(), nullptr);
    Close(channel);
    EXPECT_TRUE(log.Contains(L"authenticate using auth package override mode NONE"));
}

TEST_F(AuthFixture, AnInvalidOverrideModeFallsBackToNegotiate) {
    registry.SetString(kAuthenticateKey + std::wstring(L"\\SharedMem"), L"AuthPackageOverrideMode", L"bogus");
    EXPECT_EQ(CORE::SharedMemChannel::GetAuthPackageOverrideMode(), L"NEGOTIATE");
    EXPECT_TRUE(log.Contains(L"Invalid auth package override mode 'bogus' configured falling back to negotiate."));
}

TEST_F(AuthFixture, NoneIsNeverOfferedByDefault) {
    ASSERT_TRUE(StartServer(WithServerKnob(EchoScenario(), L"Packages", L"NONE")));
    EXPECT_EQ(MessageFrameWork::GetFrameWork()->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM), nullptr);
}

TEST_F(AuthFixture, FinalTokenMustCarryEveryPeerParameter) {
    CORE::MessageChannel channel(L"unit", true);
    platform::unique_handle mapping;
    const PropertyBag complete = CORE::AuthChannel::LocalPeerParams(L"guid-1", false, &mapping);
    struct Case {
        const wchar_t* drop;
        const wchar_t* logged;
    } cases[] = {
        {L"machineName", L"Authentication last token missing machine name"},
        {L"pid", L"Authentication last token missing pid"},
        {L"peerSID", L"Authentication last token missing peerSID"},
        {L"session", L"Authentication last token missing session"},
    };
    for (const auto& c : cases) {
        PropertyBag token = complete;
        token.Remove(c.drop);
        CORE::PeerParams peer;
        std::wstring reason;
        EXPECT_FALSE(CORE::AuthChannel::processPeerParams(channel, token, false, L"guid-1", &peer, &reason));
        EXPECT_TRUE(log.Contains(c.logged)) << Narrow(c.drop);
    }
    CORE::PeerParams peer;
    std::wstring reason;
    EXPECT_TRUE(CORE::AuthChannel::processPeerParams(channel, complete, false, L"guid-1", &peer, &reason)) << Narrow(reason);
    EXPECT_EQ(peer.pid, ::GetCurrentProcessId());
}

TEST_F(AuthFixture, GuidMappingProvesOnlyTheGuidItWasMadeFor) {
    platform::unique_handle mapping;
    PropertyBag mine = CORE::AuthChannel::LocalPeerParams(L"guid-2", true, &mapping);
    uint64_t handle = _wcstoui64(mine.Get(L"guidFileMappingHandle").c_str(), nullptr, 10);
    EXPECT_TRUE(CORE::AuthChannel::VerifyGuidMapping(::GetCurrentProcessId(), handle, L"guid-2"));
    EXPECT_FALSE(CORE::AuthChannel::VerifyGuidMapping(::GetCurrentProcessId(), handle, L"guid-3"));
    EXPECT_FALSE(CORE::AuthChannel::VerifyGuidMapping(::GetCurrentProcessId(), handle + 4000, L"guid-2"));
}

}  // namespace
}  // namespace mfwtest
