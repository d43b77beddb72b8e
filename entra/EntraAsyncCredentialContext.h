// One Entra ID SSO request as the agent's "ENTRAAUTH" answer describes it: the assertion the
// broker already holds, or one asked of the agent's common service over local RPC ("wait" when
// the broker sent the request, "request" when the service must send it), turned into a
// CloudAP logon buffer when the tile serializes.
#pragma once
#include "EntraRpcClient.h"
#include "lib/mfw/common/bag/PropertyBag.h"
#include "sso/EntraContext.h"

#include <functional>
#include <mutex>
#include <string>

namespace EntraAuth {

class EntraAsyncCredentialContext : public IEntraContext {
public:
    // The bag's rules: "CORRELATIONID" and "RESOURCEURI" non-empty (else nothing is asked and
    // the status is E_INVALIDARG), "RDPASSERTION", "BROKERUSERSID", "REQUESTID" (decimal) optional.
    // `onComplete` runs once, on the request's thread, when the answer arrives.
    EntraAsyncCredentialContext(const CORE::PropertyBag& bag, std::function<void()> onComplete);
    // Abandons a request still in flight and waits for its worker; the owner is not called back.
    ~EntraAsyncCredentialContext() override;
    EntraAsyncCredentialContext(const EntraAsyncCredentialContext&) = delete;
    EntraAsyncCredentialContext& operator=(const EntraAsyncCredentialContext&) = delete;

    HRESULT GetStatus() override;
    HRESULT SerializeCredential(BYTE** buffer, ULONG* size) override;
    void WipeAssertion() override;

    uint64_t RequestId() const noexcept { return requestId_; }
    void RdpAssertionCallback(HRESULT hr, const std::wstring& assertion);

private:
    void ParseBag(const CORE::PropertyBag& bag);
    void Start();

    std::function<void()> onComplete_;
    uint64_t requestId_ = 0;
    std::mutex lock_;
    bool completed_ = false;
    HRESULT result_ = S_OK;
    std::wstring correlationId_;
    std::wstring assertion_;
    std::wstring resourceUri_;
    std::wstring brokerUserSid_;
    RpcWorkItem* pendingCall_ = nullptr;
};

// The credential blob copied into a CoTaskMemAlloc buffer for the serialization.
HRESULT CoSerializeCredBlob(const std::vector<BYTE>& blob, BYTE** buffer, ULONG* size) noexcept;

}  // namespace EntraAuth
