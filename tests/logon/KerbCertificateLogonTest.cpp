// The tile's certificate logon with account resolution not available: the direct case with its
// domain choice and switch, unlock, the 32 trailing bytes, and what goes out when resolution
// fails or has nothing to work with.
#include "ByteView.h"

#include "logon/KerbCertificateLogon.h"

#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

using namespace logontest;

namespace {

class KerbCertificateLogon : public testing::Test {
protected:
    testsupport::FakePlatform os;
    testsupport::LogCapture log;
};

struct DirectCase {
    const char* name;
    CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario;
    PCWSTR user, domain, dnsDomain, sid, pin;
    std::vector<std::wstring> upns;
    bool disableDomainHint;
    Layout layout;
    const wchar_t* logLine;  // when not null, logged at `level`
    int level;
};

// 168 fixed bytes: header 80, CSP block 56 before its names, 32 trailing zero bytes.
const DirectCase kCases[] = {
    {"user and the DNS domain, then PIN, CSP block (card before reader) and 32 zero bytes", CPUS_LOGON, L"alice",
     L"CORP", L"corp.example", L"", L"1234", {}, false,
     {168 + 2 * (12 + 5 + 4 + 4), {{0, 13, 4}, {56, 0, 4}, {60, 64, 4}, {64, 122, 8}, {72, 0, 8}, {122, 64, 4},
      {126, 1, 4}, {122 + 20, kKeyExchange, 4}, {146, 4, 4}, {150, 6, 4}, {154, 8, 4}, {158, 10, 4}, {186, 0, 8},
      {194, 0, 8}, {202, 0, 8}, {210, 0, 8}}, {{8, 24, 80}, {24, 10, 104}, {40, 8, 114}},
      {{80, L"corp.example"}, {104, L"alice"}, {114, L"1234"}, {170, std::wstring(L"C\0R\0K\0P\0", 8)}}}, nullptr, 0},
    {"unlock falls back to the NetBIOS domain and keeps the LogonId zero", CPUS_UNLOCK_WORKSTATION, L"alice", L"CORP",
     nullptr, L"", L"1234", {}, false, {168 + 2 * (5 + 4 + 4 + 4), {{0, 15, 4}, {72, 0, 8}}, {}, {{80, L"CORP"}}}, nullptr, 0},
    {"domain hint switch leaves the domain out", CPUS_LOGON, L"alice", L"CORP", L"corp.example", L"", L"1234", {}, true,
     {168 + 2 * (5 + 4 + 4), {}, {{8, 0, 0}, {24, 10, 80}}, {}},
     L"BuildKerbCertificateLogon(): Enter: user=alice, domain=CORP, dnsDomain=corp.example, CertSSO logon=false, "
     L"Smartcard logon=true, disable Smartcard domain hint=true", CORE::LOG_TRACE},
    {"an empty PIN still gets its offset", CPUS_LOGON, L"alice", L"CORP", nullptr, nullptr, nullptr, {}, false,
     {168 + 2 * (5 + 4 + 4), {{64, 98, 8}}, {{40, 0, 98}}, {}}, nullptr, 0},
    // Without account resolution an account it would need goes without user and domain.
    {"unresolved UPN user", CPUS_LOGON, L"alice@corp.example", L"CORP", nullptr, L"", L"1234", {L"alice@corp.example"},
     false, {168 + 2 * (4 + 4), {{64, 88, 8}}, {{8, 0, 0}, {24, 0, 0}, {40, 8, 80}}, {}},
     L"Unable to retrieve account information for user principal name 'alice@corp.example'.", CORE::LOG_DEBUG},
    {"unresolved SID", CPUS_LOGON, L"", L"", nullptr, L"S-1-5-21-1-2-3-1001", L"1234", {}, false,
     {168 + 2 * (4 + 4), {{64, 88, 8}}, {{8, 0, 0}, {24, 0, 0}, {40, 8, 80}}, {}},
     L"Unable to retrieve account information for user", CORE::LOG_DEBUG},
    {"nothing to resolve", CPUS_LOGON, L"", L"CORP", nullptr, L"", L"1234", {}, false,
     {168 + 2 * (4 + 4), {{64, 88, 8}}, {{8, 0, 0}, {24, 0, 0}, {40, 8, 80}}, {}}, L"clientUPNs was unexpectedly empty.", CORE::LOG_DEBUG},
};

TEST_F(KerbCertificateLogon, WritesTheDirectAndUnresolvedCases) {
    for (const DirectCase& c : kCases) {
        SCOPED_TRACE(c.name);
        testsupport::RegistrySandbox registry;
        if (c.disableDomainHint) registry.SetAgentConfig(L"DisableSmartcardDomainHint", L"true");
        log.Clear();
        BYTE* raw = nullptr;
        DWORD size = 0;
        ASSERT_EQ(BuildKerbCertificateLogon({c.scenario, c.dnsDomain, c.domain, c.user, c.sid, c.upns, L"R", L"C", L"K",
                                             L"P", c.pin, kKeyExchange, false}, &raw, &size), S_OK);
        ExpectLayout(Take(raw, size), c.layout);
        EXPECT_TRUE(!c.logLine || log.Contains(c.logLine, c.level)) << log.Dump();
    }
}

TEST_F(KerbCertificateLogon, ReplacesTheBufferTheCallerHeldAndLeavesItOnFailure) {
    testsupport::RegistrySandbox registry;
    for (const std::wstring& pin : {std::wstring(L"1"), std::wstring(32768, L'1')}) {
        BYTE* const held = static_cast<BYTE*>(::CoTaskMemAlloc(16));
        BYTE* buffer = held;
        DWORD size = 16;
        HRESULT hr = BuildKerbCertificateLogon({CPUS_LOGON, nullptr, L"CORP", L"alice", nullptr, {}, nullptr, nullptr,
                                                L"K", L"P", pin.c_str(), 0, false}, &buffer, &size);
        if (pin.size() == 1) {
            EXPECT_EQ(std::make_tuple(hr, buffer != held, size), std::make_tuple(S_OK, true, 168ul + 2 * (5 + 1 + 4 + 1 + 1)));
        } else {
            EXPECT_EQ(std::make_tuple(hr, buffer, size),
                      std::make_tuple(HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER), held, 16ul));
        }
        ::CoTaskMemFree(buffer);
    }
}

}  // namespace
