#include "lib/mfw/common/config/configWatch.h"

#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/util/ErrorText.h"
#include "lib/mfw/common/util/LogSink.h"
#include "lib/mfw/common/util/ThreadName.h"
#include "platform/UniqueResource.h"

#include <process.h>

#include <memory>
#include <mutex>
#include <vector>

#ifndef REG_NOTIFY_THREAD_AGNOSTIC
#define REG_NOTIFY_THREAD_AGNOSTIC 0x10000000L
#endif

namespace CORE {
namespace {

constexpr int kKeyDeletedRetries = 10;
constexpr DWORD kKeyDeletedRetryDelayMs = 100;
constexpr DWORD kShutdownWaitMs = 5000;
// Values of the key itself, not its subkeys: names, attributes, last-set time and security.
constexpr DWORD kNotifyFilter =
    REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_ATTRIBUTES | REG_NOTIFY_CHANGE_LAST_SET | REG_NOTIFY_CHANGE_SECURITY;

struct Watch {
    int id = 0;
    std::wstring path;
    HKEY hive = nullptr;
    std::wstring keyPath;
    platform::unique_hkey key;
    platform::unique_handle event;
    IConfigWatchTarget* target = nullptr;
    bool removed = false;  // guarded by the dispatch lock
};

struct WatcherState {
    std::mutex lock;                // the list and the thread bookkeeping
    std::recursive_mutex dispatch;  // held while a target is called back
    std::vector<std::shared_ptr<Watch>> watches;
    platform::unique_handle wake;  // auto-reset: the list changed or the thread must stop
    platform::unique_handle thread;
    DWORD threadId = 0;
    bool running = false;
    bool stopping = false;
    int nextId = 1;
};

// Never destroyed: the watcher thread may still run while static objects are destroyed.
WatcherState& State() {
    static WatcherState* state = new WatcherState;
    return *state;
}

LSTATUS OpenWatchedKey(HKEY hive, const std::wstring& keyPath, platform::unique_hkey* key) {
    return ::RegOpenKeyExW(hive, keyPath.c_str(), 0, KEY_QUERY_VALUE | KEY_NOTIFY | KEY_WOW64_64KEY, key->put());
}

// The registration survives the thread that made it (callers arm on their own threads);
// systems without that flag refuse it, so arm again without.
LSTATUS Arm(const Watch& watch) {
    LSTATUS status = ::RegNotifyChangeKeyValue(watch.key.get(), FALSE, kNotifyFilter | REG_NOTIFY_THREAD_AGNOSTIC,
                                               watch.event.get(), TRUE);
    if (status == ERROR_INVALID_PARAMETER)
        status = ::RegNotifyChangeKeyValue(watch.key.get(), FALSE, kNotifyFilter, watch.event.get(), TRUE);
    return status;
}

std::shared_ptr<Watch> FindWatch(int id) {
    WatcherState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    for (auto& watch : state.watches)
        if (watch->id == id) return watch;
    return nullptr;
}

void DropWatch(const std::shared_ptr<Watch>& watch) {
    WatcherState& state = State();
    std::lock_guard<std::recursive_mutex> dispatch(state.dispatch);
    watch->removed = true;
    std::lock_guard<std::mutex> guard(state.lock);
    for (auto it = state.watches.begin(); it != state.watches.end(); ++it) {
        if (*it == watch) {
            state.watches.erase(it);
            break;
        }
    }
}

// Re-arms a signalled watch. A deleted key is opened again by its path a few times (policy
// refreshes delete and recreate keys); false when the watch has to be given up.
bool Rearm(Watch& watch) {
    LSTATUS status = Arm(watch);
    int retries = 0;
    while (status == ERROR_KEY_DELETED && retries < kKeyDeletedRetries) {
        ++retries;
        LogToSink(LOG_DEBUG, L"RegNotifyChangeKeyValue return ERROR_KEY_DELETED, retrying count=%d", retries);
        ::Sleep(kKeyDeletedRetryDelayMs);
        platform::unique_hkey reopened;
        LSTATUS openStatus = OpenWatchedKey(watch.hive, watch.keyPath, &reopened);
        if (openStatus != ERROR_SUCCESS) continue;  // not there again yet
        watch.key = std::move(reopened);
        status = Arm(watch);
    }
    if (status == ERROR_SUCCESS) return true;
    if (status == ERROR_KEY_DELETED || retries > 0)
        LogToSink(LOG_ERROR, L"configWatch: registryWatch failed after %d retries", retries);
    else
        LogToSink(LOG_ERROR, L"error in configWatch: cannot register for watch of %s, Error: %s", watch.path.c_str(),
                   SystemErrorText(static_cast<DWORD>(status)).c_str());
    return false;
}

void OnSignalled(int id) {
    std::shared_ptr<Watch> watch = FindWatch(id);
    if (!watch) return;
    // Armed again before the reload, so a change made during the reload is not missed.
    bool keep = Rearm(*watch);
    {
        std::lock_guard<std::recursive_mutex> dispatch(State().dispatch);
        if (!watch->removed) {
            try {
                watch->target->OnConfigKeyChanged();
            } catch (...) {
                LogToSink(LOG_ERROR, L"error in configWatch: EXCEPTION in changed callback of %s", watch->path.c_str());
            }
        }
    }
    if (!keep) DropWatch(watch);
}

unsigned __stdcall WatcherThread(void*) {
    SetCurrentThreadName(L"configWatcher");
    WatcherState& state = State();
    for (;;) {
        // The snapshot keeps every waited-on event open even if its watch is removed meanwhile.
        std::vector<std::shared_ptr<Watch>> snapshot;
        std::vector<HANDLE> handles;
        {
            std::lock_guard<std::mutex> guard(state.lock);
            if (state.stopping || state.watches.empty()) {
                bool noWatches = state.watches.empty();
                state.running = false;
                state.threadId = 0;
                if (noWatches)
                    LogToSink(LOG_DEBUG,
                               L"_watcherThread::ThreadEntry(): configWatch: Thread exiting, no watches remaining, "
                               L"ThreadId=%d",
                               static_cast<int>(::GetCurrentThreadId()));
                return 0;
            }
            snapshot = state.watches;
            handles.push_back(state.wake.get());
            for (auto& watch : snapshot) handles.push_back(watch->event.get());
        }
        DWORD result = ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, INFINITE);
        if (result == WAIT_OBJECT_0) continue;
        if (result > WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + handles.size()) {
            OnSignalled(snapshot[result - WAIT_OBJECT_0 - 1]->id);
            continue;
        }
        LogToSink(LOG_ERROR, L"configWatch: WaitForMultipleObjects failed, %s",
                   SystemErrorText(::GetLastError()).c_str());
        ::Sleep(1000);  // never spin on a broken handle set
    }
}

// Called with the state locked, when the first watch comes (or the first after the thread ended).
bool StartWatcherThread(WatcherState& state) {
    state.stopping = false;
    unsigned id = 0;
    auto thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &WatcherThread, nullptr, 0, &id));
    if (!thread) return false;
    state.thread.reset(thread);
    state.threadId = id;
    state.running = true;
    return true;
}

}  // namespace

configWatch& configWatch::Instance() noexcept {
    static configWatch instance;  // stateless facade over State()
    return instance;
}

bool configWatch::AddWatch(const std::wstring& keyPath, IConfigWatchTarget* target) noexcept {
    try {
        if (!target) return false;
        auto watch = std::make_shared<Watch>();
        watch->path = keyPath;
        watch->target = target;
        if (!ParseRegistryKeyPath(keyPath, &watch->hive, &watch->keyPath)) {
            LogToSink(LOG_ERROR, L"error in configWatch: cannot open path %s, %s", keyPath.c_str(),
                       SystemErrorText(ERROR_PATH_NOT_FOUND).c_str());
            return false;
        }
        LSTATUS status = OpenWatchedKey(watch->hive, watch->keyPath, &watch->key);
        if (status != ERROR_SUCCESS) {
            LogToSink(LOG_ERROR, L"error in configWatch: cannot open path %s, %s", keyPath.c_str(),
                       SystemErrorText(static_cast<DWORD>(status)).c_str());
            return false;
        }
        watch->event.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        status = watch->event ? Arm(*watch) : static_cast<LSTATUS>(::GetLastError());
        if (status != ERROR_SUCCESS) {
            LogToSink(LOG_ERROR, L"error in configWatch: cannot register for watch of %s, Error: %s", keyPath.c_str(),
                       SystemErrorText(static_cast<DWORD>(status)).c_str());
            return false;
        }

        WatcherState& state = State();
        bool refused = false;
        bool started = true;
        {
            std::lock_guard<std::mutex> guard(state.lock);
            if (!state.wake) state.wake.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
            // One slot of the wait goes to the wake-up event.
            if (!state.wake || state.watches.size() + 1 >= MAXIMUM_WAIT_OBJECTS) {
                refused = true;
            } else {
                watch->id = state.nextId++;
                state.watches.push_back(watch);
                if (!state.running) {
                    started = StartWatcherThread(state);
                    if (!started) state.watches.pop_back();
                } else {
                    ::SetEvent(state.wake.get());
                }
            }
        }
        if (refused) {
            LogToSink(LOG_ERROR,
                       L"_watcherThread::ThreadEntry(): configWatch: nEvents exceeded MAXIMUM_WAIT_OBJECTS");
            return false;
        }
        if (!started) {
            LogToSink(LOG_ERROR, L"error in configWatch: cannot register for watch of %s, Error: %s", keyPath.c_str(),
                       SystemErrorText(::GetLastError()).c_str());
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

void configWatch::RemoveWatch(IConfigWatchTarget* target) noexcept {
    WatcherState& state = State();
    // Waits for a running callback of the target; recursive, so the callback itself may call it.
    std::lock_guard<std::recursive_mutex> dispatch(state.dispatch);
    std::lock_guard<std::mutex> guard(state.lock);
    bool changed = false;
    for (auto it = state.watches.begin(); it != state.watches.end();) {
        if ((*it)->target == target) {
            (*it)->removed = true;
            it = state.watches.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    if (changed && state.wake) ::SetEvent(state.wake.get());
}

void configWatch::Shutdown() noexcept {
    WatcherState& state = State();
    HANDLE thread = nullptr;
    {
        std::lock_guard<std::recursive_mutex> dispatch(state.dispatch);
        std::lock_guard<std::mutex> guard(state.lock);
        for (auto& watch : state.watches) watch->removed = true;
        state.watches.clear();
        if (!state.running) return;
        state.stopping = true;
        if (state.threadId == ::GetCurrentThreadId()) return;  // the thread ends after this callback
        // A copy: a watch added meanwhile may start a new thread and replace the handle.
        if (!::DuplicateHandle(::GetCurrentProcess(), state.thread.get(), ::GetCurrentProcess(), &thread, SYNCHRONIZE,
                               FALSE, 0))
            thread = nullptr;
        if (state.wake) ::SetEvent(state.wake.get());
    }
    platform::unique_handle owned(thread);
    if (owned) ::WaitForSingleObject(owned.get(), kShutdownWaitMs);
}

size_t configWatch::WatchCount() noexcept {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().watches.size();
}

DWORD configWatch::ThreadId() noexcept {
    std::lock_guard<std::mutex> guard(State().lock);
    return State().running ? State().threadId : 0;
}

}  // namespace CORE
