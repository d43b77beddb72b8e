// An ICredentialProviderEvents sink that counts CredentialsChanged calls and can fail them.
#pragma once
#include "WaitFor.h"
#include "platform/sdk/CredProv.h"

#include <atomic>

namespace testsupport {

class FakeEvents final : public ICredentialProviderEvents {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_INVALIDARG;
        const bool known = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_ICredentialProviderEvents);
        *ppv = known ? static_cast<ICredentialProviderEvents*>(this) : nullptr;
        if (known) AddRef();
        return known ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }  // lives on the test's stack
    STDMETHODIMP CredentialsChanged(UINT_PTR context) override {
        lastContext = context;
        ++changed;
        return result.load();
    }

    // Waits until at least `count` CredentialsChanged calls arrived (real threads involved).
    bool WaitForChanged(int count, DWORD timeoutMs = 5000) const {
        return WaitFor([&] { return changed.load() >= count; }, timeoutMs);
    }

    std::atomic<ULONG> refs{1};
    std::atomic<int> changed{0};
    std::atomic<UINT_PTR> lastContext{0};
    std::atomic<HRESULT> result{S_OK};
};

}  // namespace testsupport
