// The P2P certificate search over real certificates in the private HKLM's stores, and the
// signing calls' refusals. The signature bytes are checked by openssl (verify-signed-message.sh).
#include "entra/P2PJoinedCertUtils.h"
#include "entra/EntraFailure.h"
#include "entra/P2PSigning.h"

#include "P2PStores.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

using entratest::P2PStores;
const HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
const std::string kId = entratest::DeviceId();
const std::wstring kDeviceId(kId.begin(), kId.end());
const std::vector<BYTE> kData = {'h', 'e', 'a', 'd', '.', 'p', 'a', 'y'};

struct SearchCase {
    const char* name;
    std::vector<std::pair<std::string, bool>> devices;  // certificate, with its key
    std::vector<std::string> issuers;
    const char *signing, *issuing;  // the certificates found, or null
    std::vector<std::wstring> lines;
    std::wstring deviceId = kDeviceId;
};

TEST(P2PCertSearchTest, FindsTheP2PIssuedCertificateWithAKey) {
    const SearchCase cases[] = {
        // Both hold the device id; whichever the store lists first, the P2P-issued one is taken.
        {"other issuer skipped", {{"device-other", true}, {"device-p2p", true}}, {"other-issuer", "p2p-issuer"}, "device-p2p", "p2p-issuer", {}},
        {"issuer name in other case", {{"device-lower", true}}, {"p2p-issuer-lower"}, "device-lower", "p2p-issuer-lower", {}},
        {"only other issuer", {{"device-other", true}}, {"other-issuer"}, nullptr, nullptr,
         {L"Issuer certificate name not matched, trying next cert.", L"CertFindCertificateInStore failed to find " + kDeviceId,
          L"P2PJoinedCertUtils::P2PJoinedCertUtils: P2PSigningCert not found for this device"}},
        {"no private key", {{"device-p2p", false}}, {"p2p-issuer"}, nullptr, nullptr,
         {L"EntraAuth::CertHasPrivateKey: CryptAcquireCertificatePrivateKey failed with win32Error=-2146885621"}},
        {"issuer missing", {{"device-p2p", true}}, {"other-issuer"}, nullptr, nullptr,
         {L"FindIssuerCertificate: FindIssuerCertificate failed with hr=80092004",
          L"FindDeviceP2PCertificate: FindIssuerCertificate(" + kDeviceId + L") failed with gle=-2146885628"}},
        {"no issuer store", {{"device-p2p", true}}, {}, nullptr, nullptr, {L"FindIssuerCertificate failed with hr=80070002"}},
        {"no device store", {}, {"p2p-issuer"}, nullptr, nullptr, {L"CertOpenStore failed, hr=80070002"}},
        {"empty device id", {{"device-p2p", true}}, {"p2p-issuer"}, nullptr, nullptr, {L"deviceId cannot be empty, hr=80070057"}, L""},
    };
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(c.name);
        P2PStores stores;
        for (const auto& [device, withKey] : c.devices) stores.AddDevice(device, withKey);
        for (const std::string& issuer : c.issuers) stores.AddIssuer(issuer);
        testsupport::LogCapture log;
        EntraAuth::P2PJoinedCertUtils utils(c.deviceId);
        EXPECT_EQ(utils.IsP2PCertAvailable(), c.signing != nullptr);
        std::vector<BYTE> signing, issuing, signature;
        DWORD encoding = 0;
        EXPECT_EQ(utils.GetP2PSigningCert(&signing, &encoding), c.signing ? S_OK : kNotFound);
        EXPECT_EQ(utils.GetP2PIssuingCert(&issuing, &encoding), c.issuing ? S_OK : kNotFound);
        for (const std::wstring& line : c.lines) EXPECT_TRUE(log.Contains(line)) << testing::PrintToString(log.Dump());
        EXPECT_EQ(utils.SignData("SHA256", kData, &signature), c.signing ? S_OK : kNotFound);
        if (!c.signing) {
            EXPECT_TRUE(log.Contains(L"device cert not found, hr=80070002", CORE::LOG_ERROR));
            continue;
        }
        EXPECT_EQ(signing, entratest::ReadCertFile(std::string(c.signing) + ".der"));
        EXPECT_EQ(encoding, static_cast<DWORD>(X509_ASN_ENCODING));
        EXPECT_EQ(issuing, entratest::ReadCertFile(std::string(c.issuing) + ".der"));
        EXPECT_EQ(signature.size(), 256u);
    }
}

// Both certificates are P2P-issued; the issuer of the one the store lists first is missing.
TEST(P2PCertSearchTest, GoesOnAfterAFailedIssuerLookup) {
    P2PStores stores;
    stores.AddDevice("device-lower");
    stores.AddDevice("device-p2p");
    platform::unique_certstore my(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"My"));
    platform::unique_cert first(::CertEnumCertificatesInStore(my.get(), nullptr));
    ASSERT_TRUE(first);
    const std::vector<BYTE> lower = entratest::ReadCertFile("device-lower.der");
    const bool lowerFirst = std::vector<BYTE>(first.get()->pbCertEncoded, first.get()->pbCertEncoded + first.get()->cbCertEncoded) == lower;
    stores.AddIssuer(lowerFirst ? "p2p-issuer" : "p2p-issuer-lower");
    testsupport::LogCapture log;
    EntraAuth::P2PJoinedCertUtils utils(kDeviceId);
    std::vector<BYTE> signing;
    DWORD encoding = 0;
    ASSERT_EQ(utils.GetP2PSigningCert(&signing, &encoding), S_OK);
    EXPECT_EQ(signing, lowerFirst ? entratest::ReadCertFile("device-p2p.der") : lower);
    EXPECT_TRUE(log.Contains(L"FindIssuerCertificate(" + kDeviceId + L") failed with gle=-2146885628"));
}

template <typename Call>
std::pair<HRESULT, std::wstring> FailureOf(Call call) {
    try {
        call();
    } catch (const EntraAuth::EntraFailure& failure) {
        return {failure.Result(), failure.Message()};
    }
    return {S_OK, L""};
}

TEST(P2PSignTest, RefusesEmptyDataAndOtherHashes) {
    P2PStores stores;
    stores.AddDevice("device-p2p");
    stores.AddIssuer("p2p-issuer");
    EntraAuth::P2PJoinedCertUtils utils(kDeviceId);
    testsupport::LogCapture log;
    std::vector<BYTE> signature;
    EXPECT_EQ(utils.SignData("SHA256", {}, &signature), E_INVALIDARG);
    EXPECT_EQ(utils.SignData("sha256", kData, &signature), E_INVALIDARG);
    EXPECT_TRUE(log.Contains(L"data cannot be empty") && log.Contains(L"Unsupported hash algorithm sha256"));
    EXPECT_EQ(log.Count(L"Failed to sign data, hr=80070057", CORE::LOG_ERROR), 2u);
    EXPECT_TRUE(signature.empty());
    using Failure = std::pair<HRESULT, std::wstring>;
    EXPECT_EQ(FailureOf([] { EntraAuth::SignPayloadWithP2PCert(kDeviceId, {}); }), Failure(E_INVALIDARG, L"data to sign is empty"));
    EXPECT_EQ(FailureOf([] { EntraAuth::SignPayloadWithP2PCert(L"other-device", kData); }), Failure(kNotFound, L"Signing failed"));
    EXPECT_EQ(EntraAuth::SignPayloadWithP2PCert(kDeviceId, kData).size(), 256u);
}

// Wine keeps no persisted NCrypt keys, so no certificate can name one; the CNG signing step is
// shown with a key in memory and checked by NCrypt's own verification.
TEST(P2PSignTest, SignsWithAnNCryptKey) {
    platform::unique_ncrypt_object provider, key;
    ASSERT_EQ(::NCryptOpenStorageProvider(provider.put(), MS_KEY_STORAGE_PROVIDER, 0), ERROR_SUCCESS);
    ASSERT_EQ(::NCryptCreatePersistedKey(provider.get(), key.put(), BCRYPT_RSA_ALGORITHM, nullptr, 0, 0), ERROR_SUCCESS);
    ASSERT_EQ(::NCryptFinalizeKey(key.get(), 0), ERROR_SUCCESS);
    std::vector<BYTE> signature = EntraAuth::SignWithNCryptKey(key.get(), kData);
    // SHA-256 of "head.pay", from `printf head.pay | sha256sum`.
    BYTE digest[32] = {0x89, 0x77, 0x1d, 0xb0, 0x1d, 0x92, 0x65, 0x04, 0x64, 0x06, 0x9a, 0x34, 0xa6, 0x75, 0x33, 0x31,
                       0x85, 0xd8, 0x0d, 0xae, 0xf0, 0xe5, 0xab, 0xb2, 0xfb, 0x6e, 0x4e, 0x4b, 0xfb, 0x78, 0xb4, 0x78};
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    EXPECT_EQ(::NCryptVerifySignature(key.get(), &padding, digest, 32, signature.data(), static_cast<DWORD>(signature.size()),
                                      BCRYPT_PAD_PKCS1), ERROR_SUCCESS);
    EXPECT_EQ(FailureOf([] { EntraAuth::SignWithNCryptKey(0, kData); }).second, L"hKey cannot be null");
}

}  // namespace
