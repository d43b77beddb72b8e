// Account resolution over a scripted directory: which lookups run in which order, what the
// logon receives, and how each failure ends.
#include "logon/AccountResolution.h"

#include "support/FakePlatform.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

constexpr wchar_t kAlice[] = L"S-1-5-21-1-2-3-1001", kBob[] = L"S-1-5-21-1-2-3-1002";

TEST(AccountResolution, SidFirstThenUpnThenTheDomainsDnsName) {
    // noHints: hint optimization disabled; result: "user@domain" or "fails:<line>".
    const struct { const char* what; bool noHints; const wchar_t *sid, *upn; bool dns; const wchar_t *result, *calls; }
        kCases[] = {
        {"a valid SID, the UPN unused", false, kAlice, L"bob@corp.example", true, L"alice@corp.example",
         L"sid:S-1-5-21-1-2-3-1001;dc:CORP/1073807376;"},
        {"no DNS name asked", false, kAlice, nullptr, false, L"alice@CORP", L"sid:S-1-5-21-1-2-3-1001;"},
        {"hints disabled: the UPN and the canonical name", true, kAlice, L"bob@corp.example", true, L"bob@corp.example",
         L"name:bob@corp.example;sid:S-1-5-21-1-2-3-1002;tr:CORP\\;"},
        {"a SID that does not convert falls back to the UPN", false, L"S-1-nonsense", L"bob@corp.example", false, L"bob@CORP",
         L"name:bob@corp.example;sid:S-1-5-21-1-2-3-1002;"},
        {"bad SID, no UPN", false, L"S-x", L"", false, L"fails:No valid SID or UPN Specified", L""},
        {"unknown UPN", false, nullptr, L"eve@corp.example", false, L"fails:Failed to LookupAccountName 1332",
         L"name:eve@corp.example;"},
        {"SID of nobody", false, L"S-1-5-21-9-9-9-500", nullptr, false, L"fails:Failed to LookupAccountSid 1332",
         L"sid:S-1-5-21-9-9-9-500;"},
        {"no domain controller: the NetBIOS name", false, L"S-1-5-21-1-2-3-1003", nullptr, true, L"carol@LAB",
         L"sid:S-1-5-21-1-2-3-1003;dc:LAB/1073807376;"},
        {"an account without a domain", false, L"S-1-5-21-1-2-3-1004", nullptr, false,
         L"fails:Failed to resolve userName or domainName", L"sid:S-1-5-21-1-2-3-1004;"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.what);
        testsupport::FakePlatform fake;
        testsupport::LogCapture log;
        auto& d = fake.directory;
        d.byUpn[L"bob@corp.example"] = {kBob, L"", L""};
        d.bySid = {{kAlice, L"alice", L"CORP"}, {kBob, L"bob", L"CORP"}, {L"S-1-5-21-1-2-3-1003", L"carol", L"LAB"},
                   {L"S-1-5-21-1-2-3-1004", L"dave", L""}};
        d.dcDomains[L"CORP"] = L"corp.example", d.canonical[L"CORP\\"] = L"corp.example/";
        std::wstring user = L"-", domain = L"-";
        const bool resolved = GetCredentialsFromUPN(c.noHints, c.sid, c.upn, c.dns, &user, &domain);
        std::wstring calls;
        for (const auto& call : d.calls) calls += call + L";";
        const std::wstring result = c.result;
        EXPECT_EQ(resolved, result.rfind(L"fails:", 0) != 0);
        EXPECT_TRUE(resolved ? user + L"@" + domain == result : log.Contains(result.substr(6).c_str()) && user == L"-");
        EXPECT_EQ(calls, c.calls);
        EXPECT_TRUE(resolved || ::GetLastError() != 0);
    }
}

TEST(AccountResolution, CanonicalNamesLoseEverySlashAndFailuresAreLogged) {
    testsupport::FakePlatform fake;
    testsupport::LogCapture log;
    fake.directory.canonical[L"LAB\\"] = L"lab.corp.example/users/";
    std::wstring dns;
    EXPECT_TRUE(LookupFQDNDomain(true, L"LAB", &dns) && dns == L"lab.corp.exampleusers");
    EXPECT_FALSE(LookupFQDNDomain(true, L"NONE", &dns) || LookupFQDNDomain(false, L"NONE", &dns));
    EXPECT_TRUE(log.Contains(L"LookupFQDNDomain: Failed to translate netBIOS: NONE. Error: ") &&
                log.Contains(L"DsGetDCName failed 1355"));
}

}  // namespace
