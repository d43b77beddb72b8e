// The text of one log line: time stamp with its UTC offset, level name, process and thread
// id group, thread and program name, message and diagnostic context, and the legacy
// redaction of finished lines. Pure functions, used by the writer thread.
#pragma once
#include <windows.h>

#include <string>
#include <string_view>

namespace CORE::logline {

// Bias values (minutes, UTC = local + bias) that are no bias.
constexpr LONG kBiasNotRead = 9999;
constexpr LONG kBiasUnknown = 8888;

// "TRACE", "DEBUG", "INFO ", "WARN ", "ERROR", "FATAL"; "UNKNOWN" for any other value.
const wchar_t* LevelName(int level) noexcept;

// Local time of a UTC time: by the bias, or by FileTimeToLocalFileTime for kBiasUnknown.
// `offsetMinutes` receives local minus UTC.
SYSTEMTIME LocalTime(ULONGLONG utcFileTime, LONG biasMinutes, LONG* offsetMinutes) noexcept;

// "YYYY-MM-DDTHH:MM:SS.mmm+HH:MM", or "...mmmZ" when the offset is zero.
void AppendTimeStamp(std::wstring& out, ULONGLONG utcFileTime, LONG biasMinutes);

// The process id as printed in lines: uppercase hex, at least four characters, at most eight.
std::wstring ProcessIdText(DWORD processId);

struct LineFields {
    ULONGLONG utcFileTime = 0;
    int level = 0;
    DWORD processId = 0;
    std::wstring_view processIdText;  // ProcessIdText(processId)
    DWORD threadId = 0;
    std::wstring_view threadName;  // empty: the decimal thread id is printed
    std::wstring_view program;
    std::wstring_view text;     // trailing CR and LF already removed
    std::wstring_view context;  // empty: no braces
};

// Appends one finished line, CR LF included.
void AppendLine(std::wstring& out, const LineFields& fields, LONG biasMinutes, bool truncateIds);

// Overwrites every "DRV", in any letter case, with "***".
void RedactLegacy(wchar_t* text, size_t length) noexcept;

// Removes trailing CR and LF characters; returns the new length.
size_t TrimLineEnd(const wchar_t* text, size_t length) noexcept;

}  // namespace CORE::logline
