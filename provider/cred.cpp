#include "cred.h"

#include "lib/mfw/common/SysMessage.h"

// The tile is not built yet: the provider offers no tile object, and LogonUI shows none.
HRESULT cred_CreateInstance(ICredentialProviderCredential** ppcpc, CREDENTIAL_PROVIDER_USAGE_SCENARIO, bool) noexcept {
    SysMsgUtl::FunctionTraceWithSessionId trace("cred_CreateInstance");
    if (!ppcpc) return E_INVALIDARG;
    *ppcpc = nullptr;
    return E_NOTIMPL;
}
