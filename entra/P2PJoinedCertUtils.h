// The device's peer-to-peer (P2P) certificate: found in the local machine's "My" store by the
// device id in its subject, issued by an "MS-Organization-P2P-Access" certificate of the store
// "AAD Token Issuer", with a private key this process can use; and signing with that key.
#pragma once
#include "platform/CryptResource.h"

#include <string>
#include <vector>

namespace EntraAuth {

class IP2PJoinedCertUtils {
public:
    virtual ~IP2PJoinedCertUtils() = default;
    virtual bool IsP2PCertAvailable() const = 0;
    // The certificate's encoded bytes and encoding type; HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)
    // when there is none.
    virtual HRESULT GetP2PSigningCert(std::vector<BYTE>* encoded, DWORD* encodingType) const = 0;
    virtual HRESULT GetP2PIssuingCert(std::vector<BYTE>* encoded, DWORD* encodingType) const = 0;
    // RSASSA-PKCS1-v1_5 over SHA-256 ("SHA256" is the only algorithm), most significant byte first.
    virtual HRESULT SignData(const std::string& hashAlgorithm, const std::vector<BYTE>& data,
                             std::vector<BYTE>* signature) const = 0;
};

class P2PJoinedCertUtils final : public IP2PJoinedCertUtils {
public:
    // Searches the stores; a device without a usable certificate is logged and reported by
    // IsP2PCertAvailable. Never throws.
    explicit P2PJoinedCertUtils(std::wstring deviceId) noexcept;
    P2PJoinedCertUtils(const P2PJoinedCertUtils&) = delete;
    P2PJoinedCertUtils& operator=(const P2PJoinedCertUtils&) = delete;

    bool IsP2PCertAvailable() const override { return signingCert_.valid(); }
    HRESULT GetP2PSigningCert(std::vector<BYTE>* encoded, DWORD* encodingType) const override;
    HRESULT GetP2PIssuingCert(std::vector<BYTE>* encoded, DWORD* encodingType) const override;
    HRESULT SignData(const std::string& hashAlgorithm, const std::vector<BYTE>& data,
                     std::vector<BYTE>* signature) const override;

private:
    void FindDeviceP2PCertificate();

    platform::unique_cert signingCert_;
    platform::unique_cert issuingCert_;
    std::wstring deviceId_;
};

// Signs `data` with the P2P certificate of `deviceId` (a fresh search); raises an EntraFailure
// when there is nothing to sign or no certificate to sign with.
std::vector<BYTE> SignPayloadWithP2PCert(const std::wstring& deviceId, const std::vector<BYTE>& data);

// A certificate's encoded bytes as the request message carries them: standard Base64 without
// line breaks. Raises an EntraFailure when crypt32 cannot encode them.
std::wstring CertificateText(const std::vector<BYTE>& encoded);

}  // namespace EntraAuth
