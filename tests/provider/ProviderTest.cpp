#include "provider/cred.h"

#include "base/Guids.h"
#include "base/OfflineChannel.h"
#include "base/SessionInfo.h"
#include "keyvault/VaultSandbox.h"
#include "lib/keyvault/PayloadWriter.h"
#include "platform/UniqueResource.h"
#include "provider/CredentialHandlers.h"
#include "provider/credprovider.h"
#include "sso/Credentials.h"
#include "support/CoTaskFreeWatch.h"
#include "support/CredentialsReset.h"
#include "support/FakeEvents.h"
#include "support/FakePlatform.h"
#include "support/HandlerRegistration.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"
#include "support/ScriptedAgent.h"
#include "support/WaitFor.h"
#include "tools/logonsim/SerializationDecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

namespace {

using platform::com_ptr;
using namespace testsupport;

constexpr LONG kLogonFailure = static_cast<LONG>(0xC000006D), kWrongPassword = static_cast<LONG>(0xC000006A);

std::atomic<int> g_retries{0};

// The decoded logon in one line: package, kind, account, secret (e empty, s simulation-protected,
// p plain), then for certificates the container and provider, for hybrid frames the local account.
std::wstring Summary(const logonsim::DecodedSerialization& d) {
    if (!d.ok) return L"refused: " + d.error;
    const auto& secret = d.hasCspInfo ? d.pin : d.password;
    std::wstring text = d.package + L" " + logonsim::LogonKindName(d.kind) + L" " + d.domain + L"\\" + d.user + L" " +
                        L"esup"[static_cast<int>(secret.form)] + L":" + secret.clear.c_str();
    if (d.hasCspInfo) text += L" " + d.csp.container + L"|" + d.csp.provider;
    if (d.hybrid) text += L" " + d.localUser + L":" + d.localPassword.clear.c_str();
    return text;
}

class CredTileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ResetSessionIdCache(), ResetRecord(), tile = Tile();
    }
    void TearDown() override {
        for (auto& s : serializations) ::CoTaskMemFree(s.rgbSerialization);
        tile.reset(), CleanupOfflineChannel(), TheCredentials().entraContext.reset();
        ::CoUninitialize();
    }
    static void ResetRecord() {
        ResetCredentials(), TheCredentials().smartCardHintUpn.clear(), TheCredentials().whfbCertCtxId.clear();
    }
    HRESULT Serialize(CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario = CPUS_LOGON) {
        if (!tile) { EXPECT_EQ(cred_CreateInstance(tile.put(), scenario, false), S_OK); }
        serializations.push_back({});
        response = static_cast<CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE>(77);
        return tile->GetSerialization(&response, &serializations.back(), nullptr, nullptr);
    }
    const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION& Last() const { return serializations.back(); }
    std::wstring Logon() const {  // the last serialization as the LSA would read it, in one line
        return Summary(logonsim::DecodeSerialization(Last().ulAuthenticationPackage, Last().rgbSerialization, Last().cbSerialization));
    }
    com_ptr<ICredentialProviderCredential> Tile(bool startRetryTimer = false) {
        com_ptr<ICredentialProviderCredential> made;
        EXPECT_EQ(cred_CreateInstance(made.put(), CPUS_LOGON, startRetryTimer), S_OK);
        return made;
    }
    // u: the unlock scenario, c/w/e: CertSSO, Windows Hello or Entra unlock enabled.
    static void Unlock(const std::string& flags) {
        auto has = [&](char flag) { return flags.find(flag) != std::string::npos; };
        auto& c = TheCredentials();
        c.isUnlockScenario = has('u'), c.isCertSsoUnlockEnabled = has('c'), c.isWhfbCertSsoUnlockEnabled = has('w');
        c.isEntraUnlockEnabled = has('e');
    }
    // The channel thread with a callback that counts explicit requests once and others by 100.
    static void StartChannel() {
        std::wstring name = L"Local\\TcfiltrTest.Tile." + std::to_wstring(::GetCurrentProcessId());
        GetOfflineChannel()->SetReEnumerationCallback(
            [](IUnknown*, bool explicitRequest) { g_retries += explicitRequest ? 1 : 100; }, name.c_str());
        GetOfflineChannel()->Start();
    }
    static void CertSso(ULONGLONG attempts) {
        auto& c = TheCredentials();
        c.certLogon.containerName = L"le-container", c.certLogon.pin = L"2468", c.certLogon.attemptsLeft = attempts;
        c.credentialsAvailable = true;
    }
    // The text and icon of a result, as "text|icon" (no text: "-", an untouched icon: 77).
    std::wstring Report(LONG status, LONG substatus, HRESULT hr = S_OK) {
        LPWSTR text = nullptr;
        auto icon = static_cast<CREDENTIAL_PROVIDER_STATUS_ICON>(77);
        EXPECT_EQ(tile->ReportResult(status, substatus, &text, &icon), hr);
        std::wstring result = (text ? text : L"-") + std::wstring(L"|") + std::to_wstring(icon);
        ::CoTaskMemFree(text);
        return result;
    }
    // A password logon for CORP\alice.
    static void Password() {
        auto& c = TheCredentials();
        c.domainName = L"CORP", c.userName = L"alice", c.password = L"pw", c.credentialsAvailable = true;
    }
    int Events(UCHAR opcode) const {  // 1: BEGIN, 2: END
        return std::count_if(fake.etwEvents.begin(), fake.etwEvents.end(), [&](auto& e) { return e.descriptor.Opcode == opcode; });
    }

    vaulttest::VaultSandbox registry;  // protected material is deciphered as from a real agent
    FakePlatform fake;
    LogCapture log;
    com_ptr<ICredentialProviderCredential> tile;
    CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE response{};
    std::vector<CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION> serializations;
};

// Selection is refused (no auto logon) except for unlock on systems older than Windows 10 /
// Server 2016, and CertSSO unlock when the override is set.
TEST_F(CredTileTest, SelectionIsAcceptedOnlyForUnlockOnOlderSystemsOrByOverride) {
    // The record as Unlock takes it, the Windows major version and product type, the override, the result.
    for (auto [unlock, major, type, override, hr] : {std::tuple<const char*, DWORD, BYTE, bool, HRESULT>
             {"", 6, VER_NT_WORKSTATION, false, E_FAIL}, {"uc", 10, VER_NT_WORKSTATION, false, E_FAIL},
             {"uw", 10, VER_NT_SERVER, false, E_FAIL},   {"ue", 10, VER_NT_WORKSTATION, false, E_FAIL},
             {"uc", 6, VER_NT_WORKSTATION, false, S_OK},  {"ue", 6, VER_NT_SERVER, false, S_OK},
             {"uc", 10, VER_NT_WORKSTATION, true, S_OK},
             {"uw", 10, VER_NT_WORKSTATION, true, E_FAIL}}) {  // the override is for CertSSO only
        fake.os.major = major, fake.os.minor = major == 6 ? 3 : 0, fake.os.productType = type, Unlock(unlock);
        registry.SetAgentConfig(L"CertSSOCredFilterSetSelectedOk", override ? L"yes" : L"no");
        BOOL autoLogon = TRUE;
        EXPECT_EQ(tile->SetSelected(&autoLogon), hr) << unlock << major << override;
        EXPECT_FALSE(autoLogon);
    }
}

// The retry timer is read from the configuration, fires once (an explicit request) and only
// without credentials, and stops with its tile.
TEST_F(CredTileTest, RetryTimerAsksForOneMoreAttemptOnlyWithoutCredentials) {
    StartChannel(), registry.SetAgentConfig(L"SSORetryTimeout", L" 030 ");
    Tile(true);
    EXPECT_TRUE(log.Contains(L"ssoRetryTimer started (timeout = 30)") && log.Contains(L"ssoRetryTimer stopped"));
    auto timed = Tile(true);
    EXPECT_TRUE(WaitFor([] { return g_retries.load() != 0; }));
    EXPECT_FALSE(WaitFor([] { return g_retries.load() != 1; }, 150)) << "one shot";
    TheCredentials().credentialsAvailable = true;
    auto second = Tile(true);
    EXPECT_FALSE(WaitFor([] { return g_retries.load() != 1; }, 150));
}

// A CertSSO failure with no substatus is retried while attempts remain, keeping the material, and
// the channel is asked to close LogonUI's error dialog; every other result is reported as it is,
// uses the material up and ends the SSO attempt. The agent hears of CertSSO failures only when it
// asked to.
TEST_F(CredTileTest, CertSsoFailuresAreRetriedWhileAttemptsRemain) {
    fake.sessionId = 3;
    StartChannel();
    // Attempts left (0: no certificate material), status, substatus, retried, the agent asked for
    // failure reports, what LogonUI shows ("text|icon"; a status with a text shows it with CPSI_ERROR).
    const wchar_t *kRetry = L"Retry Lumo SSO|0", *kNothing = L"-|0";  // CPSI_NONE, never what came in
    auto tessel = fake.TesselEvent();  // signalled by every failure that is not retried
    for (auto [attempts, status, substatus, retry, asked, shown] : {std::tuple<ULONGLONG, LONG, LONG, bool, bool, const wchar_t*>
             {3, kLogonFailure, 0, true, false, kRetry}, {2, kLogonFailure, 0, true, true, kRetry},
             {1, kLogonFailure, 0, false, true, kNothing}, {3, kWrongPassword, 0, false, false, kNothing},
             {3, kLogonFailure, kWrongPassword, false, true, kNothing},  // a substatus makes it a known failure
             {0, 0, kWrongPassword, false, true, kNothing}, {0, 0, 0, false, false, kNothing},
             {0, ERROR_ACCESS_DENIED, 0, false, false, L"Access denied.\r\n|1"}}) {  // Wine's text
        SCOPED_TRACE(testing::Message() << attempts << " " << status << " " << substatus);
        ResetCredentials(), fake.etwEvents.clear(), log.Clear(), ::ResetEvent(tessel.get());
        ScriptedAgent agent;
        TheCredentials().smartCardReader = L"R", TheCredentials().reportErrors = asked;
        if (attempts) CertSso(attempts), TheCredentials().certificateSsoId = L"cert-7";
        EXPECT_EQ(Report(status, substatus), shown);
        const auto sent = agent.Requests();
        EXPECT_TRUE(sent.size() == size_t(asked && attempts) && IsSet(tessel) == (!retry && (status || substatus)));
        EXPECT_TRUE(sent.empty() || (sent[0].message == L"SendLoginErrorEvent" && sent[0].request.Get(L"certificateId") == L"cert-7"));
        const auto& cert = TheCredentials().certLogon;
        const int wiped = int(cert.containerName.empty()) + int(cert.pin.empty());  // PIN and container
        EXPECT_TRUE(retry ? wiped == 0 && cert.attemptsLeft == attempts - 1 : wiped == 2);
        EXPECT_EQ(Events(2), 1);
        EXPECT_TRUE(!retry || WaitFor([&] { return log.Contains(L"Attempt to dismiss retry error dialog"); }));
    }
}

// What the record holds decides the road; the decoder reads the result as the LSA would. Each
// attempt opens the SSO monitor's BEGIN; one that finds nothing tells the seamless-windows side.
// fill: what the agent handed over; logon: the Summary, null when the serialization fails;
// keptForRetries: certificate material stays for LogonUI's next attempt; line: one it logs, or null.
struct Road { const char* name; CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario; void (*fill)(Credentials&);
              const wchar_t* logon; bool keptForRetries; const wchar_t* line; };

#define KSP L"Velmora Zephral SSO Key Storage Provider"
#define HYBRID L"LUMO_AUTHENTICATION_PACKAGE_V1_0 "

void Local(Credentials& c) { c.unauthUserName = L"kiosk", c.unauthPassword = L"kioskpw"; }

const Road kRoads[] = {
    {"password", CPUS_LOGON, [](Credentials& c) { c.domainName = L"CORP", c.userName = L"alice", c.password = L"Tr0ub4dor&3"; },
     L"Negotiate interactive logon CORP\\alice s:Tr0ub4dor&3", false, nullptr},
    {"unlock with a UPN drops the domain", CPUS_UNLOCK_WORKSTATION,
     [](Credentials& c) { c.domainName = L"CORP", c.userName = L"alice@corp.example", c.password = L"pw"; },
     L"Negotiate interactive unlock \\alice@corp.example s:pw", false, nullptr},
    {"hybrid password wins over the plain password", CPUS_LOGON,
     [](Credentials& c) { c.domainName = L"CORP", c.userName = L"alice", c.password = L"domainpw", Local(c); },
     HYBRID L"hybrid password logon CORP\\alice s:domainpw kiosk:kioskpw", false, nullptr},
    {"hybrid CertSSO for the agent's KSP", CPUS_LOGON,
     [](Credentials& c) { c.certLogon.containerName = L"cont", c.certLogon.pin = L"2468", Local(c); },
     HYBRID L"hybrid certificate logon \\ p:2468 cont|" KSP L" kiosk:kioskpw", false, nullptr},
    {"local account is NTLM without domain", CPUS_LOGON, Local, L"NTLM interactive logon \\kiosk s:kioskpw", false, nullptr},
    {"CertSSO", CPUS_LOGON,
     [](Credentials& c) { c.domainName = L"CORP", c.userName = L"alice", c.certLogon.containerName = L"le-container", c.certLogon.pin = L"1357"; },
     L"Kerberos certificate logon CORP\\alice p:1357 le-container|" KSP, true, nullptr},
    {"CertSSO unlock whose handshake fails still tries the certificate", CPUS_UNLOCK_WORKSTATION,
     [](Credentials& c) { c.isUnlockScenario = c.isCertSsoUnlockEnabled = true; }, L"Kerberos certificate unlock \\ e: |" KSP,
     true, nullptr},
    {"smart card: the hint UPN goes first", CPUS_LOGON,
     [](Credentials& c) { c.smartCardPin = L"0000", c.smartCardHintUpn = L"hint@corp.example", c.upnList = {L"other@corp.example"},
                          c.containerName = L"card-container", c.providerName = L"Card Provider"; },
     L"Kerberos certificate logon \\ s:0000 card-container|Card Provider", false, L"principal name 'hint@corp.example'"},
    {"Windows Hello uses its own KSP, the context id and the decrypted PIN", CPUS_LOGON,
     [](Credentials& c) { c.whfbCertPin = keyvault::BuildProtectedPayload(L"8642"), c.whfbCertCtxId = L"ctx-42"; },
     L"Kerberos certificate logon \\ p:8642 ctx-42|Velmora Zephral WHFB SSO Key Storage Provider", true, nullptr},
    {"a Windows Hello PIN that does not decrypt fails, never an empty PIN", CPUS_LOGON,
     [](Credentials& c) { c.whfbCertPin = L"{SSO-AES:1}QUJD", c.whfbCertCtxId = L"ctx-42"; }, nullptr, false,
     L"The Whfb CertSSO PIN could not be decrypted"},
};

TEST_F(CredTileTest, EachRecordTakesItsRoadAndPackageAndUsesTheMaterialOnce) {
    auto tessel = fake.TesselEvent();
    for (const Road& road : kRoads) {
        SCOPED_TRACE(road.name);
        ResetRecord(), tile.reset(), log.Clear(), fake.etwEvents.clear(), ::ResetEvent(tessel.get());
        road.fill(TheCredentials()), TheCredentials().credentialsAvailable = true;
        if (!road.logon) {  // fails, and nothing of it is offered again
            const Credentials& c = TheCredentials();
            EXPECT_TRUE(Serialize(road.scenario) == E_FAIL && !Last().rgbSerialization && log.Contains(road.line));
            EXPECT_TRUE(!c.credentialsAvailable && c.whfbCertPin.empty() && c.certLogon.pin.empty());
            continue;
        }
        ASSERT_EQ(Serialize(road.scenario), S_OK);
        EXPECT_TRUE(response == CPGSR_RETURN_CREDENTIAL_FINISHED && !IsSet(tessel) &&
                    IsEqualCLSID(Last().clsidCredentialProvider, CLSID_credprovider));
        EXPECT_EQ(Logon(), road.logon);
        EXPECT_TRUE(!road.line || log.Contains(road.line));
        const Credentials& c = TheCredentials();
        EXPECT_EQ(c.credentialsAvailable, road.keptForRetries);
        if (road.keptForRetries) continue;
        EXPECT_TRUE(c.password.empty() && c.userName.empty() && c.domainName.empty() && c.unauthPassword.empty() &&
                    c.certLogon.containerName.empty() && c.certLogon.pin.empty() && c.smartCardPin.empty() &&
                    c.upnList.empty() && c.containerName.empty() && c.smartCardHintUpn.empty());
        EXPECT_EQ(Serialize(road.scenario), E_FAIL) << "used once";
        EXPECT_TRUE(response == CPGSR_NO_CREDENTIAL_FINISHED && !Last().rgbSerialization && IsSet(tessel) && Events(1) == 2);
    }
    ResetRecord(), CertSso(3);  // a CertSSO whose buffer cannot be built is not offered again
    CoTaskFreeWatch watch(L"");
    watch.failAllocations = true;
    EXPECT_EQ(Serialize(), E_FAIL);
    watch.failAllocations = false;
    EXPECT_TRUE(TheCredentials().certLogon.pin.empty() && !TheCredentials().credentialsAvailable);
}

struct FakeEntra : IEntraContext {
    HRESULT GetStatus() override { return S_OK; }
    HRESULT SerializeCredential(BYTE** buffer, ULONG* size) override {
        *buffer = static_cast<BYTE*>(::CoTaskMemAlloc(4)), *size = 4;
        std::memcpy(*buffer, "CAP!", 4);
        return S_OK;
    }
    void WipeAssertion() override { ++wiped; }
    int wiped = 0;
};

// A completed Entra request is a CloudAP logon whose assertion is wiped; missing packages are
// reported as they are.
TEST_F(CredTileTest, EntraAndMissingPackagesAsReported) {
    auto* entra = new FakeEntra;
    TheCredentials().SetEntraContext(std::unique_ptr<IEntraContext>(entra));
    TheCredentials().credentialsAvailable = true;
    ASSERT_EQ(Serialize(), S_OK);
    EXPECT_TRUE(response == CPGSR_RETURN_CREDENTIAL_FINISHED && entra->wiped == 1 && !TheCredentials().credentialsAvailable);
    EXPECT_EQ(Last().ulAuthenticationPackage + Last().cbSerialization, 8u);  // CloudAP, 4 bytes
    TheCredentials().entraContext.reset(), fake.packageIds.erase("Kerberos");
    Password(), TheCredentials().certLogon.containerName = L"c", TheCredentials().certLogon.pin = L"1";
    EXPECT_EQ(Serialize(), E_NOTIMPL);
    EXPECT_EQ(Last().rgbSerialization, nullptr);
    ResetRecord(), Password(), fake.packageLookupStatus = static_cast<NTSTATUS>(0xC0000001);
    EXPECT_EQ(Serialize(), HRESULT(0xD0000001));  // the NTSTATUS as an HRESULT
    EXPECT_TRUE(TheCredentials().password.empty());
}

// Registered credential handlers see the serialization in key order: "a" replaces it with
// "REPLACED" for package 100, "b" does nothing, "c" refuses and ends the chain, "d" returns S_OK
// but changes nothing.
TEST_F(CredTileTest, HandlersMayReplaceOrRefuseTheSerialization) {
    ASSERT_TRUE(RegisterTestHandlerClasses());
    // handlers: the enabled ones; serialization: the Summary, or the replacement's bytes.
    const struct { const wchar_t* handlers; HRESULT hr; const wchar_t *calls, *serialization; } kCases[] = {
        {L"cd", S_FALSE, L"c:UpdateSerialization;", L""},
        {L"ab", S_OK, L"a:UpdateSerialization;b:UpdateSerialization;", L"REPLACED"},
        {L"d", S_OK, L"d:UpdateSerialization;", L"Negotiate interactive logon CORP\\alice s:pw"}};
    for (const auto& c : kCases) {
        ResetTestHandlerCalls(), tile.reset();  // handlers are loaded with the tile
        for (wchar_t kind = L'a'; kind <= L'd'; ++kind)
            AddHandlerKey(registry, TestHandlerClsid(kind), std::wcschr(c.handlers, kind) ? L"false" : L"true");
        Password();
        // The refusing handler's replacement is wiped and freed. The spy stays for the process: COM
        // defers its revocation while blocks it saw are still allocated.
        static CoTaskFreeWatch watch(L"\x4343\x4343");
        EXPECT_EQ(Serialize(), c.hr) << c.handlers;
        EXPECT_TRUE(watch.Registered() && watch.ReadableFrees() == 0 && !watch.HoldsLiveBlockOf(4099));
        EXPECT_EQ(TestHandlerCalls(), c.calls);
        EXPECT_EQ(response, c.hr == S_OK ? CPGSR_RETURN_CREDENTIAL_FINISHED : CPGSR_NO_CREDENTIAL_FINISHED);
        const auto* bytes = reinterpret_cast<const char*>(Last().rgbSerialization);
        EXPECT_EQ(Last().ulAuthenticationPackage == 100 ? std::wstring(bytes, bytes + Last().cbSerialization)
                                                        : (bytes ? Logon() : L""),
                  c.serialization);
    }
}

// Enabled handler keys in key order, without braces, one entry per class; bad, disabled and
// unregistered entries are left out. ReportResult runs the chain until one fails; the handlers
// live as long as their tile.
TEST_F(CredTileTest, HandlerKeysAndTheReportResultChain) {
    ASSERT_TRUE(RegisterTestHandlerClasses());
    ResetTestHandlerCalls();
    for (const wchar_t* key : {L"{7e57a001-0000-4000-8000-000000000004}", L"7e57a001-0000-4000-8000-000000000003",
                               L"7E57A001-0000-4000-8000-000000000001", L"{7e57a001-0000-4000-8000-000000000001}",
                               L"not-a-guid", L"11111111-2222-3333-4444-555555555555"})
        AddHandlerKey(registry, key);
    AddHandlerKey(registry, TestHandlerClsid(L'b'), L"true");
    CredentialHandlerMap handlers;
    populateCredHandlersMap(handlers);
    std::wstring names;
    for (const auto& [name, handler] : handlers) names += name.substr(35) + L";";
    EXPECT_EQ(names, L"1;3;4;");
    handlers.clear();
    ASSERT_EQ(cred_CreateInstance(tile.put(), CPUS_LOGON, false), S_OK);
    auto objects = TestHandlerExport<LONG()>("TestHandlerObjects");
    ASSERT_NE(objects, nullptr);
    EXPECT_EQ(objects(), 3);
    EXPECT_EQ(Report(0, 0, E_FAIL), L"handler a was here|2");  // CPSI_WARNING
    EXPECT_EQ(TestHandlerCalls(), L"a:ReportResult;c:ReportResult;");
    tile.reset();
    EXPECT_EQ(objects(), 0);
}

constexpr UINT_PTR kContext = 0x5150;

// The provider beside the tile fixture's record, in a session of its own: the re-enumeration
// event is a real named object.
class CredProviderTest : public CredTileTest {
protected:
    void SetUp() override { fake.sessionId = 3000 + ::GetCurrentProcessId() % 20000, CredTileTest::SetUp(); }
    // As Unlock takes it, plus a: credentials looked up, d: a DRV session.
    void Record(const std::string& flags) {
        Unlock(flags);
        TheCredentials().ticketFound = TheCredentials().credentialsAvailable = flags.find('a') != std::string::npos;
        fake.clientProtocol = flags.find('d') != std::string::npos ? 3 : 0;
    }
    com_ptr<ICredentialProvider> Create() {
        com_ptr<ICredentialProvider> provider;
        EXPECT_EQ(credprovider_CreateInstance(IID_ICredentialProvider, provider.put_void()), S_OK);
        return provider;
    }
    static credprovider* Impl(const com_ptr<ICredentialProvider>& p) { return static_cast<credprovider*>(p.get()); }

    FakeEvents events;
};

TEST_F(CredProviderTest, EveryMethodOfProviderAndTileRejectsBadArguments) {
    auto provider = Create();
    ASSERT_TRUE(provider);
    Record("a");
    CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR* descriptor = nullptr;
    ICredentialProviderCredential* second = nullptr;
    DWORD n = 0;
    BOOL autoLogon = FALSE;
    CREDENTIAL_PROVIDER_FIELD_STATE state;
    CREDENTIAL_PROVIDER_FIELD_INTERACTIVE_STATE interactive;
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION serialization;
    LPWSTR text = nullptr;
    const HRESULT invalid[] = {
        provider->SetUsageScenario(CPUS_CREDUI, 0), provider->SetUsageScenario(CPUS_CHANGE_PASSWORD, 0),
        provider->SetUsageScenario(static_cast<CREDENTIAL_PROVIDER_USAGE_SCENARIO>(77), 0),
        provider->Advise(nullptr, kContext), provider->Advise(&events, 0), provider->GetFieldDescriptorCount(nullptr),
        provider->GetFieldDescriptorAt(0, nullptr), provider->GetFieldDescriptorAt(2, &descriptor),
        provider->GetFieldDescriptorAt(0xFFFFFFFF, &descriptor), provider->GetCredentialCount(nullptr, &n, &autoLogon),
        provider->GetCredentialCount(&n, nullptr, &autoLogon), provider->GetCredentialCount(&n, &n, nullptr),
        provider->GetCredentialAt(1, &second), provider->GetCredentialAt(0, nullptr),
        tile->SetSelected(nullptr), tile->GetFieldState(2, &state, &interactive),
        tile->GetFieldState(0, nullptr, &interactive), tile->GetFieldState(0, &state, nullptr),
        tile->GetStringValue(1, &text), tile->GetStringValue(0, nullptr), tile->GetSubmitButtonValue(0, &n),
        tile->GetSubmitButtonValue(1, nullptr), tile->GetSerialization(nullptr, &serialization, nullptr, nullptr),
        tile->GetSerialization(&response, nullptr, nullptr, nullptr), tile->ReportResult(0, 0, nullptr, nullptr),
        cred_CreateInstance(nullptr, CPUS_LOGON, false)};
    for (size_t i = 0; i < std::size(invalid); ++i) EXPECT_EQ(invalid[i], E_INVALIDARG) << i;
    EXPECT_TRUE(descriptor == nullptr && second == nullptr && events.refs.load() == 1);
    EXPECT_FALSE(log.Contains(L"DRV_EnumerateCredentials"));
    // Our scenarios; UnAdvise without Advise has nothing to undo.
    EXPECT_EQ(provider->SetUsageScenario(CPUS_LOGON, 0) | provider->SetUsageScenario(CPUS_UNLOCK_WORKSTATION, 0) |
                  provider->UnAdvise() | tile->Advise(nullptr) | tile->UnAdvise() | tile->SetDeselected(),
              S_OK);
}

// One tile only with credentials; the labels follow the SSO kind (unlock flags count only during
// unlock, Windows Hello wins over the others); auto logon is withheld for certificate and Entra unlock.
// A DRV session without credentials tells the seamless-windows side it is not ready.
TEST_F(CredProviderTest, DescriptorsAndCountFollowTheRecord) {
    auto tessel = fake.TesselEvent();
    auto provider = Create();
    DWORD fields = 0;
    EXPECT_TRUE(provider->GetFieldDescriptorCount(&fields) == S_OK && fields == 2u);
    // The record as Record takes it; the descriptor's label, the tile's text at each call; auto logon.
    for (auto [record, label, tileLabel, expectAuto] : {std::tuple<const char*, const wchar_t*, const wchar_t*, BOOL>
             {"", L"Dravik_SSO_User", L"Zephral SSO User", FALSE}, {"d", L"Dravik_SSO_User", L"Zephral SSO User", FALSE},
             {"ad", L"Dravik_SSO_User", L"Zephral SSO User", TRUE},
             {"auc", L"Dravik_KEYSSO_User", L"Zephral KeySSO User", FALSE},
             {"auw", L"Dravik_Whfb_Cert_User", L"Zephral Windows Hello User", TRUE},
             {"aucwe", L"Dravik_Whfb_Cert_User", L"Zephral Windows Hello User", FALSE},
             {"aue", L"Dravik_SSO_User", L"Zephral Entra ID User", FALSE},
             {"acwe", L"Dravik_SSO_User", L"Zephral SSO User", TRUE}}) {
        SCOPED_TRACE(record);
        Record(record), ::ResetEvent(tessel.get());
        const bool available = TheCredentials().credentialsAvailable;
        std::wstring seen;  // both descriptors, the tile's text, then count, default and auto logon
        for (DWORD i = 0; i < 2; ++i) {
            CREDENTIAL_PROVIDER_FIELD_DESCRIPTOR* d = nullptr;
            ASSERT_EQ(provider->GetFieldDescriptorAt(i, &d), S_OK);
            seen += d->pszLabel + (L":" + std::to_wstring(d->dwFieldID) + L":" + std::to_wstring(d->cpft)) +
                    (IsEqualGUID(d->guidFieldType, GUID_NULL) ? L" " : L"? ");
            ::CoTaskMemFree(d->pszLabel), ::CoTaskMemFree(d);
        }
        LPWSTR text = nullptr;
        DWORD count = 9, defaultIndex = 9;
        BOOL autoLogon = 2;
        EXPECT_TRUE(tile->GetStringValue(0, &text) == S_OK &&
                    provider->GetCredentialCount(&count, &defaultIndex, &autoLogon) == S_OK);
        seen += (text ? text : L"") + (L"|" + std::to_wstring(count) + L"," + std::to_wstring(int(defaultIndex)) + L"," +
                                       std::to_wstring(autoLogon));
        ::CoTaskMemFree(text);
        EXPECT_EQ(seen, label + (L":0:1 submit:1:9 " + std::wstring(tileLabel)) + (available ? L"|1,0," : L"|0,-1,") +
                            std::to_wstring(expectAuto));  // large text, submit button
        EXPECT_EQ(IsSet(tessel), fake.clientProtocol == 3 && !available);
    }
}

TEST_F(CredProviderTest, ReEnumerationIsSkippedOnlyInOtherRemoteSessions) {
    fake.clientProtocolError = ERROR_ACCESS_DENIED;  // unknown: registers by default
    Create();
    EXPECT_TRUE(IsReEnumerationEnabled() && GetOfflineChannel()->IsThreadRunning());
    CleanupOfflineChannel(), Record("a");
    fake.clientProtocolError = 0, fake.clientProtocol = 5;
    auto provider = Create();
    EXPECT_FALSE(IsReEnumerationEnabled() || GetOfflineChannel()->IsThreadRunning());
    ASSERT_EQ(provider->Advise(&events, kContext), S_OK);
    Impl(provider)->DRV_EnumerateCredentials(true, true);
    EXPECT_TRUE(events.refs.load() == 1 && events.changed.load() == 0);  // no sink stored
}

// What LogonUI hears after Advise: steps a=Advise, u=UnAdvise, e=signal, r=retry request,
// l=credentials lost then signal, o=the sink stops failing; `changed` is the count after each.
TEST_F(CredProviderTest, CredentialsChangedFollowsTheState) {
    // The record as Record takes it, whether the sink fails, the steps, the count after each.
    for (auto [record, sinkFails, steps, changed] : {std::tuple<const char*, bool, const char*, const char*>
             {"a", false, "aeerlu", "111233"},  // a change once, a retry always
             {"a", true, "aoee", "1122"},       // a failed call is raised again
             {"", false, "ar", "00"},           // no ticket lookup, no signal
             {"uc", false, "areua", "11112"},   // certificate unlock once per advise
             {"ue", true, "aoee", "1122"}}) {   // failed Entra unlock tries again
        SCOPED_TRACE(steps);
        FakeEvents sink;
        Record(record), sink.result = sinkFails ? E_FAIL : S_OK;
        auto provider = Create();
        for (size_t i = 0; steps[i]; ++i) {
            switch (steps[i]) {
            case 'a': ASSERT_EQ(provider->Advise(&sink, kContext), S_OK); break;
            case 'u': ASSERT_EQ(provider->UnAdvise(), S_OK); break;
            case 'o': sink.result = S_OK; break;
            case 'l': TheCredentials().credentialsAvailable = false; [[fallthrough]];
            default: Impl(provider)->DRV_EnumerateCredentials(true, steps[i] == 'r');
            }
            EXPECT_EQ(sink.changed.load(), changed[i] - '0') << "after step " << i;
        }
        EXPECT_EQ(sink.lastContext.load(), sink.changed.load() ? kContext : 0);
        provider->UnAdvise();
        EXPECT_EQ(sink.refs.load(), 1u);
    }
}

// The first enumeration fetches quietly (LogonUI asks for the count right after Advise anyway), so
// the first signal reports what it found; credentials that arrive later are announced by the
// signal that finds them. Either way the state is reported once; UnAdvise forgets what was
// reported, so the next Advise announces it again. Only the first tile of a provider times a retry.
TEST_F(CredProviderTest, CredentialsAreReportedOnceAndAgainAfterTheNextAdvise) {
    for (bool late : {false, true}) {
        SCOPED_TRACE(late);
        ScriptedAgent agent;  // without an answer: no credentials at the first enumeration
        FakeEvents sink;
        const CORE::PropertyBag answer = Bag({{L"userName", L"alice"}, {L"password", L"pw"}});
        if (!late) agent.Answer(L"GetCredentialsForTicket", answer);
        auto provider = Create();
        ASSERT_EQ(provider->Advise(&sink, kContext), S_OK);
        EXPECT_TRUE(sink.changed.load() == 0 && TheCredentials().credentialsAvailable == !late);
        agent.Answer(L"GetCredentialsForTicket", answer);
        for (int signal = 0; signal < 3; ++signal) Impl(provider)->DRV_EnumerateCredentials(true, false);
        // A late lookup raises its own signal before the state is reported; a found ticket is not looked up again.
        EXPECT_EQ(std::make_pair(sink.changed.load(), agent.CountOf(L"GetCredentialsForTicket")),
                  std::make_pair(late ? 2 : 1, late ? size_t(2) : size_t(1)));
        ASSERT_TRUE(provider->UnAdvise() == S_OK && provider->Advise(&sink, kContext) == S_OK);
        EXPECT_EQ(sink.changed.load(), late ? 3 : 2);
        log.Clear();
        com_ptr<ICredentialProviderCredential> first, second;
        EXPECT_TRUE(provider->GetCredentialAt(0, first.put()) == S_OK &&
                    provider->GetCredentialAt(0, second.put()) == S_OK);
        EXPECT_EQ(log.Count(L"ssoRetryTimer started"), 1u);
        provider->UnAdvise();
    }
}

// The agent's named event and a retry request reach the sink through the channel thread; a
// second Advise replaces the sink; releasing LogonUI's last reference frees the provider and the record.
TEST_F(CredProviderTest, SignalsReachTheLatestSinkAndFreeingClearsTheRecord) {
    Record("a");
    auto provider = Create();
    FakeEvents first;
    ASSERT_EQ(provider->Advise(&first, kContext + 1), S_OK);
    ASSERT_EQ(provider->Advise(&events, kContext), S_OK);
    EXPECT_TRUE(first.refs.load() == 1 && events.refs.load() == 2 && GetOfflineChannel()->Context() == Impl(provider));
    const int reported = events.changed.load();
    platform::unique_handle agentSide(::OpenEventW(EVENT_MODIFY_STATE, FALSE, EnumerateEventName().c_str()));
    ASSERT_TRUE(agentSide);
    TheCredentials().credentialsAvailable = false, ::SetEvent(agentSide.get());
    EXPECT_TRUE(events.WaitForChanged(reported + 1));
    GetOfflineChannel()->RequestSSORetry();
    EXPECT_TRUE(events.WaitForChanged(reported + 2));
    ASSERT_EQ(provider->UnAdvise(), S_OK);
    EXPECT_TRUE(events.refs.load() == 1 && GetOfflineChannel()->Context() == nullptr);
    TheCredentials().credentialsAvailable = true, provider.reset();
    EXPECT_FALSE(TheCredentials().credentialsAvailable || TheCredentials().ticketFound);
}

}  // namespace
