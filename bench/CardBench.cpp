// The smart card search of one logon: 10 readers with 8 key containers each, the matching
// certificate in the last container of the last reader, the card service simulated and
// answering at once. Target: a search under 5 ms. And the checks of one real certificate
// (IsValidCertificate with the policy a search reads once), target under 50 us; beside it the
// same call reading the policy itself (two registry reads). Baseline of the same run: decoding
// the certificate alone (CertCreateCertificateContext), which every check starts from.
#include "BenchSupport.h"

#include "sso/CardCertificate.h"
#include "sso/SmartCardSearch.h"

#include "support/FakePlatform.h"

#include <fstream>
#include <iterator>

namespace {

std::vector<BYTE> Der(const char* name) {
    std::ifstream file(std::string(TC_TEST_CERT_DIR) + name + ".der", std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(file), {});
}

// Every other container fails at a different check: another user, out of date, no usage.
platform::cardsim::CardServiceDescription TenReaders() {
    const std::vector<BYTE> others[] = {Der("rfc822"), Der("expired"), Der("noku"), Der("othereku")};
    platform::cardsim::CardServiceDescription cards;
    for (int r = 0; r < 10; ++r) {
        platform::cardsim::CardReader reader;
        reader.name = L"Reader " + std::to_wstring(r);
        reader.atr = {0x3B, 0x8F, 0x80, 0x01};
        reader.cardType = L"Bench Card";
        reader.ksp = L"Microsoft Smart Card Key Storage Provider";
        for (int c = 0; c < 8; ++c)
            reader.containers.push_back({L"ctr-" + std::to_wstring(r) + L"-" + std::to_wstring(c), others[(r + c) % 4]});
        cards.readers.push_back(reader);
    }
    cards.readers.back().containers.back().certificate = Der("upn");
    return cards;
}

template <class Step>
std::vector<double> Samples(int rounds, Step step) {
    std::vector<double> samples;
    for (int i = 0; i < rounds; ++i) {
        const double start = bench::NowMicros();
        step();
        samples.push_back(bench::NowMicros() - start);
    }
    return samples;
}

}  // namespace

int wmain() {
    testsupport::FakePlatform fake;
    fake.cardService.Describe(TenReaders());
    const std::vector<std::wstring> upns = {L"alice@corp.example"};
    bool found = true;
    auto search = [&] {
        std::wstring reader, card, container, provider;
        DWORD activity = 0, keySpec = 0;
        found &= FindSmartCardCertificate(upns, L"", reader, card, container, provider, &activity, &keySpec) == 0 &&
                 container == L"ctr-9-7";
    };
    search();  // first use: crypt32's own start-up
    std::vector<double> searches = Samples(200, search);
    bench::JsonLine("card_search", bench::Field("readers", 10.0, 0) + "," + bench::Field("containers_each", 8.0, 0) + "," +
                                       bench::Field("median_ms", bench::Percentile(searches, 0.5) / 1000, 3) + "," +
                                       bench::Field("p95_ms", bench::Percentile(searches, 0.95) / 1000, 3) + "," +
                                       bench::Field("target_ms", 5.0) + "," + bench::Field("found", found));

    const std::vector<BYTE> der = Der("upn");
    platform::unique_cert cert(::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    bool valid = true;
    const CertificateWanted wanted = ReadCertificateWanted(upns, L"");
    std::vector<double> checks = Samples(5000, [&] { valid &= IsValidCertificate(cert.get(), wanted); });
    std::vector<double> standalone = Samples(2000, [&] { valid &= IsValidCertificate(cert.get(), upns, L"", L"", {}); });
    std::vector<double> decodes = Samples(5000, [&] {
        ::CertFreeCertificateContext(
            ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    });
    bench::JsonLine("is_valid_certificate",
                    bench::Field("median_us", bench::Percentile(checks, 0.5), 2) + "," +
                        bench::Field("p95_us", bench::Percentile(checks, 0.95), 2) + "," + bench::Field("target_us", 50.0) +
                        "," + bench::Field("reading_policy_median_us", bench::Percentile(standalone, 0.5), 2) +
                        "," + bench::Field("baseline_decode_median_us", bench::Percentile(decodes, 0.5), 2) + "," +
                        bench::Field("valid", valid));
    return found && valid ? 0 : 1;
}
