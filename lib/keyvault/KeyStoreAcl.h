// Who may read the master key store: the blobs are machine-scope DPAPI, which any local
// process can open, so the registry key's DACL is what keeps other users from every protected
// password. Internal to the key vault.
#pragma once
#include <windows.h>

namespace keyvault::detail {

// SYSTEM and Administrators full control, inherited by subkeys, nothing from the parent.
inline constexpr wchar_t kKeyStoreSddl[] = L"D:P(A;OICI;KA;;;SY)(A;OICI;KA;;;BA)";

// Creates (or opens) HKLM\<path> with the protected DACL; an existing key that was made
// without it (by an older writer) is given it. `access` as for RegCreateKeyExW.
LSTATUS CreateProtectedKey(const wchar_t* path, REGSAM access, HKEY* key);
// True when the descriptor lets anyone but SYSTEM and Administrators into the key itself (a
// missing or null DACL included; inherit-only entries do not count).
bool GrantsOthers(PSECURITY_DESCRIPTOR descriptor);
// Logs an ERROR, once per process, when the master key store is open to others.
void ReportOpenKeyStore(HKEY key);
void ReportOpenKeyStore(PSECURITY_DESCRIPTOR descriptor);

}  // namespace keyvault::detail
