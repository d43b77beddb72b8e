// Secrets on their way into a logon buffer: the agent's payload is decrypted and protected with
// CredProtectW (through the platform seam), so the clear text lives only in wiping strings.
#pragma once
#include "lib/mfw/common/util/SecureString.h"
#include "platform/sdk/CredProv.h"

// CredProtectW of `text` (null = empty) for the calling thread's context, no protection type
// requested, sized by a first call that must fail with ERROR_INSUFFICIENT_BUFFER. A first call
// that succeeds gives E_FAIL; other failures HRESULT_FROM_WIN32 of the error. `out` is empty
// unless S_OK.
[[nodiscard]] HRESULT ProtectPassword(PCWSTR text, CORE::SecureWString* out) noexcept;

// Decrypts the agent's payload (null = empty) and protects it for the logon, or copies it
// unprotected for CPUS_CREDUI. An empty clear text (also after a failed decryption) gives an
// empty, unprotected result in every scenario. The clear text is wiped before return.
[[nodiscard]] HRESULT DecryptAndProtectPassword(PCWSTR protectedPassword,
                                                CREDENTIAL_PROVIDER_USAGE_SCENARIO usageScenario,
                                                CORE::SecureWString* out) noexcept;

// Protects a secret of the credentials record (the smart card PIN) into `out`; when protection
// fails `out` receives the secret as it is, so the logon can still be tried. An empty secret
// stays empty. Temporary copies are wiped.
void ProtectSecretCopy(PCWSTR secret, CORE::SecureWString* out) noexcept;
