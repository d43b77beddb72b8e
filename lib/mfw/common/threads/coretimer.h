// The library's timer service: one thread per process runs the callbacks of every armed timer
// (keep-alive timers of the channels, the SSO retry timer). A timer stays armed while its
// callback answers true.
#pragma once
#include "lib/mfw/common/threads/corerunnable.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>

namespace CORE {

class coretimer : public coreref {
public:
    coretimer() noexcept = default;

    // Arms the timer: TimerCallback runs on the service thread after intervalMs, and again
    // every intervalMs while it answers true. Re-arming an armed timer restarts its interval.
    bool Start(DWORD intervalMs) noexcept;
    // Disarms the timer. When its callback runs on another thread, waits for it to finish;
    // safe to call from the callback itself.
    void Stop() noexcept;
    bool IsArmed() const noexcept { return armed_.load(); }

protected:
    // Runs on the timer service thread; true keeps the timer armed.
    virtual bool TimerCallback() = 0;

private:
    friend class TimerService;
    std::atomic<bool> armed_{false};
    ULONGLONG generation_ = 0;  // guarded by the service lock
    DWORD interval_ = 0;
};

// Stops the service thread (module detach); armed timers are dropped without a callback. A
// later Start brings the service back.
void ShutdownTimerService() noexcept;
bool IsTimerServiceThread() noexcept;

// Timers for callers that need no object of their own (the channels' keep-alive ticks).
using TimerId = uint64_t;
// Runs `callback` after `periodMs`, then every `periodMs` when `repeat`. 0 on failure.
TimerId ScheduleTimer(DWORD periodMs, bool repeat, std::function<void()> callback);
// Removes the timer; waits for its callback when it runs on another thread (see Stop).
void CancelTimer(TimerId id) noexcept;

}  // namespace CORE
