// The logger behind LogMessage: the bounded record queue with its drop report, and the
// writer thread that drains it in batches into the daily and debug files under the
// cross-process log guard. Formatting of the message happens on the caller's thread; all
// file I/O happens here.
#pragma once
#include "lib/mfw/common/log/LogFiles.h"
#include "lib/mfw/common/log/LogSettings.h"

#include <windows.h>

#include <atomic>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace CORE {

// One queued record; the texts share one allocation.
struct LogRecord {
    std::wstring data;  // message, thread name, diagnostic context, program name (may be empty)
    uint32_t textLength = 0;
    uint32_t threadNameLength = 0;
    uint32_t contextLength = 0;
    uint32_t programLength = 0;  // 0: the process's program name
    int level = 0;
    DWORD threadId = 0;
    ULONGLONG created = 0;  // FILETIME, UTC
    uint32_t mask = kMaskUnconfigured;  // the level mask when the record was made
    bool reportToEventLog = false;

    std::wstring_view Text() const noexcept { return {data.data(), textLength}; }
    std::wstring_view ThreadName() const noexcept { return {data.data() + textLength, threadNameLength}; }
    std::wstring_view Context() const noexcept {
        return {data.data() + textLength + threadNameLength, contextLength};
    }
    std::wstring_view Program() const noexcept {
        return {data.data() + textLength + threadNameLength + contextLength, programLength};
    }
};

// Facts of the process printed in lines and headers, gathered once.
struct ProcessFacts {
    std::wstring executableName;  // "LogonUI.exe"
    std::wstring programName;     // "LogonUI"
    DWORD processId = 0;
    std::wstring processIdText;
    std::wstring hostName;
    std::wstring version;
    std::wstring moduleName;  // this code's DLL ("tcfiltr"), empty inside an executable
};

// An SRW lock that gives up instead of hanging when the process is shutting down and the
// owner may have been killed holding it.
class ExitSafeLock {
public:
    ExitSafeLock() noexcept { ::InitializeSRWLock(&lock_); }
    bool lock() noexcept;
    void unlock() noexcept { ::ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK lock_;
};

class LogWriter {
public:
    LogWriter() = default;
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Gathers the process facts and creates the objects; no thread yet.
    void Prepare(const ProcessFacts& facts);
    // Loads the configuration (registry; watched tables) and publishes the level mask.
    void Configure();
    // Starts the writer thread; false (with the text "ERROR INITIATING SYSMESSAGE") when it
    // or its event cannot be created; a later record tries again.
    bool StartThread() noexcept;

    // Queues a record, or drops it when the queue is over its threshold (see DropReport).
    void Enqueue(LogRecord&& record) noexcept;
    // Waits until everything queued so far has been written (bounded); writes on the
    // calling thread when the writer thread is gone (process exit).
    void Flush(DWORD timeoutMs) noexcept;

    LogConfiguration& Configuration() noexcept { return config_; }
    const ProcessFacts& Facts() const noexcept { return facts_; }
    bool UsesThread() const noexcept { return thread_ != nullptr; }
    DWORD WriterThreadId() const noexcept { return thread_ ? ::GetThreadId(thread_) : 0; }
    std::wstring Directory() noexcept;
    size_t QueueHighWater() noexcept;
    size_t DroppedCount() noexcept;

    // Settings changed (watcher thread): level mask, threshold, debug switch.
    void OnSettingsChanged() noexcept;

private:
    static unsigned __stdcall ThreadProc(void* self);
    void WriterLoop();
    void QueueDropNotice(size_t threshold) noexcept;
    void DrainCycle() noexcept;
    void CountWritten(size_t records) noexcept;
    void WriteBatch(std::vector<LogRecord>& batch, const LogSettings& settings, LONG bias, DWORD lockWaitTicks);
    void EnsureDirectory();
    void CheckDisk(const SYSTEMTIME& local, LONG bias, const LogSettings& settings);
    void WriteDaily(const std::wstring& text, const SYSTEMTIME& local, LONG bias, const LogSettings& settings);
    void WriteDebug(const std::wstring& text, const SYSTEMTIME& local, LONG bias, const LogSettings& settings);
    void HandleDebugSwitch(const SYSTEMTIME& local, LONG bias, const LogSettings& settings);
    bool OpenWithHeader(logfiles::LogFile& file, const std::wstring& path, LONG bias, const LogSettings& settings,
                        const std::wstring& pending);
    std::wstring OwnLine(int level, const std::wstring& text, LONG bias, const LogSettings& settings);
    std::wstring NextDebugFileName(const SYSTEMTIME& local, const LogSettings& settings);
    void CloseFiles() noexcept;
    void Diagnose(const std::wstring& text) noexcept;
    void ApplySettings(const LogSettings& settings) noexcept;
    bool WriterIsGone() noexcept;

    ProcessFacts facts_;
    LogConfiguration config_;

    // --- Queue (any thread) ---
    ExitSafeLock queueLock_;
    std::deque<LogRecord> queue_;
    ULONGLONG accepted_ = 0;
    bool writerSleeping_ = false;
    bool dropReported_ = false;
    ULONGLONG lastDropReport_ = 0;
    size_t dropped_ = 0;
    size_t highWater_ = 0;
    std::atomic<size_t> threshold_{150000};
    std::atomic<size_t> batchCount_{10};

    // --- Thread ---
    HANDLE wake_ = nullptr;       // auto-reset: records queued, flush requested, settings changed
    HANDLE thread_ = nullptr;
    std::atomic<ULONGLONG> nextStartAttempt_{0};
    std::atomic<ULONGLONG> done_{0};  // records written; flush waiters wait on its address
    std::atomic<int> flushWaiters_{0};
    std::atomic<int> debugSwitch_{0};  // 1 switched on, 2 switched off, 0 nothing to tell
    bool debugWasEnabled_ = true;
    std::atomic_flag drainOwner_ = ATOMIC_FLAG_INIT;
    std::atomic<DWORD> drainOwnerThread_{0};  // who holds drainOwner_: a dead writer's claim is taken over
    bool TakeDrain(const ULONGLONG* deadline) noexcept;
    void GiveDrain() noexcept;

    // --- Writer state (the writer thread, or the caller of an exit-time flush) ---
    HANDLE guard_ = nullptr;  // "Velmora Zephral Framework Log Guard"
    bool directoryResolved_ = false;
    std::wstring directory_;
    std::atomic<bool> directoryKnown_{false};
    logfiles::LogFile daily_;
    logfiles::LogFile debug_;
    std::wstring debugBaseOpened_;
    bool debugReuseTried_ = false;
    bool diskFull_ = false;
    unsigned diskCheckCountdown_ = 0;
    WORD cleanupDay_ = 0, cleanupMonth_ = 0, cleanupYear_ = 0;
    std::vector<LogRecord> batch_;
    std::wstring line_, dailyText_, debugText_;
    std::atomic<ULONGLONG> lastDiagnostic_{0};
};

// Internal hooks of SysMessage.cpp used by the writer.
void NotifyLogObserver(int level, const std::wstring& text) noexcept;
void PublishLevelMask(uint32_t mask) noexcept;
uint32_t CurrentLevelMask() noexcept;
bool ConsoleEchoSwitchedOff() noexcept;

}  // namespace CORE
