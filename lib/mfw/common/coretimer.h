// The library's timer service: one timer thread per process runs every periodic and one-shot
// callback (channel keep-alive and disconnect timers, the SSO retry timer). Callbacks run one
// at a time and must return quickly.
#pragma once
#include <windows.h>

#include <cstdint>
#include <functional>

namespace CORE {

class coretimer {
public:
    using TimerId = uint64_t;

    // The process's timer service; its thread starts with the first timer.
    static coretimer& Instance();

    // Runs `callback` after `periodMs`, then every `periodMs` when `repeat`. 0 on failure.
    TimerId Schedule(DWORD periodMs, bool repeat, std::function<void()> callback);
    // Removes a timer. When its callback is running on another thread, waits for it to
    // finish, so nothing the callback uses may be freed before this returns. From the timer
    // thread itself (a callback cancelling a timer) it returns at once.
    void Cancel(TimerId id);
    // Stops the thread (module teardown); pending timers are dropped. Later Schedule calls
    // start it again.
    void Shutdown();
    bool IsTimerThread() const noexcept;

    struct State;  // defined with the timer thread

private:
    coretimer() = default;
    State& state();
};

}  // namespace CORE
