#include "coretimer.h"

#include "SysMessage.h"
#include "corerunnable.h"

#include <mutex>

#include <map>

namespace CORE {

// Win32 slim locks and condition variables rather than the C++ ones: these wait without
// kernel objects (under Wine, without a trip to wineserver), and channels schedule and cancel
// two timers each.
class SlimLock {
public:
    void lock() noexcept { ::AcquireSRWLockExclusive(&lock_); }
    void unlock() noexcept { ::ReleaseSRWLockExclusive(&lock_); }
    SRWLOCK* get() noexcept { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

class SlimCondition {
public:
    // Waits up to `ms` (INFINITE for no limit); the lock is held again on return.
    void wait_for(SlimLock& lock, DWORD ms) noexcept { ::SleepConditionVariableSRW(&cv_, lock.get(), ms, 0); }
    void notify_all() noexcept { ::WakeAllConditionVariable(&cv_); }

private:
    CONDITION_VARIABLE cv_ = CONDITION_VARIABLE_INIT;
};

struct coretimer::State {
    struct Timer {
        ULONGLONG due = 0;
        DWORD period = 0;
        bool repeat = false;
        std::function<void()> callback;
    };
    SlimLock lock;
    SlimCondition changed;
    std::map<TimerId, Timer> timers;
    TimerId nextId = 1;
    TimerId running = 0;  // id whose callback runs now
    bool stop = false;
    DWORD threadId = 0;
    corerunnable* thread = nullptr;
};

namespace {

class TimerThread : public corerunnable {
public:
    explicit TimerThread(coretimer::State* state) : corerunnable(L"coretimer"), state_(state) {}

protected:
    void ThreadEntry() override {
        state_->lock.lock();
        state_->threadId = ::GetCurrentThreadId();
        while (!state_->stop) {
            ULONGLONG now = ::GetTickCount64();
            auto next = state_->timers.end();
            for (auto it = state_->timers.begin(); it != state_->timers.end(); ++it)
                if (next == state_->timers.end() || it->second.due < next->second.due) next = it;
            if (next == state_->timers.end()) {
                state_->changed.wait_for(state_->lock, INFINITE);
                continue;
            }
            if (next->second.due > now) {
                ULONGLONG left = next->second.due - now;
                state_->changed.wait_for(state_->lock, left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(left));
                continue;
            }
            coretimer::TimerId id = next->first;
            std::function<void()> callback = next->second.callback;
            if (next->second.repeat)
                next->second.due = now + next->second.period;
            else
                state_->timers.erase(next);
            state_->running = id;
            state_->lock.unlock();
            try {
                callback();
            } catch (...) {
                LogMessage(LOG_ERROR, L"CORE::coretimer: exception in timer callback");
            }
            state_->lock.lock();
            state_->running = 0;
            state_->changed.notify_all();
        }
        state_->threadId = 0;
        state_->lock.unlock();
    }

private:
    coretimer::State* state_;
};

}  // namespace

coretimer& coretimer::Instance() {
    static coretimer* instance = new coretimer;  // never destroyed: its thread may outlive statics
    return *instance;
}

coretimer::State& coretimer::state() {
    static State* s = new State;
    return *s;
}

bool coretimer::IsTimerThread() const noexcept {
    return const_cast<coretimer*>(this)->state().threadId == ::GetCurrentThreadId();
}

coretimer::TimerId coretimer::Schedule(DWORD periodMs, bool repeat, std::function<void()> callback) {
    State& s = state();
    std::lock_guard<SlimLock> guard(s.lock);
    if (!s.thread) {
        auto* thread = new TimerThread(&s);
        s.stop = false;
        if (!thread->StartThread()) {
            thread->Release();
            return 0;
        }
        s.thread = thread;
    }
    TimerId id = s.nextId++;
    State::Timer timer;
    timer.due = ::GetTickCount64() + periodMs;
    timer.period = periodMs ? periodMs : 1;
    timer.repeat = repeat;
    timer.callback = std::move(callback);
    s.timers.emplace(id, std::move(timer));
    s.changed.notify_all();
    return id;
}

void coretimer::Cancel(TimerId id) {
    if (!id) return;
    State& s = state();
    std::lock_guard<SlimLock> guard(s.lock);
    // The thread needs no wake-up: a timer gone from the list is simply not found when it
    // looks again. Only a callback running now is waited for.
    s.timers.erase(id);
    if (s.threadId == ::GetCurrentThreadId()) return;
    while (s.running == id) s.changed.wait_for(s.lock, INFINITE);
}

void coretimer::Shutdown() {
    State& s = state();
    corerunnable* thread = nullptr;
    {
        std::lock_guard<SlimLock> guard(s.lock);
        s.stop = true;
        s.timers.clear();
        thread = s.thread;
        s.thread = nullptr;
        s.changed.notify_all();
    }
    if (!thread) return;
    if (!thread->IsCurrentThread()) thread->WaitForThreadEnd(5000);
    thread->Release();
}

}  // namespace CORE
