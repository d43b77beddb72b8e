// The hybrid logon buffer for the agent's own authentication package
// ("LUMO_AUTHENTICATION_PACKAGE_V1_0"): a local account plus a complete domain logon.
//
// Layout (little endian):
//
//   offset width field
//   0      4     format tag: 2
//   4      4     zero
//   8      16    LocalUserName: Length u16, MaximumLength u16, 4 zero bytes, Buffer u64 = offset
//                from the start of this buffer; Buffer 0 when empty
//   24     16    LocalPassword, same form: characters as given (not protected here)
//   40     4     size in bytes of the embedded logon buffer
//   44     4     offset of the embedded logon buffer from the start of this buffer
//   48     -     local user name characters, local password characters, then the embedded
//                logon buffer, with no padding (so it is 2-byte aligned only)
//
// The embedded buffer is complete and self-relative to its own start: an interactive logon
// (InteractiveLogon.h, message type 2, no LogonId) or a certificate logon (CertificateLogon.h,
// message type 13, no LogonId).
#pragma once
#include "LogonBufferTypes.h"

#include "platform/sdk/CredProv.h"

inline constexpr DWORD kHybridLogonHeaderSize = 48;
inline constexpr ULONG kHybridLogonFormatTag = 2;

// Local account plus a password logon. localUserName given (may be empty), userName
// non-empty; localPassword and domainName null = empty; protectedPassword is the agent's
// payload (decrypted and protected as BuildInteractiveLogonBuffer does). Size convention and
// results as BuildInteractiveLogonBuffer; its messages for the embedded strings.
[[nodiscard]] DWORD BuildHybridLogonBuffer(PCWSTR localUserName, PCWSTR localPassword, PCWSTR domainName,
                                           PCWSTR userName, PCWSTR protectedPassword,
                                           CREDENTIAL_PROVIDER_USAGE_SCENARIO usageScenario, BYTE* hybridLogon,
                                           DWORD* cbHybridLogon) noexcept;

// Local account plus a certificate logon; containerName and cspName non-empty, the rest as
// BuildCertificateLogonBuffer takes them.
[[nodiscard]] DWORD BuildHybridCertificateLogonBuffer(PCWSTR localUserName, PCWSTR localPassword, PCWSTR domainName,
                                                      PCWSTR userName, PCWSTR pin, DWORD keySpec, PCWSTR cardName,
                                                      PCWSTR readerName, PCWSTR containerName, PCWSTR cspName,
                                                      BYTE* hybridLogon, DWORD* cbHybridLogon) noexcept;

// The same into a CoTaskMemAlloc buffer the caller owns. Both outputs are cleared first.
// E_INVALIDARG without outputs, 0x80070001 when the size query fails (the builder logged why),
// E_OUTOFMEMORY, or HRESULT_FROM_WIN32 of the builder's error.
[[nodiscard]] HRESULT CredFilterBuildHybridLogonBuffer(PCWSTR localUserName, PCWSTR localPassword, PCWSTR domainName,
                                                       PCWSTR userName, PCWSTR protectedPassword,
                                                       CREDENTIAL_PROVIDER_USAGE_SCENARIO usageScenario,
                                                       BYTE** pbHybridLogon, DWORD* cbHybridLogon) noexcept;
[[nodiscard]] HRESULT CredFilterBuildHybridCertificateLogonBuffer(PCWSTR localUserName, PCWSTR localPassword,
                                                                  PCWSTR domainName, PCWSTR userName, PCWSTR pin,
                                                                  DWORD keySpec, PCWSTR cardName, PCWSTR readerName,
                                                                  PCWSTR containerName, PCWSTR cspName,
                                                                  BYTE** pbHybridLogon, DWORD* cbHybridLogon) noexcept;
