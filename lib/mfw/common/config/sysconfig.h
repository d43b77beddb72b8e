// A configuration table: the values of one registry key, each with its default, read
// through the plain or the policy-aware lookup, optionally reloaded whenever the key changes.
#pragma once
#include "lib/mfw/common/config/configWatch.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace CORE {

class sysconfig final : public IConfigWatchTarget {
public:
    // `location` is a full key path ("HKLM\Software\Velmora\Zephral\Log"); every entry is
    // "key=default" ("MaxDebugLogs=10", "MaxDebugLogSizeMB=" for an empty default). The table
    // is loaded at once; with `watch` it follows the key, calling `changed` after each reload.
    sysconfig(std::wstring location, const std::vector<std::wstring>& entries, bool watch, bool usePolicy,
              std::function<void()> changed = {});
    ~sysconfig() override;
    sysconfig(const sysconfig&) = delete;
    sysconfig& operator=(const sysconfig&) = delete;

    // Reads every entry again; a missing value leaves the default.
    void Load() noexcept;

    // The current text of a key; empty for a key the table does not have.
    std::wstring Get(const wchar_t* key) const;
    bool GetBool(const wchar_t* key) const;
    unsigned long GetUInt(const wchar_t* key) const;  // normalised first
    long GetInt(const wchar_t* key) const;

    const std::wstring& Location() const noexcept { return location_; }
    // True while the key is watched (the watch could be set up and has not been given up).
    bool IsWatched() const noexcept;

    void OnConfigKeyChanged() override;

private:
    struct Entry {
        std::wstring key;
        std::wstring defaultValue;
        std::wstring value;
    };

    const std::wstring location_;
    const bool usePolicy_;
    std::function<void()> changed_;
    std::mutex loadLock_;  // one load at a time, so an older read never overwrites a newer one
    mutable std::mutex lock_;
    std::vector<Entry> entries_;
    bool watched_ = false;
};

}  // namespace CORE
