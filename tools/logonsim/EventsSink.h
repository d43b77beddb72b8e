// LogonUI's side of ICredentialProviderEvents: counts CredentialsChanged calls (from any thread).
#pragma once
#include "base/ComObject.h"
#include "platform/sdk/CredProv.h"
#include "platform/UniqueResource.h"

#include <atomic>

namespace logonsim {

class EventsSink final : public ComObject<ICredentialProviderEvents, IID_ICredentialProviderEvents> {
public:
    STDMETHODIMP CredentialsChanged(UINT_PTR) override {
        ++changed_;
        ::SetEvent(event_.get());
        return S_OK;
    }
    int Changed() const { return changed_.load(); }
    // True once more than `seen` calls have come, within `timeoutMs`.
    bool WaitForMoreThan(int seen, DWORD timeoutMs) {
        const ULONGLONG end = ::GetTickCount64() + timeoutMs;
        while (changed_.load() <= seen) {
            const ULONGLONG now = ::GetTickCount64();
            if (now >= end || ::WaitForSingleObject(event_.get(), static_cast<DWORD>(end - now)) != WAIT_OBJECT_0)
                return changed_.load() > seen;
            ::ResetEvent(event_.get());
        }
        return true;
    }

private:
    ~EventsSink() override = default;
    std::atomic<int> changed_{0};
    platform::unique_handle event_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

}  // namespace logonsim
