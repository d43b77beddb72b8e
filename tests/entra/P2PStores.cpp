#include "P2PStores.h"

#include <fstream>
#include <iterator>

namespace entratest {
namespace {

void AddToMachineStore(const wchar_t* storeName, const std::string& certificate, const CRYPT_KEY_PROV_INFO* key) {
    const std::vector<BYTE> der = ReadCertFile(certificate + ".der");
    platform::unique_cert cert(::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    platform::unique_certstore store(::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, storeName));
    ASSERT_TRUE(cert && store) << certificate;
    ASSERT_TRUE(!key || ::CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, key));
    ASSERT_TRUE(::CertAddCertificateContextToStore(store.get(), cert.get(), CERT_STORE_ADD_REPLACE_EXISTING, nullptr));
}

// The device's private key as a PRIVATEKEYBLOB: its PVK file without the 24-byte header.
std::vector<BYTE> PrivateKeyBlob(const std::string& name) {
    std::vector<BYTE> pvk = ReadCertFile(name + ".pvk");
    EXPECT_GT(pvk.size(), 24u + sizeof(BLOBHEADER)) << name;
    return pvk.size() > 24 ? std::vector<BYTE>(pvk.begin() + 24, pvk.end()) : std::vector<BYTE>();
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
    HCRYPTPROV gone = 0;  // deleting a key set hands back no provider
    for (const std::wstring& container : containers_)
        ::CryptAcquireContextW(&gone, container.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_DELETEKEYSET);
}

void P2PStores::AddDevice(const std::string& name, bool withKey) {
    if (!withKey) return AddToMachineStore(L"My", name, nullptr);
    std::vector<BYTE> keyBlob = PrivateKeyBlob(name);
    ASSERT_GT(keyBlob.size(), sizeof(BLOBHEADER));
    reinterpret_cast<BLOBHEADER*>(keyBlob.data())->aiKeyAlg = CALG_RSA_SIGN;  // the AT_SIGNATURE slot
    containers_.push_back(L"tcfiltr-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(containers_.size()));
    const wchar_t* container = containers_.back().c_str();
    HCRYPTPROV stale = 0;
    ::CryptAcquireContextW(&stale, container, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_DELETEKEYSET);
    platform::unique_crypt_prov provider;
    platform::unique_crypt_key key;
    ASSERT_TRUE(::CryptAcquireContextW(provider.put(), container, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_NEWKEYSET) &&
                ::CryptImportKey(provider.get(), keyBlob.data(), static_cast<DWORD>(keyBlob.size()), 0, 0, key.put()))
        << ::GetLastError();
    ::SecureZeroMemory(keyBlob.data(), keyBlob.size());
    CRYPT_KEY_PROV_INFO info{containers_.back().data(), const_cast<wchar_t*>(MS_ENH_RSA_AES_PROV_W), PROV_RSA_AES, 0, 0,
                             nullptr, AT_SIGNATURE};
    AddToMachineStore(L"My", name, &info);
}

void P2PStores::AddIssuer(const std::string& name) { AddToMachineStore(L"AAD Token Issuer", name, nullptr); }

}  // namespace entratest
