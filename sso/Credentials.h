// The one single sign-on record of the process: what the agent handed over for this session,
// kept between the moment it arrives and the moment the tile serializes it. Shared by the
// filter, the provider, the tile, result reporting and the Entra request; it has no lock of
// its own (only the CertSSO unlock event is guarded).
#pragma once
#include "EntraContext.h"

#include "lib/mfw/common/util/SecureString.h"
#include "lib/mfw/common/threads/corecritsec.h"
#include "lib/mfw/common/threads/coreevent.h"
#include "platform/UniqueResource.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace CORE {
class PropertyBag;
}

// The certificate SSO part of the record, with the named event through which the agent lets a
// CertSSO unlock proceed.
class CredCertLogonData {
public:
    std::wstring containerName;
    CORE::SecureWString pin;
    ULONGLONG attemptsLeft = 0;

    // Replaces the unlock event by a fresh one of that name (opened when it exists).
    // Throws coreException "Failed to create event" when it cannot be created.
    bool InitCertSsoUnlockEvent(const std::wstring& eventName);
    // Signals and drops the event: a waiter wakes and sees success.
    void ClearEvent() noexcept;
    // Waits up to CertSSOCredNotifTimeout for the agent; on failure the reason goes into `response`.
    bool WaitForCertSsoUnlockEvent(CORE::PropertyBag& response);
    bool HasUnlockEvent() noexcept;

private:
    CORE::corecritsec lock_;  // guards the two events only
    std::shared_ptr<CORE::coreevent> unlockEvent_;
    // Set when the event is dropped, so a waiter returns at once with success.
    std::shared_ptr<CORE::coreevent> released_;
};

class Credentials {
public:
    Credentials() noexcept;
    ~Credentials();
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;

    // Forgets the material of the last attempt (see the .cpp for what survives); `quiet`
    // drops the trace lines.
    void ClearCredentials(bool quiet) noexcept;
    // Searches the smart card for the certificate of upnList; 0 on success.
    DWORD FindSmartCardCertificate();
    bool InitCertSsoUnlockEvent(const std::wstring& eventName) { return certLogon.InitCertSsoUnlockEvent(eventName); }
    bool WaitForCertSsoUnlockEvent(CORE::PropertyBag& response);
    void WaitForClientEntraAuthCompletion();
    // Writes the reader and card insertion of the session for the smart card removal policy.
    void SendReaderToSmartCardService();
    // Called when the Entra assertion request finishes (on the request's thread).
    void OnEntraAuthComplete() noexcept;
    // Replaces the Entra request; the previous one is destroyed.
    void SetEntraContext(std::unique_ptr<IEntraContext> context) noexcept { entraContext = std::move(context); }
    // Ends the Entra request: destroyed (its call cancelled and waited for) when LogonUI has let
    // go of every object, but only let go of at process exit, whose other threads are gone
    // already (the wait for the request's worker would never end).
    void DropEntraContext(bool processExit) noexcept {
        if (processExit) (void)entraContext.release();
        entraContext.reset();
    }

    bool IsCertSsoUnlock() const noexcept { return isUnlockScenario && isCertSsoUnlockEnabled; }
    bool IsWhfbCertSsoUnlock() const noexcept { return isUnlockScenario && isWhfbCertSsoUnlockEnabled; }
    bool IsEntraUnlock() const noexcept { return isUnlockScenario && isEntraUnlockEnabled; }

    // --- The record (see the class comment for its access rules) ---
    DWORD activityCount = 0;
    std::atomic<bool> ticketFound{false};
    // A ticket lookup of this logon found no agent to answer it (none reachable, silent, or its
    // channel broke): later lookups of the logon are not sent. Survives ClearCredentials; a
    // new logon or a call-back from the agent clears it.
    std::atomic<bool> agentUnanswered{false};
    std::atomic<bool> credentialsAvailable{false};
    std::atomic<bool> isUnlockScenario{false};
    std::atomic<bool> isCertSsoUnlockEnabled{false};
    std::atomic<bool> isWhfbCertSsoUnlockEnabled{false};
    std::atomic<bool> isEntraUnlockEnabled{false};
    std::wstring domainName;
    std::wstring userName;
    CORE::SecureWString password;  // still protected as the agent sent it
    platform::unique_handle m_entraAuthRdpAssertionComplete;
    std::unique_ptr<IEntraContext> entraContext;
    std::wstring dnsDomainName;
    std::wstring brokerUserSid;
    CORE::SecureWString smartCardPin;  // clear text
    std::vector<std::wstring> upnList;
    std::wstring smartCardReader;
    std::wstring smartCardHintUpn;
    std::wstring cardName;
    std::wstring containerName;
    std::wstring providerName;
    DWORD keySpec = 0;
    CredCertLogonData certLogon;
    std::wstring sessionGuid;
    std::wstring certificateSsoId;
    bool reportErrors = false;
    std::wstring unauthUserName;
    CORE::SecureWString unauthPassword;
    CORE::SecureWString whfbCertPin;  // still protected
    std::wstring whfbCertCtxId;
};

// The process-wide record, alive from module load to unload.
Credentials& TheCredentials() noexcept;

// The unlock event name the agent signals: "Global\Velmora.Zephral.CredProvCertSsoUnlockEvent.<guid>".
std::wstring CertSsoUnlockEventName(const std::wstring& sessionGuid);
// CertSSOCredNotifTimeout in milliseconds (default 45000).
DWORD CertSsoNotificationTimeoutMs();
