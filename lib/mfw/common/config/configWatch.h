// Watches registry keys for changes on one watcher thread ("configWatcher") and calls the
// owner of a key back after every change, so configuration tables follow the registry.
#pragma once
#include <windows.h>

#include <string>

namespace CORE {

// Implemented by the owner of a watch (a configuration table); called on the watcher thread.
class IConfigWatchTarget {
public:
    virtual ~IConfigWatchTarget() = default;
    virtual void OnConfigKeyChanged() = 0;
};

class configWatch {
public:
    // The process-wide watcher; never destroyed, its thread may outlive static objects.
    static configWatch& Instance() noexcept;

    // Watches the values of one key (a full path: "HKLM\Software\Velmora\Zephral\Log").
    // False, with a log line, when the key cannot be opened or armed, or when the watcher
    // already waits on as many handles as one thread can.
    bool AddWatch(const std::wstring& keyPath, IConfigWatchTarget* target) noexcept;
    // Removes every watch of the target; when it returns, no callback of the target runs
    // any more (unless called from that callback itself).
    void RemoveWatch(IConfigWatchTarget* target) noexcept;
    // Ends the watcher thread and drops every watch (bounded wait).
    void Shutdown() noexcept;

    size_t WatchCount() noexcept;
    // The watcher thread's id while it runs, else 0.
    DWORD ThreadId() noexcept;

    configWatch(const configWatch&) = delete;
    configWatch& operator=(const configWatch&) = delete;

private:
    configWatch() noexcept = default;
};

}  // namespace CORE
