#include "lib/mfw/common/log/LogLine.h"

namespace CORE::logline {
namespace {

constexpr LONGLONG kTicksPerMinute = 60LL * 10000000LL;

void AppendDecimal(std::wstring& out, unsigned value, int width) {
    wchar_t digits[12];
    int count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    } while (value && count < 12);
    while (count < width && count < 12) digits[count++] = L'0';
    while (count) out.push_back(digits[--count]);
}

void AppendHex(std::wstring& out, unsigned value, int width) {
    static const wchar_t kHex[] = L"0123456789ABCDEF";
    wchar_t digits[8];
    int count = 0;
    do {
        digits[count++] = kHex[value & 0xF];
        value >>= 4;
    } while (value && count < 8);
    while (count < width && count < 8) digits[count++] = L'0';
    while (count) out.push_back(digits[--count]);
}

}  // namespace

const wchar_t* LevelName(int level) noexcept {
    switch (level) {
    case 0: return L"TRACE";
    case 1: return L"DEBUG";
    case 2: return L"INFO ";
    case 3: return L"WARN ";
    case 4: return L"ERROR";
    case 5: return L"FATAL";
    default: return L"UNKNOWN";
    }
}

SYSTEMTIME LocalTime(ULONGLONG utcFileTime, LONG biasMinutes, LONG* offsetMinutes) noexcept {
    LONGLONG local = static_cast<LONGLONG>(utcFileTime);
    LONG offset = 0;
    if (biasMinutes == kBiasUnknown || biasMinutes == kBiasNotRead) {
        FILETIME utc{static_cast<DWORD>(utcFileTime), static_cast<DWORD>(utcFileTime >> 32)};
        FILETIME converted{};
        if (::FileTimeToLocalFileTime(&utc, &converted)) {
            local = static_cast<LONGLONG>((static_cast<ULONGLONG>(converted.dwHighDateTime) << 32) |
                                          converted.dwLowDateTime);
            LONGLONG difference = local - static_cast<LONGLONG>(utcFileTime);
            offset = static_cast<LONG>(difference / kTicksPerMinute);
        }
    } else {
        offset = -biasMinutes;
        local += static_cast<LONGLONG>(offset) * kTicksPerMinute;
    }
    if (local < 0) local = 0;
    FILETIME localTime{static_cast<DWORD>(local), static_cast<DWORD>(static_cast<ULONGLONG>(local) >> 32)};
    SYSTEMTIME fields{};
    ::FileTimeToSystemTime(&localTime, &fields);
    if (offsetMinutes) *offsetMinutes = offset;
    return fields;
}

void AppendTimeStamp(std::wstring& out, ULONGLONG utcFileTime, LONG biasMinutes) {
    LONG offset = 0;
    SYSTEMTIME t = LocalTime(utcFileTime, biasMinutes, &offset);
    AppendDecimal(out, t.wYear, 4);
    out.push_back(L'-');
    AppendDecimal(out, t.wMonth, 2);
    out.push_back(L'-');
    AppendDecimal(out, t.wDay, 2);
    out.push_back(L'T');
    AppendDecimal(out, t.wHour, 2);
    out.push_back(L':');
    AppendDecimal(out, t.wMinute, 2);
    out.push_back(L':');
    AppendDecimal(out, t.wSecond, 2);
    out.push_back(L'.');
    AppendDecimal(out, t.wMilliseconds, 3);
    if (offset == 0) {
        out.push_back(L'Z');
        return;
    }
    // A local time ahead of UTC (negative bias) prints '+'.
    out.push_back(offset > 0 ? L'+' : L'-');
    unsigned magnitude = static_cast<unsigned>(offset > 0 ? offset : -offset);
    AppendDecimal(out, magnitude / 60, 2);
    out.push_back(L':');
    AppendDecimal(out, magnitude % 60, 2);
}

std::wstring ProcessIdText(DWORD processId) {
    std::wstring text;
    AppendHex(text, processId, 4);
    if (text.size() > 8) text.resize(8);
    return text;
}

void AppendLine(std::wstring& out, const LineFields& f, LONG biasMinutes, bool truncateIds) {
    AppendTimeStamp(out, f.utcFileTime, biasMinutes);
    out.push_back(L' ');
    out.append(LevelName(f.level));
    out.append(L" (");
    if (truncateIds) {
        AppendHex(out, f.processId & 0xFFFF, 4);
        out.push_back(L'-');
        AppendHex(out, f.threadId & 0xFFFF, 4);
    } else {
        out.append(f.processIdText);
        out.push_back(L'-');
        AppendHex(out, f.threadId, 4);
    }
    out.append(L") <");
    if (f.threadName.empty())
        AppendDecimal(out, f.threadId, 1);
    else
        out.append(f.threadName);
    out.append(L"> [");
    out.append(f.program);
    out.append(L"] ");
    out.append(f.text);
    if (!f.context.empty()) {
        out.append(L" {");
        out.append(f.context);
        out.push_back(L'}');
    }
    out.append(L"\r\n");
}

void RedactLegacy(wchar_t* text, size_t length) noexcept {
    for (size_t i = 0; i + 3 <= length; ++i) {
        // ASCII case folding: bit 0x20 separates the upper and lower case letters.
        if ((text[i] | 0x20) == L'd' && (text[i + 1] | 0x20) == L'r' && (text[i + 2] | 0x20) == L'v') {
            text[i] = text[i + 1] = text[i + 2] = L'*';
            i += 2;
        }
    }
}

size_t TrimLineEnd(const wchar_t* text, size_t length) noexcept {
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n')) --length;
    return length;
}

}  // namespace CORE::logline
