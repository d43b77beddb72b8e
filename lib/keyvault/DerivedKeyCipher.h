// PBKDF2 key derivation and AES-256-CBC with PKCS#7 padding through BCrypt (the choices are
// documented in KeyVault.h). Internal to the key vault.
#pragma once
#include "KeyVault.h"

namespace keyvault::detail {

// Checks the hash name, iteration count, salt and IV of a request.
bool ValidDerivation(const Derivation& derivation, Status* status);
Status DeriveKey(const CORE::SecureBytes& masterKey, const Derivation& derivation, CORE::SecureBytes* derived);
Status Encipher(const CORE::SecureBytes& key, const std::vector<BYTE>& iv, const BYTE* plain, size_t length,
                std::vector<BYTE>* cipher);
Status Decipher(const CORE::SecureBytes& key, const std::vector<BYTE>& iv, const BYTE* cipher, size_t length,
                CORE::SecureBytes* plain);

}  // namespace keyvault::detail
