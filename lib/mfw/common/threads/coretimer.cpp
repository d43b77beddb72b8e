#include "lib/mfw/common/threads/coretimer.h"

#include "lib/mfw/common/log/SysMessage.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <new>

namespace CORE {

class TimerService : public corerunnable {
public:
    TimerService() noexcept : corerunnable(L"coretimer") {}

    bool Schedule(coretimer* timer, DWORD intervalMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (stopping_) return false;
        RemoveLocked(timer);
        timer->interval_ = intervalMs;
        timer->armed_ = true;
        timer->AddRef();  // the schedule's reference
        queue_.emplace(::GetTickCount64() + intervalMs, Entry{timer, ++timer->generation_});
        if (!started_) {
            started_ = true;
            lock.unlock();
            if (!StartThread()) {
                std::lock_guard<std::mutex> again(mutex_);
                started_ = false;
                RemoveLocked(timer);
                timer->armed_ = false;
                return false;
            }
            return true;
        }
        changed_.notify_all();
        return true;
    }

    void Cancel(coretimer* timer) {
        std::unique_lock<std::mutex> lock(mutex_);
        RemoveLocked(timer);
        timer->armed_ = false;
        ++timer->generation_;  // a callback in flight will not re-arm
        if (!IsCurrentThread())
            idle_.wait(lock, [&] { return running_ != timer; });
    }

    void Shutdown() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            changed_.notify_all();
        }
        WaitForThreadEnd(5000);
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& item : queue_) {
            item.second.timer->armed_ = false;
            item.second.timer->Release();
        }
        queue_.clear();
    }

protected:
    void ThreadEntry() override {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            if (queue_.empty()) {
                changed_.wait(lock);
                continue;
            }
            auto first = queue_.begin();
            ULONGLONG now = ::GetTickCount64();
            if (first->first > now) {
                changed_.wait_for(lock, std::chrono::milliseconds(first->first - now));
                continue;
            }
            Entry entry = first->second;
            queue_.erase(first);
            running_ = entry.timer;
            lock.unlock();
            bool again = false;
            try {
                again = entry.timer->TimerCallback();
            } catch (...) {
                LogMessage(LOG_ERROR, L"coretimer: exception in timer callback");
            }
            lock.lock();
            running_ = nullptr;
            if (again && !stopping_ && entry.timer->generation_ == entry.generation) {
                queue_.emplace(::GetTickCount64() + entry.timer->interval_, entry);  // keeps the reference
            } else {
                if (entry.timer->generation_ == entry.generation) entry.timer->armed_ = false;
                lock.unlock();
                entry.timer->Release();
                lock.lock();
            }
            idle_.notify_all();
        }
    }

private:
    struct Entry {
        coretimer* timer;
        ULONGLONG generation;
    };

    void RemoveLocked(coretimer* timer) {
        for (auto it = queue_.begin(); it != queue_.end();) {
            if (it->second.timer == timer) {
                it = queue_.erase(it);
                timer->Release();  // never the last reference: the caller holds one
            } else {
                ++it;
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::condition_variable idle_;
    std::multimap<ULONGLONG, Entry> queue_;
    coretimer* running_ = nullptr;
    bool started_ = false;
    bool stopping_ = false;
};

namespace {
std::mutex g_serviceLock;
TimerService* g_service = nullptr;

TimerService* Service() {
    std::lock_guard<std::mutex> guard(g_serviceLock);
    if (!g_service) g_service = new (std::nothrow) TimerService();
    return g_service;
}

class FunctionTimer;
std::mutex g_functionLock;
std::map<TimerId, FunctionTimer*>& FunctionTimers() {
    static auto* timers = new std::map<TimerId, FunctionTimer*>;  // never destroyed: used at exit
    return *timers;
}
TimerId g_nextId = 0;

class FunctionTimer final : public coretimer {
public:
    FunctionTimer(bool repeat, std::function<void()> callback) : repeat_(repeat), callback_(std::move(callback)) {}
    TimerId id = 0;

protected:
    bool TimerCallback() override {
        callback_();
        if (repeat_) return true;
        // A one-shot timer leaves the table by itself; the service's reference keeps it alive
        // until this callback has returned.
        bool listed = false;
        {
            std::lock_guard<std::mutex> guard(g_functionLock);
            listed = FunctionTimers().erase(id) != 0;
        }
        if (listed) Release();
        return false;
    }

private:
    bool repeat_;
    std::function<void()> callback_;
};
}  // namespace

bool coretimer::Start(DWORD intervalMs) noexcept {
    try {
        TimerService* service = Service();
        return service && service->Schedule(this, intervalMs);
    } catch (...) {
        return false;
    }
}

void coretimer::Stop() noexcept {
    TimerService* service = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_serviceLock);
        service = g_service;
    }
    if (service) service->Cancel(this);
    armed_ = false;
}

void ShutdownTimerService() noexcept {
    TimerService* service = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_serviceLock);
        service = g_service;
        g_service = nullptr;
    }
    if (!service) return;
    service->Shutdown();
    service->Release();
}

bool IsTimerServiceThread() noexcept {
    std::lock_guard<std::mutex> guard(g_serviceLock);
    return g_service && g_service->IsCurrentThread();
}

TimerId ScheduleTimer(DWORD periodMs, bool repeat, std::function<void()> callback) {
    auto* timer = new (std::nothrow) FunctionTimer(repeat, std::move(callback));
    if (!timer) return 0;
    TimerId id;
    {
        std::lock_guard<std::mutex> guard(g_functionLock);
        id = ++g_nextId;
        timer->id = id;
        FunctionTimers()[id] = timer;
    }
    if (!timer->Start(periodMs)) {
        CancelTimer(id);
        return 0;
    }
    return id;
}

void CancelTimer(TimerId id) noexcept {
    FunctionTimer* timer = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_functionLock);
        auto found = FunctionTimers().find(id);
        if (found == FunctionTimers().end()) return;
        timer = found->second;
        FunctionTimers().erase(found);
    }
    timer->Stop();
    timer->Release();
}

}  // namespace CORE
