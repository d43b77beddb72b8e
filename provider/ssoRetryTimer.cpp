#include "ssoRetryTimer.h"

#include "base/OfflineChannel.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "sso/Credentials.h"

using namespace CORE;

ssoRetryTimer::ssoRetryTimer() noexcept {
    try {
        long timeout = ParseInt(ReadConfigValue(L"\\Agent\\Configuration\\SSORetryTimeout", L"5000"), true);
        // A negative setting cannot mean a wait: treat it as switched off.
        timeoutMs_ = timeout > 0 ? static_cast<DWORD>(timeout) : 0;
    } catch (...) {
        timeoutMs_ = 5000;
    }
}

void ssoRetryTimer::StartConfigured() noexcept {
    if (timeoutMs_ == 0) {
        LogMessage(LOG_DEBUG, L"ssoRetryTimer is disabled");
        return;
    }
    running_ = Start(timeoutMs_);
    if (running_) LogMessage(LOG_DEBUG, L"ssoRetryTimer started (timeout = %d)", static_cast<int>(timeoutMs_));
}

void ssoRetryTimer::Stop() noexcept {
    if (!running_) return;
    coretimer::Stop();
    running_ = false;
    LogMessage(LOG_TRACE, L"ssoRetryTimer stopped");
}

bool ssoRetryTimer::TimerCallback() {
    LogMessage(LOG_DEBUG, L"ssoRetryTimer fired");
    if (TheCredentials().credentialsAvailable) {
        LogMessage(LOG_DEBUG, L"ssoRetryTimer::TimerCallback(): SSO credentials already available, skipping retry");
    } else if (OfflineChannel* channel = GetOfflineChannel()) {
        channel->RequestSSORetry();
    }
    return false;  // one attempt per start
}
