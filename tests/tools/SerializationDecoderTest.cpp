// logonsim's reading of the buffers the module builds: every kind decodes to what went in, the
// simulation's protection is undone, and malformed buffers are refused with the field named.
#include "DecoderSeeds.h"
#include "logon/ByteView.h"

#include "platform/sim/SimProtectedForm.h"
#include "tools/logonsim/SerializationDecoder.h"

#include "support/FakePlatform.h"

#include <gtest/gtest.h>

#include <cstring>

using logonsim::DecodeSerialization;
using logonsim::DecodedSerialization;
using logonsim::LogonKind;
using logonsim::SecretForm;

namespace {

class SerializationDecoder : public testing::Test {
protected:
    SerializationDecoder() : seeds(decodertest::BuildSeeds()) {}

    const decodertest::Seed& SeedNamed(const char* name) {
        for (const auto& seed : seeds)
            if (std::strcmp(seed.name, name) == 0) return seed;
        ADD_FAILURE() << "no seed " << name;
        return seeds.front();
    }
    DecodedSerialization Decode(const decodertest::Seed& seed) {
        return DecodeSerialization(seed.packageId, seed.bytes.data(), seed.bytes.size());
    }

    testsupport::FakePlatform os;
    std::vector<decodertest::Seed> seeds;
};

// Which kind, package, account and secret each buffer holds is read back by the provider's
// serialization test; here what only the stand-in looks at.
TEST_F(SerializationDecoder, ReadsLogonIdsMessageTypesAndTheCspFields) {
    ASSERT_EQ(seeds.size(), 7u);
    auto logon = Decode(SeedNamed("password logon"));
    EXPECT_EQ(logon.messageType, 2u);
    EXPECT_EQ(logon.password.raw.size(), 2 * std::wstring(L"@@TCSIMcwBlAGMAcgBlAHQA").size());
    auto credui = Decode(SeedNamed("credential UI"));
    EXPECT_EQ(credui.messageType, 0u);
    EXPECT_EQ(credui.password.form, SecretForm::Plain);
    for (const char* name : {"password unlock", "certificate with LogonId"}) {
        auto unlock = Decode(SeedNamed(name));
        ASSERT_TRUE(unlock.ok) << name;
        EXPECT_EQ(unlock.logonId.LowPart, 0x01020304u) << name;
        EXPECT_EQ(unlock.logonId.HighPart, 0x05060708) << name;
    }
    auto certificate = Decode(SeedNamed("certificate with LogonId"));
    EXPECT_EQ(certificate.kind, LogonKind::Certificate);
    EXPECT_EQ(certificate.csp.keySpec, 1u);
    EXPECT_EQ(certificate.csp.card, L"Card");
    EXPECT_EQ(certificate.csp.reader, L"Reader");
    EXPECT_EQ(certificate.csp.provider, L"Prov");
    EXPECT_EQ(Decode(SeedNamed("hybrid password")).embeddedOffset, 48u + 10 + 14);
}

TEST_F(SerializationDecoder, DescribesALogonWithoutItsSecrets) {
    for (const auto& seed : seeds) {
        std::wstring text = logonsim::Describe(Decode(seed));
        EXPECT_EQ(text.find(L"secret"), std::wstring::npos) << seed.name;
        EXPECT_EQ(text.find(L"guestpw"), std::wstring::npos) << seed.name;
        EXPECT_EQ(text.find(L"1234"), std::wstring::npos) << seed.name;
        EXPECT_EQ(text.find(L"@@TCSIM"), std::wstring::npos) << seed.name;
    }
}

void Put(std::vector<BYTE>& b, size_t offset, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) b.at(offset + i) = static_cast<BYTE>(value >> (8 * i));
}

struct Malformed {
    const char* seed;
    const char* what;
    void (*patch)(std::vector<BYTE>&);
    const wchar_t* error;
};

TEST_F(SerializationDecoder, RefusesMalformedBuffersNamingTheField) {
    const Malformed cases[] = {
        {"password logon", "short header", [](std::vector<BYTE>& b) { b.resize(63); }, L"shorter than its 64-byte header"},
        {"password logon", "message type", [](std::vector<BYTE>& b) { Put(b, 0, 5, 4); }, L"MessageType 5"},
        {"password logon", "odd length", [](std::vector<BYTE>& b) { Put(b, 24, 9, 2); }, L"UserName: odd byte length"},
        {"password logon", "length above maximum", [](std::vector<BYTE>& b) { Put(b, 26, 2, 2); },
         L"UserName: Length 10 above MaximumLength 2"},
        {"password logon", "offset wraps around",
         [](std::vector<BYTE>& b) { Put(b, 32, 0xFFFFFFFFFFFFFFF8ull, 8); }, L"UserName: offset 0xFFFFFFFFFFFFFFF8"},
        {"password logon", "data past the end", [](std::vector<BYTE>& b) { Put(b, 48, b.size() - 2, 8); },
         L"Password: offset"},
        {"password logon", "data inside the header", [](std::vector<BYTE>& b) { Put(b, 16, 8, 8); },
         L"LogonDomainName: data at 0x8 inside the 64-byte header"},
        {"password logon", "empty string outside", [](std::vector<BYTE>& b) {
             Put(b, 8, 0, 4);
             Put(b, 16, 0x100000000ull, 8);
         }, L"LogonDomainName: offset 0x100000000 outside"},
        {"certificate with LogonId", "CSP data wraps around",
         [](std::vector<BYTE>& b) { Put(b, 64, 0xFFFFFFFFFFFFFFFFull, 8); }, L"CspData at 0xFFFFFFFFFFFFFFFF"},
        {"certificate with LogonId", "CSP length mismatch", [](std::vector<BYTE>& b) { Put(b, 60, 60, 4); },
         L"dwCspInfoLen"},
        {"certificate with LogonId", "CSP name offset far away",
         [](std::vector<BYTE>& b) { Put(b, logontest::U64(b, 64) + 32, 0xFFFFFFFF, 4); },
         L"container name offset 4294967295 outside"},
        {"certificate with LogonId", "CSP name unterminated",
         [](std::vector<BYTE>& b) { Put(b, b.size() - 2, L'x', 2); }, L"CSP name not terminated"},
        {"hybrid password", "tag", [](std::vector<BYTE>& b) { Put(b, 0, 3, 4); }, L"format tag 3"},
        {"hybrid password", "embedded past the end (32-bit wrap)", [](std::vector<BYTE>& b) {
             Put(b, 40, 0x20, 4);
             Put(b, 44, 0xFFFFFFF0u, 4);
         }, L"embedded logon at 0xFFFFFFF0"},
        {"hybrid password", "embedded unlock", [](std::vector<BYTE>& b) { Put(b, logontest::U32(b, 44), 7, 4); },
         L"embedded MessageType 7"},
        {"hybrid password", "embedded LogonId", [](std::vector<BYTE>& b) { Put(b, logontest::U32(b, 44) + 56, 1, 4); },
         L"carries a LogonId"},
        {"hybrid certificate", "embedded offsets relative to the frame",
         [](std::vector<BYTE>& b) { Put(b, logontest::U32(b, 44) + 64, logontest::U32(b, 40) + 1, 8); }, L"CspData at"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.seed) + ": " + c.what);
        const auto& seed = SeedNamed(c.seed);
        std::vector<BYTE> bytes = seed.bytes;
        c.patch(bytes);
        auto decoded = DecodeSerialization(seed.packageId, bytes.data(), bytes.size());
        EXPECT_FALSE(decoded.ok);
        EXPECT_NE(decoded.error.find(c.error), std::wstring::npos) << std::string(decoded.error.begin(), decoded.error.end());
    }
}

TEST_F(SerializationDecoder, RefusesPackagesItCannotReadAndCertificatesOutsideKerberos) {
    const auto& certificate = SeedNamed("certificate with LogonId");
    auto errorFor = [&](ULONG package) {
        return DecodeSerialization(package, certificate.bytes.data(), certificate.bytes.size()).error;
    };
    EXPECT_NE(errorFor(0).find(L"certificate logon sent to Negotiate"), std::wstring::npos);
    EXPECT_NE(errorFor(4).find(L"CloudAP"), std::wstring::npos);
    EXPECT_NE(errorFor(9).find(L"unknown authentication package 9"), std::wstring::npos);
    EXPECT_FALSE(DecodeSerialization(0, nullptr, 10).ok);
    logonsim::PackageIds ids;
    ids.kerberos = 42;
    EXPECT_TRUE(DecodeSerialization(42, certificate.bytes.data(), certificate.bytes.size(), ids).ok);
}

TEST(SimProtectedForm, RoundTripsAnyTextAndRefusesAnythingNotWrittenByIt) {
    const std::wstring texts[] = {L"", L"a", L"ab", L"abc", L"p\u00e4ss\u20ac", std::wstring(L"\xD83D\xDE00 x"),
                                  std::wstring(100, L'z')};
    for (const auto& text : texts) {
        std::wstring form(platform::sim::SimProtectedLength(text.size()), L'\0');
        platform::sim::SimProtect(text.data(), text.size(), form.data());
        std::wstring back(text.size() + 1, L'\0');
        size_t chars = 0;
        ASSERT_TRUE(platform::sim::SimUnprotect(form.data(), form.size(), back.data(), back.size(), &chars));
        EXPECT_EQ(back.substr(0, chars), text);
    }
    const wchar_t* refused[] = {
        L"@@TCSIMcAB3AA=",   // not a multiple of four
        L"@@TCSIMcAB3A!==",  // not in the alphabet
        L"@@TCSIMcAB3AB==",  // bits below the last byte set
        L"@@TCSIMcA==",      // one byte: no UTF-16 text
        L"@@TCSIMcA=B",      // a digit after padding
        L"@@TCSI",
        L"pw",
    };
    for (const wchar_t* form : refused) {
        wchar_t out[16];
        size_t chars = 0;
        EXPECT_FALSE(platform::sim::SimUnprotect(form, wcslen(form), out, 16, &chars)) << std::wstring(form).size();
    }
}

}  // namespace
