// The remote client's credential as LogonUI hands it to the filter: a packed
// KERB_INTERACTIVE_LOGON whose password field carries the broker's one-time ticket.
//
// Layout (64-bit, little endian, self-relative: Buffer holds the byte offset from the start):
//   0   u32  MessageType, must be 2 (KerbInteractiveLogon)
//   4   u32  padding
//   8   16   LogonDomainName: Length u16, MaximumLength u16, 4 padding bytes, Buffer u64
//   24  16   UserName, same form
//   40  16   Password, same form (the ticket)
//   56       end of the header; the characters follow anywhere inside the buffer
// A string with Length 0 or Buffer 0 is empty; its characters are Length / 2 UTF-16 units.
// The bytes come from a remote client: every offset and length is checked against the size,
// and no string may lie in the header or overlap another.
#pragma once
#include "lib/mfw/common/util/SecureString.h"

#include <windows.h>

#include <string>

inline constexpr ULONG kPackedInteractiveLogonSize = 56;

enum class PackedLogonStatus {
    Ok,
    TooSmall,        // no buffer, or fewer than 56 bytes
    NotInteractive,  // MessageType other than 2
    InvalidData,     // a string reaches beyond the buffer, into the header or into another string
};

struct PackedInteractiveLogon {
    ULONG messageType = 0;
    std::wstring domain;
    std::wstring user;
    CORE::SecureWString ticket;
};

PackedLogonStatus UnpackInteractiveLogon(const BYTE* data, ULONG size, PackedInteractiveLogon* out);
