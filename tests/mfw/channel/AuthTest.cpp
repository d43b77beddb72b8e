// The client side of the authentication negotiation against the stand-in node manager's
// server half: versions, encodings, markers, packages and the SSPI settings.
#include "mfw/MfwTestSupport.h"

#include "lib/mfw/common/channel/AuthChannel.h"
#include "lib/mfw/common/channel/ChannelSettings.h"
#include "lib/mfw/common/channel/SharedMemChannel.h"

namespace mfwtest {
namespace {

using CORE::MessageFrameWork;
using CORE::PropertyBag;

class AuthFixture : public ChannelFixture {
protected:
    static PropertyBag Echo(std::initializer_list<std::pair<const wchar_t*, std::wstring>> knobs = {}) {
        PropertyBag scenario = WithOperation(PropertyBag(), L"Echo", Bag({{L"echo", L"true"}}));
        for (const auto& knob : knobs) scenario = WithServerKnob(scenario, knob.first, knob.second);
        return scenario;
    }
    static CORE::MessageChannel* ConnectOnly() {
        return MessageFrameWork::GetFrameWork()->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM);
    }
    // Connects; on success checks a round trip in the negotiated form.
    CORE::MessageChannel* Connect() {
        CORE::MessageChannel* channel = ConnectOnly();
        if (!channel) return nullptr;
        PropertyBag response;
        EXPECT_EQ(MessageFrameWork::GetFrameWork()->SendMsg(L"DesktopManager", L"Echo", Bag({{L"text", L"caf\u00e9 \u20ac"}}),
                                                            response, channel, 30000),
                  0u)
            << Narrow(log.Dump());
        EXPECT_EQ(response.Get(L"text"), L"caf\u00e9 \u20ac");
        return channel;
    }
    void Close(CORE::MessageChannel* channel) { MessageFrameWork::GetFrameWork()->CloseChannel(channel); }
};

TEST_F(AuthFixture, NegotiationAgreesOnLevelAndEncoding) {
    struct {
        const char* what;
        const wchar_t* serverMinor;
        const wchar_t* serverEncoding;  // "" none
        const wchar_t* clientEncoding;  // "" none
        unsigned level;
        int encoding;
    } const cases[] = {
        {"minor 15 gives level 11", L"15", L"", L"", 11, 2},
        {"minor 9 gives level 9 (plain form even with Utf8)", L"9", L"1", L"Utf8", 9, 1},
        {"both Utf16", L"11", L"2", L"Utf16", 11, 2},
        {"client Utf8, server Utf16", L"11", L"2", L"Utf8", 11, 1},
        {"server Utf8, client Utf16", L"11", L"1", L"Utf16", 11, 1},
        {"client without preference", L"11", L"1", L"", 11, 2},
        {"both Utf8", L"11", L"1", L"utf8", 11, 1},
        {"minor 8 gives level 8 and the local startup message", L"8", L"", L"", 8, 2},
    };
    ASSERT_TRUE(StartServer(Echo()));
    for (const auto& c : cases) {
        server.SetScenario(*c.serverEncoding ? Echo({{L"MinorVersion", c.serverMinor}, {L"prefCharEncodingOnWire", c.serverEncoding}})
                                             : Echo({{L"MinorVersion", c.serverMinor}}));
        registry.SetString(kNodeManagerKey, L"onwireCharEncoding", c.clientEncoding);
        CORE::InvalidateChannelSettings();
        CORE::MessageChannel* channel = Connect();
        ASSERT_NE(channel, nullptr) << c.what << "\n" << Narrow(log.Dump());
        EXPECT_EQ(channel->PeerLevel(), c.level) << c.what;
        EXPECT_EQ(channel->WireEncoding(), c.encoding) << c.what;
        EXPECT_EQ(channel->Security()->Package(), L"Negotiate");
        Close(channel);
        EXPECT_EQ(log.Contains(L"Local incoming channel peer exename="), c.level < 9) << c.what;
    }
}

TEST_F(AuthFixture, ServerAnswersThatDoNotFitFailTheConnect) {
    struct {
        const wchar_t* knob;
        const wchar_t* value;
        const wchar_t* logged;
    } const cases[] = {
        {L"MajorVersion", L"3", L"Authentication negotiate major version diff, mine=2, remote=3"},
        {L"clientMarker", L"12345", L"Authentication outgoing: client marker incorrect"},
        {L"omitAuthGuid", L"true", L"Authentication negotiate version missing auth guid"},
        {L"omitSelectedPackage", L"true", L"No selected package received from server"},
        {L"Packages", L"CERTSSL", L"No selected package received from server"},
        {L"Packages", L"NONE", L"No selected package received from server"},  // never offered by default
    };
    ASSERT_TRUE(StartServer(Echo()));
    for (const auto& c : cases) {
        log.Clear();
        server.SetScenario(Echo({{c.knob, c.value}}));
        EXPECT_EQ(ConnectOnly(), nullptr) << Narrow(c.knob);
        EXPECT_TRUE(log.Contains(c.logged)) << Narrow(c.knob) << "\n" << Narrow(log.Dump());
        EXPECT_TRUE(log.Contains(L"Unable to connect, authentication failed, reason="));
    }
}

TEST_F(AuthFixture, ConnectsWhetherTheServerChallengesAndWhetherItAnswersTheEarlyToken) {
    ASSERT_TRUE(StartServer(Echo()));
    for (const wchar_t* knob : {L"challenge", L"ignoreEarlyToken"}) {
        server.SetScenario(Echo({{knob, L"true"}}));
        CORE::MessageChannel* channel = Connect();
        ASSERT_NE(channel, nullptr) << Narrow(knob) << "\n" << Narrow(log.Dump());
        Close(channel);
    }
}

TEST_F(AuthFixture, AnImpostorKeyIsRefusedByMutualAuthentication) {
    fake.securityPackage.clientKeyOverride.assign(32, 0x42);
    ASSERT_TRUE(StartServer(Echo()));
    EXPECT_EQ(ConnectOnly(), nullptr);
    EXPECT_TRUE(log.Contains(L"status 0x80090363")) << Narrow(log.Dump());  // SEC_E_MUTUAL_AUTH_FAILED
}

// Only the real node manager is believed: the process that answered the connect must run as the
// node manager's account, and the final token must name that same account.
TEST_F(AuthFixture, ConnectBelievesOnlyAProcessOfTheNodeManagersAccount) {
    ASSERT_TRUE(StartServer(Echo()));
    fake.nodeManagerAccount = L"S-1-5-18";  // the test's own user is not LocalSystem
    EXPECT_EQ(ConnectOnly(), nullptr);
    EXPECT_TRUE(log.Contains(L"not as LocalSystem; refusing it", CORE::LOG_ERROR)) << Narrow(log.Dump());
    fake.processSid = L"S-1-5-18";  // the answering process passes, its final token names the real user
    EXPECT_EQ(ConnectOnly(), nullptr);
    EXPECT_TRUE(log.Contains(L"but node manager process", CORE::LOG_ERROR)) << Narrow(log.Dump());
}

// The binding asks the RPC runtime to prove the node manager before any call goes out; when
// it cannot, nothing is sent.
TEST_F(AuthFixture, TheRpcBindingMustRequireTheNodeManagersIdentity) {
    registry.SetString(kNodeManagerKey, L"disableRPCSharedMemListener", L"false");
    CORE::InvalidateChannelSettings();
    fake.nodeManagerInstance += L".unbound";  // an endpoint of its own, so a binding is made
    fake.secureBindingResult = RPC_S_UNKNOWN_AUTHN_SERVICE;
    EXPECT_EQ(ConnectOnly(), nullptr);
    EXPECT_EQ(fake.securedBindings.load(), 1);
    EXPECT_TRUE(log.Contains(L"failed to require the node manager's identity on the RPC binding", CORE::LOG_ERROR))
        << Narrow(log.Dump());
    EXPECT_FALSE(log.Contains(L"Failed to initiate shared memory over RPC"));
}

// However long each step may wait, the whole connect ends within the request's time-out.
TEST_F(AuthFixture, ANodeManagerThatStallsTheHandshakeIsGivenUpWithinTheConnectDeadline) {
    registry.SetString(kAuthenticateKey, L"MsgTimeoutSeconds", L"3600");
    ASSERT_TRUE(StartServer(Echo({{L"silentHandshake", L"true"}})));
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(ConnectOnly(), nullptr);
    const ULONGLONG elapsed = ::GetTickCount64() - start;
    EXPECT_GE(elapsed, CORE::SharedMemChannel::kConnectDeadlineMs - 1000);
    EXPECT_LT(elapsed, CORE::SharedMemChannel::kConnectDeadlineMs + 5000u);
    EXPECT_TRUE(log.Contains(L"no answer from the peer within the time-out")) << Narrow(log.Dump());
}

TEST_F(AuthFixture, ContextBelowTheMinimumIsRefused) {
    registry.SetString(L"Software\\Velmora\\Zephral\\Security", L"SspiClientContextWanted", L"14");  // no confidentiality
    ASSERT_TRUE(StartServer(Echo()));
    EXPECT_EQ(ConnectOnly(), nullptr);
    EXPECT_TRUE(log.Contains(L"context attributes 0xe lack the minimum 0x1c")) << Narrow(log.Dump());
}

TEST_F(AuthFixture, KerberosFailureIsRetriedWithNtlm) {
    fake.dnsDomain = L"corp.example";  // an SPN exists, so Kerberos is offered
    fake.securityPackage.unavailablePackages = {L"Kerberos"};
    ASSERT_TRUE(StartServer(WithServerKnob(Echo(), L"Packages", L"Kerberos,NTLM")));
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
    ASSERT_TRUE(StartServer(Echo()));
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
