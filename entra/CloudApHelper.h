// The four things Entra SSO needs from Windows (a server nonce, an assertion turned into a
// CloudAP credential, a network logon with it, the CloudAP package id), through wtsapi32's
// cloud authentication calls where they exist and work, else through the CloudAP package.
#pragma once
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace EntraAuth {

class ICloudApHelper {
public:
    virtual ~ICloudApHelper() = default;
    // An empty correlation id gets one of the road's choosing.
    virtual HRESULT Initialize(const std::wstring& correlationId) = 0;
    virtual HRESULT GetDeviceNonce(std::wstring* nonce) = 0;
    virtual HRESULT GetCredBlobFromAssertion(const std::wstring& assertion, const std::wstring& resourceUri,
                                             std::vector<BYTE>* blob) = 0;
    // The caller closes the token.
    virtual HRESULT LogonUserWithCredBlob(const std::vector<BYTE>& blob, HANDLE* token) = 0;
    virtual ULONG GetCloudApPackageId() = 0;
};

// Created per use; chooses its road when constructed.
class CloudApHelper final : public ICloudApHelper {
public:
    CloudApHelper();
    HRESULT Initialize(const std::wstring& correlationId) override { return impl_->Initialize(correlationId); }
    HRESULT GetDeviceNonce(std::wstring* nonce) override { return impl_->GetDeviceNonce(nonce); }
    HRESULT GetCredBlobFromAssertion(const std::wstring& assertion, const std::wstring& resourceUri,
                                     std::vector<BYTE>* blob) override {
        return impl_->GetCredBlobFromAssertion(assertion, resourceUri, blob);
    }
    HRESULT LogonUserWithCredBlob(const std::vector<BYTE>& blob, HANDLE* token) override {
        return impl_->LogonUserWithCredBlob(blob, token);
    }
    ULONG GetCloudApPackageId() override { return impl_->GetCloudApPackageId(); }

private:
    std::unique_ptr<ICloudApHelper> impl_;
};

// Whether this machine can hand out a device nonce at all.
bool CanGetDeviceNonce();

// Readiness bits for serving Entra SSO: 1 Entra-joined, 2 a nonce can be had, 4 the
// "RdsAadAuthEnabled" switch, 8 the XMLAPI "RdsAadAuthEnabled" switch. True when every bit of
// `mask` holds; successes are remembered for the process (`refresh` forgets them), failures
// are checked again next time.
bool IsRdsAadAuthEnabled(DWORD mask, bool refresh);

}  // namespace EntraAuth
