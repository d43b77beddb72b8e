#include "lib/mfw/common/log/LogWriter.h"

#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/util/ErrorText.h"
#include "lib/mfw/common/log/LogLine.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "lib/mfw/common/util/ThreadName.h"

#include <process.h>

#include <cwchar>

namespace CORE {
namespace {

const wchar_t kGuardName[] = L"Velmora Zephral Framework Log Guard";
constexpr ULONGLONG kDropReportIntervalMs = 300000;
constexpr DWORD kGuardWaitMs = 30000;           // another process holding the guard longer is stuck
constexpr DWORD kExitGuardWaitMs = 2000;        // at process exit nobody waits long
constexpr DWORD kCoalesceMs = 2;                // lets a burst collect into batches; a flush cuts it short
constexpr DWORD kFlushCheckMs = 20;             // how soon a flush notices a writer that ExitProcess ended
constexpr size_t kBatchesPerCycle = 200;        // then the guard is handed to other processes
constexpr ULONGLONG kStartRetryMs = 60000;
constexpr ULONGLONG kDiagnosticIntervalMs = 60000;
constexpr unsigned kDiskCheckBatches = 10;

using RtlDllShutdownInProgressFn = BOOLEAN(NTAPI*)();

bool ProcessShuttingDown() noexcept {
    static RtlDllShutdownInProgressFn fn = [] {
        HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        return ntdll ? reinterpret_cast<RtlDllShutdownInProgressFn>(
                           reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlDllShutdownInProgress")))
                     : nullptr;
    }();
    return fn && fn();
}

ULONGLONG NowFileTime() noexcept {
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    return (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

const BYTE kByteOrderMark[2] = {0xFF, 0xFE};

// Holds the cross-process log guard for one scope; an abandoned guard (its owner died) is ours.
class GuardScope {
public:
    GuardScope(HANDLE guard, DWORD timeoutMs) noexcept : guard_(guard) {
        if (!guard_) return;
        DWORD result = ::WaitForSingleObject(guard_, timeoutMs);
        owned_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    }
    ~GuardScope() {
        if (owned_) ::ReleaseMutex(guard_);
    }
    GuardScope(const GuardScope&) = delete;
    GuardScope& operator=(const GuardScope&) = delete;

private:
    HANDLE guard_;
    bool owned_ = false;
};

}  // namespace

bool ExitSafeLock::lock() noexcept {
    if (::TryAcquireSRWLockExclusive(&lock_)) return true;
    for (int spin = 0; spin < 64; ++spin) {
        YieldProcessor();
        if (::TryAcquireSRWLockExclusive(&lock_)) return true;
    }
    if (ProcessShuttingDown()) {
        // The owner may have been killed by ExitProcess: try for a while, then give up.
        for (int attempt = 0; attempt < 100; ++attempt) {
            ::Sleep(1);
            if (::TryAcquireSRWLockExclusive(&lock_)) return true;
        }
        return false;
    }
    ::AcquireSRWLockExclusive(&lock_);
    return true;
}

void LogWriter::Prepare(const ProcessFacts& facts) {
    facts_ = facts;
    wake_ = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    guard_ = ::CreateMutexW(nullptr, FALSE, kGuardName);
    if (!guard_) guard_ = ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kGuardName);
}

void LogWriter::Configure() {
    config_.Load([this] { OnSettingsChanged(); });
    LogSettings settings = config_.Snapshot();
    debugWasEnabled_ = settings.DebugFileEnabled();
    ApplySettings(settings);
}

void LogWriter::ApplySettings(const LogSettings& settings) noexcept {
    threshold_.store(settings.msgQueueSizeThreshold, std::memory_order_relaxed);
    batchCount_.store(settings.batchLogMessageCount, std::memory_order_relaxed);
    PublishLevelMask(LevelMaskOf(settings));
}

void LogWriter::OnSettingsChanged() noexcept {
    try {
        LogSettings settings = config_.Snapshot();
        ApplySettings(settings);
        bool enabled = settings.DebugFileEnabled();
        if (enabled != debugWasEnabled_) {
            debugWasEnabled_ = enabled;
            debugSwitch_.store(enabled ? 1 : 2);
            if (wake_) ::SetEvent(wake_);
        }
    } catch (...) {
    }
}

bool LogWriter::StartThread() noexcept {
    if (thread_) return true;
    DWORD error = 0;
    if (wake_) {
        unsigned id = 0;
        // Not a library thread of the default group: module teardown waits for those, and
        // the writer has to outlive them to write what they log while ending.
        thread_ = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &LogWriter::ThreadProc, this, 0, &id));
        if (thread_) return true;
        error = ::GetLastError();
    } else {
        error = ::GetLastError();
    }
    nextStartAttempt_.store(::GetTickCount64() + kStartRetryMs);
    Diagnose(L"ERROR INITIATING SYSMESSAGE, error=" + SystemErrorText(error));
    return false;
}

unsigned __stdcall LogWriter::ThreadProc(void* self) {
    SetCurrentThreadName(L"SysMessageWriter");
    static_cast<LogWriter*>(self)->WriterLoop();
    return 0;
}

// The dropped record's place goes to the report, past the threshold on purpose.
void LogWriter::QueueDropNotice(size_t threshold) noexcept {
    bool wake = false;
    try {
        LogRecord notice;
        notice.data = L"Log message threshold " + std::to_wstring(threshold) +
                      L" reached dropping log messages for exe " + facts_.executableName + L" with PID " +
                      std::to_wstring(facts_.processId) + L".";
        notice.textLength = static_cast<uint32_t>(notice.data.size());
        notice.level = LOG_ERROR;
        notice.threadId = ::GetCurrentThreadId();
        notice.created = NowFileTime();
        notice.reportToEventLog = true;
        notice.mask = CurrentLevelMask();
        NotifyLogObserver(LOG_ERROR, notice.data);
        if (!queueLock_.lock()) return;
        queue_.push_back(std::move(notice));
        ++accepted_;
        if (writerSleeping_) {
            writerSleeping_ = false;
            wake = true;
        }
        queueLock_.unlock();
    } catch (...) {
        return;
    }
    if (wake) ::SetEvent(wake_);
}

void LogWriter::Enqueue(LogRecord&& record) noexcept {
    bool wake = false;
    bool report = false;
    size_t threshold = threshold_.load(std::memory_order_relaxed);
    if (!queueLock_.lock()) return;
    if (queue_.size() > threshold) {
        ++dropped_;
        ULONGLONG now = ::GetTickCount64();
        if (!dropReported_ || now - lastDropReport_ >= kDropReportIntervalMs) {
            dropReported_ = true;
            lastDropReport_ = now;
            report = true;
        }
        queueLock_.unlock();
        if (!report) return;
        QueueDropNotice(threshold);
        return;
    }
    try {
        queue_.push_back(std::move(record));
    } catch (...) {
        queueLock_.unlock();
        return;
    }
    ++accepted_;
    if (queue_.size() > highWater_) highWater_ = queue_.size();
    if (writerSleeping_) {
        writerSleeping_ = false;
        wake = true;
    }
    queueLock_.unlock();
    if (wake) {
        ::SetEvent(wake_);
    } else if (!thread_) {
        ULONGLONG retry = nextStartAttempt_.load();
        if (retry != 0 && ::GetTickCount64() >= retry) StartThread();
    }
}

bool LogWriter::WriterIsGone() noexcept {
    return !thread_ || ::WaitForSingleObject(thread_, 0) == WAIT_OBJECT_0;
}

// The right to drain the queue. ExitProcess may end the writer in the middle of a cycle: its
// claim is then taken over, with the records it had taken out (a line may be written twice,
// none is lost). Without a deadline, waits as long as it takes.
bool LogWriter::TakeDrain(const ULONGLONG* deadline) noexcept {
    while (drainOwner_.test_and_set()) {
        DWORD owner = drainOwnerThread_.load();
        if (thread_ && owner == ::GetThreadId(thread_) && WriterIsGone() &&
            drainOwnerThread_.compare_exchange_strong(owner, ::GetCurrentThreadId()))
            return true;  // batch_ still holds what the writer had taken out
        if (deadline && ::GetTickCount64() >= *deadline) return false;
        ::Sleep(1);
    }
    drainOwnerThread_.store(::GetCurrentThreadId());
    return true;
}

void LogWriter::GiveDrain() noexcept {
    drainOwnerThread_.store(0);
    drainOwner_.clear();
}

void LogWriter::Flush(DWORD timeoutMs) noexcept {
    ULONGLONG target = 0;
    if (!queueLock_.lock()) return;
    target = accepted_;
    queueLock_.unlock();
    if (done_.load() >= target) return;
    if (thread_ && ::GetCurrentThreadId() == ::GetThreadId(thread_)) return;  // the writer's own callback
    if (WriterIsGone()) {
        // Process exit has ended the writer (or it never started): write here.
        const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
        if (!TakeDrain(&deadline)) return;
        while (done_.load() < target && ::GetTickCount64() < deadline) {
            ULONGLONG before = done_.load();
            DrainCycle();
            if (done_.load() == before) break;  // nothing could be taken
        }
        GiveDrain();
        return;
    }
    // Woken by the writer as each batch is written (WaitOnAddress: no kernel object, no poll);
    // only a writer that ExitProcess ended mid-cycle is noticed by the time slices running out.
    ++flushWaiters_;
    ::SetEvent(wake_);
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (ULONGLONG seen = done_.load(); seen < target; seen = done_.load()) {
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) break;
        const DWORD slice = static_cast<DWORD>(deadline - now < kFlushCheckMs ? deadline - now : kFlushCheckMs);
        if (!::WaitOnAddress(&done_, &seen, sizeof(seen), slice) && WriterIsGone()) break;
    }
    --flushWaiters_;
}

void LogWriter::WriterLoop() {
    for (;;) {
        bool work = false;
        if (queueLock_.lock()) {
            work = !queue_.empty() || debugSwitch_.load() != 0;
            if (!work) writerSleeping_ = true;
            queueLock_.unlock();
        }
        if (work) {
            TakeDrain(nullptr);
            DrainCycle();
            GiveDrain();
            continue;
        }
        LogSettings settings = config_.Snapshot();
        DWORD timeout = INFINITE;
        if ((daily_.IsOpen() || debug_.IsOpen()) && settings.inactivityTimeoutSeconds > 1)
            timeout = settings.inactivityTimeoutSeconds > MAXDWORD / 1000 ? MAXDWORD - 1
                                                                           : settings.inactivityTimeoutSeconds * 1000;
        DWORD result = ::WaitForSingleObject(wake_, timeout);
        if (queueLock_.lock()) {
            writerSleeping_ = false;
            queueLock_.unlock();
        }
        if (result == WAIT_TIMEOUT) {
            GuardScope guard(guard_, kGuardWaitMs);
            CloseFiles();
            continue;
        }
        if (result != WAIT_OBJECT_0) {
            Diagnose(L"ERROR IN SYSMESSAGE WaitForSingleObject, error=" + SystemErrorText(::GetLastError()));
            ::Sleep(1000);
            continue;
        }
        if (flushWaiters_.load() == 0) ::WaitForSingleObject(wake_, kCoalesceMs);
    }
}

void LogWriter::DrainCycle() noexcept {
    try {
        LogSettings settings = config_.Snapshot();
        const LONG bias = config_.TimeBias();
        const bool exiting = ProcessShuttingDown();
        const ULONGLONG waitStart = ::GetTickCount64();
        GuardScope guard(guard_, exiting ? kExitGuardWaitMs : kGuardWaitMs);
        const DWORD lockWaitTicks = static_cast<DWORD>(::GetTickCount64() - waitStart);
        EnsureDirectory();
        SYSTEMTIME local = logline::LocalTime(NowFileTime(), bias, nullptr);
        HandleDebugSwitch(local, bias, settings);
        const size_t batchCount = batchCount_.load(std::memory_order_relaxed);
        for (size_t cycle = 0; cycle < kBatchesPerCycle; ++cycle) {
            // Empty here unless a flush took over from an ended writer: its batch goes out first.
            if (batch_.empty()) {
                if (!queueLock_.lock()) return;
                while (!queue_.empty() && batch_.size() < batchCount) {
                    batch_.push_back(std::move(queue_.front()));
                    queue_.pop_front();
                }
                queueLock_.unlock();
            }
            if (batch_.empty()) break;
            WriteBatch(batch_, settings, bias, lockWaitTicks);
            CountWritten(batch_.size());
            batch_.clear();
        }
    } catch (...) {
        // Out of memory while building lines: the batch is lost, logging goes on.
        CountWritten(batch_.size());
        batch_.clear();
    }
}

void LogWriter::CountWritten(size_t records) noexcept {
    done_.fetch_add(records);
    if (flushWaiters_.load() > 0) ::WakeByAddressAll(&done_);
}

void LogWriter::EnsureDirectory() {
    if (directoryResolved_) return;
    directoryResolved_ = true;
    logfiles::DirectoryChoice choice = logfiles::ResolveDirectory(facts_.executableName);
    directory_ = choice.directory;
    directoryKnown_.store(true);
    if (directory_.empty()) Diagnose(L"SysMessage: no usable log directory, log lines are lost");
}

std::wstring LogWriter::Directory() noexcept {
    if (!directoryKnown_.load()) Flush(5000);
    try {
        return directoryKnown_.load() ? directory_ : std::wstring();
    } catch (...) {
        return std::wstring();
    }
}

size_t LogWriter::QueueHighWater() noexcept {
    if (!queueLock_.lock()) return 0;
    size_t value = highWater_;
    queueLock_.unlock();
    return value;
}

size_t LogWriter::DroppedCount() noexcept {
    if (!queueLock_.lock()) return 0;
    size_t value = dropped_;
    queueLock_.unlock();
    return value;
}

std::wstring LogWriter::OwnLine(int level, const std::wstring& text, LONG bias, const LogSettings& settings) {
    std::wstring line;
    logline::LineFields fields;
    fields.utcFileTime = NowFileTime();
    fields.level = level;
    fields.processId = facts_.processId;
    fields.processIdText = facts_.processIdText;
    fields.threadId = ::GetCurrentThreadId();
    fields.threadName = CurrentThreadName();
    fields.program = facts_.programName;
    fields.text = text;
    logline::AppendLine(line, fields, bias, settings.truncateProcIdThreadId);
    if (settings.legacyRedactEnabled) logline::RedactLegacy(line.data(), line.size());
    return line;
}

namespace {

// A line written later than the configured delay says how late it is and how long the queue lock took.
void AppendDelayNote(std::wstring& line, ULONGLONG now, ULONGLONG created, const LogSettings& settings,
                     DWORD lockWaitTicks) {
    if (settings.logDelayNotificationThreshold == 0xFFFFFFFF || now <= created) return;
    ULONGLONG delayTicks = (now - created) / 10000;
    if (delayTicks <= settings.logDelayNotificationThreshold) return;
    wchar_t note[96];
    _snwprintf(note, 95, L"(LogDelayTicks=%u, LogLockWaitTicks=%u)\r\n",
               static_cast<unsigned>(delayTicks > MAXDWORD ? MAXDWORD : delayTicks),
               static_cast<unsigned>(lockWaitTicks));
    note[95] = L'\0';
    line += note;
}

}  // namespace

void LogWriter::WriteBatch(std::vector<LogRecord>& batch, const LogSettings& settings, LONG bias,
                           DWORD lockWaitTicks) {
    const ULONGLONG now = NowFileTime();
    const SYSTEMTIME local = logline::LocalTime(now, bias, nullptr);
    if (!directory_.empty() && (diskFull_ || diskCheckCountdown_ == 0)) {
        CheckDisk(local, bias, settings);
        diskCheckCountdown_ = kDiskCheckBatches;
    }
    if (diskCheckCountdown_ > 0) --diskCheckCountdown_;

    const bool console = settings.consoleEcho && !ConsoleEchoSwitchedOff();
    dailyText_.clear();
    debugText_.clear();
    for (const LogRecord& record : batch) {
        if (record.reportToEventLog) WriteWindowEvent(EVENTLOG_ERROR_TYPE, std::wstring(record.Text()).c_str());
        if (diskFull_) continue;
        bool toDaily = false;
        bool toDebug = false;
        if (record.mask & kMaskUnconfigured) {
            // Made while the facility read its settings: routed by the settings now.
            toDaily = settings.logEnabled && record.level >= LOG_INFO;
            toDebug = settings.DebugFileEnabled() && settings.LevelEnabled(record.level);
        } else {
            toDaily = (record.mask & kMaskDailyFile) && record.level >= LOG_INFO;
            toDebug = (record.mask & kMaskDebugFile) && ((record.mask >> LevelBit(record.level)) & 1u);
        }
        if (!toDaily && !toDebug && !console) continue;
        line_.clear();
        logline::LineFields fields;
        fields.utcFileTime = record.created;
        fields.level = record.level;
        fields.processId = facts_.processId;
        fields.processIdText = facts_.processIdText;
        fields.threadId = record.threadId;
        fields.threadName = record.ThreadName();
        fields.program = record.programLength ? record.Program() : std::wstring_view(facts_.programName);
        fields.text = record.Text();
        fields.context = record.Context();
        logline::AppendLine(line_, fields, bias, settings.truncateProcIdThreadId);
        if (settings.legacyRedactEnabled) logline::RedactLegacy(line_.data(), line_.size());
        AppendDelayNote(line_, now, record.created, settings, lockWaitTicks);
        if (toDaily) dailyText_ += line_;
        if (toDebug) debugText_ += line_;
        if (console) {
            HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
            DWORD mode = 0, written = 0;
            if (out && out != INVALID_HANDLE_VALUE && ::GetConsoleMode(out, &mode))
                ::WriteConsoleW(out, line_.data(), static_cast<DWORD>(line_.size()), &written, nullptr);
        }
    }
    if (directory_.empty()) return;
    if (!dailyText_.empty()) WriteDaily(dailyText_, local, bias, settings);
    if (!debugText_.empty()) WriteDebug(debugText_, local, bias, settings);
}

bool LogWriter::OpenWithHeader(logfiles::LogFile& file, const std::wstring& path, LONG bias,
                               const LogSettings& settings, const std::wstring& pending) {
    DWORD error = 0;
    if (!file.Open(path, &error)) {
        std::wstring text(1024 + path.size(), L'\0');
        int length = _snwprintf(text.data(), text.size() - 1, L"Open file error, errno=0x%p\n\nfile = %s\n\nMessage = %.512s",
                                reinterpret_cast<void*>(static_cast<ULONG_PTR>(error)), path.c_str(), pending.c_str());
        text.resize(length > 0 ? static_cast<size_t>(length) : 0);
        Diagnose(text);
        return false;
    }
    if (file.QuerySize() == 0) {
        std::wstring header;
        header += OwnLine(LOG_INFO, L"Log for " + ProductDescription(config_.InstallationRole()), bias, settings);
        header += OwnLine(LOG_INFO, L"hostname=" + facts_.hostName, bias, settings);
        file.Append(kByteOrderMark, sizeof(kByteOrderMark));
        file.Append(header.data(), header.size() * sizeof(wchar_t));
    }
    return true;
}

void LogWriter::WriteDaily(const std::wstring& text, const SYSTEMTIME& local, LONG bias, const LogSettings& settings) {
    const std::wstring path = logfiles::DailyFileName(directory_, settings.fileNameBase, local);
    if (!daily_.IsOpen() || _wcsicmp(daily_.Path().c_str(), path.c_str()) != 0) {
        daily_.Close();
        if (!OpenWithHeader(daily_, path, bias, settings, text)) return;
    }
    if (local.wDay != cleanupDay_ || local.wMonth != cleanupMonth_ || local.wYear != cleanupYear_) {
        cleanupDay_ = local.wDay;
        cleanupMonth_ = local.wMonth;
        cleanupYear_ = local.wYear;
        logfiles::DeleteExpiredDailyFiles(directory_, settings.fileNameBase, settings.maxDaysKept, local);
    }
    if (!daily_.Append(text.data(), text.size() * sizeof(wchar_t))) daily_.Close();
}

std::wstring LogWriter::NextDebugFileName(const SYSTEMTIME& local, const LogSettings& settings) {
    // Names carry seconds only: a file started within the same second as the previous one
    // (or an existing one) moves to the next free second, so a full file is never reopened.
    FILETIME ft{};
    ::SystemTimeToFileTime(&local, &ft);
    ULONGLONG ticks = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    const std::wstring& current = debug_.Path();
    for (int step = 0; step < 3600; ++step) {
        FILETIME candidateTime{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
        SYSTEMTIME t{};
        ::FileTimeToSystemTime(&candidateTime, &t);
        std::wstring name = logfiles::DebugFileName(directory_, settings.debugNameBase, t);
        bool taken = ::GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES;
        if (!taken && (current.empty() || _wcsicmp(name.c_str(), current.c_str()) > 0)) return name;
        ticks += 10000000ULL;
    }
    return logfiles::DebugFileName(directory_, settings.debugNameBase, local);
}

void LogWriter::WriteDebug(const std::wstring& text, const SYSTEMTIME& local, LONG bias, const LogSettings& settings) {
    const ULONGLONG limit = settings.maxDebugLogSizeBytes;
    if (debug_.IsOpen() && _wcsicmp(debugBaseOpened_.c_str(), settings.debugNameBase.c_str()) != 0) debug_.Close();
    if (debug_.IsOpen() && debug_.QuerySize() >= limit) {
        std::wstring next = NextDebugFileName(local, settings);
        debug_.Close();
        if (!OpenWithHeader(debug_, next, bias, settings, text)) return;
        logfiles::PruneDebugFiles(directory_, settings.debugNameBase, settings.maxDebugLogs, debug_.Path());
    }
    if (!debug_.IsOpen()) {
        std::wstring path;
        bool reused = false;
        std::wstring previous = debug_.Path();
        if (!previous.empty() && _wcsicmp(debugBaseOpened_.c_str(), settings.debugNameBase.c_str()) == 0 &&
            ::GetFileAttributesW(previous.c_str()) != INVALID_FILE_ATTRIBUTES &&
            logfiles::FileSize(previous) < limit) {
            path = previous;  // closed for inactivity: carry on in the same file
        } else {
            std::vector<std::wstring> existing = logfiles::ListDebugFiles(directory_, settings.debugNameBase);
            if (!existing.empty() && logfiles::FileSize(directory_ + existing.back()) < limit) {
                path = directory_ + existing.back();
                reused = true;
            } else {
                path = NextDebugFileName(local, settings);
            }
        }
        if (!OpenWithHeader(debug_, path, bias, settings, text)) return;
        debugBaseOpened_ = settings.debugNameBase;
        if (reused && !debugReuseTried_) {
            std::wstring line = OwnLine(LOG_INFO, L"Opening latest existing log file", bias, settings);
            debug_.Append(line.data(), line.size() * sizeof(wchar_t));
        }
        debugReuseTried_ = true;
        logfiles::PruneDebugFiles(directory_, settings.debugNameBase, settings.maxDebugLogs, debug_.Path());
    }
    if (!debug_.Append(text.data(), text.size() * sizeof(wchar_t))) debug_.Close();
}

void LogWriter::HandleDebugSwitch(const SYSTEMTIME& local, LONG bias, const LogSettings& settings) {
    int change = debugSwitch_.exchange(0);
    if (change == 0 || directory_.empty()) return;
    std::wstring text = std::wstring(change == 1 ? L" ********** Debug log file is enabled for "
                                                 : L" ********** Debug log file is disabled for ") +
                        facts_.programName + L". **********\r\n";
    if (settings.logEnabled) WriteDaily(text, local, bias, settings);
    if (change == 1 && settings.DebugFileEnabled()) WriteDebug(text, local, bias, settings);
    if (change == 2) debug_.Close();
}

void LogWriter::CheckDisk(const SYSTEMTIME& local, LONG bias, const LogSettings& settings) {
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(directory_.c_str(), &available, nullptr, nullptr)) return;
    const bool below = available.QuadPart < settings.diskThresholdBytes;
    if (below == diskFull_) return;
    diskFull_ = below;
    const std::wstring flag = below ? L"true" : L"false";
    const std::wstring key = GetConfigRoot(L"HKLM").substr(5) + L"\\Log";
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"loggedThresholdReached", REG_SZ, flag.c_str(),
                      static_cast<DWORD>((flag.size() + 1) * sizeof(wchar_t)));
    if (!below) return;
    std::wstring line = OwnLine(LOG_WARN,
                                L"Disk space free threshold for log reached.  No more messages will be logged until "
                                L"more disk space has become available or the threshold is reduced.",
                                bias, settings);
    if (settings.logEnabled) WriteDaily(line, local, bias, settings);
    if (settings.DebugFileEnabled()) WriteDebug(line, local, bias, settings);
}

void LogWriter::CloseFiles() noexcept {
    daily_.Close();
    debug_.Close();
}

void LogWriter::Diagnose(const std::wstring& text) noexcept {
    // The log itself is what failed: the debugger output is the place left to tell.
    ULONGLONG now = ::GetTickCount64();
    ULONGLONG last = lastDiagnostic_.load();
    if (last != 0 && now - last < kDiagnosticIntervalMs) return;
    lastDiagnostic_.store(now);
    ::OutputDebugStringW(text.c_str());
}

}  // namespace CORE
