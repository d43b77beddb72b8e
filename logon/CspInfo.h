// The smart card CSP information block of a certificate logon: which key (container, provider,
// card, reader) the Kerberos package asks for the certificate and the signature.
//
// Layout of KERB_SMARTCARD_CSP_INFO as this module fills it (little endian). mingw declares
// bBuffer as one character where the SDK has four, so it is written byte by byte.
//
//   offset width field
//   0      4     dwCspInfoLen: total size of the block
//   4      4     MessageType: 1
//   8      8     ContextInformation: 0
//   16     4     flags: 0
//   20     4     KeySpec: as given
//   24     4     nCardNameOffset: 4
//   28     4     nReaderNameOffset
//   32     4     nContainerNameOffset
//   36     4     nCSPNameOffset
//   40     8     start of bBuffer, not used by the names: zero
//   48     -     card, reader, container, CSP/KSP name: UTF-16, each with a terminating zero
//
// The name offsets count UTF-16 characters from bBuffer (byte 40), so the card name at byte 48
// has offset 4. An absent name is a single zero character.
// Size = 56 + 2 x (card + reader + container + provider characters).
#pragma once
#include "BufferWriter.h"
#include "LogonBufferTypes.h"

inline constexpr DWORD kCspInfoFixedSize = 56;

// Builds the block into the caller's buffer. containerName and cspName non-empty, the others
// null = absent. Size convention and results as the other builders: 0, ERROR_INVALID_PARAMETER,
// ERROR_INSUFFICIENT_BUFFER with the size stored, ERROR_ARITHMETIC_OVERFLOW.
[[nodiscard]] DWORD BuildCspInfo(DWORD keySpec, PCWSTR cardName, PCWSTR readerName, PCWSTR containerName,
                                 PCWSTR cspName, BYTE* cspInfo, DWORD* cbCspInfo) noexcept;

namespace logon {

// The names of one block and their measured lengths, for builders that embed it.
struct CspInfoLayout {
    PCWSTR names[4] = {};  // card, reader, container, provider; null = absent
    size_t chars[4] = {};  // without terminator
    DWORD size = 0;
};

// Measures the block; false when its size does not fit in a DWORD.
bool MeasureCspInfo(PCWSTR cardName, PCWSTR readerName, PCWSTR containerName, PCWSTR providerName,
                    CspInfoLayout* layout) noexcept;
// Writes a measured block at `offset`; no validation of the names (callers decide which may be
// empty).
void WriteCspInfo(ByteWriter& out, size_t offset, DWORD keySpec, const CspInfoLayout& layout) noexcept;

}  // namespace logon
