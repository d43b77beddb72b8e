// The number of an authentication package, as LogonUI's serialization carries it.
#pragma once
#include <windows.h>

// Looks the package up through an untrusted LSA connection ("Negotiate", "Kerberos", "NTLM",
// "CloudAP", "LUMO_AUTHENTICATION_PACKAGE_V1_0"). S_OK with the id, or the failing NTSTATUS as
// an HRESULT (HRESULT_FROM_NT); the id is written only on success.
[[nodiscard]] HRESULT LookupAuthPackage(PCSTR packageName, ULONG* packageId) noexcept;
