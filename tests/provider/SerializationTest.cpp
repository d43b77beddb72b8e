#include "provider/cred.h"

#include "base/Guids.h"
#include "base/OfflineChannel.h"
#include "base/SessionInfo.h"
#include "sso/Credentials.h"
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

void GivePassword(Credentials& c, const wchar_t* domain, const wchar_t* user, const wchar_t* password) {
    c.domainName = domain;
    c.userName = user;
    c.password = std::wstring_view(password);
    c.credentialsAvailable = true;
}

class SerializationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ResetRecord();
    }
    static void ResetRecord() {
        ResetSessionIdCache();
        Credentials& c = TheCredentials();
        c.ClearCredentials(true);
        c.certLogon.containerName.clear();
        c.certLogon.pin.Wipe();
        c.isUnlockScenario = c.isCertSsoUnlockEnabled = c.isWhfbCertSsoUnlockEnabled = c.isEntraUnlockEnabled = false;
        c.entraContext.reset();
        c.smartCardHintUpn.clear();
        c.whfbCertCtxId.clear();
    }
    void TearDown() override {
        for (auto& s : serializations) ::CoTaskMemFree(s.rgbSerialization);
        CleanupOfflineChannel();
        TheCredentials().entraContext.reset();
        ::CoUninitialize();
    }
    HRESULT Serialize(CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario = CPUS_LOGON) {
        if (!tile) {
            EXPECT_EQ(cred_CreateInstance(tile.put(), scenario, false), S_OK);
        }
        serializations.push_back({});
        response = static_cast<CREDENTIAL_PROVIDER_GET_SERIALIZATION_RESPONSE>(77);
        return tile->GetSerialization(&response, &serializations.back(), nullptr, nullptr);
    }
    const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION& Last() const { return serializations.back(); }
    logonsim::DecodedSerialization Decoded() const {
        return logonsim::DecodeSerialization(Last().ulAuthenticationPackage, Last().rgbSerialization,
                                             Last().cbSerialization);
    }
    static void Password(const wchar_t* domain, const wchar_t* user, const wchar_t* password) {
        GivePassword(TheCredentials(), domain, user, password);
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
    EXPECT_EQ(fake.etwEvents.size(), 1u);  // the "SSO" BEGIN event
    EXPECT_EQ(fake.etwEvents[0].descriptor.Opcode, 1);
}

// What the record holds decides the road; the decoder reads the result as the LSA would.
struct Road {
    const char* name;
    void (*fill)(Credentials&);
    CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario;
    const wchar_t* package;
    LogonKind kind;
    const wchar_t* domain;
    const wchar_t* user;
    SecretForm form;  // of the password, or of the PIN of a certificate logon
    const wchar_t* secret;
    const wchar_t* container;  // certificate logons: CSP container and provider
    const wchar_t* provider;
    const wchar_t* localUser;  // hybrid frames: the local account and its password
    bool keptForRetries;       // certificate material stays for LogonUI's next attempt
    std::vector<const wchar_t*> logs;
};

const wchar_t kSsoKsp[] = L"Velmora Zephral SSO Key Storage Provider";

const Road kRoads[] = {
    {"password", [](Credentials& c) { GivePassword(c, L"CORP", L"alice", L"Tr0ub4dor&3"); }, CPUS_LOGON, L"Negotiate",
     LogonKind::Interactive, L"CORP", L"alice", SecretForm::SimProtected, L"Tr0ub4dor&3", L"", L"", L"", false, {}},
    {"unlock with a UPN drops the domain", [](Credentials& c) { GivePassword(c, L"CORP", L"alice@corp.example", L"pw"); },
     CPUS_UNLOCK_WORKSTATION, L"Negotiate", LogonKind::InteractiveUnlock, L"", L"alice@corp.example",
     SecretForm::SimProtected, L"pw", L"", L"", L"", false, {}},
    {"hybrid password wins over the plain password",
     [](Credentials& c) {
         GivePassword(c, L"CORP", L"alice", L"domainpw");
         c.unauthUserName = L"kiosk";
         c.unauthPassword = std::wstring_view(L"kioskpw");
     },
     CPUS_LOGON, L"LUMO_AUTHENTICATION_PACKAGE_V1_0", LogonKind::HybridPassword, L"CORP", L"alice",
     SecretForm::SimProtected, L"domainpw", L"", L"", L"kiosk", false, {}},
    {"hybrid CertSSO for the agent's KSP",
     [](Credentials& c) {
         c.unauthUserName = L"kiosk";
         c.unauthPassword = std::wstring_view(L"kioskpw");
         c.certLogon.containerName = L"cont";
         c.certLogon.pin = std::wstring_view(L"2468");
         c.credentialsAvailable = true;
     },
     CPUS_LOGON, L"LUMO_AUTHENTICATION_PACKAGE_V1_0", LogonKind::HybridCertificate, L"", L"", SecretForm::Plain,
     L"2468", L"cont", kSsoKsp, L"kiosk", false, {}},
    {"local account is NTLM without domain",
     [](Credentials& c) {
         c.unauthUserName = L"kiosk";
         c.unauthPassword = std::wstring_view(L"kioskpw");
         c.credentialsAvailable = true;
     },
     CPUS_LOGON, L"NTLM", LogonKind::Interactive, L"", L"kiosk", SecretForm::SimProtected, L"kioskpw", L"", L"", L"",
     false, {}},
    {"CertSSO",
     [](Credentials& c) {
         c.domainName = L"CORP";
         c.userName = L"alice";
         c.certLogon.containerName = L"le-container";
         c.certLogon.pin = std::wstring_view(L"1357");
         c.credentialsAvailable = true;
     },
     CPUS_LOGON, L"Kerberos", LogonKind::Certificate, L"CORP", L"alice", SecretForm::Plain, L"1357", L"le-container",
     kSsoKsp, L"", true, {}},
    {"CertSSO unlock whose handshake fails still tries the certificate",
     [](Credentials& c) {
         c.isUnlockScenario = c.isCertSsoUnlockEnabled = true;
         c.credentialsAvailable = true;
     },
     CPUS_UNLOCK_WORKSTATION, L"Kerberos", LogonKind::CertificateUnlock, nullptr, nullptr, SecretForm::Empty, L"",
     nullptr, nullptr, L"", true,
     {L"Failed to trigger DazServer notification event for CertSSO unlock",
      L"Serializing CertSSO credentials (CertSSO unlock error)"}},
    {"smart card: the hint UPN goes first",
     [](Credentials& c) {
         c.smartCardPin = std::wstring_view(L"0000");
         c.smartCardHintUpn = L"hint@corp.example";
         c.upnList = {L"other@corp.example"};
         c.containerName = L"card-container";
         c.providerName = L"Card Provider";
         c.credentialsAvailable = true;
     },
     CPUS_LOGON, L"Kerberos", LogonKind::Certificate, nullptr, nullptr, SecretForm::SimProtected, L"0000",
     L"card-container", L"Card Provider", L"", false,
     {L"Adding SmartCardHintUpn hint@corp.example to UpnList", L"'hint@corp.example'"}},
    {"Windows Hello uses its own KSP and the context id",
     [](Credentials& c) {
         c.whfbCertPin = std::wstring_view(L"8642");
         c.whfbCertCtxId = L"ctx-42";
         c.credentialsAvailable = true;
     },
     CPUS_LOGON, L"Kerberos", LogonKind::Certificate, nullptr, nullptr, SecretForm::Plain, L"8642", L"ctx-42",
     L"Velmora Zephral WHFB SSO Key Storage Provider", L"", true, {L"usage:logon, contextId:ctx-42, hasPin:yes"}},
};

TEST_F(SerializationTest, EachRecordTakesItsRoadAndPackageAndUsesTheMaterialOnce) {
    for (const Road& road : kRoads) {
        SCOPED_TRACE(road.name);
        ResetRecord();
        tile.reset();
        log.Clear();
        road.fill(TheCredentials());
        ASSERT_EQ(Serialize(road.scenario), S_OK);
        EXPECT_EQ(response, CPGSR_RETURN_CREDENTIAL_FINISHED);
        EXPECT_TRUE(IsEqualCLSID(Last().clsidCredentialProvider, CLSID_credprovider));
        const auto d = Decoded();
        ASSERT_TRUE(d.ok) << std::string(d.error.begin(), d.error.end());
        EXPECT_EQ(d.package, road.package);
        EXPECT_EQ(d.kind, road.kind);
        if (road.domain) { EXPECT_EQ(d.domain, road.domain); }
        if (road.user) { EXPECT_EQ(d.user, road.user); }
        const auto& secret = d.hasCspInfo ? d.pin : d.password;
        EXPECT_EQ(secret.form, road.form);
        EXPECT_EQ(secret.clear, road.secret);
        if (road.container) { EXPECT_EQ(d.csp.container, road.container); }
        if (road.provider) { EXPECT_EQ(d.csp.provider, road.provider); }
        EXPECT_EQ(d.localUser, road.localUser);
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

TEST_F(SerializationTest, PendingEntraRequestAnswersNothingYetAndKeepsTheRecord) {
    TheCredentials().SetEntraContext(std::make_unique<FakeEntra>(E_PENDING));
    TheCredentials().credentialsAvailable = true;
    EXPECT_EQ(Serialize(), S_OK);
    EXPECT_EQ(response, CPGSR_NO_CREDENTIAL_FINISHED);
    EXPECT_EQ(Last().rgbSerialization, nullptr);
    EXPECT_TRUE(TheCredentials().credentialsAvailable);
}

TEST_F(SerializationTest, CompletedEntraRequestIsACloudApLogon) {
    auto* entra = new FakeEntra(S_OK);
    TheCredentials().SetEntraContext(std::unique_ptr<IEntraContext>(entra));
    TheCredentials().credentialsAvailable = true;
    ASSERT_EQ(Serialize(), S_OK);
    EXPECT_EQ(response, CPGSR_RETURN_CREDENTIAL_FINISHED);
    EXPECT_EQ(Last().ulAuthenticationPackage, 4u);  // CloudAP
    EXPECT_EQ(Last().cbSerialization, 4u);
    EXPECT_EQ(entra->wiped, 1);
    EXPECT_FALSE(TheCredentials().credentialsAvailable);
}

TEST_F(SerializationTest, MissingPackagesAreReportedAsTheyAre) {
    fake.packageIds.erase("Kerberos");
    TheCredentials().certLogon.containerName = L"c";
    TheCredentials().certLogon.pin = std::wstring_view(L"1");
    TheCredentials().credentialsAvailable = true;
    EXPECT_EQ(Serialize(), E_NOTIMPL);
    EXPECT_EQ(Last().rgbSerialization, nullptr);
    TheCredentials().certLogon.containerName.clear();
    TheCredentials().certLogon.pin.Wipe();
    fake.packageLookupStatus = static_cast<NTSTATUS>(0xC0000001);
    Password(L"CORP", L"alice", L"pw");
    EXPECT_EQ(Serialize(), HRESULT(0xD0000001));  // the NTSTATUS as an HRESULT
    EXPECT_TRUE(TheCredentials().password.empty());
}

class HandlerSerializationTest : public SerializationTest {
protected:
    void SetUp() override {
        SerializationTest::SetUp();
        ASSERT_TRUE(RegisterTestHandlerClasses());
        ResetTestHandlerCalls();
    }
};

TEST_F(HandlerSerializationTest, AHandlerCanReplaceTheSerialization) {
    AddHandlerKey(registry, TestHandlerClsid(L'b'));
    AddHandlerKey(registry, TestHandlerClsid(L'a'));
    Password(L"CORP", L"alice", L"pw");
    ASSERT_EQ(Serialize(), S_OK);
    EXPECT_EQ(TestHandlerCalls(), L"a:UpdateSerialization;b:UpdateSerialization;");
    ASSERT_EQ(Last().cbSerialization, 8u);
    EXPECT_EQ(std::memcmp(Last().rgbSerialization, "REPLACED", 8), 0);
    EXPECT_EQ(Last().ulAuthenticationPackage, 100u);
    EXPECT_EQ(response, CPGSR_RETURN_CREDENTIAL_FINISHED);
}

TEST_F(HandlerSerializationTest, AHandlerThatRefusesDiscardsTheSerialization) {
    AddHandlerKey(registry, TestHandlerClsid(L'c'));
    AddHandlerKey(registry, TestHandlerClsid(L'd'));
    Password(L"CORP", L"alice", L"pw");
    EXPECT_EQ(Serialize(), S_FALSE);
    EXPECT_EQ(response, CPGSR_NO_CREDENTIAL_FINISHED);
    EXPECT_EQ(Last().rgbSerialization, nullptr);
    EXPECT_EQ(TestHandlerCalls(), L"c:UpdateSerialization;");  // the chain stops there
    EXPECT_TRUE(log.Contains(L"returned 0x1, passing on to logonui", CORE::LOG_ERROR));
}

TEST_F(HandlerSerializationTest, AnUntouchedPointerIsKeptWithAWarning) {
    AddHandlerKey(registry, TestHandlerClsid(L'd'));
    Password(L"CORP", L"alice", L"pw");
    ASSERT_EQ(Serialize(), S_OK);
    EXPECT_EQ(Decoded().user, L"alice");
    EXPECT_TRUE(log.Contains(L"changed credentials, pointer untouched", CORE::LOG_WARN));
}

}  // namespace
