#include "provider/cred.h"

#include "base/Guids.h"
#include "base/OfflineChannel.h"
#include "base/SessionInfo.h"
#include "platform/sim/SimProtectedForm.h"
#include "sso/Credentials.h"
#include "support/FakePlatform.h"
#include "support/HandlerRegistration.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using platform::com_ptr;
using namespace testsupport;

// Reads a self-relative logon buffer by its documented offsets, independently of the builders.
struct Bytes {
    const BYTE* p;
    size_t n;
    DWORD U32(size_t at) const {
        EXPECT_LE(at + 4, n);
        return p[at] | (p[at + 1] << 8) | (p[at + 2] << 16) | (DWORD(p[at + 3]) << 24);
    }
    ULONGLONG U64(size_t at) const { return U32(at) | (ULONGLONG(U32(at + 4)) << 32); }
    USHORT U16(size_t at) const { return static_cast<USHORT>(p[at] | (p[at + 1] << 8)); }
    // A UNICODE_STRING at `field`: Length, MaximumLength, 4 zero bytes, Buffer offset.
    std::wstring Str(size_t field) const {
        USHORT length = U16(field);
        ULONGLONG offset = U64(field + 8);
        EXPECT_EQ(U16(field + 2), length);
        EXPECT_LE(offset + length, n);
        std::wstring text;
        for (size_t i = 0; i < length / 2; ++i) text.push_back(static_cast<wchar_t>(U16(offset + 2 * i)));
        return text;
    }
    Bytes At(size_t offset) const { return Bytes{p + offset, n - offset}; }
    // A zero-terminated name in the CSP block, `chars` UTF-16 units after byte 40.
    std::wstring CspName(size_t chars) const {
        std::wstring text;
        for (size_t at = 40 + 2 * chars; at + 1 < n && U16(at); at += 2) text.push_back(static_cast<wchar_t>(U16(at)));
        return text;
    }
};

std::wstring Unprotect(const std::wstring& text) {
    std::vector<wchar_t> clear(text.size() + 1);
    size_t chars = 0;
    if (!platform::sim::SimUnprotect(text.c_str(), text.size(), clear.data(), clear.size(), &chars)) return L"<not protected>";
    return std::wstring(clear.data(), chars);
}

class SerializationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
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
    Bytes Buffer() const { return Bytes{Last().rgbSerialization, Last().cbSerialization}; }
    static void Password(const wchar_t* domain, const wchar_t* user, const wchar_t* password) {
        Credentials& c = TheCredentials();
        c.domainName = domain;
        c.userName = user;
        c.password = std::wstring_view(password);
        c.credentialsAvailable = true;
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

TEST_F(SerializationTest, PasswordSsoIsANegotiateInteractiveLogonUsedOnce) {
    Password(L"CORP", L"alice", L"Tr0ub4dor&3");
    ASSERT_EQ(Serialize(), S_OK);
    EXPECT_EQ(response, CPGSR_RETURN_CREDENTIAL_FINISHED);
    EXPECT_EQ(Last().ulAuthenticationPackage, 0u);  // Negotiate
    EXPECT_TRUE(IsEqualCLSID(Last().clsidCredentialProvider, CLSID_credprovider));
    Bytes b = Buffer();
    EXPECT_EQ(b.U32(0), 2u);  // KerbInteractiveLogon
    EXPECT_EQ(b.U64(56), 0u);
    EXPECT_EQ(b.Str(8), L"CORP");
    EXPECT_EQ(b.Str(24), L"alice");
    EXPECT_EQ(Unprotect(b.Str(40)), L"Tr0ub4dor&3");
    const Credentials& c = TheCredentials();
    EXPECT_FALSE(c.credentialsAvailable);
    EXPECT_TRUE(c.password.empty() && c.userName.empty() && c.domainName.empty());
    EXPECT_EQ(Serialize(), E_FAIL);  // single use
}

TEST_F(SerializationTest, UnlockUsesTheWorkstationUnlockMessageAndAUpnDropsTheDomain) {
    Password(L"CORP", L"alice@corp.example", L"pw");
    ASSERT_EQ(Serialize(CPUS_UNLOCK_WORKSTATION), S_OK);
    Bytes b = Buffer();
    EXPECT_EQ(b.U32(0), 7u);  // KerbWorkstationUnlockLogon
    EXPECT_EQ(b.Str(8), L"");
    EXPECT_EQ(b.Str(24), L"alice@corp.example");
}

TEST_F(SerializationTest, HybridPasswordWinsOverThePlainPasswordRoad) {
    Password(L"CORP", L"alice", L"domainpw");
    TheCredentials().unauthUserName = L"kiosk";
    TheCredentials().unauthPassword = std::wstring_view(L"kioskpw");
    ASSERT_EQ(Serialize(), S_OK);
    EXPECT_EQ(Last().ulAuthenticationPackage, 7u);  // the agent's package
    Bytes b = Buffer();
    EXPECT_EQ(b.U32(0), 2u);  // hybrid format tag
    EXPECT_EQ(b.Str(8), L"kiosk");
    EXPECT_EQ(b.Str(24), L"kioskpw");
    const DWORD embeddedSize = b.U32(40);
    const DWORD embeddedAt = b.U32(44);
    EXPECT_EQ(embeddedAt, 48u + 10 + 14);
    EXPECT_EQ(embeddedAt + embeddedSize, Last().cbSerialization);
    Bytes embedded = b.At(embeddedAt);
    EXPECT_EQ(embedded.U32(0), 2u);
    EXPECT_EQ(embedded.Str(8), L"CORP");
    EXPECT_EQ(embedded.Str(24), L"alice");
    EXPECT_EQ(Unprotect(embedded.Str(40)), L"domainpw");
    EXPECT_TRUE(TheCredentials().unauthPassword.empty() && TheCredentials().password.empty());
    EXPECT_FALSE(TheCredentials().credentialsAvailable);
}

TEST_F(SerializationTest, HybridCertSsoEmbedsACertificateLogonForTheAgentsKsp) {
    Credentials& c = TheCredentials();
    c.unauthUserName = L"kiosk";
    c.unauthPassword = std::wstring_view(L"kioskpw");
    c.certLogon.containerName = L"cont";
    c.certLogon.pin = std::wstring_view(L"2468");
    c.credentialsAvailable = true;
    ASSERT_EQ(Serialize(), S_OK);
    EXPECT_EQ(Last().ulAuthenticationPackage, 7u);
    Bytes b = Buffer();
    Bytes embedded = b.At(b.U32(44));
    EXPECT_EQ(embedded.U32(0), 13u);  // KerbCertificateLogon
    EXPECT_EQ(embedded.Str(40), L"2468");
    Bytes csp = embedded.At(static_cast<size_t>(embedded.U64(64)));
    EXPECT_EQ(csp.CspName(csp.U32(32)), L"cont");
    EXPECT_EQ(csp.CspName(csp.U32(36)), L"Velmora Zephral SSO Key Storage Provider");
    EXPECT_TRUE(c.certLogon.containerName.empty() && c.certLogon.pin.empty());
}

TEST_F(SerializationTest, LocalAccountIsAnNtlmLogonWithoutDomain) {
    TheCredentials().unauthUserName = L"kiosk";
    TheCredentials().unauthPassword = std::wstring_view(L"kioskpw");
    TheCredentials().credentialsAvailable = true;
    ASSERT_EQ(Serialize(), S_OK);
    EXPECT_EQ(Last().ulAuthenticationPackage, 1u);  // NTLM
    Bytes b = Buffer();
    EXPECT_EQ(b.Str(8), L"");
    EXPECT_EQ(b.Str(24), L"kiosk");
    EXPECT_EQ(Unprotect(b.Str(40)), L"kioskpw");
}

TEST_F(SerializationTest, CertSsoIsAKerberosCertificateLogonKeptForRetries) {
    Credentials& c = TheCredentials();
    c.domainName = L"CORP";
    c.userName = L"alice";
    c.certLogon.containerName = L"le-container";
    c.certLogon.pin = std::wstring_view(L"1357");
    c.credentialsAvailable = true;
    ASSERT_EQ(Serialize(), S_OK);
    EXPECT_EQ(Last().ulAuthenticationPackage, 2u);  // Kerberos
    Bytes b = Buffer();
    EXPECT_EQ(b.U32(0), 13u);
    EXPECT_EQ(b.Str(24), L"alice");
    EXPECT_EQ(b.Str(40), L"1357");
    Bytes csp = b.At(static_cast<size_t>(b.U64(64)));
    EXPECT_EQ(csp.U32(0), b.U32(60));
    EXPECT_EQ(csp.CspName(csp.U32(32)), L"le-container");
    EXPECT_TRUE(c.credentialsAvailable);
    EXPECT_EQ(c.certLogon.containerName, L"le-container");
}

TEST_F(SerializationTest, CertSsoUnlockWhoseHandshakeFailsStillTriesTheCertificate) {
    Credentials& c = TheCredentials();
    c.isUnlockScenario = true;
    c.isCertSsoUnlockEnabled = true;
    c.credentialsAvailable = true;
    ASSERT_EQ(Serialize(CPUS_UNLOCK_WORKSTATION), S_OK);
    EXPECT_TRUE(log.Contains(L"Failed to trigger DazServer notification event for CertSSO unlock", CORE::LOG_ERROR));
    EXPECT_TRUE(log.Contains(L"Serializing CertSSO credentials (CertSSO unlock error)"));
    EXPECT_EQ(Buffer().U32(0), 15u);  // KerbCertificateUnlockLogon
    EXPECT_TRUE(c.credentialsAvailable);
}

TEST_F(SerializationTest, SmartCardHintUpnGoesFirstAndTheMaterialIsUsedUp) {
    Credentials& c = TheCredentials();
    c.smartCardPin = std::wstring_view(L"0000");
    c.smartCardHintUpn = L"hint@corp.example";
    c.upnList = {L"other@corp.example"};
    c.containerName = L"card-container";
    c.providerName = L"Card Provider";
    c.credentialsAvailable = true;
    ASSERT_EQ(Serialize(), S_OK);
    EXPECT_EQ(Last().ulAuthenticationPackage, 2u);
    EXPECT_TRUE(log.Contains(L"Adding SmartCardHintUpn hint@corp.example to UpnList"));
    EXPECT_TRUE(log.Contains(L"'hint@corp.example'"));  // the first UPN is the one resolved
    EXPECT_EQ(Unprotect(Buffer().Str(40)), L"0000");
    EXPECT_TRUE(c.smartCardPin.empty() && c.upnList.empty() && c.containerName.empty() && c.smartCardHintUpn.empty());
    EXPECT_FALSE(c.credentialsAvailable);
}

TEST_F(SerializationTest, WindowsHelloUsesItsOwnKspAndTheContextId) {
    Credentials& c = TheCredentials();
    c.whfbCertPin = std::wstring_view(L"8642");
    c.whfbCertCtxId = L"ctx-42";
    c.credentialsAvailable = true;
    ASSERT_EQ(Serialize(), S_OK);
    Bytes b = Buffer();
    EXPECT_EQ(b.Str(40), L"8642");
    Bytes csp = b.At(static_cast<size_t>(b.U64(64)));
    EXPECT_EQ(csp.CspName(csp.U32(32)), L"ctx-42");
    EXPECT_EQ(csp.CspName(csp.U32(36)), L"Velmora Zephral WHFB SSO Key Storage Provider");
    EXPECT_TRUE(c.credentialsAvailable);
    EXPECT_TRUE(log.Contains(L"usage:logon, contextId:ctx-42, hasPin:yes"));
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
    EXPECT_EQ(Buffer().Str(24), L"alice");
    EXPECT_TRUE(log.Contains(L"changed credentials, pointer untouched", CORE::LOG_WARN));
}

}  // namespace
