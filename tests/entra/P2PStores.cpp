#include "P2PStores.h"

#include <fstream>
#include <iterator>

namespace entratest {
namespace {

platform::unique_certstore OpenMachineStore(const wchar_t* storeName) {
    return platform::unique_certstore(
        ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, storeName));
}

// Through the registry itself: the system store's own deletion is not written back when the
// same certificate is added again (nor, under Wine, at all), so a copy from an earlier run would
// keep its old key properties.
void RemoveFromMachineStore(const wchar_t* storeName, PCCERT_CONTEXT cert) {
    BYTE hash[20];
    DWORD size = sizeof(hash);
    if (!::CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, hash, &size)) return;
    std::wstring key = std::wstring(L"Software\\Microsoft\\SystemCertificates\\") + storeName + L"\\Certificates\\";
    for (BYTE b : hash) {
        const wchar_t digits[] = L"0123456789ABCDEF";
        key += digits[b >> 4], key += digits[b & 15];
    }
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
}

platform::unique_cert CertificateOf(const std::string& name) {
    const std::vector<BYTE> der = ReadCertFile(name + ".der");
    return platform::unique_cert(::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
}

// The device's private key as a PRIVATEKEYBLOB: its PVK file without the 24-byte header.
std::vector<BYTE> PrivateKeyBlob(const std::string& name) {
    std::vector<BYTE> pvk = ReadCertFile(name + ".pvk");
    EXPECT_GT(pvk.size(), 24u + sizeof(BLOBHEADER)) << name;
    return pvk.size() > 24 ? std::vector<BYTE>(pvk.begin() + 24, pvk.end()) : std::vector<BYTE>();
}

}  // namespace

void P2PStores::AddToMachineStore(const wchar_t* storeName, const std::string& certificate, const CRYPT_KEY_PROV_INFO* key) {
    platform::unique_cert cert = CertificateOf(certificate);
    ASSERT_TRUE(cert) << certificate;
    RemoveFromMachineStore(storeName, cert.get());
    platform::unique_certstore store = OpenMachineStore(storeName);
    ASSERT_TRUE(store) << certificate;
    ASSERT_TRUE(!key || ::CertSetCertificateContextProperty(cert.get(), CERT_KEY_PROV_INFO_PROP_ID, 0, key));
    ASSERT_TRUE(::CertAddCertificateContextToStore(store.get(), cert.get(), CERT_STORE_ADD_NEW, nullptr)) << ::GetLastError();
    if (!registry_) added_.emplace_back(storeName, certificate);
}

std::vector<BYTE> ReadCertFile(const std::string& name) {
    std::ifstream file(std::string(TC_ENTRA_CERT_DIR) + name, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(file), {});
}

std::string DeviceId() {
    std::vector<BYTE> text = ReadCertFile("device-id.txt");
    return std::string(text.begin(), text.begin() + 36);
}

P2PStores::P2PStores(bool privateRegistry) {
    if (privateRegistry) registry_.emplace();
}

P2PStores::~P2PStores() {
    for (const auto& [storeName, certificate] : added_) {
        if (platform::unique_cert cert = CertificateOf(certificate)) RemoveFromMachineStore(storeName.c_str(), cert.get());
    }
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
