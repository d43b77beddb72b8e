// The front end of the logging facility: initialisation on first use, the level test,
// formatting on the caller's thread, the observer hook, and the helpers built on LogMessage.
#include "lib/mfw/common/log/SysMessage.h"

#include "lib/mfw/common/log/LogLine.h"
#include "lib/mfw/common/log/LogWriter.h"
#include "lib/mfw/common/util/ThreadName.h"
#include "platform/Platform.h"
#include "platform/SehGuard.h"

#include <cstring>
#include <cwchar>
#include <mutex>
#include <vector>

namespace CORE {
namespace {

enum InitState : int { kNotStarted, kStarting, kReady, kFailed };

constexpr DWORD kFlushTimeoutMs = 5000;
constexpr DWORD kInitPollMs = 10;
constexpr DWORD kInitWaitMs = 10000;
constexpr size_t kStackFormatChars = 1024;
constexpr size_t kMaxFormatChars = 1u << 20;  // longer messages are cut, not lost
const wchar_t kFormatFailure[] = L"<***** VPRINTF EXCEPTION *****>";

std::atomic<int> g_state{kNotStarted};
std::atomic<DWORD> g_initThread{0};
std::atomic<LogWriter*> g_writer{nullptr};
std::atomic<uint32_t> g_levelMask{0xFFFFFFFFu};  // every level until configured
std::atomic<ILogObserver*> g_observer{nullptr};
std::atomic<bool> g_observeEveryLevel{false};
std::atomic<DWORD> g_traceSessionId{0xFFFFFFFF};
std::atomic<bool> g_consoleEchoOff{false};

thread_local std::vector<std::wstring>* t_context = nullptr;

std::wstring FileNameOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring WithoutExtension(const std::wstring& name) {
    size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

HMODULE ThisModule() {
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

// The file version of a module from its version resource ("1.0.0.0"), or "unknown".
std::wstring ModuleVersion(HMODULE module) {
    HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16) /* RT_VERSION */);
    if (!resource) return L"unknown";
    HGLOBAL loaded = ::LoadResource(module, resource);
    DWORD size = ::SizeofResource(module, resource);
    const BYTE* data = loaded ? static_cast<const BYTE*>(::LockResource(loaded)) : nullptr;
    if (!data) return L"unknown";
    // The fixed part follows the key "VS_VERSION_INFO" at a 4-byte boundary; find its signature.
    for (DWORD offset = 0; size >= sizeof(VS_FIXEDFILEINFO) && offset <= size - sizeof(VS_FIXEDFILEINFO);
         offset += 4) {
        VS_FIXEDFILEINFO info;
        std::memcpy(&info, data + offset, sizeof(info));
        if (info.dwSignature != 0xFEEF04BD) continue;
        return std::to_wstring(HIWORD(info.dwFileVersionMS)) + L"." + std::to_wstring(LOWORD(info.dwFileVersionMS)) +
               L"." + std::to_wstring(HIWORD(info.dwFileVersionLS)) + L"." +
               std::to_wstring(LOWORD(info.dwFileVersionLS));
    }
    return L"unknown";
}

ProcessFacts GatherFacts() {
    ProcessFacts facts;
    facts.executableName = FileNameOf(platform::Get().HostExecutablePath());
    facts.programName = WithoutExtension(facts.executableName);
    facts.processId = ::GetCurrentProcessId();
    facts.processIdText = logline::ProcessIdText(facts.processId);
    wchar_t host[256] = {};
    DWORD hostLength = 256;
    if (::GetComputerNameExW(ComputerNameDnsFullyQualified, host, &hostLength) && hostLength > 0) {
        facts.hostName.assign(host, hostLength);
    } else {
        hostLength = 256;
        if (::GetComputerNameW(host, &hostLength)) facts.hostName.assign(host, hostLength);
    }
    HMODULE module = ThisModule();
    facts.version = ModuleVersion(module);
    if (module && module != ::GetModuleHandleW(nullptr)) {
        wchar_t path[MAX_PATH] = {};
        DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
        facts.moduleName = WithoutExtension(FileNameOf(std::wstring(path, length < MAX_PATH ? length : 0)));
    }
    return facts;
}

#ifdef NDEBUG
const wchar_t kBuildType[] = L"release";
#else
const wchar_t kBuildType[] = L"debug";
#endif

void LogStartLines(LogWriter& writer) {
    const ProcessFacts& facts = writer.Facts();
    LogMessage(LOG_INFO,
               L"Program '%s' started, version=%s, pid=0x%X, buildtype=%s, usethread=%u, closeafterwrite=%u, "
               L"sessionId=%d",
               facts.programName.c_str(), facts.version.c_str(), static_cast<unsigned>(facts.processId), kBuildType,
               writer.UsesThread() ? 1u : 0u, 0u, static_cast<int>(TraceSessionId()));
    if (!facts.moduleName.empty())
        LogMessage(LOG_INFO, L"Plugin '%s' loaded, version=%s, buildtype=%s", facts.moduleName.c_str(),
                   facts.version.c_str(), kBuildType);
}

void Initialize() noexcept {
    LogWriter* writer = nullptr;
    try {
        // Never deleted: threads may log while the process runs its exit code.
        writer = new LogWriter;
        writer->Prepare(GatherFacts());
        // Published before configuring: what the configuration code logs meanwhile is queued.
        g_writer.store(writer);
        writer->Configure();
        writer->StartThread();
        g_state.store(kReady);
        LogStartLines(*writer);
    } catch (...) {
        g_levelMask.store(0);
        g_state.store(kFailed);
    }
}

// The writer, initialising the facility on first use; null while logging is unavailable.
LogWriter* Writer() noexcept {
    int state = g_state.load(std::memory_order_acquire);
    if (state == kReady) return g_writer.load(std::memory_order_relaxed);
    if (state == kFailed) return nullptr;
    int expected = kNotStarted;
    if (g_state.compare_exchange_strong(expected, kStarting)) {
        g_initThread.store(::GetCurrentThreadId());
        Initialize();
        return g_state.load() == kReady ? g_writer.load() : nullptr;
    }
    if (expected == kStarting) {
        // The initialising thread itself logs into the queue it already has.
        if (g_initThread.load() == ::GetCurrentThreadId()) return g_writer.load();
        const ULONGLONG deadline = ::GetTickCount64() + kInitWaitMs;
        while (g_state.load() == kStarting && ::GetTickCount64() < deadline) ::Sleep(kInitPollMs);
    }
    return g_state.load() == kReady ? g_writer.load() : nullptr;
}

// The level test; `mask` receives the mask it was made against, for the record.
bool LevelPasses(int level, uint32_t* mask = nullptr) noexcept {
    uint32_t current = g_levelMask.load(std::memory_order_relaxed);
    if (mask) *mask = current;
    return (current >> LevelBit(level)) & 1u;
}

struct FormatCall {
    wchar_t* buffer;
    size_t capacity;
    const wchar_t* format;
    va_list* args;
    int result;
};

// One formatting attempt; a fault inside the C library (a bad pointer for "%s") is
// caught as a structured exception.
bool TryFormat(FormatCall& call) noexcept {
    DWORD code = platform::SehGuard([&call] {
        va_list copy;
        va_copy(copy, *call.args);
        call.result = _vsnwprintf(call.buffer, call.capacity, call.format, copy);
        va_end(copy);
    });
    return code == 0;
}

// Formats into `stack` when it fits, else into `heap`; returns the text and its length.
const wchar_t* Format(const wchar_t* format, va_list args, wchar_t* stack, std::wstring& heap, size_t* length) {
    if (!format) {
        *length = 0;
        return L"";
    }
    FormatCall call{stack, kStackFormatChars - 1, format, &args, 0};
    if (!TryFormat(call)) {
        *length = sizeof(kFormatFailure) / sizeof(wchar_t) - 1;
        return kFormatFailure;
    }
    if (call.result >= 0) {
        *length = static_cast<size_t>(call.result);
        return stack;
    }
    // msvcrt reports -1 when the text does not fit: grow.
    for (size_t size = 8 * kStackFormatChars;; size *= 4) {
        if (size > kMaxFormatChars) size = kMaxFormatChars;
        heap.assign(size, L'\0');
        call = FormatCall{heap.data(), size - 1, format, &args, 0};
        if (!TryFormat(call)) {
            *length = sizeof(kFormatFailure) / sizeof(wchar_t) - 1;
            return kFormatFailure;
        }
        if (call.result >= 0) {
            *length = static_cast<size_t>(call.result);
            return heap.data();
        }
        if (size == kMaxFormatChars) {
            *length = size - 1;
            return heap.data();
        }
    }
}

void Submit(LogWriter* writer, int level, uint32_t mask, const std::wstring* program, const wchar_t* format,
            va_list args) noexcept {
    try {
        wchar_t stack[kStackFormatChars];
        std::wstring heap;
        size_t length = 0;
        const wchar_t* text = Format(format, args, stack, heap, &length);
        length = logline::TrimLineEnd(text, length);

        if (ILogObserver* observer = g_observer.load(std::memory_order_acquire)) {
            try {
                observer->OnLogRecord(level, std::wstring(text, length));
            } catch (...) {
            }
        }

        const wchar_t* threadName = CurrentThreadName();
        const size_t threadNameLength = std::wcslen(threadName);
        std::wstring context;
        if (t_context && !t_context->empty()) {
            for (size_t i = 0; i < t_context->size(); ++i) {
                if (i) context += L"; ";
                context += (*t_context)[i];
            }
        }
        LogRecord record;
        const size_t programLength = program ? program->size() : 0;
        record.data.reserve(length + threadNameLength + context.size() + programLength);
        record.data.append(text, length);
        record.data.append(threadName, threadNameLength);
        record.data.append(context);
        if (program) record.data.append(*program);
        record.textLength = static_cast<uint32_t>(length);
        record.threadNameLength = static_cast<uint32_t>(threadNameLength);
        record.contextLength = static_cast<uint32_t>(context.size());
        record.programLength = static_cast<uint32_t>(programLength);
        record.level = level;
        record.mask = mask;
        record.threadId = ::GetCurrentThreadId();
        FILETIME now{};
        ::GetSystemTimeAsFileTime(&now);
        record.created = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
        writer->Enqueue(std::move(record));
    } catch (...) {
        // Out of memory ("OutOfMem" or bad_alloc): this record is lost, the caller goes on.
    }
}

// A record below the configured levels still reaches an installed observer, never a file.
void ObserveOnly(int level, const wchar_t* format, va_list args) noexcept {
    try {
        wchar_t stack[kStackFormatChars];
        std::wstring heap;
        size_t length = 0;
        const wchar_t* text = Format(format, args, stack, heap, &length);
        length = logline::TrimLineEnd(text, length);
        if (ILogObserver* observer = g_observer.load(std::memory_order_acquire))
            observer->OnLogRecord(level, std::wstring(text, length));
    } catch (...) {
    }
}

}  // namespace

// --- Hooks for the writer ---

void NotifyLogObserver(int level, const std::wstring& text) noexcept {
    if (ILogObserver* observer = g_observer.load(std::memory_order_acquire)) {
        try {
            observer->OnLogRecord(level, text);
        } catch (...) {
        }
    }
}

void PublishLevelMask(uint32_t mask) noexcept { g_levelMask.store(mask, std::memory_order_relaxed); }

uint32_t CurrentLevelMask() noexcept { return g_levelMask.load(std::memory_order_relaxed); }

bool ConsoleEchoSwitchedOff() noexcept { return g_consoleEchoOff.load(std::memory_order_relaxed); }

// --- Public API ---

bool IsLogLevelEnabled(int level) noexcept {
    return LevelPasses(level) || g_observeEveryLevel.load(std::memory_order_relaxed);
}

void LogMessageV(int level, const wchar_t* format, va_list args) noexcept {
    LogWriter* writer = Writer();
    uint32_t mask = 0;
    if (!writer) return;
    if (LevelPasses(level, &mask))
        Submit(writer, level, mask, nullptr, format, args);
    else if (g_observeEveryLevel.load(std::memory_order_relaxed))
        ObserveOnly(level, format, args);
}

// The configuration layer logs through the sink; linking this file installs it.
const bool g_sinkInstalled = (SetLogSink(&LogMessageV), true);

void LogMessage(int level, const wchar_t* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    LogMessageV(level, format, args);
    va_end(args);
}

void FlushLog() noexcept {
    if (LogWriter* writer = Writer()) writer->Flush(kFlushTimeoutMs);
}

void StartLogging() noexcept {
    g_consoleEchoOff.store(true);
    Writer();
}

ILogObserver* SetLogObserver(ILogObserver* observer, bool everyLevel) noexcept {
    g_observeEveryLevel.store(observer != nullptr && everyLevel);
    return g_observer.exchange(observer);
}

DWORD TraceSessionId() noexcept {
    DWORD cached = g_traceSessionId.load();
    if (cached != 0xFFFFFFFF) return cached;
    DWORD session = 0;
    if (!platform::Get().ProcessIdToSessionId(::GetCurrentProcessId(), &session)) session = 0;
    g_traceSessionId = session;
    return session;
}

bool WriteWindowEvent(WORD wType, const wchar_t* text) noexcept {
    DWORD eventId = 0;
    switch (wType) {
    case EVENTLOG_SUCCESS: eventId = 0x40000066; break;
    case EVENTLOG_ERROR_TYPE: eventId = 0xC0000069; break;
    case EVENTLOG_WARNING_TYPE:
    case EVENTLOG_AUDIT_FAILURE: eventId = 0x80000068; break;
    case EVENTLOG_INFORMATION_TYPE:
    case EVENTLOG_AUDIT_SUCCESS: eventId = 0x40000067; break;
    default:
        LogMessage(LOG_ERROR, L"WriteWindowEvent: Bad wType=%u, Text=%s", static_cast<unsigned>(wType),
                   text ? text : L"");
        return false;
    }
    if (!text || !*text) return false;
    LogWriter* writer = Writer();
    if (writer) {
        LogSettings settings = writer->Configuration().Snapshot();
        if (settings.eventOverride || !settings.eventEnabled) return false;
    }
    static SRWLOCK serializer = SRWLOCK_INIT;  // nothing to destroy: threads may report at exit
    ::AcquireSRWLockExclusive(&serializer);
    bool written = false;
    try {
        written = platform::Get().WriteEventLogEntry(wType, 9, eventId, text);
    } catch (...) {
    }
    ::ReleaseSRWLockExclusive(&serializer);
    return written;
}

std::wstring LogFileDirectory() noexcept {
    LogWriter* writer = Writer();
    return writer ? writer->Directory() : std::wstring();
}

void RefreshLogSettings() noexcept {
    LogWriter* writer = Writer();
    if (!writer) return;
    try {
        writer->Configuration().Reload();
    } catch (...) {
    }
    writer->OnSettingsChanged();
}

size_t LogQueueHighWater() noexcept {
    LogWriter* writer = Writer();
    return writer ? writer->QueueHighWater() : 0;
}

size_t LogDroppedRecords() noexcept {
    LogWriter* writer = Writer();
    return writer ? writer->DroppedCount() : 0;
}

void PushDiagnosticContext(const wchar_t* text) noexcept {
    try {
        if (!t_context) t_context = new std::vector<std::wstring>;  // one per thread that uses it
        t_context->push_back(text ? text : L"");
    } catch (...) {
    }
}

void PopDiagnosticContext() noexcept {
    if (t_context && !t_context->empty()) t_context->pop_back();
}

corelogger::corelogger(const wchar_t* name, bool enabled) noexcept : enabled_(enabled) {
    try {
        name_ = name ? name : L"";
    } catch (...) {
    }
}

int corelogger::LevelOf(int code) noexcept {
    switch (code) {
    case 1: return LOG_ERROR;
    case 2: return LOG_INFO;
    case 3: return LOG_DEBUG;
    case 4: return LOG_TRACE;
    default: return LOG_FATAL;
    }
}

void corelogger::LogV(int code, const wchar_t* format, va_list args) noexcept {
    if (!enabled_) return;
    LogWriter* writer = Writer();
    int level = LevelOf(code);
    uint32_t mask = 0;
    if (!writer || !LevelPasses(level, &mask)) return;
    Submit(writer, level, mask, name_.empty() ? nullptr : &name_, format, args);
}

void corelogger::Log(int code, const wchar_t* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    LogV(code, format, args);
    va_end(args);
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
