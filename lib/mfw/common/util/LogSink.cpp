#include "lib/mfw/common/util/LogSink.h"

namespace CORE {
namespace {
// Set while the process initialises its statics, before any thread can log.
LogSinkFunction g_sink = nullptr;
}  // namespace

void SetLogSink(LogSinkFunction sink) noexcept { g_sink = sink; }

void LogToSink(int level, const wchar_t* format, ...) noexcept {
    LogSinkFunction sink = g_sink;
    if (!sink) return;
    va_list args;
    va_start(args, format);
    sink(level, format, args);
    va_end(args);
}

}  // namespace CORE
