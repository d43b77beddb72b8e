// The one single sign-on record of the process: what the agent handed over for this session,
// kept between the moment it arrives and the moment the tile serializes it.
#pragma once
#include <windows.h>

#include <atomic>

class Credentials {
public:
    Credentials() noexcept = default;
    ~Credentials();
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;

    // Forgets the material of the last attempt; `quiet` drops the trace lines.
    void ClearCredentials(bool quiet) noexcept;
    // Asks the agent for this session's SSO material; the outcome is credentialsAvailable.
    void PopulateCredentials() noexcept;
    // Asks the agent which unlock kinds are enabled; true when any is.
    bool CheckDMIfCertSsoUsed() noexcept;

    bool IsCertSsoUnlock() const noexcept { return isUnlockScenario && isCertSsoUnlockEnabled; }
    bool IsWhfbCertSsoUnlock() const noexcept { return isUnlockScenario && isWhfbCertSsoUnlockEnabled; }
    bool IsEntraUnlock() const noexcept { return isUnlockScenario && isEntraUnlockEnabled; }

    // Written by the filter and the agent requests on LogonUI threads and read by the
    // re-enumeration thread; the record has no lock of its own, so the flags are atomic.
    std::atomic<bool> ticketFound{false};
    std::atomic<bool> credentialsAvailable{false};
    std::atomic<bool> isUnlockScenario{false};
    std::atomic<bool> isCertSsoUnlockEnabled{false};
    std::atomic<bool> isWhfbCertSsoUnlockEnabled{false};
    std::atomic<bool> isEntraUnlockEnabled{false};
};

// The process-wide record, alive from module load to unload.
Credentials& TheCredentials() noexcept;
