// Minimal sink: formats on the calling thread and hands the line to the debugger output and
// to a test observer. The file writer with its queue and rotation replaces the output step.
#include "SysMessage.h"

#include "platform/Platform.h"

#include <atomic>
#include <cstdio>
#include <cwchar>

namespace CORE {
namespace {

std::atomic<ILogObserver*> g_observer{nullptr};
std::atomic<DWORD> g_traceSessionId{0xFFFFFFFF};

const wchar_t* LevelName(int level) {
    switch (level) {
    case LOG_TRACE: return L"TRACE";
    case LOG_DEBUG: return L"DEBUG";
    case LOG_INFO: return L"INFO ";
    case LOG_WARN: return L"WARN ";
    case LOG_ERROR: return L"ERROR";
    case LOG_FATAL: return L"FATAL";
    default: return L"UNKNOWN";
    }
}

std::wstring Format(const wchar_t* format, va_list args) {
    if (!format) return std::wstring();
    wchar_t stackBuffer[1024];
    va_list copy;
    va_copy(copy, args);
    int length = _vsnwprintf(stackBuffer, 1024, format, copy);
    va_end(copy);
    if (length >= 0 && length < 1024) return std::wstring(stackBuffer, static_cast<size_t>(length));
    // Too long for the stack buffer: grow until it fits (msvcrt reports -1 on truncation).
    for (size_t size = 4096; size <= (1u << 24); size *= 4) {
        std::wstring text(size, L'\0');
        va_copy(copy, args);
        length = _vsnwprintf(text.data(), size, format, copy);
        va_end(copy);
        if (length >= 0 && static_cast<size_t>(length) < size) {
            text.resize(static_cast<size_t>(length));
            return text;
        }
    }
    return L"<***** VPRINTF EXCEPTION *****>";
}

}  // namespace

bool IsLogLevelEnabled(int) noexcept { return true; }

void LogMessageV(int level, const wchar_t* format, va_list args) noexcept {
    if (!IsLogLevelEnabled(level)) return;
    try {
        std::wstring text = Format(format, args);
        while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
        if (ILogObserver* observer = g_observer.load()) observer->OnLogRecord(level, text);
        std::wstring line = std::wstring(LevelName(level)) + L" " + text + L"\r\n";
        ::OutputDebugStringW(line.c_str());
    } catch (...) {
    }
}

void LogMessage(int level, const wchar_t* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    LogMessageV(level, format, args);
    va_end(args);
}

void FlushLog() noexcept {}

ILogObserver* SetLogObserver(ILogObserver* observer) noexcept { return g_observer.exchange(observer); }

DWORD TraceSessionId() noexcept {
    DWORD cached = g_traceSessionId.load();
    if (cached != 0xFFFFFFFF) return cached;
    DWORD session = 0;
    if (!platform::Get().ProcessIdToSessionId(::GetCurrentProcessId(), &session)) session = 0;
    g_traceSessionId = session;
    return session;
}

}  // namespace CORE

namespace SysMsgUtl {

FunctionTraceWithSessionId::FunctionTraceWithSessionId(const char* functionName, const wchar_t* detail) noexcept
    : name_(functionName ? functionName : "") {
    if (!CORE::IsLogLevelEnabled(CORE::LOG_TRACE)) return;
    if (detail)
        CORE::LogMessage(CORE::LOG_TRACE, L"%S() (sessionId=%d): Enter - %s", name_,
                         static_cast<int>(CORE::TraceSessionId()), detail);
    else
        CORE::LogMessage(CORE::LOG_TRACE, L"%S() (sessionId=%d): Enter", name_,
                         static_cast<int>(CORE::TraceSessionId()));
}

FunctionTraceWithSessionId::~FunctionTraceWithSessionId() {
    if (!CORE::IsLogLevelEnabled(CORE::LOG_TRACE)) return;
    if (!exitDetail_.empty())
        CORE::LogMessage(CORE::LOG_TRACE, L"%S() (sessionId=%d): Exit - %s", name_,
                         static_cast<int>(CORE::TraceSessionId()), exitDetail_.c_str());
    else
        CORE::LogMessage(CORE::LOG_TRACE, L"%S() (sessionId=%d): Exit", name_,
                         static_cast<int>(CORE::TraceSessionId()));
}

void FunctionTraceWithSessionId::SetExitDetail(const wchar_t* detail) noexcept {
    try {
        exitDetail_ = detail ? detail : L"";
    } catch (...) {
    }
}

}  // namespace SysMsgUtl
