#include "provider/cred.h"

#include "base/Guids.h"
#include "base/OfflineChannel.h"
#include "base/SessionInfo.h"
#include "sso/Credentials.h"
#include "support/CredentialsReset.h"
#include "support/FakePlatform.h"
#include "support/HandlerRegistration.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"
#include "tools/logonsim/SerializationDecoder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using platform::com_ptr;
using namespace testsupport;
using logonsim::LogonKind;
using logonsim::SecretForm;

// What the agent handed over, as the record holds it; unset texts stay empty.
struct Material {
    const wchar_t *domain = nullptr, *user = nullptr, *password = nullptr;
    const wchar_t *localUser = nullptr, *localPassword = nullptr;
    const wchar_t *certContainer = nullptr, *certPin = nullptr;
    const wchar_t *cardPin = nullptr, *hintUpn = nullptr, *upn = nullptr, *cardContainer = nullptr, *cardProvider = nullptr;
    const wchar_t *whfbPin = nullptr, *whfbContext = nullptr;
    bool certUnlock = false;
};

void Fill(const Material& m) {
    Credentials& c = TheCredentials();
    auto set = [](std::wstring& field, const wchar_t* text) { if (text) field = text; };
    auto secret = [](CORE::SecureWString& field, const wchar_t* text) { if (text) field = std::wstring_view(text); };
    set(c.domainName, m.domain);
    set(c.userName, m.user);
    secret(c.password, m.password);
    set(c.unauthUserName, m.localUser);
    secret(c.unauthPassword, m.localPassword);
    set(c.certLogon.containerName, m.certContainer);
    secret(c.certLogon.pin, m.certPin);
    secret(c.smartCardPin, m.cardPin);
    set(c.smartCardHintUpn, m.hintUpn);
    if (m.upn) c.upnList = {m.upn};
    set(c.containerName, m.cardContainer);
    set(c.providerName, m.cardProvider);
    secret(c.whfbCertPin, m.whfbPin);
    set(c.whfbCertCtxId, m.whfbContext);
    c.isUnlockScenario = c.isCertSsoUnlockEnabled = m.certUnlock;
    c.credentialsAvailable = true;
}

class SerializationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ResetSessionIdCache();
        ResetRecord();
    }
    static void ResetRecord() {
        ResetCredentials();
        TheCredentials().smartCardHintUpn.clear();
        TheCredentials().whfbCertCtxId.clear();
    }
    void TearDown() override {
        for (auto& s : serializations) ::CoTaskMemFree(s.rgbSerialization);
        CleanupOfflineChannel();
        TheCredentials().entraContext.reset();
        ::CoUninitialize();
    }
    HRESULT Serialize(CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario = CPUS_LOGON) {
        if (!tile) { EXPECT_EQ(cred_CreateInstance(tile.put(), scenario, false), S_OK); }
        serializations.push_back({});
        response = static_cast<CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE>(77);
        return tile->GetSerialization(&response, &serializations.back(), nullptr, nullptr);
    }
    const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION& Last() const { return serializations.back(); }
    logonsim::DecodedSerialization Decoded() const {
        return logonsim::DecodeSerialization(Last().ulAuthenticationPackage, Last().rgbSerialization,
                                             Last().cbSerialization);
    }

    RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
    com_ptr<ICredentialProviderCredential> tile;
    CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE response{};
    std::vector<CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION> serializations;
};

TEST_F(SerializationTest, NothingAvailableFailsAndSignalsNotReadyForSeamlessWindows) {
    std::wstring name = fake.namespaceEventPrefix + L"dravikndmg.NotReadyForTessel" + std::to_wstring(fake.sessionId);
    platform::unique_handle tessel(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    EXPECT_EQ(Serialize(), E_FAIL);
    EXPECT_EQ(response, CPGSR_NO_CREDENTIAL_FINISHED);
    EXPECT_EQ(Last().rgbSerialization, nullptr);
    EXPECT_EQ(::WaitForSingleObject(tessel.get(), 0), WAIT_OBJECT_0);
    ASSERT_EQ(fake.etwEvents.size(), 1u);  // the "SSO" BEGIN event
    EXPECT_EQ(fake.etwEvents[0].descriptor.Opcode, 1);
}

// What the record holds decides the road; the decoder reads the result as the LSA would.
// Null expectations are not checked; the local account of a hybrid frame has password "kioskpw".
struct Road {
    const char* name;
    Material material;
    CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario;
    const wchar_t *package;
    LogonKind kind;
    const wchar_t *domain, *user;
    SecretForm form;  // of the password, or of the PIN of a certificate logon
    const wchar_t *secret, *container, *provider, *localUser;
    bool keptForRetries;  // certificate material stays for LogonUI's next attempt
    std::vector<const wchar_t*> logs;
};

const wchar_t kSsoKsp[] = L"Velmora Zephral SSO Key Storage Provider";

const Road kRoads[] = {
    {"password", {.domain = L"CORP", .user = L"alice", .password = L"Tr0ub4dor&3"}, CPUS_LOGON, L"Negotiate",
     LogonKind::Interactive, L"CORP", L"alice", SecretForm::SimProtected, L"Tr0ub4dor&3", L"", L"", L"", false, {}},
    {"unlock with a UPN drops the domain", {.domain = L"CORP", .user = L"alice@corp.example", .password = L"pw"},
     CPUS_UNLOCK_WORKSTATION, L"Negotiate", LogonKind::InteractiveUnlock, L"", L"alice@corp.example",
     SecretForm::SimProtected, L"pw", L"", L"", L"", false, {}},
    {"hybrid password wins over the plain password",
     {.domain = L"CORP", .user = L"alice", .password = L"domainpw", .localUser = L"kiosk", .localPassword = L"kioskpw"},
     CPUS_LOGON, L"LUMO_AUTHENTICATION_PACKAGE_V1_0", LogonKind::HybridPassword, L"CORP", L"alice",
     SecretForm::SimProtected, L"domainpw", L"", L"", L"kiosk", false, {}},
    {"hybrid CertSSO for the agent's KSP",
     {.localUser = L"kiosk", .localPassword = L"kioskpw", .certContainer = L"cont", .certPin = L"2468"}, CPUS_LOGON,
     L"LUMO_AUTHENTICATION_PACKAGE_V1_0", LogonKind::HybridCertificate, L"", L"", SecretForm::Plain, L"2468", L"cont",
     kSsoKsp, L"kiosk", false, {}},
    {"local account is NTLM without domain", {.localUser = L"kiosk", .localPassword = L"kioskpw"}, CPUS_LOGON, L"NTLM",
     LogonKind::Interactive, L"", L"kiosk", SecretForm::SimProtected, L"kioskpw", L"", L"", L"", false, {}},
    {"CertSSO", {.domain = L"CORP", .user = L"alice", .certContainer = L"le-container", .certPin = L"1357"},
     CPUS_LOGON, L"Kerberos", LogonKind::Certificate, L"CORP", L"alice", SecretForm::Plain, L"1357", L"le-container",
     kSsoKsp, L"", true, {}},
    {"CertSSO unlock whose handshake fails still tries the certificate", {.certUnlock = true}, CPUS_UNLOCK_WORKSTATION,
     L"Kerberos", LogonKind::CertificateUnlock, nullptr, nullptr, SecretForm::Empty, L"", nullptr, nullptr, L"", true,
     {L"Failed to trigger DazServer notification event for CertSSO unlock",
      L"Serializing CertSSO credentials (CertSSO unlock error)"}},
    {"smart card: the hint UPN goes first",
     {.cardPin = L"0000", .hintUpn = L"hint@corp.example", .upn = L"other@corp.example",
      .cardContainer = L"card-container", .cardProvider = L"Card Provider"},
     CPUS_LOGON, L"Kerberos", LogonKind::Certificate, nullptr, nullptr, SecretForm::SimProtected, L"0000",
     L"card-container", L"Card Provider", L"", false,
     {L"Adding SmartCardHintUpn hint@corp.example to UpnList", L"'hint@corp.example'"}},
    {"Windows Hello uses its own KSP and the context id", {.whfbPin = L"8642", .whfbContext = L"ctx-42"}, CPUS_LOGON,
     L"Kerberos", LogonKind::Certificate, nullptr, nullptr, SecretForm::Plain, L"8642", L"ctx-42",
     L"Velmora Zephral WHFB SSO Key Storage Provider", L"", true, {L"usage:logon, contextId:ctx-42, hasPin:yes"}},
};

TEST_F(SerializationTest, EachRecordTakesItsRoadAndPackageAndUsesTheMaterialOnce) {
    for (const Road& road : kRoads) {
        SCOPED_TRACE(road.name);
        ResetRecord();
        tile.reset();
        log.Clear();
        Fill(road.material);
        ASSERT_EQ(Serialize(road.scenario), S_OK);
        EXPECT_EQ(response, CPGSR_RETURN_CREDENTIAL_FINISHED);
        EXPECT_TRUE(IsEqualCLSID(Last().clsidCredentialProvider, CLSID_credprovider));
        const auto d = Decoded();
        ASSERT_TRUE(d.ok) << std::string(d.error.begin(), d.error.end());
        EXPECT_EQ(d.package, road.package);
        EXPECT_EQ(d.kind, road.kind);
        const auto& secret = d.hasCspInfo ? d.pin : d.password;
        EXPECT_EQ(secret.form, road.form);
        EXPECT_EQ(secret.clear, road.secret);
        const std::pair<const std::wstring*, const wchar_t*> texts[] = {
            {&d.domain, road.domain}, {&d.user, road.user}, {&d.csp.container, road.container},
            {&d.csp.provider, road.provider}, {&d.localUser, road.localUser}};
        for (const auto& [actual, expected] : texts)
            if (expected) { EXPECT_EQ(*actual, expected); }
        if (d.hybrid) { EXPECT_EQ(d.localPassword.clear, L"kioskpw"); }
        for (const wchar_t* line : road.logs) EXPECT_TRUE(log.Contains(line)) << std::wstring(line).size();
        const Credentials& c = TheCredentials();
        EXPECT_EQ(c.credentialsAvailable, road.keptForRetries);
        if (road.keptForRetries) continue;
        EXPECT_TRUE(c.password.empty() && c.userName.empty() && c.domainName.empty() && c.unauthPassword.empty());
        EXPECT_TRUE(c.certLogon.containerName.empty() && c.certLogon.pin.empty());
        EXPECT_TRUE(c.smartCardPin.empty() && c.upnList.empty() && c.containerName.empty() &&
                    c.smartCardHintUpn.empty());
        EXPECT_EQ(Serialize(road.scenario), E_FAIL) << "used once";
    }
}

class FakeEntra : public IEntraContext {
public:
    explicit FakeEntra(HRESULT status) : status_(status) {}
    HRESULT GetStatus() override { return status_; }
    HRESULT SerializeCredential(BYTE** buffer, ULONG* size) override {
        *buffer = static_cast<BYTE*>(::CoTaskMemAlloc(4));
        std::memcpy(*buffer, "CAP!", 4);
        *size = 4;
        return S_OK;
    }
    void WipeAssertion() override { ++wiped; }
    int wiped = 0;

private:
    HRESULT status_;
};

// A pending Entra request answers nothing yet and keeps the record; a completed one is a CloudAP logon.
TEST_F(SerializationTest, EntraRequestIsACloudApLogonOnceComplete) {
    for (HRESULT status : {E_PENDING, S_OK}) {
        auto* entra = new FakeEntra(status);
        TheCredentials().SetEntraContext(std::unique_ptr<IEntraContext>(entra));
        TheCredentials().credentialsAvailable = true;
        ASSERT_EQ(Serialize(), S_OK);
        const bool done = status == S_OK;
        EXPECT_EQ(response, done ? CPGSR_RETURN_CREDENTIAL_FINISHED : CPGSR_NO_CREDENTIAL_FINISHED);
        EXPECT_EQ(Last().ulAuthenticationPackage, done ? 4u : 0u);  // CloudAP
        EXPECT_EQ(Last().cbSerialization, done ? 4u : 0u);
        EXPECT_EQ(entra->wiped, done ? 1 : 0);
        EXPECT_EQ(TheCredentials().credentialsAvailable, !done);
    }
}

TEST_F(SerializationTest, MissingPackagesAreReportedAsTheyAre) {
    fake.packageIds.erase("Kerberos");
    Fill({.certContainer = L"c", .certPin = L"1"});
    EXPECT_EQ(Serialize(), E_NOTIMPL);
    EXPECT_EQ(Last().rgbSerialization, nullptr);
    ResetRecord();
    fake.packageLookupStatus = static_cast<NTSTATUS>(0xC0000001);
    Fill({.domain = L"CORP", .user = L"alice", .password = L"pw"});
    EXPECT_EQ(Serialize(), HRESULT(0xD0000001));  // the NTSTATUS as an HRESULT
    EXPECT_TRUE(TheCredentials().password.empty());
}

// Registered credential handlers see the serialization in key order: "a" replaces it with
// "REPLACED" for package 100, "c" refuses and ends the chain, "d" returns S_OK but changes nothing.
struct HandlerCase {
    const char* what;
    std::vector<wchar_t> handlers;  // in registration order
    HRESULT hr;
    const wchar_t* calls;
    bool replaced;
    const wchar_t* line;
    int level;
};

void PrintTo(const HandlerCase& c, std::ostream* os) { *os << c.what; }

class HandlerTest : public SerializationTest, public ::testing::WithParamInterface<HandlerCase> {};

TEST_P(HandlerTest, HandlersMayReplaceOrRefuseTheSerialization) {
    const HandlerCase& c = GetParam();
    ASSERT_TRUE(RegisterTestHandlerClasses());
    ResetTestHandlerCalls();
    for (wchar_t kind : c.handlers) AddHandlerKey(registry, TestHandlerClsid(kind));
    Fill({.domain = L"CORP", .user = L"alice", .password = L"pw"});
    EXPECT_EQ(Serialize(), c.hr);
    EXPECT_EQ(TestHandlerCalls(), c.calls);
    EXPECT_EQ(response, c.hr == S_OK ? CPGSR_RETURN_CREDENTIAL_FINISHED : CPGSR_NO_CREDENTIAL_FINISHED);
    if (c.hr != S_OK) {
        EXPECT_EQ(Last().rgbSerialization, nullptr);
    } else if (c.replaced) {
        ASSERT_EQ(Last().cbSerialization, 8u);
        EXPECT_EQ(std::memcmp(Last().rgbSerialization, "REPLACED", 8), 0);
        EXPECT_EQ(Last().ulAuthenticationPackage, 100u);
    } else {
        EXPECT_EQ(Decoded().user, L"alice");
    }
    if (c.line) { EXPECT_TRUE(log.Contains(c.line, c.level)); }
}

const HandlerCase kHandlers[] = {
    {"replaced", {L'b', L'a'}, S_OK, L"a:UpdateSerialization;b:UpdateSerialization;", true, nullptr, 0},
    {"refused", {L'c', L'd'}, S_FALSE, L"c:UpdateSerialization;", false, L"returned 0x1, passing on to logonui",
     CORE::LOG_ERROR},
    {"untouched", {L'd'}, S_OK, L"d:UpdateSerialization;", false, L"changed credentials, pointer untouched",
     CORE::LOG_WARN},
};

INSTANTIATE_TEST_SUITE_P(Handlers, HandlerTest, ::testing::ValuesIn(kHandlers));

}  // namespace
