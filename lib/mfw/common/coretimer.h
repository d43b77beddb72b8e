// The library's timer service: one thread per process runs the callbacks of every armed timer
// (keep-alive timers of the channels, the SSO retry timer). A timer stays armed while its
// callback answers true.
#pragma once
#include "corerunnable.h"

#include <windows.h>

#include <atomic>

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

// Stops the service thread (module detach); armed timers are dropped without a callback.
void ShutdownTimerService() noexcept;

}  // namespace CORE
