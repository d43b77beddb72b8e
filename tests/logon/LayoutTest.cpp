// Every builder's bytes against expectations written out by hand: literal offsets, lengths,
// message types and LogonId rules. The protected form is the fake's "@@TCSIM" + Base64, given
// here as literal text.
#include "ByteView.h"

#include "logon/CertificateLogon.h"
#include "logon/CspInfo.h"
#include "logon/HybridLogon.h"
#include "logon/InteractiveLogon.h"

#include "support/FakePlatform.h"

#include <gtest/gtest.h>

using namespace logontest;

namespace {

const std::wstring kProtectedPw = L"@@TCSIMcAB3AA==";  // "pw" protected: 15 characters
const LUID kLogonId = {0x11223344, 0x55667788};

class LogonLayout : public testing::Test {
protected:
    testsupport::FakePlatform os;

    // Runs a builder twice (size query, then build) and returns what it wrote.
    template <typename Build>
    static Bytes Built(Build build) {
        DWORD size = 0;
        EXPECT_EQ(build(nullptr, &size), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        Bytes buffer(size, 0xCC);
        DWORD used = size;
        EXPECT_EQ(build(buffer.data(), &used), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(used, size);
        return buffer;
    }
};

TEST_F(LogonLayout, InteractiveLogonPacksDomainUserAndProtectedPasswordAfterThe64ByteHeader) {
    Bytes b = Built([&](BYTE* buffer, DWORD* size) {
        return BuildInteractiveLogonBuffer(2, L"CORP", L"alice", L"pw", &kLogonId, CPUS_LOGON, buffer, size);
    });
    ASSERT_EQ(b.size(), 64u + 8 + 10 + 30);
    EXPECT_EQ(U32(b, 0), 2u);
    EXPECT_EQ(U32(b, 4), 0u);
    EXPECT_EQ(CountedAt(b, 8), (Counted{8, 8, 0, 64}));
    EXPECT_EQ(CountedAt(b, 24), (Counted{10, 10, 0, 72}));
    EXPECT_EQ(CountedAt(b, 40), (Counted{30, 30, 0, 82}));
    EXPECT_EQ(U64(b, 56), 0u) << "a logon carries no LogonId even when one is passed";
    EXPECT_EQ(Text(b, 64, 8), L"CORP");
    EXPECT_EQ(Text(b, 72, 10), L"alice");
    EXPECT_EQ(Text(b, 82, 30), kProtectedPw);
}

TEST_F(LogonLayout, UnlockCarriesTheLogonIdAndAnEmptyDomainIsLengthZeroOffsetZero) {
    Bytes b = Built([&](BYTE* buffer, DWORD* size) {
        return BuildInteractiveLogonBuffer(7, nullptr, L"bob", L"pw", &kLogonId, CPUS_UNLOCK_WORKSTATION, buffer, size);
    });
    ASSERT_EQ(b.size(), 64u + 6 + 30);
    EXPECT_EQ(U32(b, 0), 7u);
    EXPECT_EQ(CountedAt(b, 8), (Counted{0, 0, 0, 0}));
    EXPECT_EQ(CountedAt(b, 24), (Counted{6, 6, 0, 64}));
    EXPECT_EQ(CountedAt(b, 40), (Counted{30, 30, 0, 70}));
    EXPECT_EQ(Slice(b, 56, 8), (Bytes{0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55}));
}

struct PackCase {
    const char* name;
    CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario;
    uint32_t messageType;
    std::wstring password;  // as packed
};

TEST_F(LogonLayout, PackInteractiveLogonDropsTheDomainOfAUpnAndSetsEveryOffset) {
    const PackCase cases[] = {
        {"logon", CPUS_LOGON, 2, kProtectedPw},
        {"unlock", CPUS_UNLOCK_WORKSTATION, 7, kProtectedPw},
        {"credui", CPUS_CREDUI, 0, L"pw"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BYTE* raw = nullptr;
        DWORD size = 0;
        ASSERT_EQ(PackInteractiveLogon(L"CORP", L"alice@corp.example", L"pw", c.scenario, &raw, &size), S_OK);
        Bytes b(raw, raw + size);
        ::CoTaskMemFree(raw);
        const uint32_t pwBytes = static_cast<uint32_t>(c.password.size() * 2);
        ASSERT_EQ(b.size(), 64u + 36 + pwBytes);
        EXPECT_EQ(U32(b, 0), c.messageType);
        EXPECT_EQ(CountedAt(b, 8), (Counted{0, 0, 0, 64})) << "a UPN logon carries no domain, offset still 64";
        EXPECT_EQ(CountedAt(b, 24), (Counted{36, 36, 0, 64}));
        EXPECT_EQ(CountedAt(b, 40), (Counted{pwBytes, pwBytes, 0, 100}));
        EXPECT_EQ(U64(b, 56), 0u);
        EXPECT_EQ(Text(b, 64, 36), L"alice@corp.example");
        EXPECT_EQ(Text(b, 100, pwBytes), c.password);
    }
}

TEST_F(LogonLayout, CspInfoWithOneCharacterNamesIs64BytesWithOffsets4To10) {
    Bytes b = Built([&](BYTE* buffer, DWORD* size) {
        return BuildCspInfo(kSignature, L"C", L"R", L"K", L"P", buffer, size);
    });
    const Bytes expected = {
        64, 0, 0, 0,  1, 0, 0, 0,                        // dwCspInfoLen, MessageType
        0, 0, 0, 0, 0, 0, 0, 0,                          // ContextInformation
        0, 0, 0, 0,  2, 0, 0, 0,                         // flags, KeySpec
        4, 0, 0, 0,  6, 0, 0, 0,  8, 0, 0, 0, 10, 0, 0, 0,  // name offsets in characters from byte 40
        0, 0, 0, 0, 0, 0, 0, 0,                          // bBuffer's unused start
        'C', 0, 0, 0, 'R', 0, 0, 0, 'K', 0, 0, 0, 'P', 0, 0, 0,
    };
    EXPECT_EQ(b, expected);
}

TEST_F(LogonLayout, CspInfoStoresAbsentNamesAsOneZeroCharacter) {
    Bytes b = Built([&](BYTE* buffer, DWORD* size) {
        return BuildCspInfo(0, nullptr, L"", L"K1", L"Prov", buffer, size);
    });
    ASSERT_EQ(b.size(), 56u + 2 * 6);
    EXPECT_EQ(U32(b, 0), 68u);
    EXPECT_EQ(U32(b, 24), 4u);
    EXPECT_EQ(U32(b, 28), 5u);
    EXPECT_EQ(U32(b, 32), 6u);
    EXPECT_EQ(U32(b, 36), 9u);
    Bytes names = Utf16(L"", true);
    for (const auto& part : {Utf16(L"", true), Utf16(L"K1", true), Utf16(L"Prov", true)})
        names.insert(names.end(), part.begin(), part.end());
    EXPECT_EQ(Slice(b, 48, b.size() - 48), names);
}

TEST_F(LogonLayout, CertificateUnlockIsWrittenAsLogonWithTheLogonIdAt72) {
    Bytes b = Built([&](BYTE* buffer, DWORD* size) {
        return BuildCertificateLogonBuffer(15, L"D", L"U", L"1234", &kLogonId, kKeyExchange, L"C", L"R", L"K", L"P",
                                           buffer, size);
    });
    ASSERT_EQ(b.size(), 80u + 2 + 2 + 8 + 64);
    EXPECT_EQ(U32(b, 0), 13u);
    EXPECT_EQ(CountedAt(b, 8), (Counted{2, 2, 0, 80}));
    EXPECT_EQ(CountedAt(b, 24), (Counted{2, 2, 0, 82}));
    EXPECT_EQ(CountedAt(b, 40), (Counted{8, 8, 0, 84}));
    EXPECT_EQ(U32(b, 56), 0u);
    EXPECT_EQ(U32(b, 60), 64u);
    EXPECT_EQ(U64(b, 64), 92u);
    EXPECT_EQ(Slice(b, 72, 8), (Bytes{0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55}));
    EXPECT_EQ(Text(b, 84, 8), L"1234") << "the PIN goes as given";
    EXPECT_EQ(U32(b, 92), 64u);
    EXPECT_EQ(U32(b, 92 + 20), static_cast<uint32_t>(kKeyExchange));
    EXPECT_EQ(Text(b, 92 + 48, 8), std::wstring(L"C\0R\0", 4));
}

TEST_F(LogonLayout, HybridPasswordFrameEmbedsTheInteractiveLogonRightAfterTheLocalStrings) {
    Bytes b = Built([&](BYTE* buffer, DWORD* size) {
        return BuildHybridLogonBuffer(L"u", L"", L"D", L"U", L"pw", CPUS_LOGON, buffer, size);
    });
    const uint32_t embedded = 64 + 2 + 2 + 30;
    ASSERT_EQ(b.size(), 48u + 2 + embedded);
    EXPECT_EQ(U32(b, 0), 2u);
    EXPECT_EQ(U32(b, 4), 0u);
    EXPECT_EQ(CountedAt(b, 8), (Counted{2, 2, 0, 48}));
    EXPECT_EQ(CountedAt(b, 24), (Counted{0, 0, 0, 0}));
    EXPECT_EQ(U32(b, 40), embedded);
    EXPECT_EQ(U32(b, 44), 50u);
    EXPECT_EQ(Text(b, 48, 2), L"u");
    // The embedded logon is self-relative to its own start at 50.
    EXPECT_EQ(U32(b, 50), 2u);
    EXPECT_EQ(CountedAt(b, 50 + 8), (Counted{2, 2, 0, 64}));
    EXPECT_EQ(CountedAt(b, 50 + 24), (Counted{2, 2, 0, 66}));
    EXPECT_EQ(CountedAt(b, 50 + 40), (Counted{30, 30, 0, 68}));
    EXPECT_EQ(U64(b, 50 + 56), 0u);
    EXPECT_EQ(Text(b, 50 + 68, 30), kProtectedPw);
}

TEST_F(LogonLayout, HybridCertificateFrameCarriesTheLocalPasswordAsGivenAndAnEmbeddedCertificateLogon) {
    const std::wstring ksp = L"Velmora Zephral SSO Key Storage Provider";
    Bytes b = Built([&](BYTE* buffer, DWORD* size) {
        return BuildHybridCertificateLogonBuffer(L"u", L"pw", nullptr, nullptr, L"1234", 0, nullptr, nullptr, L"K",
                                                 ksp.c_str(), buffer, size);
    });
    const uint32_t csp = 56 + 2 * static_cast<uint32_t>(1 + ksp.size());
    const uint32_t embedded = 80 + 8 + csp;
    ASSERT_EQ(b.size(), 48u + 2 + 4 + embedded);
    EXPECT_EQ(CountedAt(b, 8), (Counted{2, 2, 0, 48}));
    EXPECT_EQ(CountedAt(b, 24), (Counted{4, 4, 0, 50}));
    EXPECT_EQ(Text(b, 50, 4), L"pw");
    EXPECT_EQ(U32(b, 40), embedded);
    EXPECT_EQ(U32(b, 44), 54u);
    const size_t e = 54;
    EXPECT_EQ(U32(b, e), 13u);
    EXPECT_EQ(CountedAt(b, e + 8), (Counted{0, 0, 0, 0}));
    EXPECT_EQ(CountedAt(b, e + 24), (Counted{0, 0, 0, 0}));
    EXPECT_EQ(CountedAt(b, e + 40), (Counted{8, 8, 0, 80}));
    EXPECT_EQ(U32(b, e + 60), csp);
    EXPECT_EQ(U64(b, e + 64), 88u);
    EXPECT_EQ(U64(b, e + 72), 0u);
    EXPECT_EQ(U32(b, e + 88 + 36), 8u) << "provider after card, reader (absent) and container K";
    EXPECT_EQ(Text(b, e + 88 + 40 + 2 * 8, 2 * ksp.size()), ksp);
    EXPECT_EQ(os.protectCalls, 0) << "nothing in a certificate frame is protected here";
}

}  // namespace
