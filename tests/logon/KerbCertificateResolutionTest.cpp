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

#include <tuple>

using namespace logontest;

namespace {

// hint optimization disabled, SID, UPN, DNS domain wanted
using ResolutionCall = std::tuple<bool, std::wstring, std::wstring, bool>;

struct ScriptedResolution { std::wstring user = L"alice", domain = L"corp.example"; std::vector<ResolutionCall> calls; } g_resolution;

}  // namespace

bool GetCredentialsFromUPN(bool hintOptimizationDisabled, PCWSTR sid, PCWSTR upn, bool lookupDnsDomain,
                           std::wstring* userName, std::wstring* domainName) {
    g_resolution.calls.emplace_back(hintOptimizationDisabled, sid ? sid : L"", upn ? upn : L"", lookupDnsDomain);
    *userName = g_resolution.user;
    *domainName = g_resolution.domain;
    return true;
}

namespace {

const wchar_t kSid[] = L"S-1-5-21-1-2-3-1001";
const wchar_t kAlice[] = L"alice@corp.example";
using Config = std::vector<std::pair<const wchar_t*, const wchar_t*>>;

TEST(KerbCertificateResolution, SwitchesDecideWhatIsAskedAndWhichHintsGoIntoTheBuffer) {
    const Config kUseDomain = {{L"UseDomainOnSmartCard", L"true"}};
    const Config kHintOff = {{L"DisableSmartCardHintOptimization", L"true"}};
    // user, domain: in the buffer.
    const struct { Config config; bool certSso; std::vector<std::wstring> upns; std::vector<ResolutionCall> calls;
                   const wchar_t *user, *domain, *resolvedDomain = L"corp.example"; } kCases[] = {
        // A smart card: no domain by default, none asked for; with UseDomain both.
        {{}, false, {kAlice}, {{false, kSid, kAlice, false}}, L"alice", L""},
        {kUseDomain, false, {kAlice}, {{false, kSid, kAlice, true}}, L"alice", L"corp.example"},
        // CertSSO resolves fully and ignores the smart card switches.
        {{{L"UseDomainOnSmartCard", L"false"}, {L"LookupFQDNOnSmartCard", L"false"}, {L"DisableSmartCardHintOptimization", L"true"}},
         true, {}, {{false, kSid, L"", true}}, L"alice", L"corp.example"},
        // An empty resolved domain sends none; nor does the domain hint switch.
        {kUseDomain, false, {kAlice}, {{false, kSid, kAlice, true}}, L"alice", L"", L""},
        {{{L"UseDomainOnSmartCard", L"true"}, {L"DisableSmartcardDomainHint", L"true"}}, false, {kAlice},
         {{false, kSid, kAlice, true}}, L"alice", L""},
        // With the hint switch a SID alone is no longer enough; the first UPN goes.
        {kHintOff, false, {}, {}, L"", L""},
        {kHintOff, false, {L"first@corp.example", L"second@corp.example"}, {{true, kSid, L"first@corp.example", false}}, L"alice", L""},
    };
    testsupport::FakePlatform os;
    testsupport::LogCapture log;
    for (const auto& c : kCases) {
        SCOPED_TRACE(&c - kCases);
        testsupport::RegistrySandbox registry;
        for (const auto& [name, value] : c.config) registry.SetAgentConfig(name, value);
        g_resolution = ScriptedResolution{};
        g_resolution.domain = c.resolvedDomain;
        BYTE* raw = nullptr;
        DWORD size = 0;
        ASSERT_EQ(BuildKerbCertificateLogon({CPUS_LOGON, L"corp.example", L"CORP", kAlice, kSid, c.upns, nullptr, nullptr,
                                             L"K", L"P", L"1234", 0, c.certSso}, &raw, &size), S_OK);
        Bytes b = Take(raw, size);
        EXPECT_EQ(g_resolution.calls, c.calls);
        EXPECT_EQ(CountedText(b, 24) + L"|" + CountedText(b, 8), std::wstring(c.user) + L"|" + c.domain);
    }
    EXPECT_TRUE(log.Contains(L"BuildKerbCertificateLogon(): Mapped user principal to 'alice' 'corp.example'", CORE::LOG_DEBUG));
}

}  // namespace
