// LogonUI's side of ICredentialProviderEvents: counts CredentialsChanged calls.
#pragma once
#include "platform/sdk/CredProv.h"

#include <atomic>

namespace logonsim {

class EventsSink final : public ICredentialProviderEvents {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_INVALIDARG;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ICredentialProviderEvents)) {
            *ppv = static_cast<ICredentialProviderEvents*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG count = --refs_;
        if (count == 0) delete this;
        return count;
    }
    STDMETHODIMP CredentialsChanged(UINT_PTR) override {
        ++changed_;
        return S_OK;
    }
    int Changed() const { return changed_.load(); }

private:
    ~EventsSink() = default;
    std::atomic<ULONG> refs_{1};
    std::atomic<int> changed_{0};
};

}  // namespace logonsim
