// The Kerberos certificate logon buffer (smart card and key storage provider logons), as the
// Kerberos package takes it and as the hybrid certificate buffer embeds it.
//
// Layout (little endian, self-relative: string Buffers and CspData hold byte offsets from the
// start of this buffer; UTF-16 without terminator; Length = MaximumLength = byte length). The
// header is always the 80 bytes of KERB_CERTIFICATE_UNLOCK_LOGON.
//
//   offset width field
//   0      4     MessageType: 13 KerbCertificateLogon (also when an unlock was asked for) or,
//                from BuildKerbCertificateLogon, 15 KerbCertificateUnlockLogon
//   4      4     zero
//   8      16    DomainName: Length u16, MaximumLength u16, 4 zero bytes, Buffer u64 offset
//   24     16    UserName, same form
//   40     16    Pin, same form: stored as given (no protection at this level)
//   56     4     Flags: 0
//   60     4     CspDataLength: size of the CSP information block
//   64     8     CspData: offset of the CSP information block
//   72     8     LogonId (LowPart u32, HighPart u32): BuildCertificateLogonBuffer copies it when
//                15 was asked for; BuildKerbCertificateLogon leaves it zero
//   80     -     domain characters, user characters, PIN characters, then the CSP information
//                block (CspInfo.h), directly after them (2-byte aligned only)
//
// BuildCertificateLogonBuffer writes an empty string as Length 0 and Buffer 0.
#pragma once
#include "LogonBufferTypes.h"

inline constexpr DWORD kCertificateLogonHeaderSize = 80;

// Builds the buffer into the caller's. messageType 13 or 15 (15 needs logonId, and is written
// as 13 with the LogonId kept); containerName and cspName non-empty; other strings null =
// empty. Size convention and results as BuildInteractiveLogonBuffer.
[[nodiscard]] DWORD BuildCertificateLogonBuffer(ULONG messageType, PCWSTR domainName, PCWSTR userName, PCWSTR pin,
                                                const LUID* logonId, DWORD keySpec, PCWSTR cardName,
                                                PCWSTR readerName, PCWSTR containerName, PCWSTR cspName,
                                                BYTE* certLogon, DWORD* cbCertLogon) noexcept;
