#include "CspInfo.h"

#include "lib/mfw/common/log/SysMessage.h"

#include <cwchar>

namespace logon {

bool MeasureCspInfo(PCWSTR cardName, PCWSTR readerName, PCWSTR containerName, PCWSTR providerName,
                    CspInfoLayout* layout) noexcept {
    const PCWSTR names[4] = {cardName, readerName, containerName, providerName};
    SizeSum size(kCspInfoFixedSize);
    for (int i = 0; i < 4; ++i) {
        layout->names[i] = names[i];
        layout->chars[i] = names[i] ? wcslen(names[i]) : 0;
        size.AddChars(layout->chars[i]);
    }
    return size.ToDword(&layout->size);
}

void WriteCspInfo(ByteWriter& out, size_t offset, DWORD keySpec, const CspInfoLayout& layout) noexcept {
    constexpr size_t kNamesBase = 40;  // bBuffer: the name offsets count characters from here
    constexpr uint32_t kFirstName = 4;  // the card name sits after bBuffer's first four characters
    out.U32(offset + 0, layout.size);
    out.U32(offset + 4, 1);
    out.U64(offset + 8, 0);
    out.U32(offset + 16, 0);
    out.U32(offset + 20, keySpec);
    // The whole block fits in a DWORD, so every character offset does too.
    uint32_t nameOffset = kFirstName;
    for (int i = 0; i < 4; ++i) {
        out.U32(offset + 24 + 4 * i, nameOffset);
        const size_t at = offset + kNamesBase + 2 * static_cast<size_t>(nameOffset);
        out.Chars(at, layout.names[i], layout.chars[i]);
        out.U16(at + 2 * layout.chars[i], 0);
        nameOffset += static_cast<uint32_t>(layout.chars[i] + 1);
    }
}

}  // namespace logon

DWORD BuildCspInfo(DWORD keySpec, PCWSTR cardName, PCWSTR readerName, PCWSTR containerName, PCWSTR cspName,
                   BYTE* cspInfo, DWORD* cbCspInfo) noexcept {
    if (!cbCspInfo || !containerName || !*containerName || !cspName || !*cspName) {
        // An empty name would print a zero character and cut the line; show '0' as for a null one.
        CORE::LogMessage(CORE::LOG_WARN,
                         L"BuildCspInfo: Invalid parameters cbCspInfo=%p, ContainerName=%p, *ContainerName=%c, "
                         L"CSPName=%p, *CSPName=%c",
                         cbCspInfo, containerName, (containerName && *containerName) ? *containerName : L'0', cspName,
                         (cspName && *cspName) ? *cspName : L'0');
        return ERROR_INVALID_PARAMETER;
    }
    logon::ZeroCallerBuffer(cspInfo, cbCspInfo);
    logon::CspInfoLayout layout;
    if (!logon::MeasureCspInfo(cardName, readerName, containerName, cspName, &layout)) return ERROR_ARITHMETIC_OVERFLOW;
    if (!cspInfo || *cbCspInfo < layout.size) {
        *cbCspInfo = layout.size;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    logon::ByteWriter out(cspInfo, layout.size);
    logon::WriteCspInfo(out, 0, keySpec, layout);
    if (!out.Ok()) return logon::kUnexpectedResult;
    *cbCspInfo = layout.size;
    return ERROR_SUCCESS;
}
