#include "P2PStores.h"

#include <fstream>
#include <iterator>

namespace entratest {
namespace {

void AddToMachineStore(const wchar_t* storeName, PCCERT_CONTEXT cert) {
    platform::unique_certstore store(
        ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, storeName));
    ASSERT_TRUE(store) << ::GetLastError();
    ASSERT_TRUE(::CertAddCertificateContextToStore(store.get(), cert, CERT_STORE_ADD_REPLACE_EXISTING, nullptr))
        << ::GetLastError();
}

// The private key of the PFX's certificate as a PRIVATEKEYBLOB.
std::vector<BYTE> PfxPrivateKey(const std::string& name) {
    std::vector<BYTE> pfx = ReadCertFile(name + ".pfx");
    CRYPT_DATA_BLOB blob{static_cast<DWORD>(pfx.size()), pfx.data()};
    platform::unique_certstore store(::PFXImportCertStore(&blob, L"", CRYPT_EXPORTABLE | PKCS12_NO_PERSIST_KEY));
    EXPECT_TRUE(store) << name << " " << ::GetLastError();
    if (!store) return {};
    platform::unique_cert cert(::CertEnumCertificatesInStore(store.get(), nullptr));
    CERT_KEY_CONTEXT context{};
    DWORD size = sizeof(context);
    EXPECT_TRUE(cert && ::CertGetCertificateContextProperty(cert.get(), CERT_KEY_CONTEXT_PROP_ID, &context, &size))
        << ::GetLastError();
    platform::unique_crypt_key key;
    if (!::CryptGetUserKey(context.hCryptProv, context.dwKeySpec, key.put())) {
        ADD_FAILURE() << "no key in " << name << ": " << ::GetLastError();
        return {};
    }
    DWORD length = 0;
    ::CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, nullptr, &length);
    std::vector<BYTE> keyBlob(length);
    EXPECT_TRUE(::CryptExportKey(key.get(), 0, PRIVATEKEYBLOB, 0, keyBlob.data(), &length)) << ::GetLastError();
    keyBlob.resize(length);
    return keyBlob;
}

}  // namespace

std::vector<BYTE> ReadCertFile(const std::string& name) {
    std::ifstream file(std::string(TC_ENTRA_CERT_DIR) + name, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(file), {});
}

std::string DeviceId() {
    std::vector<BYTE> text = ReadCertFile("device-id.txt");
    return std::string(text.begin(), text.begin() + 36);
}

P2PStores::~P2PStores() {
    for (const std::wstring& container : containers_) {
        HCRYPTPROV gone = 0;  // deleting a key set hands back no provider
        ::CryptAcquireContextW(&gone, container.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_DELETEKEYSET);
    }
}

void P2PStores::AddDevice(const std::string& name, bool withKey) {
    const std::vector<BYTE> der = ReadCertFile(name + ".der");
    platform::unique_cert cert(::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    ASSERT_TRUE(cert) << name;
    if (withKey) {
        std::vector<BYTE> keyBlob = PfxPrivateKey(name);
        ASSERT_GT(keyBlob.size(), sizeof(BLOBHEADER));
        reinterpret_cast<BLOBHEADER*>(keyBlob.data())->aiKeyAlg = CALG_RSA_SIGN;  // the AT_SIGNATURE slot
        std::wstring container = L"tcfiltr-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                 std::to_wstring(containers_.size());
        HCRYPTPROV stale = 0;
        ::CryptAcquireContextW(&stale, container.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_DELETEKEYSET);
        platform::unique_crypt_prov provider;
        ASSERT_TRUE(::CryptAcquireContextW(provider.put(), container.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                                           CRYPT_NEWKEYSET)) << ::GetLastError();
        containers_.push_back(container);
        platform::unique_crypt_key key;
        ASSERT_TRUE(::CryptImportKey(provider.get(), keyBlob.data(), static_cast<DWORD>(keyBlob.size()), 0, 0, key.put()))
            << ::GetLastError();
        ::SecureZeroMemory(keyBlob.data(), keyBlob.size());
        CRYPT_KEY_PROV_INFO info{containers_.back().data(), const_cast<wchar_t*>(MS_ENH_RSA_AES_PROV_W), PROV_RSA_AES, 0, 0,
                                 nullptr, AT_SIGNATURE};
        ASSERT_TRUE(::CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, &info));
    }
    AddToMachineStore(L"My", cert.get());
}

void P2PStores::AddIssuer(const std::string& name) {
    const std::vector<BYTE> der = ReadCertFile(name + ".der");
    platform::unique_cert cert(::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    ASSERT_TRUE(cert) << name;
    AddToMachineStore(L"AAD Token Issuer", cert.get());
}

}  // namespace entratest
