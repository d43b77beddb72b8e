// The certificate logon's resolution case against a scripted account resolution: which
// switches reach GetCredentialsFromUPN and which resolved hints go into the buffer. This
// program defines GetCredentialsFromUPN itself, so the linker never takes the library's.
#include "ByteView.h"

#include "logon/AccountResolution.h"
#include "logon/KerbCertificateLogon.h"

#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

using namespace logontest;

namespace {

struct ResolutionCall {
    bool hintOptimizationDisabled;
    std::wstring sid;
    std::wstring upn;
    bool lookupDnsDomain;
};

struct ScriptedResolution {
    bool succeeds = true;
    std::wstring user = L"alice";
    std::wstring domain = L"corp.example";
    std::vector<ResolutionCall> calls;
} g_resolution;

}  // namespace

bool GetCredentialsFromUPN(bool hintOptimizationDisabled, PCWSTR sid, PCWSTR upn, bool lookupDnsDomain,
                           std::wstring* userName, std::wstring* domainName) {
    g_resolution.calls.push_back({hintOptimizationDisabled, sid ? sid : L"", upn ? upn : L"", lookupDnsDomain});
    if (!g_resolution.succeeds) {
        ::SetLastError(ERROR_NONE_MAPPED);
        return false;
    }
    *userName = g_resolution.user;
    *domainName = g_resolution.domain;
    return true;
}

namespace {

const wchar_t kSid[] = L"S-1-5-21-1-2-3-1001";
const wchar_t kPolicyKey[] = L"Software\\Policies\\Velmora\\Zephral\\Agent\\Configuration";

class KerbCertificateResolution : public testing::Test {
protected:
    KerbCertificateResolution() { g_resolution = ScriptedResolution{}; }

    testsupport::FakePlatform os;
    testsupport::RegistrySandbox registry;
    testsupport::LogCapture log;

    // Resolution case (user in UPN form); returns the buffer.
    Bytes Build(bool isCertSso, const std::vector<std::wstring>& upns, PCWSTR sid = kSid) {
        BYTE* raw = nullptr;
        DWORD size = 0;
        EXPECT_EQ(BuildKerbCertificateLogon({CPUS_LOGON, L"corp.example", L"CORP", L"alice@corp.example", sid, upns, nullptr, nullptr, L"K", L"P", L"1234", 0, isCertSso}, &raw, &size),
                  S_OK);
        Bytes b(raw, raw + size);
        ::CoTaskMemFree(raw);
        return b;
    }
    static std::wstring Domain(const Bytes& b) { return Text(b, U64(b, 8 + 8), U16(b, 8)); }
    static std::wstring User(const Bytes& b) { return Text(b, U64(b, 24 + 8), U16(b, 24)); }
};

TEST_F(KerbCertificateResolution, SmartCardPassesTheResolvedDomainOnlyWhenUseDomainIsOn) {
    Bytes b = Build(false, {L"alice@corp.example"});
    EXPECT_EQ(User(b), L"alice");
    EXPECT_EQ(U16(b, 8), 0u) << "UseDomainOnSmartCard defaults to false";
    ASSERT_EQ(g_resolution.calls.size(), 1u);
    EXPECT_FALSE(g_resolution.calls[0].hintOptimizationDisabled);
    EXPECT_EQ(g_resolution.calls[0].sid, kSid);
    EXPECT_FALSE(g_resolution.calls[0].lookupDnsDomain) << "a DNS domain is only asked for when it is used";
    EXPECT_TRUE(log.Contains(L"BuildKerbCertificateLogon(): Mapped user principal to 'alice' 'corp.example'",
                             CORE::LOG_DEBUG));

    registry.SetAgentConfig(L"UseDomainOnSmartCard", L"true");
    b = Build(false, {L"alice@corp.example"});
    EXPECT_EQ(Domain(b), L"corp.example");
    EXPECT_TRUE(g_resolution.calls.back().lookupDnsDomain);
    EXPECT_TRUE(log.Contains(L"Kerberos certificate will use domain: corp.example", CORE::LOG_TRACE));

    registry.SetAgentConfig(L"LookupFQDNOnSmartCard", L"false");
    Build(false, {L"alice@corp.example"});
    EXPECT_FALSE(g_resolution.calls.back().lookupDnsDomain);
}

TEST_F(KerbCertificateResolution, CertSsoAlwaysResolvesFullyAndIgnoresTheSmartCardSwitches) {
    registry.SetAgentConfig(L"UseDomainOnSmartCard", L"false");
    registry.SetAgentConfig(L"LookupFQDNOnSmartCard", L"false");
    registry.SetAgentConfig(L"DisableSmartCardHintOptimization", L"true");
    Bytes b = Build(true, {});
    EXPECT_EQ(User(b), L"alice");
    EXPECT_EQ(Domain(b), L"corp.example");
    ASSERT_EQ(g_resolution.calls.size(), 1u);
    EXPECT_FALSE(g_resolution.calls[0].hintOptimizationDisabled);
    EXPECT_TRUE(g_resolution.calls[0].lookupDnsDomain);
    EXPECT_FALSE(log.Contains(L"SmartCardHintOptimization is DISABLED"));
}

TEST_F(KerbCertificateResolution, DomainHintSwitchOrAnEmptyResolvedDomainSendsNoDomain) {
    registry.SetAgentConfig(L"UseDomainOnSmartCard", L"true");
    g_resolution.domain.clear();
    Bytes b = Build(false, {L"alice@corp.example"});
    EXPECT_EQ(U16(b, 8), 0u);
    EXPECT_TRUE(log.Contains(L"Did not find the domain for UPN alice@corp.example.", CORE::LOG_TRACE));

    g_resolution.domain = L"corp.example";
    registry.SetAgentConfig(L"DisableSmartcardDomainHint", L"true");
    b = Build(false, {L"alice@corp.example"});
    EXPECT_EQ(User(b), L"alice");
    EXPECT_EQ(U16(b, 8), 0u);
    EXPECT_TRUE(log.Contains(
        L"BuildKerbCertificateLogon(): Mapped user principal to 'alice' 'corp.example', domain not passed to lsa",
        CORE::LOG_DEBUG));
}

TEST_F(KerbCertificateResolution, DisabledHintOptimizationIgnoresTheSidAndIsReadWithoutPolicy) {
    // Set only as policy: the switch is read from the plain key, so this changes nothing.
    registry.SetString(kPolicyKey, L"DisableSmartCardHintOptimization", L"true");
    Build(false, {});
    ASSERT_EQ(g_resolution.calls.size(), 1u);
    EXPECT_FALSE(g_resolution.calls[0].hintOptimizationDisabled);

    registry.SetAgentConfig(L"DisableSmartCardHintOptimization", L"true");
    Build(false, {});
    EXPECT_EQ(g_resolution.calls.size(), 1u) << "a SID alone is no longer enough";
    EXPECT_TRUE(log.Contains(L"SmartCardHintOptimization is DISABLED", CORE::LOG_DEBUG));
    EXPECT_TRUE(log.Contains(L"clientUPNs was unexpectedly empty.", CORE::LOG_DEBUG));

    Build(false, {L"first@corp.example", L"second@corp.example"});
    ASSERT_EQ(g_resolution.calls.size(), 2u);
    EXPECT_TRUE(g_resolution.calls[1].hintOptimizationDisabled);
    EXPECT_EQ(g_resolution.calls[1].upn, L"first@corp.example");
}

}  // namespace
