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
    testsupport::RegistrySandbox registry;
    testsupport::LogCapture log;

    Bytes Build(CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario, PCWSTR user, PCWSTR domain, PCWSTR dnsDomain,
                const std::vector<std::wstring>& upns = {}, PCWSTR sid = L"", bool isCertSso = false) {
        BYTE* raw = nullptr;
        DWORD size = 0;
        HRESULT hr = BuildKerbCertificateLogon({scenario, dnsDomain, domain, user, sid, upns, L"R", L"C", L"K", L"P", L"1234", kKeyExchange, isCertSso}, &raw, &size);
        EXPECT_EQ(hr, S_OK);
        Bytes b(raw, raw + size);
        ::CoTaskMemFree(raw);
        return b;
    }
};

TEST_F(KerbCertificateLogon, DirectCasePassesUserAndTheDnsDomainThenPinAndCspBlockAnd32ZeroBytes) {
    Bytes b = Build(CPUS_LOGON, L"alice", L"CORP", L"corp.example");
    // 168 + 2 x (user 5 + PIN 4 + reader 1 + card 1 + container 1 + provider 1 + domain 12)
    ASSERT_EQ(b.size(), 218u);
    EXPECT_EQ(U32(b, 0), 13u);
    EXPECT_EQ(CountedAt(b, 8), (Counted{24, 24, 0, 80}));
    EXPECT_EQ(CountedAt(b, 24), (Counted{10, 10, 0, 104}));
    EXPECT_EQ(CountedAt(b, 40), (Counted{8, 8, 0, 114}));
    EXPECT_EQ(U32(b, 56), 0u);
    EXPECT_EQ(U32(b, 60), 64u);
    EXPECT_EQ(U64(b, 64), 122u);
    EXPECT_EQ(U64(b, 72), 0u);
    EXPECT_EQ(Text(b, 80, 24), L"corp.example");
    EXPECT_EQ(Text(b, 104, 10), L"alice");
    EXPECT_EQ(Text(b, 114, 8), L"1234");
    const Bytes csp = Slice(b, 122, 64);
    EXPECT_EQ(U32(csp, 0), 64u);
    EXPECT_EQ(U32(csp, 4), 1u);
    EXPECT_EQ(U32(csp, 20), static_cast<uint32_t>(kKeyExchange));
    EXPECT_EQ(Slice(csp, 24, 16), (Bytes{4, 0, 0, 0, 6, 0, 0, 0, 8, 0, 0, 0, 10, 0, 0, 0}));
    EXPECT_EQ(Slice(csp, 48, 16), (Bytes{'C', 0, 0, 0, 'R', 0, 0, 0, 'K', 0, 0, 0, 'P', 0, 0, 0}))
        << "card before reader, as the block is laid out";
    EXPECT_EQ(Slice(b, 186, 32), Bytes(32, 0));
}

TEST_F(KerbCertificateLogon, DirectCaseFallsBackToTheNetbiosDomainAndUnlockKeepsTheLogonIdZero) {
    Bytes b = Build(CPUS_UNLOCK_WORKSTATION, L"alice", L"CORP", nullptr);
    ASSERT_EQ(b.size(), 168u + 2 * (5 + 4 + 4 + 4));
    EXPECT_EQ(U32(b, 0), 15u);
    EXPECT_EQ(Text(b, 80, 8), L"CORP");
    EXPECT_EQ(U64(b, 72), 0u);
}

TEST_F(KerbCertificateLogon, DomainHintSwitchLeavesTheDomainOutOfTheDirectCase) {
    registry.SetAgentConfig(L"DisableSmartcardDomainHint", L"true");
    Bytes b = Build(CPUS_LOGON, L"alice", L"CORP", L"corp.example");
    ASSERT_EQ(b.size(), 168u + 2 * (5 + 4 + 4));
    EXPECT_EQ(CountedAt(b, 8), (Counted{0, 0, 0, 0}));
    EXPECT_EQ(CountedAt(b, 24), (Counted{10, 10, 0, 80}));
    EXPECT_TRUE(log.Contains(L"BuildKerbCertificateLogon(): Enter: user=alice, domain=CORP, dnsDomain=corp.example, "
                             L"CertSSO logon=false, Smartcard logon=true, disable Smartcard domain hint=true",
                             CORE::LOG_TRACE))
        << log.Dump();
}

TEST_F(KerbCertificateLogon, UnresolvedAccountGoesWithoutUserAndDomainButKeepsThePinOffset) {
    struct Case {
        const char* name;
        PCWSTR user;
        PCWSTR domain;
        std::vector<std::wstring> upns;
        PCWSTR sid;
        const wchar_t* logLine;
    };
    const Case cases[] = {
        {"UPN user", L"alice@corp.example", L"CORP", {L"alice@corp.example"}, L"",
         L"Unable to retrieve account information for user principal name 'alice@corp.example'."},
        {"SID only", L"", L"", {}, L"S-1-5-21-1-2-3-1001", L"Unable to retrieve account information for user"},
        {"nothing to resolve", L"", L"CORP", {}, L"", L"clientUPNs was unexpectedly empty."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.Clear();
        Bytes b = Build(CPUS_LOGON, c.user, c.domain, nullptr, c.upns, c.sid);
        ASSERT_EQ(b.size(), 168u + 2 * (4 + 4));
        EXPECT_EQ(CountedAt(b, 8), (Counted{0, 0, 0, 0}));
        EXPECT_EQ(CountedAt(b, 24), (Counted{0, 0, 0, 0}));
        EXPECT_EQ(CountedAt(b, 40), (Counted{8, 8, 0, 80}));
        EXPECT_EQ(U64(b, 64), 88u);
        EXPECT_TRUE(log.Contains(c.logLine, CORE::LOG_DEBUG)) << log.Dump();
    }
}

TEST_F(KerbCertificateLogon, AnEmptyPinStillGetsItsOffset) {
    BYTE* raw = nullptr;
    DWORD size = 0;
    ASSERT_EQ(BuildKerbCertificateLogon({CPUS_LOGON, nullptr, L"CORP", L"alice", nullptr, {}, nullptr, nullptr, L"K", L"P", nullptr, 0, true}, &raw, &size),
              S_OK);
    Bytes b(raw, raw + size);
    ::CoTaskMemFree(raw);
    EXPECT_EQ(CountedAt(b, 40), (Counted{0, 0, 0, 98}));
    EXPECT_EQ(U64(b, 64), 98u);
}

TEST_F(KerbCertificateLogon, ReplacesTheBufferTheCallerHeldAndLeavesItOnFailure) {
    BYTE* held = static_cast<BYTE*>(::CoTaskMemAlloc(16));
    ASSERT_NE(held, nullptr);
    BYTE* buffer = held;
    DWORD size = 16;
    ASSERT_EQ(BuildKerbCertificateLogon({CPUS_LOGON, nullptr, L"CORP", L"alice", nullptr, {}, nullptr, nullptr, L"K", L"P", L"1", 0, false}, &buffer, &size),
              S_OK);
    EXPECT_NE(buffer, nullptr);
    EXPECT_EQ(size, 168u + 2 * (5 + 1 + 4 + 1 + 1));
    ::CoTaskMemFree(buffer);

    const std::wstring tooLong(32768, L'1');
    held = static_cast<BYTE*>(::CoTaskMemAlloc(16));
    buffer = held;
    size = 16;
    EXPECT_EQ(BuildKerbCertificateLogon({CPUS_LOGON, nullptr, L"CORP", L"alice", nullptr, {}, nullptr, nullptr, L"K", L"P", tooLong.c_str(), 0, false}, &buffer, &size),
              HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(buffer, held);
    EXPECT_EQ(size, 16u);
    ::CoTaskMemFree(held);
}

}  // namespace
