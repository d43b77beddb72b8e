// The library's logging facility: one variadic entry point with wide printf conventions
// ("%s" wide, "%S" narrow), level tests, flushing, event log reports, component loggers,
// the per-thread diagnostic context and the entry/exit trace guard. Records are formatted on
// the calling thread and written to the log files by a writer thread.
#pragma once
#include "lib/mfw/common/util/LogSink.h"

#include <windows.h>

#include <atomic>
#include <cstdarg>
#include <string>

namespace CORE {

// Formats and queues one record; never throws, never blocks on disk. The first call of the
// process configures the facility from the registry and starts the writer thread.
void LogMessage(int level, const wchar_t* format, ...) noexcept;
void LogMessageV(int level, const wchar_t* format, va_list args) noexcept;
// True when a record of the level would be kept; true for every level until the facility
// has read its configuration. Costs one atomic load.
bool IsLogLevelEnabled(int level) noexcept;
// Writes out everything queued so far (module detach, before the process ends itself).
// Waits at most a few seconds.
void FlushLog() noexcept;

// For the module's attach: switches the console echo off (a logon-screen component has no
// console) and starts the logger.
void StartLogging() noexcept;

// Receives every record that passes the level test, on the logging thread, with its level and
// formatted text; used by tests to assert on log lines. Installed with `everyLevel`, it also
// receives the records below the configured levels (which never reach a file), and
// IsLogLevelEnabled answers true meanwhile.
class ILogObserver {
public:
    virtual ~ILogObserver() = default;
    virtual void OnLogRecord(int level, const std::wstring& text) = 0;
};
// Installs an observer (null removes it); returns the previous one.
ILogObserver* SetLogObserver(ILogObserver* observer, bool everyLevel = false) noexcept;

// The session of this process for trace lines, fetched once; 0xFFFFFFFF until then.
DWORD TraceSessionId() noexcept;

// Writes one event with one string to the event log under the source "Velmora Zephral".
// wType is an EVENTLOG_*_TYPE; any other value logs an ERROR line and writes nothing. Empty
// texts and processes whose "eventOverride" is 1 write nothing. True when it was written.
bool WriteWindowEvent(WORD wType, const wchar_t* text) noexcept;

// The directory the log files go to (resolved by the writer; waits for it briefly), empty
// when there is none.
std::wstring LogFileDirectory() noexcept;
// Reads the logging configuration again now instead of waiting for the registry watch.
void RefreshLogSettings() noexcept;
// Figures of the queue since start: its largest length and the records dropped.
size_t LogQueueHighWater() noexcept;
size_t LogDroppedRecords() noexcept;

// The calling thread's nested diagnostic context: texts pushed here are printed, joined with
// "; ", in braces after the message of every record the thread logs until popped.
void PushDiagnosticContext(const wchar_t* text) noexcept;
void PopDiagnosticContext() noexcept;
class DiagnosticContextScope {
public:
    explicit DiagnosticContextScope(const wchar_t* text) noexcept { PushDiagnosticContext(text); }
    ~DiagnosticContextScope() { PopDiagnosticContext(); }
    DiagnosticContextScope(const DiagnosticContextScope&) = delete;
    DiagnosticContextScope& operator=(const DiagnosticContextScope&) = delete;
};

// A named component logger: its name takes the place of the program name in its lines, it
// can be switched off, and it has its own level codes: 1 ERROR, 2 INFO, 3 DEBUG, 4 TRACE,
// anything else FATAL.
class corelogger {
public:
    explicit corelogger(const wchar_t* name, bool enabled = true) noexcept;
    corelogger(const corelogger&) = delete;
    corelogger& operator=(const corelogger&) = delete;

    void Log(int code, const wchar_t* format, ...) noexcept;
    void LogV(int code, const wchar_t* format, va_list args) noexcept;
    bool IsEnabled() const noexcept { return enabled_; }
    void SetEnabled(bool enabled) noexcept { enabled_ = enabled; }
    const std::wstring& Name() const noexcept { return name_; }
    static int LevelOf(int code) noexcept;

private:
    std::wstring name_;
    std::atomic<bool> enabled_;
};

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
