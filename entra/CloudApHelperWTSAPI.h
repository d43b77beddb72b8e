// The cloud authentication road through wtsapi32 (newer systems only). Every call runs on the
// StaDispatcher thread.
#pragma once
#include "CloudApHelper.h"
#include "platform/sdk/CloudAuthDecl.h"

namespace EntraAuth {

// The process-wide table of the six calls, resolved once; `available` only with all six.
struct CloudAuthFuncs {
    bool available = false;
    platform::sdk::WTSCloudAuthOpenFn open = nullptr;
    platform::sdk::WTSCloudAuthCloseFn close = nullptr;
    platform::sdk::WTSCloudAuthGetServerNonceFn getServerNonce = nullptr;
    platform::sdk::WTSCloudAuthConvertAssertionToSerializedUserCredentialFn convertAssertion = nullptr;
    platform::sdk::WTSCloudAuthNetworkLogonWithSerializedCredentialFn networkLogon = nullptr;
    platform::sdk::WTSCloudAuthDuplicateSerializedUserCredentialFn duplicateCredential = nullptr;
    // Frees what the calls hand out; null where the library lacks it (the memory then stays).
    platform::sdk::WTSFreeMemoryExWFn freeMemory = nullptr;
};
const CloudAuthFuncs& ResolveCloudAuthFuncs();

class CloudApHelperWTSAPI final : public ICloudApHelper {
public:
    // Fails (EntraFailure) when the calls are missing or not implemented on this system.
    CloudApHelperWTSAPI();
    ~CloudApHelperWTSAPI() override;
    CloudApHelperWTSAPI(const CloudApHelperWTSAPI&) = delete;
    CloudApHelperWTSAPI& operator=(const CloudApHelperWTSAPI&) = delete;

    HRESULT Initialize(const std::wstring& correlationId) override;
    HRESULT GetDeviceNonce(std::wstring* nonce) override;
    HRESULT GetCredBlobFromAssertion(const std::wstring& assertion, const std::wstring& resourceUri,
                                     std::vector<BYTE>* blob) override;
    HRESULT LogonUserWithCredBlob(const std::vector<BYTE>& blob, HANDLE* token) override;
    ULONG GetCloudApPackageId() override;

private:
    const CloudAuthFuncs* funcs_;
    platform::sdk::WTS_CLOUD_AUTH_HANDLE handle_ = nullptr;
};

}  // namespace EntraAuth
