#include "lib/mfw/common/log/LogSettings.h"

#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/log/LogLine.h"

namespace CORE {
namespace {

const wchar_t kTimeZoneKey[] = L"HKLM\\SYSTEM\\CurrentControlSet\\Control\\TimeZoneInformation";
constexpr ULONGLONG kMaxMegabytes = 1ULL << 40;  // keeps "value << 20" inside 64 bits

ULONGLONG Megabytes(unsigned long value) {
    ULONGLONG mb = value > kMaxMegabytes ? kMaxMegabytes : value;
    return mb << 20;
}

// The bias of the system's time zone component, daylight saving included.
LONG SystemTimeZoneBias() {
    TIME_ZONE_INFORMATION zone{};
    switch (::GetTimeZoneInformation(&zone)) {
    case TIME_ZONE_ID_UNKNOWN: return zone.Bias;
    case TIME_ZONE_ID_STANDARD: return zone.Bias + zone.StandardBias;
    case TIME_ZONE_ID_DAYLIGHT: return zone.Bias + zone.DaylightBias;
    default: return logline::kBiasUnknown;
    }
}

}  // namespace

uint32_t LevelMaskOf(const LogSettings& settings) noexcept {
    uint32_t mask = 0;
    for (int level = 0; level <= 5; ++level)
        if (settings.LevelEnabled(level)) mask |= 1u << level;
    if (settings.LevelEnabled(6)) mask |= 1u << 6;
    if (settings.LevelEnabled(-1)) mask |= 1u << 7;
    if (settings.logEnabled) mask |= kMaskDailyFile;
    if (settings.DebugFileEnabled()) mask |= kMaskDebugFile;
    return mask;
}

std::wstring ProductDescription(DWORD role) {
    struct RoleWord {
        DWORD bit;
        const wchar_t* word;
    };
    static const RoleWord kWords[] = {
        {0x1, L" Connection Broker"}, {0x2, L" Security Server"},  {0x4, L" Agent"},
        {0x8, L" Client"},            {0x10, L" Transfer Server"}, {0x20, L" Enrollment Server"},
    };
    std::wstring text = L"Velmora Zephral";
    for (const auto& entry : kWords)
        if (role & entry.bit) text += entry.word;
    return text;
}

void LogConfiguration::Load(std::function<void()> changed) {
    changed_ = std::move(changed);
    const std::wstring rootPath = GetConfigRoot(L"HKLM");
    role_ = ParseUInt(ReadRegistryValue(rootPath + L"\\InstRole", L"0"), true);
    auto onChange = [this] {
        Rebuild();
        if (changed_) changed_();
    };
    auto root = std::make_unique<sysconfig>(
        rootPath,
        std::vector<std::wstring>{L"DeveloperMachine=false", L"traceEnabled=false", L"debugEnabled=true",
                                  L"logEnabled=true", L"legacyRedactEnabled=true", L"eventEnabled=true",
                                  L"DiskThresholdForLogAndEventsMB=200", L"truncateProcIdThreadId=false",
                                  L"readActiveTimeBiasFromRegistry=false", L"msgQueueSizeThreshold=150000",
                                  L"batchLogMessageCount=10", L"eventOverride=0", L"sysMessageToConsole=false"},
        true, true, onChange);
    auto log = std::make_unique<sysconfig>(
        rootPath + L"\\Log",
        std::vector<std::wstring>{L"MaxDaysKept=7", L"MaxDebugLogs=10", L"MaxDebugLogSizeMB=",
                                  L"LogDelayNotificationTreshold=", L"DebugNameBase=debug", L"FileNameBase=log",
                                  L"InactivityTimeoutSeconds=120"},
        true, true, onChange);
    auto timeZone = std::make_unique<sysconfig>(kTimeZoneKey, std::vector<std::wstring>{L"ActiveTimeBias="}, true,
                                                false, onChange);
    {
        // A table's watch may already call back; it finds the tables complete or not at all.
        std::lock_guard<std::mutex> guard(rebuildLock_);
        root_ = std::move(root);
        log_ = std::move(log);
        timeZone_ = std::move(timeZone);
    }
    Rebuild();
}

void LogConfiguration::Reload() {
    {
        std::lock_guard<std::mutex> guard(rebuildLock_);
        if (root_) root_->Load();
        if (log_) log_->Load();
        if (timeZone_) timeZone_->Load();
    }
    Rebuild();
}

void LogConfiguration::Rebuild() {
    std::lock_guard<std::mutex> rebuild(rebuildLock_);
    if (!root_ || !log_ || !timeZone_) return;
    LogSettings s;
    s.developerMachine = root_->GetBool(L"DeveloperMachine");
    s.traceEnabled = s.developerMachine || root_->GetBool(L"traceEnabled");
    s.debugEnabled = s.traceEnabled || root_->GetBool(L"debugEnabled");
    s.logEnabled = root_->GetBool(L"logEnabled");
    s.legacyRedactEnabled = root_->GetBool(L"legacyRedactEnabled");
    s.eventEnabled = root_->GetBool(L"eventEnabled");
    s.eventOverride = root_->GetInt(L"eventOverride") == 1;
    s.diskThresholdBytes = Megabytes(root_->GetUInt(L"DiskThresholdForLogAndEventsMB"));
    s.truncateProcIdThreadId = root_->GetBool(L"truncateProcIdThreadId");
    s.readActiveTimeBiasFromRegistry = root_->GetBool(L"readActiveTimeBiasFromRegistry");
    s.consoleEcho = root_->GetBool(L"sysMessageToConsole");
    s.msgQueueSizeThreshold = root_->GetUInt(L"msgQueueSizeThreshold");
    unsigned long batch = root_->GetUInt(L"batchLogMessageCount");
    s.batchLogMessageCount = batch == 0 ? 1 : batch > 100000 ? 100000 : batch;

    s.maxDaysKept = log_->GetUInt(L"MaxDaysKept");
    s.maxDebugLogs = log_->GetUInt(L"MaxDebugLogs");
    unsigned long debugMb = log_->GetUInt(L"MaxDebugLogSizeMB");
    if (debugMb == 0) debugMb = (role_ & kServerRoles) ? 50 : 10;  // empty or unusable
    s.maxDebugLogSizeBytes = Megabytes(debugMb);
    unsigned long delay = log_->GetUInt(L"LogDelayNotificationTreshold");
    s.logDelayNotificationThreshold = delay == 0 ? 0xFFFFFFFF : static_cast<DWORD>(delay);
    std::wstring debugBase = log_->Get(L"DebugNameBase");
    std::wstring fileBase = log_->Get(L"FileNameBase");
    if (!debugBase.empty()) s.debugNameBase = debugBase;
    if (!fileBase.empty()) s.fileNameBase = fileBase;
    s.inactivityTimeoutSeconds = log_->GetUInt(L"InactivityTimeoutSeconds");

    // ActiveTimeBias is a DWORD holding a signed number of minutes.
    LONG bias = logline::kBiasNotRead;
    std::wstring active = timeZone_->Get(L"ActiveTimeBias");
    if (s.readActiveTimeBiasFromRegistry && !active.empty())
        bias = static_cast<LONG>(static_cast<DWORD>(ParseUInt(active, true)));
    if (bias == logline::kBiasNotRead) bias = SystemTimeZoneBias();
    bias_.store(bias, std::memory_order_relaxed);

    std::lock_guard<std::mutex> guard(lock_);
    settings_ = std::move(s);
}

LogSettings LogConfiguration::Snapshot() const {
    std::lock_guard<std::mutex> guard(lock_);
    return settings_;
}

}  // namespace CORE
