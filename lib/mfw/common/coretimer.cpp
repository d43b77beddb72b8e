#include "coretimer.h"

#include "SysMessage.h"
#include "corerunnable.h"

#include <condition_variable>
#include <map>
#include <mutex>

namespace CORE {

struct coretimer::State {
    struct Timer {
        ULONGLONG due = 0;
        DWORD period = 0;
        bool repeat = false;
        std::function<void()> callback;
    };
    std::mutex lock;
    std::condition_variable changed;
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
        std::unique_lock<std::mutex> guard(state_->lock);
        state_->threadId = ::GetCurrentThreadId();
        while (!state_->stop) {
            ULONGLONG now = ::GetTickCount64();
            auto next = state_->timers.end();
            for (auto it = state_->timers.begin(); it != state_->timers.end(); ++it)
                if (next == state_->timers.end() || it->second.due < next->second.due) next = it;
            if (next == state_->timers.end()) {
                state_->changed.wait(guard);
                continue;
            }
            if (next->second.due > now) {
                state_->changed.wait_for(guard, std::chrono::milliseconds(next->second.due - now));
                continue;
            }
            coretimer::TimerId id = next->first;
            std::function<void()> callback = next->second.callback;
            if (next->second.repeat)
                next->second.due = now + next->second.period;
            else
                state_->timers.erase(next);
            state_->running = id;
            guard.unlock();
            try {
                callback();
            } catch (...) {
                LogMessage(LOG_ERROR, L"CORE::coretimer: exception in timer callback");
            }
            guard.lock();
            state_->running = 0;
            state_->changed.notify_all();
        }
        state_->threadId = 0;
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
    std::lock_guard<std::mutex> guard(s.lock);
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
    std::unique_lock<std::mutex> guard(s.lock);
    s.timers.erase(id);
    s.changed.notify_all();
    if (s.threadId == ::GetCurrentThreadId()) return;
    s.changed.wait(guard, [&] { return s.running != id; });
}

void coretimer::Shutdown() {
    State& s = state();
    corerunnable* thread = nullptr;
    {
        std::lock_guard<std::mutex> guard(s.lock);
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
