// The registry store of master keys under machine DPAPI protection (layout in KeyVault.h).
// Internal to the key vault.
#pragma once
#include "KeyVault.h"

namespace keyvault::detail {

// Checks a key name: 1..255 characters, no NUL.
bool ValidKeyName(const std::wstring& name, Status* status);
// Reads and opens the key into `key` (32 bytes).
Status LoadMasterKey(const std::wstring& name, CORE::SecureBytes* key);
// Protects and writes the key; `replace` false leaves an existing key alone.
Status StoreMasterKey(const std::wstring& name, const BYTE* key, size_t length, bool replace);
Status RemoveMasterKey(const std::wstring& name);

Status Failed(DWORD code, std::wstring text);
Status NotExecuted(std::wstring text);

}  // namespace keyvault::detail
