// The one-shot timer of a provider's first tile: when no SSO credentials are available shortly
// after the tile appeared, it asks the re-enumeration thread for one more attempt.
#pragma once
#include "lib/mfw/common/threads/coretimer.h"

class ssoRetryTimer : public CORE::coretimer {
public:
    // Reads SSORetryTimeout (milliseconds, default 5000).
    ssoRetryTimer() noexcept;

    // Starts with the configured timeout; 0 disables the timer.
    void StartConfigured() noexcept;
    // Stops the timer when it runs.
    void Stop() noexcept;
    DWORD TimeoutMs() const noexcept { return timeoutMs_; }
    bool IsRunning() const noexcept { return running_; }

protected:
    bool TimerCallback() override;

private:
    DWORD timeoutMs_ = 0;
    bool running_ = false;
};
