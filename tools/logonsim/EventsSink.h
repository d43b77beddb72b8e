// LogonUI's side of ICredentialProviderEvents: counts CredentialsChanged calls.
#pragma once
#include "base/ComObject.h"
#include "platform/sdk/CredProv.h"

#include <atomic>

namespace logonsim {

class EventsSink final : public ComObject<ICredentialProviderEvents, IID_ICredentialProviderEvents> {
public:
    STDMETHODIMP CredentialsChanged(UINT_PTR) override {
        ++changed_;
        return S_OK;
    }
    int Changed() const { return changed_.load(); }

private:
    ~EventsSink() override = default;
    std::atomic<int> changed_{0};
};

}  // namespace logonsim
