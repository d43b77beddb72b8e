// logonsim's reading of the buffers the module builds: every kind decodes to what went in and is
// told without its secrets, the simulation's protection is undone, and malformed buffers are
// refused with the field named.
#include "logon/AuthPackage.h"
#include "logon/ByteView.h"
#include "logon/CertificateLogon.h"
#include "logon/HybridLogon.h"
#include "logon/InteractiveLogon.h"

#include "platform/sim/SimProtectedForm.h"
#include "tools/logonsim/SerializationDecoder.h"

#include "support/FakePlatform.h"

#include <gtest/gtest.h>

#include <functional>

using logonsim::DecodeSerialization;

namespace {

const LUID kUnlockId = {0x01020304, 0x05060708};
enum SeedIndex { kPassword, kCertificate, kHybridPassword, kHybridCertificate };

// Buffers of every kind logonsim can receive, built by the module's own builders; the fake's
// protection is the simulation's reversible form.
class SerializationDecoder : public testing::Test {
protected:
    SerializationDecoder() {
        Add("Negotiate", [](BYTE** raw, DWORD* size) {
            return PackInteractiveLogon(L"CORP", L"alice", L"secret", CPUS_LOGON, raw, size);
        });
        Add("Kerberos", [](BYTE** raw, DWORD* size) {
            auto build = [](BYTE* buffer, DWORD* bytes) {
                return BuildCertificateLogonBuffer(15, L"CORP", L"alice", L"1234", &kUnlockId, 1, L"Card", L"Reader",
                                                   L"Cont", L"Prov", buffer, bytes);
            };
            (void)build(nullptr, size);  // size query, then the build
            *raw = static_cast<BYTE*>(::CoTaskMemAlloc(*size));
            return HRESULT_FROM_WIN32(build(*raw, size));
        });
        Add("LUMO_AUTHENTICATION_PACKAGE_V1_0", [](BYTE** raw, DWORD* size) {
            return CredFilterBuildHybridLogonBuffer(L"guest", L"guestpw", L"CORP", L"alice", L"secret", CPUS_LOGON, raw,
                                                    size);
        });
        Add("LUMO_AUTHENTICATION_PACKAGE_V1_0", [](BYTE** raw, DWORD* size) {
            return CredFilterBuildHybridCertificateLogonBuffer(L"guest", L"guestpw", nullptr, nullptr, L"1234", 0,
                                                               nullptr, nullptr, L"Cont",
                                                               L"Velmora Zephral SSO Key Storage Provider", raw, size);
        });
    }
    void Add(const char* package, const std::function<HRESULT(BYTE**, DWORD*)>& pack) {
        BYTE* raw = nullptr;
        DWORD size = 0;
        ULONG id = 0xFFFF;
        EXPECT_EQ(pack(&raw, &size), S_OK) << seeds.size();
        EXPECT_EQ(LookupAuthPackage(package, &id), S_OK) << package;
        seeds.push_back({id, std::vector<BYTE>(raw, raw + size)});
        ::CoTaskMemFree(raw);
    }
    logonsim::DecodedSerialization Decode(SeedIndex seed, const std::vector<BYTE>& bytes) {
        return DecodeSerialization(seeds.at(seed).first, bytes.data(), bytes.size());
    }

    testsupport::FakePlatform os;
    std::vector<std::pair<ULONG, std::vector<BYTE>>> seeds;  // package id, bytes
};

// The whole account as logonsim prints it: every field read back, secrets only as their
// length and form. Which kind, package, account and secret each buffer holds is checked again
// by the provider's serialization test.
TEST_F(SerializationDecoder, ReadsEveryKindAndTellsItWithoutItsSecrets) {
    const wchar_t* expected[] = {
        L"package Negotiate, interactive logon (message type 2), domain 'CORP', user 'alice', password 46 bytes, "
        L"protected (simulation form, recovered)",
        L"package Kerberos, certificate logon (message type 13), domain 'CORP', user 'alice', PIN 8 bytes, not "
        L"protected, key spec 1, card 'Card', reader 'Reader', container 'Cont', provider 'Prov', LogonId "
        L"0x506070801020304",
        L"package LUMO_AUTHENTICATION_PACKAGE_V1_0, hybrid password logon (message type 2), local user 'guest', local "
        L"password 14 bytes, not protected, embedded logon at 72, domain 'CORP', user 'alice', password 46 bytes, "
        L"protected (simulation form, recovered)",
        L"package LUMO_AUTHENTICATION_PACKAGE_V1_0, hybrid certificate logon (message type 13), local user 'guest', "
        L"local password 14 bytes, not protected, embedded logon at 72, domain '', user '', PIN 8 bytes, not "
        L"protected, key spec 0, card '', reader '', container 'Cont', provider 'Velmora Zephral SSO Key Storage "
        L"Provider'",
    };
    ASSERT_EQ(seeds.size(), std::size(expected));
    for (int i = kPassword; i <= kHybridCertificate; ++i)
        EXPECT_EQ(logonsim::Describe(Decode(SeedIndex(i), seeds[i].second)), expected[i]);
}

void Put(std::vector<BYTE>& b, size_t offset, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) b.at(offset + i) = static_cast<BYTE>(value >> (8 * i));
}

TEST_F(SerializationDecoder, RefusesMalformedBuffersNamingTheField) {
    using logontest::U32;
    using Bytes = std::vector<BYTE>;
    const struct { SeedIndex seed; void (*patch)(Bytes&); const wchar_t* error; } cases[] = {
        {kPassword, [](Bytes& b) { b.resize(63); }, L"shorter than its 64-byte header"},
        {kPassword, [](Bytes& b) { Put(b, 0, 5, 4); }, L"MessageType 5"},
        {kPassword, [](Bytes& b) { Put(b, 24, 9, 2); }, L"UserName: odd byte length"},
        {kPassword, [](Bytes& b) { Put(b, 26, 2, 2); }, L"UserName: Length 10 above MaximumLength 2"},
        {kPassword, [](Bytes& b) { Put(b, 32, 0xFFFFFFFFFFFFFFF8ull, 8); }, L"UserName: offset 0xFFFFFFFFFFFFFFF8"},
        {kPassword, [](Bytes& b) { Put(b, 48, b.size() - 2, 8); }, L"Password: offset"},
        {kPassword, [](Bytes& b) { Put(b, 16, 8, 8); }, L"LogonDomainName: data at 0x8 inside the 64-byte header"},
        {kPassword, [](Bytes& b) { Put(b, 8, 0, 4), Put(b, 16, 0x100000000ull, 8); },
         L"LogonDomainName: offset 0x100000000 outside"},
        {kCertificate, [](Bytes& b) { Put(b, 64, 0xFFFFFFFFFFFFFFFFull, 8); }, L"CspData at 0xFFFFFFFFFFFFFFFF"},
        {kCertificate, [](Bytes& b) { Put(b, 60, 60, 4); }, L"dwCspInfoLen"},
        {kCertificate, [](Bytes& b) { Put(b, logontest::U64(b, 64) + 32, 0xFFFFFFFF, 4); },
         L"container name offset 4294967295 outside"},
        {kCertificate, [](Bytes& b) { Put(b, b.size() - 2, L'x', 2); }, L"CSP name not terminated"},
        {kHybridPassword, [](Bytes& b) { Put(b, 0, 3, 4); }, L"format tag 3"},
        // Past the end by a 32-bit wrap.
        {kHybridPassword, [](Bytes& b) { Put(b, 40, 0x20, 4), Put(b, 44, 0xFFFFFFF0u, 4); },
         L"embedded logon at 0xFFFFFFF0"},
        {kHybridPassword, [](Bytes& b) { Put(b, U32(b, 44), 7, 4); }, L"embedded MessageType 7"},
        {kHybridPassword, [](Bytes& b) { Put(b, U32(b, 44) + 56, 1, 4); }, L"carries a LogonId"},
        // Offsets inside the embedded logon count from the frame, not from the buffer.
        {kHybridCertificate, [](Bytes& b) { Put(b, U32(b, 44) + 64, U32(b, 40) + 1, 8); }, L"CspData at"},
    };
    for (const auto& c : cases) {
        Bytes bytes = seeds.at(c.seed).second;
        c.patch(bytes);
        const auto decoded = Decode(c.seed, bytes);
        EXPECT_TRUE(!decoded.ok && decoded.error.find(c.error) != std::wstring::npos) << c.error << L": "
                                                                                      << decoded.error;
    }
}

TEST_F(SerializationDecoder, RefusesUnknownPackagesAndCertificatesOutsideKerberos) {
    const std::vector<BYTE>& certificate = seeds.at(kCertificate).second;
    auto errorFor = [&](ULONG id) { return DecodeSerialization(id, certificate.data(), certificate.size()).error; };
    for (const auto& [id, error] : {std::pair{0ul, L"certificate logon sent to Negotiate"}, {9ul, L"unknown authentication package 9"}})
        EXPECT_NE(errorFor(id).find(error), std::wstring::npos) << id;
    EXPECT_FALSE(DecodeSerialization(0, nullptr, 10).ok);
    logonsim::PackageIds ids;
    ids.kerberos = 42;
    EXPECT_TRUE(DecodeSerialization(42, certificate.data(), certificate.size(), ids).ok);
}

TEST(SimProtectedForm, RoundTripsAnyTextAndRefusesAnythingNotWrittenByIt) {
    for (const std::wstring text : {L"", L"a", L"ab", L"abc", L"p\u00e4ss\u20ac", L"\xD83D\xDE00 x", L"zzzzzzzzzzzz"}) {
        std::wstring form(platform::sim::SimProtectedLength(text.size()), L'\0'), back(text.size() + 1, L'\0');
        platform::sim::SimProtect(text.data(), text.size(), form.data());
        size_t chars = 0;
        ASSERT_TRUE(platform::sim::SimUnprotect(form.data(), form.size(), back.data(), back.size(), &chars));
        EXPECT_EQ(back.substr(0, chars), text);
    }
    // Not a multiple of four, not in the alphabet, bits below the last byte set, one byte (no
    // UTF-16 text), a digit after padding, a cut prefix, no prefix.
    for (const wchar_t* form :
         {L"@@TCSIMcAB3AA=", L"@@TCSIMcAB3A!==", L"@@TCSIMcAB3AB==", L"@@TCSIMcA==", L"@@TCSIMcA=B", L"@@TCSI", L"pw"}) {
        wchar_t out[16];
        size_t chars = 0;
        EXPECT_FALSE(platform::sim::SimUnprotect(form, wcslen(form), out, 16, &chars)) << form;
    }
}

}  // namespace
