#include "P2PJoinedCertUtils.h"

#include "EntraFailure.h"
#include "P2PSigning.h"
#include "lib/mfw/common/log/SysMessage.h"

#include <algorithm>
#include <cstring>

namespace EntraAuth {
namespace {

constexpr char kP2PIssuerPrefix[] = "MS-Organization-P2P-Access";
constexpr size_t kP2PIssuerPrefixLength = sizeof(kP2PIssuerPrefix) - 1;  // 26
// Either kind of key, without any prompt, from the key provider the certificate names.
constexpr DWORD kAcquireFlags =
    CRYPT_ACQUIRE_ALLOW_NCRYPT_KEY_FLAG | CRYPT_ACQUIRE_SILENT_FLAG | CRYPT_ACQUIRE_USE_PROV_INFO_FLAG;

// A private key as CryptAcquireCertificatePrivateKey hands it out, released when the call made
// the caller responsible for it.
class CertificateKey {
public:
    CertificateKey() = default;
    CertificateKey(const CertificateKey&) = delete;
    CertificateKey& operator=(const CertificateKey&) = delete;
    ~CertificateKey() {
        if (!handle_ || !callerFrees_) return;
        if (IsNCrypt()) ::NCryptFreeObject(handle_);
        else ::CryptReleaseContext(handle_, 0);
    }
    // False with the last error set.
    bool Acquire(PCCERT_CONTEXT cert) {
        return ::CryptAcquireCertificatePrivateKey(cert, kAcquireFlags, nullptr, &handle_, &keySpec_, &callerFrees_) !=
               FALSE;
    }
    bool IsNCrypt() const { return keySpec_ == CERT_NCRYPT_KEY_SPEC; }
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE Handle() const { return handle_; }

private:
    HCRYPTPROV_OR_NCRYPT_KEY_HANDLE handle_ = 0;
    DWORD keySpec_ = 0;
    BOOL callerFrees_ = FALSE;
};

platform::unique_certstore OpenMachineStore(const wchar_t* name) {
    platform::unique_certstore store(::CertOpenStore(
        CERT_STORE_PROV_SYSTEM_W, 0, 0,
        CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG, name));
    ENTRA_FAIL_IF(!store, LastErrorResult(), L"CertOpenStore failed");
    return store;
}

// The issuer of `cert` in the store "AAD Token Issuer"; null (last error set) when it is not there.
platform::unique_cert FindIssuerCertificate(PCCERT_CONTEXT cert) {
    try {
        platform::unique_certstore store = OpenMachineStore(L"AAD Token Issuer");
        DWORD flags = 0;
        platform::unique_cert issuer(::CertGetIssuerCertificateFromStore(store.get(), cert, nullptr, &flags));
        ENTRA_FAIL_IF(!issuer, LastErrorResult(), L"CertGetIssuerCertificateFromStore failed");
        return issuer;
    } catch (...) {
        const HRESULT hr = ResultOfCaught();
        CORE::LogMessage(CORE::LOG_ERROR,
                         L"[EntraAuth] EntraAuth::FindIssuerCertificate: FindIssuerCertificate failed with hr=%x",
                         static_cast<unsigned>(hr));
        ::SetLastError(HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : static_cast<DWORD>(hr));
        return platform::unique_cert();
    }
}

bool IsP2PIssuerName(PCCERT_CONTEXT issuer) {
    const DWORD size = ::CertGetNameStringA(issuer, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (size <= 1) return false;
    std::string name(size, '\0');
    ::CertGetNameStringA(issuer, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(), size);
    name.resize(strnlen(name.c_str(), name.size()));
    return _strnicmp(name.c_str(), kP2PIssuerPrefix, kP2PIssuerPrefixLength) == 0;
}

bool CertHasPrivateKey(PCCERT_CONTEXT cert) {
    CertificateKey key;  // released at once: the search only asks whether it can be had
    if (key.Acquire(cert)) return true;
    CORE::LogMessage(CORE::LOG_ERROR,
                     L"[EntraAuth] EntraAuth::CertHasPrivateKey: CryptAcquireCertificatePrivateKey failed with win32Error=%d",
                     static_cast<int>(::GetLastError()));
    return false;
}

HRESULT EncodedCertificate(const platform::unique_cert& cert, std::vector<BYTE>* encoded, DWORD* encodingType) {
    if (!cert) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    encoded->assign(cert.get()->pbCertEncoded, cert.get()->pbCertEncoded + cert.get()->cbCertEncoded);
    *encodingType = cert.get()->dwCertEncodingType;
    return S_OK;
}

}  // namespace

P2PJoinedCertUtils::P2PJoinedCertUtils(std::wstring deviceId) noexcept : deviceId_(std::move(deviceId)) {
    try {
        FindDeviceP2PCertificate();
    } catch (...) {
        CaughtResult("EntraAuth::P2PJoinedCertUtils::P2PJoinedCertUtils");
        signingCert_.reset();
        issuingCert_.reset();
    }
    if (!signingCert_)
        CORE::LogMessage(CORE::LOG_ERROR,
                         L"[EntraAuth] EntraAuth::P2PJoinedCertUtils::P2PJoinedCertUtils: P2PSigningCert not found for this device");
}

void P2PJoinedCertUtils::FindDeviceP2PCertificate() {
    ENTRA_FAIL_IF(deviceId_.empty(), E_INVALIDARG, L"deviceId cannot be empty");
    platform::unique_certstore store = OpenMachineStore(L"My");
    platform::unique_cert candidate;
    for (;;) {
        // The search frees the context it continues from.
        candidate.reset(::CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                     CERT_FIND_SUBJECT_STR_W, deviceId_.c_str(), candidate.release()));
        ENTRA_FAIL_IF(!candidate, LastErrorResult(), L"CertFindCertificateInStore failed to find %ls", deviceId_.c_str());
        platform::unique_cert issuer = FindIssuerCertificate(candidate.get());
        if (!issuer) {
            CORE::LogMessage(CORE::LOG_ERROR,
                             L"[EntraAuth] EntraAuth::FindDeviceP2PCertificate: FindIssuerCertificate(%ls) failed with gle=%d",
                             deviceId_.c_str(), static_cast<int>(::GetLastError()));
            continue;
        }
        if (!IsP2PIssuerName(issuer.get())) {
            CORE::LogMessage(CORE::LOG_DEBUG,
                             L"[EntraAuth] EntraAuth::FindDeviceP2PCertificate: Issuer certificate name not matched, trying next cert.");
            continue;
        }
        if (!CertHasPrivateKey(candidate.get())) continue;
        signingCert_ = std::move(candidate);
        issuingCert_ = std::move(issuer);
        return;
    }
}

HRESULT P2PJoinedCertUtils::GetP2PSigningCert(std::vector<BYTE>* encoded, DWORD* encodingType) const {
    return EncodedCertificate(signingCert_, encoded, encodingType);
}

HRESULT P2PJoinedCertUtils::GetP2PIssuingCert(std::vector<BYTE>* encoded, DWORD* encodingType) const {
    return EncodedCertificate(issuingCert_, encoded, encodingType);
}

HRESULT P2PJoinedCertUtils::SignData(const std::string& hashAlgorithm, const std::vector<BYTE>& data,
                                     std::vector<BYTE>* signature) const {
    try {
        ENTRA_FAIL_IF(data.empty(), E_INVALIDARG, L"data cannot be empty");
        ENTRA_FAIL_IF(!signingCert_, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), L"device cert not found");
        ENTRA_FAIL_IF(hashAlgorithm != "SHA256", E_INVALIDARG, L"Unsupported hash algorithm %hs", hashAlgorithm.c_str());
        CertificateKey key;
        ENTRA_FAIL_IF(!key.Acquire(signingCert_.get()), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), L"Private key not found?");
        *signature = key.IsNCrypt() ? SignWithNCryptKey(key.Handle(), data) : SignWithCryptoApiKey(key.Handle(), data);
        return S_OK;
    } catch (...) {
        return ENTRA_LOG_FAILURE(ResultOfCaught(), L"Failed to sign data");
    }
}

std::vector<BYTE> SignPayloadWithP2PCert(const std::wstring& deviceId, const std::vector<BYTE>& data) {
    ENTRA_FAIL_IF(data.empty(), E_INVALIDARG, L"data to sign is empty");
    P2PJoinedCertUtils utils(deviceId);
    std::vector<BYTE> signature;
    const HRESULT hr = utils.SignData("SHA256", data, &signature);
    ENTRA_FAIL_IF(FAILED(hr), hr, L"Signing failed");
    return signature;
}

std::wstring CertificateText(const std::vector<BYTE>& encoded) {
    constexpr DWORD kBase64NoBreaks = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    ENTRA_FAIL_IF(encoded.empty() || encoded.size() > 0x7FFFFFFF / 4 * 3, E_INVALIDARG, L"CryptBinaryToString failed");
    DWORD chars = 0;
    ENTRA_FAIL_IF(!::CryptBinaryToStringW(encoded.data(), static_cast<DWORD>(encoded.size()), kBase64NoBreaks, nullptr, &chars),
                  LastErrorResult(), L"CryptBinaryToString failed");
    std::wstring text(chars, L'\0');
    ENTRA_FAIL_IF(!::CryptBinaryToStringW(encoded.data(), static_cast<DWORD>(encoded.size()), kBase64NoBreaks, text.data(), &chars),
                  LastErrorResult(), L"CryptBinaryToString failed");
    text.resize(std::min<size_t>(chars, text.size()));  // the count no longer includes the terminator
    return text;
}

}  // namespace EntraAuth
