// The logging facility's configuration: the settings table under the configuration root,
// the log file table under "\Log" and the time zone table, all watched, and the snapshot of
// settings the writer works with.
#pragma once
#include "lib/mfw/common/config/sysconfig.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace CORE {

struct LogSettings {
    bool developerMachine = false;
    bool traceEnabled = false;
    bool debugEnabled = true;
    bool logEnabled = true;
    bool legacyRedactEnabled = true;
    bool eventEnabled = true;
    bool eventOverride = false;  // "eventOverride" is 1: no events at all
    bool truncateProcIdThreadId = false;
    bool readActiveTimeBiasFromRegistry = false;
    bool consoleEcho = false;  // "\sysMessageToConsole"
    ULONGLONG diskThresholdBytes = 200ULL << 20;
    size_t msgQueueSizeThreshold = 150000;
    size_t batchLogMessageCount = 10;

    DWORD maxDaysKept = 7;
    DWORD maxDebugLogs = 10;
    ULONGLONG maxDebugLogSizeBytes = 10ULL << 20;
    DWORD logDelayNotificationThreshold = 0xFFFFFFFF;  // ticks; 0xFFFFFFFF: never
    std::wstring debugNameBase = L"debug";
    std::wstring fileNameBase = L"log";
    DWORD inactivityTimeoutSeconds = 120;

    bool DebugFileEnabled() const noexcept { return debugEnabled || traceEnabled; }
    // The level test of every record.
    bool LevelEnabled(int level) const noexcept {
        return traceEnabled || (level >= 1 && debugEnabled) || (level >= 2 && (logEnabled || eventEnabled));
    }
};

// Bits 0-5: levels TRACE..FATAL; bit 6: levels above FATAL; bit 7: negative levels; then
// whether the daily and the debug file take records. A record carries the mask of the moment
// it was made, so a settings change never reroutes records already queued.
constexpr uint32_t kMaskDailyFile = 1u << 8;
constexpr uint32_t kMaskDebugFile = 1u << 9;
constexpr uint32_t kMaskUnconfigured = 1u << 31;  // only before the settings were read
uint32_t LevelMaskOf(const LogSettings& settings) noexcept;
inline unsigned LevelBit(int level) noexcept {
    return level < 0 ? 7u : level > 5 ? 6u : static_cast<unsigned>(level);
}

// The installation role bits ("InstRole" under the configuration root).
constexpr DWORD kServerRoles = 0x33;  // connection broker, security, transfer, enrollment server
std::wstring ProductDescription(DWORD installationRole);  // "Velmora Zephral Agent"

class LogConfiguration {
public:
    LogConfiguration() = default;
    LogConfiguration(const LogConfiguration&) = delete;
    LogConfiguration& operator=(const LogConfiguration&) = delete;

    // Builds the tables (reading the registry) and watches them; `changed` runs on the
    // watcher thread after any of them was reloaded.
    void Load(std::function<void()> changed);
    // Reads every table again now.
    void Reload();

    LogSettings Snapshot() const;
    // Minutes, UTC = local + bias; logline::kBiasUnknown when the time zone is unknown.
    LONG TimeBias() const noexcept { return bias_.load(std::memory_order_relaxed); }
    DWORD InstallationRole() const noexcept { return role_; }

private:
    void Rebuild();

    std::unique_ptr<sysconfig> root_;
    std::unique_ptr<sysconfig> log_;
    std::unique_ptr<sysconfig> timeZone_;
    std::mutex rebuildLock_;  // the table pointers and rebuilding from them
    mutable std::mutex lock_;  // settings_
    LogSettings settings_;
    std::atomic<LONG> bias_{8888};
    DWORD role_ = 0;
    std::function<void()> changed_;
};

}  // namespace CORE
