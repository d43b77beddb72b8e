// The library's logging facility: one variadic entry point with wide printf conventions
// ("%s" wide, "%S" narrow), level tests, flushing, and the entry/exit trace guard.
#pragma once
#include <windows.h>

#include <cstdarg>
#include <string>

namespace CORE {

enum LogLevel : int {
    LOG_TRACE = 0,
    LOG_DEBUG = 1,
    LOG_INFO = 2,
    LOG_WARN = 3,
    LOG_ERROR = 4,
    LOG_FATAL = 5,
};

// Formats and queues one record; never throws, never blocks on disk.
void LogMessage(int level, const wchar_t* format, ...) noexcept;
void LogMessageV(int level, const wchar_t* format, va_list args) noexcept;
bool IsLogLevelEnabled(int level) noexcept;
// Writes out everything queued so far (module detach, before the process ends itself).
void FlushLog() noexcept;

// Receives every record that passes the level test, on the logging thread, with its level
// and formatted text; used by tests to assert on log lines.
class ILogObserver {
public:
    virtual ~ILogObserver() = default;
    virtual void OnLogRecord(int level, const std::wstring& text) = 0;
};
// Installs an observer (null removes it); returns the previous one.
ILogObserver* SetLogObserver(ILogObserver* observer) noexcept;

// The session of this process for trace lines, fetched once; 0xFFFFFFFF until then.
DWORD TraceSessionId() noexcept;

}  // namespace CORE

namespace SysMsgUtl {

// Traces "<name>() (sessionId=N): Enter" on construction and "... Exit" on destruction,
// each with " - <detail>" when one is given. Built only when TRACE is enabled.
class FunctionTraceWithSessionId {
public:
    explicit FunctionTraceWithSessionId(const char* functionName, const wchar_t* detail = nullptr) noexcept;
    ~FunctionTraceWithSessionId();
    FunctionTraceWithSessionId(const FunctionTraceWithSessionId&) = delete;
    FunctionTraceWithSessionId& operator=(const FunctionTraceWithSessionId&) = delete;

    void SetExitDetail(const wchar_t* detail) noexcept;

private:
    const char* name_;
    std::wstring exitDetail_;
};

}  // namespace SysMsgUtl
