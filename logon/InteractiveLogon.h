// The Kerberos interactive logon buffer (password logon and workstation unlock), as the
// Negotiate, Kerberos and NTLM packages take it and as the hybrid buffer embeds it.
//
// Layout (little endian, self-relative: every string Buffer holds the byte offset of its
// characters from the start of this buffer; UTF-16 without terminator; Length = MaximumLength
// = byte length). The header is always the 64 bytes of KERB_INTERACTIVE_UNLOCK_LOGON.
//
//   offset width field
//   0      4     MessageType: 2 KerbInteractiveLogon, 7 KerbWorkstationUnlockLogon (0 for CredUI,
//                PackInteractiveLogon only)
//   4      4     zero
//   8      16    LogonDomainName: Length u16, MaximumLength u16, 4 zero bytes, Buffer u64 offset
//   24     16    UserName, same form
//   40     16    Password, same form: CredProtectW output, or clear text for CPUS_CREDUI
//   56     8     LogonId (LowPart u32, HighPart u32): only for message type 7, else zero
//   64     -     domain characters, user characters, password characters, in that order
//
// BuildInteractiveLogonBuffer writes an empty string as Length 0 and Buffer 0;
// PackInteractiveLogon gives every string its offset, the domain always 64.
#pragma once
#include "LogonBufferTypes.h"

#include "platform/sdk/CredProv.h"

inline constexpr DWORD kInteractiveLogonHeaderSize = 64;

// Builds the buffer into the caller's. messageType 2 or 7 (7 needs logonId); userName
// non-empty; domainName null = empty; protectedPassword is the agent's payload, decrypted and
// protected here (unprotected for CPUS_CREDUI). *cbLogon: in the caller's buffer size, out the
// size needed (ERROR_INSUFFICIENT_BUFFER, also when logonBuffer is null) or used (0). The
// caller's buffer is zeroed first. Other results: ERROR_INVALID_PARAMETER, the Win32 code of a
// failed protection, or 1.
[[nodiscard]] DWORD BuildInteractiveLogonBuffer(ULONG messageType, PCWSTR domainName, PCWSTR userName,
                                                PCWSTR protectedPassword, const LUID* logonId,
                                                CREDENTIAL_PROVIDER_USAGE_SCENARIO usageScenario, BYTE* logonBuffer,
                                                DWORD* cbLogon) noexcept;

// The tile's password logon: decrypts and protects the payload, drops the domain of a UPN
// ("user@example" with a domain), picks the message type from the usage scenario (LOGON 2,
// UNLOCK_WORKSTATION 7, CREDUI 0, others E_FAIL) and returns a CoTaskMemAlloc buffer the
// caller owns. E_INVALIDARG for missing outputs or a text not terminated within 65535
// characters, HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW) for one over 65535 bytes.
[[nodiscard]] HRESULT PackInteractiveLogon(PCWSTR domainName, PCWSTR userName, PCWSTR protectedPassword,
                                           CREDENTIAL_PROVIDER_USAGE_SCENARIO usageScenario, BYTE** logonBuffer,
                                           DWORD* cbLogon) noexcept;
