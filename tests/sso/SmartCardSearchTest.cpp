// The certificate checks over real certificates (tests/sso/certs), and the card search over
// a card service described by data.
#include "sso/CardCertificate.h"
#include "sso/SmartCardSearch.h"

#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

using platform::cardsim::CardContainer;
using platform::cardsim::CardReader;
using platform::cardsim::CardServiceDescription;
using Config = std::vector<std::pair<std::wstring, std::wstring>>;

const std::wstring kAlice = L"alice@corp.example";
const wchar_t* kPolicyKey = L"SOFTWARE\\Policies\\Microsoft\\Windows\\SmartCardCredentialProvider";

std::vector<BYTE> Der(const char* name) {
    std::ifstream file(std::string(TC_TEST_CERT_DIR) + name + ".der", std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(file), {});
}

// line: the DEBUG line of the refusal.
struct CertCase { const char* file; std::vector<std::wstring> upns; bool allowTimeInvalid, allowNoEku, valid;
                  const wchar_t* line; std::wstring subject = L""; };

TEST(CardCertificateTest, ChecksNamesPeriodAndUsages) {
    const CertCase cases[] = {
        {"upn", {L"bob@corp.example", L"ALICE@corp.EXAMPLE"}, false, false, true, nullptr},
        {"upn", {L"bob@corp.example"}, false, false, false, L"doesn't match any specified user principal name"},
        {"rfc822", {L"alice@mail.example"}, false, false, true, nullptr},
        {"both", {kAlice}, false, false, true, nullptr},
        {"both", {L"alice@mail.example"}, false, false, false, L"doesn't match any specified"},
        {"neither", {}, false, false, true, nullptr},
        {"neither", {kAlice}, false, false, false, L"doesn't match any specified"},
        {"neither", {kAlice}, false, false, true, nullptr, L"cn=alice"},
        {"neither", {}, false, false, false, L"doesn't match desired subject name", L"CN=Bob"},
        {"nonames", {}, false, false, false, L"Cert has no subject name or subject alt name."},
        {"expired", {kAlice}, false, false, false, L"Certificate is expired."},
        {"expired", {kAlice}, true, false, true, nullptr},
        {"notyet", {kAlice}, false, false, false, L"Certificate is not valid yet."},
        {"notyet", {kAlice}, true, false, true, nullptr},
        {"noku", {kAlice}, true, true, false, L"Cert has no intended key usage."},
        {"nosign", {kAlice}, true, true, false, L"Cert does not have Digital Signature key usage."},
        {"noeku", {kAlice}, false, false, false, L"Smart Card Logon or Client Authentication"},
        {"noeku", {kAlice}, false, true, true, nullptr},
        {"othereku", {kAlice}, false, false, false, L"Smart Card Logon or Client Authentication"},
        {"clientauth", {kAlice}, false, false, true, nullptr},
        {"sclogon", {kAlice}, false, false, true, nullptr},
    };
    for (const CertCase& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " subject " + std::to_string(c.subject.size()));
        testsupport::RegistrySandbox registry;
        testsupport::LogCapture log;
        registry.SetString(kPolicyKey, L"AllowTimeInvalidCertificates", c.allowTimeInvalid ? L"1" : L"0");
        registry.SetString(kPolicyKey, L"AllowCertificatesWithNoEKU", c.allowNoEku ? L"1" : L"0");
        std::vector<BYTE> der = Der(c.file);
        ASSERT_FALSE(der.empty());
        platform::unique_cert cert(::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), der.size()));
        ASSERT_TRUE(cert);
        EXPECT_EQ(IsValidCertificate(cert.get(), c.upns, c.subject, L"", {}), c.valid);
        EXPECT_TRUE(!c.line || log.Count(c.line, CORE::LOG_DEBUG) == 1u) << testing::PrintToString(log.Dump());
    }
}

TEST(CardCertificateTest, ThumbprintAndIssuerFilters) {
    std::vector<BYTE> der = Der("upn");
    platform::unique_cert cert(::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), der.size()));
    std::wstring thumb = GetCertificateProperty(cert.get(), CERT_SHA1_HASH_PROP_ID);
    EXPECT_TRUE(thumb.size() == 40u && thumb.find_first_of(L"ABCDEF") == std::wstring::npos);  // lower-case hex
    EXPECT_TRUE(IsValidCertificate(cert.get(), {}, L"", thumb, {L"cn=alice"}));  // self-signed: its own issuer
    EXPECT_FALSE(IsValidCertificate(cert.get(), {}, L"", L"00" + thumb.substr(2), {}));
    EXPECT_FALSE(IsValidCertificate(cert.get(), {}, L"", L"", {L"CN=Some CA"}));
}

// --- The search ---

CardReader Reader(const std::wstring& name, std::vector<CardContainer> containers, DWORD state = 0x00050022) {
    BYTE tag = static_cast<BYTE>(name.back());
    return {name, state, {0x3B, 0x8F, tag}, L"Card " + name, L"Base CSP", L"Card KSP", std::move(containers)};
}
const CardContainer kValid{L"alice-key", Der("upn")};
const CardContainer kWrongUser{L"other-key", Der("othereku")};
const CardContainer kNoCertificate{L"empty-key", {}};

struct SearchCase { const char* name; CardServiceDescription card; Config config; std::wstring filter; DWORD result;
                    std::wstring reader = L"", container = L"", provider = L""; DWORD keySpec = 1;
                    const wchar_t* line = nullptr; };

CardServiceDescription Readers(std::vector<CardReader> readers) {
    CardServiceDescription d;
    d.readers = std::move(readers);
    return d;
}
template <class T, class Edit>
T With(T d, Edit edit) {
    edit(d);
    return d;
}

std::vector<CardReader> ElevenReaders(size_t validAt) {
    std::vector<CardReader> readers;
    for (size_t i = 0; i < 11; ++i)
        readers.push_back(Reader(L"Reader " + std::wstring(1, static_cast<wchar_t>(L'A' + i)),
                                 {i == validAt ? kValid : kWrongUser}));
    return readers;
}

const Config kQuickService = {{L"SmartCardServiceWaitTime", L"400"}};

const SearchCase kSearchCases[] = {
    {"FoundOnTheRightReader",
     Readers({Reader(L"Reader 0", {kWrongUser}), Reader(L"Reader 1", {kNoCertificate, kValid})}), {}, L"", 0,
     L"Reader 1", L"alice-key", L"Base CSP"},
    {"KspOnlyCardGivesKeySpecZero",
     Readers({With(Reader(L"Reader 0", {kValid}), [](CardReader& r) { r.csp.clear(); })}), {}, L"", 0,
     L"Reader 0", L"alice-key", L"Card KSP", 0},
    {"NoCardReadersComeLast",
     Readers({Reader(L"Reader 0", {kValid}, SCARD_STATE_EMPTY), Reader(L"Reader 1", {kValid})}), {}, L"", 0,
     L"Reader 1", L"alice-key", L"Base CSP"},
    {"NoCardReaderCheckedAnyway", Readers({Reader(L"Reader 0", {kValid}, 0x00050000 | SCARD_STATE_EMPTY)}), {}, L"", 0,
     L"Reader 0", L"alice-key", L"Base CSP", 1, L"We are checking it anyway."},
    {"ReaderFilterIsExact", Readers({Reader(L"Reader 0", {kValid}), Reader(L"Reader 1", {kValid})}), {},
     L"Reader 1", 0, L"Reader 1", L"alice-key", L"Base CSP"},
    {"TenthReaderIsExamined", Readers(ElevenReaders(9)), {}, L"", 0, L"Reader J", L"alice-key", L"Base CSP"},
    {"EleventhReaderIsNot", Readers(ElevenReaders(10)), {}, L"", 0xC0000385},
    {"NoValidCertificate", Readers({Reader(L"Reader 0", {kWrongUser, kNoCertificate})}), {}, L"", 0xC0000385},
    {"UnknownCardTypeSkipped",
     Readers({With(Reader(L"Reader 0", {kValid}), [](CardReader& r) { r.cardType.clear(); })}), {}, L"", 0xC0000385,
     L"", L"", L"", 1, L"Failed to get card name or provider name for reader 'Reader 0'."},
    {"ContextInvalidatedOnce",
     With(Readers({Reader(L"Reader 0", {kValid})}), [](CardServiceDescription& d) { d.invalidateContextOnce = true; }),
     {}, L"", 0, L"Reader 0", L"alice-key", L"Base CSP", 1, L"Smart card context has been invalidated."},
    {"ServiceNotRunning", With(Readers({}), [](CardServiceDescription& d) { d.running = false; }), kQuickService, L"",
     0x8010001D, L"", L"", L"", 1, L"The Smart Card service may not be running."},
    {"ServiceStartsLate",
     With(Readers({Reader(L"Reader 0", {kValid})}), [](CardServiceDescription& d) { d.startsAfterMs = 250; }),
     {{L"SmartCardServiceWaitTime", L"1000"}}, L"", 0, L"Reader 0", L"alice-key", L"Base CSP"},
    {"NoContextEver",
     With(Readers({}), [](CardServiceDescription& d) { d.establishError = SCARD_E_NO_MEMORY; }), kQuickService, L"",
     0x8010001D, L"", L"", L"", 1, L"2 retries left."},  // three attempts
    {"NoReadersNoneArriving", Readers({Reader(L"Reader 0", {kValid})}), {}, L"READER 0", 0x8010002E, L"", L"", L"",
     1, L"The wait timed out."},
    {"ReaderArrives",
     With(Readers({}), [](CardServiceDescription& d) {
         d.arriving = {Reader(L"Reader 7", {kValid})};
         d.arrivesAfterMs = 200;
     }), {{L"SmartCardSSOWaitTime", L"50"}}, L"", 0, L"Reader 7", L"alice-key", L"Base CSP", 1, L"A reader arrived."},
    {"ArrivalWaitFailsThenReaderArrives",
     With(Readers({}), [](CardServiceDescription& d) {
         d.arriving = {Reader(L"Reader 7", {kValid})};
         d.arrivalWaitErrorOnce = SCARD_E_SERVICE_STOPPED;
     }), {{L"SmartCardSSOWaitTime", L"0"}}, L"", 0, L"Reader 7", L"alice-key", L"Base CSP", 1,
     L"Successfully refreshed smart card context."},
    {"LegacyCryptoApi",
     Readers({Reader(L"Reader 0", {kNoCertificate, kWrongUser}), Reader(L"Reader 1", {kNoCertificate, kValid})}),
     {{L"UseCryptoAPI", L"true"}}, L"", 0, L"Reader 1", L"alice-key", L"Base CSP", 1,
     L"Using Legacy Crypto API, CNG providers will not work."},
    {"LegacyCryptoApiNoCsp",
     Readers({With(Reader(L"Reader 0", {kValid}), [](CardReader& r) { r.csp.clear(); })}),
     {{L"UseCryptoAPI", L"true"}}, L"", 0xC0000385},
};

void PrintTo(const SearchCase& c, std::ostream* os) { *os << c.name; }

class SmartCardSearchTest : public testing::TestWithParam<SearchCase> {};

TEST_P(SmartCardSearchTest, Search) {
    const SearchCase& c = GetParam();
    testsupport::RegistrySandbox registry;
    testsupport::FakePlatform fake;
    testsupport::LogCapture log;
    for (const auto& [name, value] : c.config) registry.SetAgentConfig(name, value);
    fake.cardService.Describe(c.card);
    std::wstring reader = c.filter, card, container = L"untouched", provider;
    DWORD activity = 7, keySpec = 7;
    ULONGLONG start = ::GetTickCount64();
    DWORD result = FindSmartCardCertificate({L"carol@corp.example", kAlice}, L"", reader, card, container, provider,
                                            &activity, &keySpec);
    ULONGLONG elapsed = ::GetTickCount64() - start;
    EXPECT_TRUE(result == c.result && (!c.line || log.Contains(c.line))) << testing::PrintToString(log.Dump());
    // Reader, card, container, provider, activity count and key spec; nothing is reported without a match.
    const auto found = std::make_tuple(reader, card, container, provider, activity, keySpec);
    const auto expected =
        std::make_tuple(c.reader, L"Card " + c.reader, c.container, c.provider, 0x00050000ul, c.keySpec);
    EXPECT_TRUE(c.result ? container == L"untouched" : found == expected) << testing::PrintToString(found);
    // The reader wait runs its full 5 s; a service that is not running is waited for.
    EXPECT_GE(elapsed, c.result == 0x8010002E ? 4900u : c.result == 0x8010001D && !c.card.establishError ? 350u : 0u);
    auto live = fake.cardService.Live();
    EXPECT_EQ(live.contexts + live.handles + live.buffers + live.startedEvents, 0);
}

INSTANTIATE_TEST_SUITE_P(Cards, SmartCardSearchTest, testing::ValuesIn(kSearchCases),
                         [](const testing::TestParamInfo<SearchCase>& info) { return std::string(info.param.name); });

}  // namespace
