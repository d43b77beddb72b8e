// The P2P certificate search over real certificates in the private HKLM's stores, and signing
// with the keys found, checked against the certificate's public key by BCrypt.
#include "entra/P2PJoinedCertUtils.h"
#include "entra/EntraFailure.h"
#include "entra/P2PSigning.h"

#include "P2PStores.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

using entratest::P2PStores;
using entratest::ReadCertFile;

const std::wstring kDeviceId = [] {
    const std::string id = entratest::DeviceId();
    return std::wstring(id.begin(), id.end());
}();
const std::vector<BYTE> kData = {'h', 'e', 'a', 'd', '.', 'p', 'a', 'y'};

platform::unique_bcrypt_alg OpenAlgorithm(const wchar_t* name) {
    platform::unique_bcrypt_alg algorithm;
    EXPECT_EQ(::BCryptOpenAlgorithmProvider(algorithm.put(), name, nullptr, 0), 0);
    return algorithm;
}

std::vector<BYTE> Sha256(const std::vector<BYTE>& data) {
    std::vector<BYTE> digest(32);
    EXPECT_EQ(::BCryptHash(OpenAlgorithm(BCRYPT_SHA256_ALGORITHM).get(), nullptr, 0, const_cast<BYTE*>(data.data()),
                           static_cast<ULONG>(data.size()), digest.data(), 32), 0);
    return digest;
}

bool VerifiesWith(BCRYPT_KEY_HANDLE key, const std::vector<BYTE>& data, const std::vector<BYTE>& signature) {
    BCRYPT_PKCS1_PADDING_INFO padding{BCRYPT_SHA256_ALGORITHM};
    std::vector<BYTE> digest = Sha256(data);
    return ::BCryptVerifySignature(key, &padding, digest.data(), 32, const_cast<BYTE*>(signature.data()),
                                   static_cast<ULONG>(signature.size()), BCRYPT_PAD_PKCS1) == 0;
}

bool VerifiesWithCertificate(const std::vector<BYTE>& der, const std::vector<BYTE>& data, const std::vector<BYTE>& signature) {
    platform::unique_cert cert(::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    BCRYPT_KEY_HANDLE key = nullptr;
    if (!cert || !::CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, &cert.get()->pCertInfo->SubjectPublicKeyInfo, 0,
                                                nullptr, &key))
        return false;
    const bool ok = VerifiesWith(key, data, signature);
    ::BCryptDestroyKey(key);
    return ok;
}

struct SearchCase {
    const char* name;
    std::vector<std::pair<std::string, bool>> devices;  // certificate, with its key
    std::vector<std::string> issuers;
    const char* signing;  // the certificate found, or null
    const char* issuing;
    std::vector<const wchar_t*> lines;
};

TEST(P2PCertSearchTest, FindsTheP2PIssuedCertificateWithAKey) {
    const SearchCase cases[] = {
        {"other issuer skipped", {{"device-other", true}, {"device-p2p", true}}, {"other-issuer", "p2p-issuer"},
         "device-p2p", "p2p-issuer", {}},  // whichever the store lists first
        {"issuer name in other case", {{"device-lower", true}}, {"p2p-issuer-lower"}, "device-lower", "p2p-issuer-lower", {}},
        {"only other issuer", {{"device-other", true}}, {"other-issuer"}, nullptr, nullptr,
         {L"Issuer certificate name not matched", L"CertFindCertificateInStore failed to find 6b3f0e2a-8c41-4d7e-9a15-2f60c9d4b7e8",
          L"P2PSigningCert not found for this device"}},
        {"no private key", {{"device-p2p", false}}, {"p2p-issuer"}, nullptr, nullptr,
         {L"EntraAuth::CertHasPrivateKey: CryptAcquireCertificatePrivateKey failed with win32Error="}},
        {"issuer missing", {{"device-p2p", true}}, {"other-issuer"}, nullptr, nullptr,
         {L"FindIssuerCertificate: FindIssuerCertificate failed with hr=80092004",
          L"FindDeviceP2PCertificate: FindIssuerCertificate(6b3f0e2a-8c41-4d7e-9a15-2f60c9d4b7e8) failed with gle="}},
        {"no issuer store", {{"device-p2p", true}}, {}, nullptr, nullptr,
         {L"CertOpenStore failed", L"FindIssuerCertificate failed with hr=80070002"}},
        {"no device store", {}, {"p2p-issuer"}, nullptr, nullptr, {L"CertOpenStore failed, hr=80070002"}},
    };
    for (const SearchCase& c : cases) {
        SCOPED_TRACE(c.name);
        P2PStores stores;
        for (const auto& [device, withKey] : c.devices) stores.AddDevice(device, withKey);
        for (const std::string& issuer : c.issuers) stores.AddIssuer(issuer);
        testsupport::LogCapture log;
        EntraAuth::P2PJoinedCertUtils utils(kDeviceId);
        EXPECT_EQ(utils.IsP2PCertAvailable(), c.signing != nullptr);
        std::vector<BYTE> signing, issuing, signature;
        DWORD encoding = 0;
        EXPECT_EQ(utils.GetP2PSigningCert(&signing, &encoding), c.signing ? S_OK : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(utils.GetP2PIssuingCert(&issuing, &encoding), c.issuing ? S_OK : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
        for (const wchar_t* line : c.lines) EXPECT_TRUE(log.Contains(line)) << testing::PrintToString(log.Dump());
        const HRESULT signed_ = utils.SignData("SHA256", kData, &signature);
        if (!c.signing) {
            EXPECT_EQ(signed_, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
            EXPECT_TRUE(log.Contains(L"device cert not found, hr=80070002"));
            continue;
        }
        EXPECT_EQ(signing, ReadCertFile(std::string(c.signing) + ".der"));
        EXPECT_EQ(encoding, static_cast<DWORD>(X509_ASN_ENCODING));
        EXPECT_EQ(issuing, ReadCertFile(std::string(c.issuing) + ".der"));
        ASSERT_EQ(signed_, S_OK);
        EXPECT_EQ(signature.size(), 256u);
        EXPECT_TRUE(VerifiesWithCertificate(signing, kData, signature));
    }
}

TEST(P2PCertSearchTest, RefusesAnEmptyDeviceId) {
    P2PStores stores;
    stores.AddDevice("device-p2p");
    stores.AddIssuer("p2p-issuer");
    testsupport::LogCapture log;
    EXPECT_FALSE(EntraAuth::P2PJoinedCertUtils(L"").IsP2PCertAvailable());
    EXPECT_TRUE(log.Contains(L"deviceId cannot be empty, hr=80070057", CORE::LOG_ERROR));
}

TEST(P2PSignTest, SignsOnlySha256OfNonEmptyData) {
    P2PStores stores;
    stores.AddDevice("device-p2p");
    stores.AddIssuer("p2p-issuer");
    EntraAuth::P2PJoinedCertUtils utils(kDeviceId);
    testsupport::LogCapture log;
    std::vector<BYTE> signature;
    EXPECT_EQ(utils.SignData("SHA256", {}, &signature), E_INVALIDARG);
    EXPECT_TRUE(log.Contains(L"data cannot be empty"));
    EXPECT_EQ(utils.SignData("sha256", kData, &signature), E_INVALIDARG);
    EXPECT_TRUE(log.Contains(L"Unsupported hash algorithm sha256"));
    EXPECT_EQ(log.Count(L"Failed to sign data, hr=80070057", CORE::LOG_ERROR), 2u);
    EXPECT_TRUE(signature.empty());

    const std::vector<BYTE> signed_ = EntraAuth::SignPayloadWithP2PCert(kDeviceId, kData);
    EXPECT_TRUE(VerifiesWithCertificate(ReadCertFile("device-p2p.der"), kData, signed_));
    try {
        EntraAuth::SignPayloadWithP2PCert(kDeviceId, {});
        ADD_FAILURE() << "signed nothing";
    } catch (const EntraAuth::EntraFailure& failure) {
        EXPECT_EQ(failure.Result(), E_INVALIDARG);
        EXPECT_EQ(failure.Message(), L"data to sign is empty");
    }
    try {
        EntraAuth::SignPayloadWithP2PCert(L"no-such-device", kData);
        ADD_FAILURE() << "signed without a certificate";
    } catch (const EntraAuth::EntraFailure& failure) {
        EXPECT_EQ(failure.Result(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(failure.Message(), L"Signing failed");
    }
}

// Wine keeps no persisted NCrypt keys, so no certificate can name one; the CNG signing step
// is shown with a key that lives in memory.
TEST(P2PSignTest, SignsWithAnNCryptKey) {
    platform::unique_ncrypt_object provider, key;
    ASSERT_EQ(::NCryptOpenStorageProvider(provider.put(), MS_KEY_STORAGE_PROVIDER, 0), ERROR_SUCCESS);
    ASSERT_EQ(::NCryptCreatePersistedKey(provider.get(), key.put(), BCRYPT_RSA_ALGORITHM, nullptr, 0, 0), ERROR_SUCCESS);
    DWORD bits = 2048;
    ::NCryptSetProperty(key.get(), NCRYPT_LENGTH_PROPERTY, reinterpret_cast<BYTE*>(&bits), sizeof(bits), 0);
    ASSERT_EQ(::NCryptFinalizeKey(key.get(), 0), ERROR_SUCCESS);
    const std::vector<BYTE> signature = EntraAuth::SignWithNCryptKey(key.get(), kData);
    DWORD size = 0;
    ASSERT_EQ(::NCryptExportKey(key.get(), 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, nullptr, 0, &size, 0), ERROR_SUCCESS);
    std::vector<BYTE> blob(size);
    ASSERT_EQ(::NCryptExportKey(key.get(), 0, BCRYPT_RSAPUBLIC_BLOB, nullptr, blob.data(), size, &size, 0), ERROR_SUCCESS);
    BCRYPT_KEY_HANDLE publicKey = nullptr;
    platform::unique_bcrypt_alg rsa = OpenAlgorithm(BCRYPT_RSA_ALGORITHM);
    ASSERT_EQ(::BCryptImportKeyPair(rsa.get(), nullptr, BCRYPT_RSAPUBLIC_BLOB, &publicKey, blob.data(), size, 0), 0);
    EXPECT_TRUE(VerifiesWith(publicKey, kData, signature));
    EXPECT_FALSE(VerifiesWith(publicKey, {'o', 't', 'h', 'e', 'r'}, signature));
    ::BCryptDestroyKey(publicKey);
}

}  // namespace
