// The client side of the authentication negotiation against the stand-in node manager's
// server half: versions, encodings, markers, packages and the SSPI settings.
#include "mfw/MfwTestSupport.h"

#include "lib/mfw/common/channel/AuthChannel.h"
#include "lib/mfw/common/channel/SharedMemChannel.h"

namespace mfwtest {
namespace {

using CORE::MessageFrameWork;
using CORE::PropertyBag;

struct AuthFixture : ChannelFixture {
    static PropertyBag Echo(std::initializer_list<std::pair<const wchar_t*, std::wstring>> knobs = {}) {
        PropertyBag scenario = With(PropertyBag(), L"DesktopManager", L"Echo", Bag({{L"echo", L"true"}}));
        for (const auto& knob : knobs) scenario = With(scenario, L"server", knob.first, knob.second);
        return scenario;
    }
    static CORE::MessageChannel* ConnectOnly() {
        return MessageFrameWork::GetFrameWork()->ConnectChannel(MessageFrameWork::CHANNEL_LOCAL_SHAREDMEM);
    }
    // The connect fails, and says why.
    void ExpectRefused(const wchar_t* logged, int level = -1) {
        EXPECT_TRUE(ConnectOnly() == nullptr && log.Contains(logged, level)) << Narrow(logged) << "\n" << Narrow(log.Dump());
    }
    // Connects, checks a round trip in the negotiated form and closes again; the channel's
    // package ("" without security), its peer level and its wire encoding.
    std::tuple<std::wstring, unsigned, int> Connect() {
        MessageFrameWork* framework = MessageFrameWork::GetFrameWork();
        CORE::MessageChannel* channel = ConnectOnly();
        if (!channel) return {L"<no channel>", 0, 0};
        const std::wstring text = L"caf\u00e9 \u20ac";
        PropertyBag response;
        EXPECT_TRUE(framework->SendMsg(L"DesktopManager", L"Echo", Bag({{L"text", text}}), response, channel, 30000) == 0u &&
                    response.Get(L"text") == text)
            << Narrow(log.Dump());
        std::tuple<std::wstring, unsigned, int> facts{channel->Security() ? channel->Security()->Package() : L"", channel->PeerLevel(),
                                                      channel->WireEncoding()};
        framework->CloseChannel(channel);
        return facts;
    }
};

TEST_F(AuthFixture, NegotiationAgreesOnLevelAndEncoding) {
    const std::tuple<const char*, const wchar_t*, const wchar_t*, const wchar_t*, unsigned, int> cases[] = {
        // what, server minor version, server encoding ("" none), client encoding ("" none), level, encoding
        {"minor 15 gives level 11", L"15", L"", L"", 11, 2},
        {"minor 9 gives level 9 (plain form even with Utf8)", L"9", L"1", L"Utf8", 9, 1},
        {"both Utf16", L"11", L"2", L"Utf16", 11, 2},
        {"client Utf8 in any case, server Utf16", L"11", L"2", L"utf8", 11, 1},
        {"server Utf8, client Utf16", L"11", L"1", L"Utf16", 11, 1},
        {"client without preference", L"11", L"1", L"", 11, 2},
        {"minor 8 gives level 8 and the local startup message", L"8", L"", L"", 8, 2},
    };
    ASSERT_TRUE(StartServer(Echo()));
    for (const auto& [what, minor, serverEncoding, clientEncoding, level, encoding] : cases) {
        server.SetScenario(Echo({{L"MinorVersion", minor}, {L"prefCharEncodingOnWire", serverEncoding}}));
        Setting(kNodeManagerKey, L"onwireCharEncoding", clientEncoding);
        EXPECT_EQ(Connect(), std::make_tuple(std::wstring(L"Negotiate"), level, encoding)) << what << "\n" << Narrow(log.Dump());
        EXPECT_EQ(log.Contains(L"Local incoming channel peer exename="), level < 9) << what;
    }
}

TEST_F(AuthFixture, ServerAnswersThatDoNotFitFailTheConnectButAChallengeOrAnUnansweredEarlyTokenDoNot) {
    const std::tuple<const wchar_t*, const wchar_t*, const wchar_t*> cases[] = {
        {L"MajorVersion", L"3", L"Authentication negotiate major version diff, mine=2, remote=3"},
        {L"clientMarker", L"12345", L"Authentication outgoing: client marker incorrect"},
        {L"omitAuthGuid", L"true", L"Authentication negotiate version missing auth guid"},
        {L"omitSelectedPackage", L"true", L"No selected package received from server"},
        {L"Packages", L"CERTSSL", L"No selected package received from server"},
        {L"Packages", L"NONE", L"No selected package received from server"},  // never offered by default
        {L"selectPackage", L"NONE", L"which was not offered"},
    };
    ASSERT_TRUE(StartServer(Echo()));
    for (const auto& [knob, value, logged] : cases) {
        log.Clear();
        server.SetScenario(Echo({{knob, value}}));
        ExpectRefused(logged);
        EXPECT_TRUE(log.Contains(L"Unable to connect, authentication failed, reason=")) << Narrow(knob);
    }
    for (const wchar_t* knob : {L"challenge", L"ignoreEarlyToken"}) {
        server.SetScenario(Echo({{knob, L"true"}}));
        EXPECT_EQ(std::get<0>(Connect()), L"Negotiate") << Narrow(knob) << "\n" << Narrow(log.Dump());
    }
}

// Only the real node manager is believed, over a context that protects the messages: its key
// must answer mutual authentication, the process that answered the connect must run as the
// node manager's account, and the final token must name that same account.
TEST_F(AuthFixture, ConnectBelievesOnlyTheNodeManagersKeyAndAccountWithAFullContext) {
    ASSERT_TRUE(StartServer(Echo()));
    Setting(L"Software\\Velmora\\Zephral\\Security", L"SspiClientContextWanted", L"14");  // no confidentiality
    ExpectRefused(L"context attributes 0xe lack the minimum 0x1c");
    Setting(L"Software\\Velmora\\Zephral\\Security", L"SspiClientContextWanted", L"30");
    fake.securityPackage.clientKeyOverride.assign(32, 0x42);
    ExpectRefused(L"status 0x80090363");  // SEC_E_MUTUAL_AUTH_FAILED
    fake.securityPackage.clientKeyOverride.clear();
    fake.nodeManagerAccount = L"S-1-5-18";  // the test's own user is not LocalSystem
    ExpectRefused(L"not as LocalSystem; refusing it", CORE::LOG_ERROR);
    fake.processSid = L"S-1-5-18";  // the answering process passes, its final token names the real user
    ExpectRefused(L"but node manager process", CORE::LOG_ERROR);
}

// The binding asks the RPC runtime to prove the node manager before any call goes out; when
// it cannot, nothing is sent.
TEST_F(AuthFixture, TheRpcBindingMustRequireTheNodeManagersIdentity) {
    Setting(kNodeManagerKey, L"disableRPCSharedMemListener", L"false");
    fake.nodeManagerInstance += L".unbound";  // an endpoint of its own, so a binding is made
    fake.secureBindingResult = RPC_S_UNKNOWN_AUTHN_SERVICE;
    ExpectRefused(L"failed to require the node manager's identity on the RPC binding", CORE::LOG_ERROR);
    EXPECT_TRUE(fake.securedBindings.load() == 1 && !log.Contains(L"Failed to initiate shared memory over RPC"));
}

// However long each step may wait, the whole connect ends within the request's time-out.
TEST_F(AuthFixture, ANodeManagerThatStallsTheHandshakeIsGivenUpWithinTheConnectDeadline) {
    registry.SetString(kAuthenticateKey, L"MsgTimeoutSeconds", L"3600");
    ASSERT_TRUE(StartServer(Echo({{L"silentHandshake", L"true"}})));
    const ULONGLONG start = ::GetTickCount64();
    ExpectRefused(L"no answer from the peer within the time-out");
    const ULONGLONG elapsed = ::GetTickCount64() - start, deadline = CORE::SharedMemChannel::kConnectDeadlineMs;
    EXPECT_TRUE(elapsed + 1000 >= deadline && elapsed < deadline + 5000u) << elapsed;
}

TEST_F(AuthFixture, KerberosFailureIsRetriedWithNtlm) {
    fake.dnsDomain = L"corp.example";  // an SPN exists, so Kerberos is offered
    fake.securityPackage.unavailablePackages = {L"Kerberos"};
    ASSERT_TRUE(StartServer(With(Echo(), L"server", L"Packages", L"Kerberos,NTLM")));
    EXPECT_EQ(std::get<0>(Connect()), L"NTLM") << Narrow(log.Dump());
    EXPECT_TRUE(log.Contains(L"SharedMemChannel Kerberos authentication failed falling back to NTLM.") &&
                log.Contains(L"Using 'vdi-host@corp.example' as SPN for Kerberos authentication."));
}

TEST_F(AuthFixture, WithoutSpnKerberosIsNotOfferedUnlessEnforcedAndTheOverrideModeForcesThePackageOrFallsBackToNegotiate) {
    CORE::AuthOptions options;
    ASSERT_TRUE(CORE::SharedMemChannel::SetAuthParams(L"", &options));
    EXPECT_TRUE(options.packages == (std::vector<std::wstring>{L"Negotiate", L"NTLM"}) && !CORE::SharedMemChannel::SetAuthParams(L"KERBEROS", &options));
    EXPECT_TRUE(log.Contains(L"No SPN provided for Kerberos authentication, falling back to NTLM.") &&
                log.Contains(L"Kerberos authentication enforced with no SPN, terminating connection."));
    const std::wstring key = kAuthenticateKey + std::wstring(L"\\SharedMem");
    registry.SetString(key, L"AuthPackageOverrideMode", L"bogus");
    EXPECT_TRUE(CORE::SharedMemChannel::GetAuthPackageOverrideMode() == L"NEGOTIATE" &&
                log.Contains(L"Invalid auth package override mode 'bogus' configured falling back to negotiate."));
    Setting(key, L"AuthPackageOverrideMode", L"none");
    ASSERT_TRUE(StartServer(Echo()));
    EXPECT_TRUE(std::get<0>(Connect()).empty() && log.Contains(L"authenticate using auth package override mode NONE")) << Narrow(log.Dump());
}

// A server whose final token speaks for another process, and hands that process a mapping that
// proves the guid, is still refused: only the pid of the connected peer counts.
TEST_F(AuthFixture, FinalTokenMustSpeakForTheConnectedPeer) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION other{};
    wchar_t command[] = L"cmd.exe /c exit";
    ASSERT_TRUE(::CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &other));
    platform::unique_handle process(other.hProcess), thread(other.hThread);
    ASSERT_TRUE(StartServer(Echo({{L"speakForPid", std::to_wstring(other.dwProcessId)}})));
    ExpectRefused(L"is not the connected peer");
    ::TerminateProcess(process.get(), 0);
}

TEST_F(AuthFixture, FinalTokenMustCarryEveryPeerParameterAndTheGuidMappingProvesOnlyItsOwnGuid) {
    CORE::MessageChannel channel(L"unit", true);
    platform::unique_handle mapping;
    const PropertyBag complete = CORE::AuthChannel::LocalPeerParams(L"guid-1", false, &mapping);
    CORE::PeerParams peer;
    std::wstring reason;
    for (const auto& [drop, missing] : {std::pair{L"machineName", L"machine name"}, {L"pid", L"pid"}, {L"peerSID", L"peerSID"}, {L"session", L"session"}}) {
        PropertyBag token = complete;
        token.Remove(drop);
        EXPECT_FALSE(CORE::AuthChannel::processPeerParams(channel, token, false, L"guid-1", &peer, &reason));
        EXPECT_TRUE(log.Contains(L"Authentication last token missing " + std::wstring(missing))) << Narrow(drop);
    }
    EXPECT_TRUE(CORE::AuthChannel::processPeerParams(channel, complete, false, L"guid-1", &peer, &reason) && peer.pid == ::GetCurrentProcessId())
        << Narrow(reason);
    const PropertyBag mine = CORE::AuthChannel::LocalPeerParams(L"guid-2", true, &mapping);
    const uint64_t handle = _wcstoui64(mine.Get(L"guidFileMappingHandle").c_str(), nullptr, 10);
    auto proves = [&](uint64_t h, const wchar_t* guid) { return CORE::AuthChannel::VerifyGuidMapping(::GetCurrentProcessId(), h, guid); };
    EXPECT_TRUE(proves(handle, L"guid-2") && !proves(handle, L"guid-3") && !proves(handle + 4000, L"guid-2"));
}

}  // namespace
}  // namespace mfwtest
