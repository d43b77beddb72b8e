#include "AuthPackage.h"

#include "platform/Platform.h"

HRESULT LookupAuthPackage(PCSTR packageName, ULONG* packageId) noexcept {
    if (!packageName || !packageId) return E_INVALIDARG;
    ULONG id = 0;
    NTSTATUS status = platform::Get().LookupAuthenticationPackage(packageName, &id);
    // A success status is S_OK, not the facility bit set on zero: callers compare with S_OK.
    if (status >= 0) {
        *packageId = id;
        return S_OK;
    }
    return HRESULT_FROM_NT(status);
}
