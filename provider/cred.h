// The tile (ICredentialProviderCredential) the provider hands out.
#pragma once
#include "platform/sdk/CredProv.h"

// Creates a tile for the scenario; the first tile of a provider starts the SSO retry timer.
HRESULT cred_CreateInstance(ICredentialProviderCredential** ppcpc, CREDENTIAL_PROVIDER_USAGE_SCENARIO scenario,
                            bool startRetryTimer) noexcept;
