// The CertSSO unlock event: the agent signals it when a certificate unlock may proceed.
#include "Credentials.h"

#include "lib/mfw/common/bag/PropertyBag.h"
#include "lib/mfw/common/log/SysMessage.h"

#include <mutex>

using namespace CORE;

bool CredCertLogonData::InitCertSsoUnlockEvent(const std::wstring& eventName) {
    std::lock_guard<corecritsec> guard(lock_);
    ClearEvent();
    // Both exist before either is published: a waiter never sees one without the other.
    auto event = coreevent::CreateNamed(eventName.c_str(), false);
    auto released = coreevent::CreateUnnamed(true);
    event->Reset();  // a signal left over from an earlier unlock must not count
    unlockEvent_ = std::move(event);
    released_ = std::move(released);
    return true;
}

void CredCertLogonData::ClearEvent() noexcept {
    std::lock_guard<corecritsec> guard(lock_);
    // A waiter wakes through the release event, whatever happens to the named one (a new event
    // of the same name may be reset at once).
    if (released_) released_->Set();
    if (unlockEvent_) unlockEvent_->Set();
    unlockEvent_.reset();
    released_.reset();
}

bool CredCertLogonData::HasUnlockEvent() noexcept {
    std::lock_guard<corecritsec> guard(lock_);
    return unlockEvent_ != nullptr;
}

bool CredCertLogonData::WaitForCertSsoUnlockEvent(PropertyBag& response) {
    std::shared_ptr<coreevent> event;
    std::shared_ptr<coreevent> released;
    {
        std::lock_guard<corecritsec> guard(lock_);
        event = unlockEvent_;
        released = released_;
    }
    if (!event) {
        response.SetError(1, L"CertSsoUnlockEvent released or not initialized");
        return false;
    }
    HANDLE handles[2] = {event->Handle(), released ? released->Handle() : nullptr};
    DWORD wait = ::WaitForMultipleObjects(released ? 2 : 1, handles, FALSE, CertSsoNotificationTimeoutMs());
    if (wait == WAIT_OBJECT_0 || wait == WAIT_OBJECT_0 + 1) {
        LogMessage(LOG_TRACE,
                   L"CredCertLogonData::WaitForCertSsoUnlockEvent(): CertSsoUnlockEvent received notif (CredFilter)");
        return true;
    }
    response.SetError(1, L"CertSsoUnlockEvent timed out");
    return false;
}
