// The library's log levels, and the hook through which the layers below logging
// (configuration, property bags, messages) write log lines without depending on it: the
// logging facility installs itself as the sink when its code is linked.
#pragma once
#include <cstdarg>

namespace CORE {

enum LogLevel : int {
    LOG_TRACE = 0,
    LOG_DEBUG = 1,
    LOG_INFO = 2,
    LOG_WARN = 3,
    LOG_ERROR = 4,
    LOG_FATAL = 5,
};

using LogSinkFunction = void (*)(int level, const wchar_t* format, va_list args);
void SetLogSink(LogSinkFunction sink) noexcept;
// Same conventions as LogMessage ("%s" wide, "%S" narrow).
void LogToSink(int level, const wchar_t* format, ...) noexcept;

}  // namespace CORE
