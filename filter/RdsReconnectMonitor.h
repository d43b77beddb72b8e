// Watches the session of a LogonUI on a multi-session host: when the client has stayed
// disconnected with nobody logged on for about thirty seconds, ends the LogonUI process so the
// next connection gets a fresh logon screen instead of a stale one.
#pragma once
#include "lib/mfw/common/threads/corerunnable.h"

class RdsReconnectMonitor : public CORE::corerunnable {
public:
    struct Timing {
        DWORD pollMs = 6000;      // between two connect-state polls
        DWORD graceMs = 5000;     // last chance for Stop before the process is ended
        DWORD stopWaitMs = 5000;  // how long Stop waits for the thread
    };

    RdsReconnectMonitor() noexcept : RdsReconnectMonitor(Timing{}) {}
    explicit RdsReconnectMonitor(const Timing& timing) noexcept;

    // Checks the host, policy, session and system; starts the thread. True only when it runs.
    bool Start() noexcept;
    // Sets the stop event and waits for the thread.
    void Stop() noexcept;
    // Whether a user name is set on the session; `answerOnFailure` when it cannot be read.
    bool IsUserLoggedOn(bool answerOnFailure) noexcept;

protected:
    ~RdsReconnectMonitor() override;
    void ThreadEntry() override { Run(); }

private:
    void Run();

    Timing timing_;
    platform::unique_handle stopEvent_;
    DWORD sessionId_ = 0;
};
