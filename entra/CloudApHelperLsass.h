// The cloud authentication road through the CloudAP package of the LSA, for systems without
// (working) wtsapi32 cloud authentication calls; policy may forbid it.
#pragma once
#include "CloudApHelper.h"

#include <string>
#include <vector>

namespace EntraAuth {

// "LsassCloudApFallbackEnabled", read once per process.
bool LsassCloudApFallbackEnabled();

// The CloudAP package's request: message type 2, the plug-in GUID, the text's byte count, then
// the text at offset 24; three spare bytes at the end stay zero.
std::vector<BYTE> BuildCloudApRequest(const std::string& jsonText);

class CloudApHelperLsass final : public ICloudApHelper {
public:
    CloudApHelperLsass() = default;
    ~CloudApHelperLsass() override;
    CloudApHelperLsass(const CloudApHelperLsass&) = delete;
    CloudApHelperLsass& operator=(const CloudApHelperLsass&) = delete;

    HRESULT Initialize(const std::wstring& correlationId) override;
    HRESULT GetDeviceNonce(std::wstring* nonce) override;
    HRESULT GetCredBlobFromAssertion(const std::wstring& assertion, const std::wstring& resourceUri,
                                     std::vector<BYTE>* blob) override;
    HRESULT LogonUserWithCredBlob(const std::vector<BYTE>& blob, HANDLE* token) override;
    ULONG GetCloudApPackageId() override { return cloudApPackage_; }

private:
    std::string InvokeCloudAP(const std::string& jsonText);
    std::string AskCloudAP(const std::string& jsonText);

    HANDLE lsa_ = nullptr;
    ULONG cloudApPackage_ = 0;
    ULONG negotiatePackage_ = 0;
    std::wstring correlationId_;
};

}  // namespace EntraAuth
