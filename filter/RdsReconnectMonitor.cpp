#include "RdsReconnectMonitor.h"

#include "base/SessionInfo.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "platform/Platform.h"

#include <string>

using namespace CORE;

namespace {

// The executable's file name without directory and extension.
std::wstring BaseName(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos) name.resize(dot);
    return name;
}

bool IsMultiSessionHost() {
    if (GetOsLevel() < 8) return false;
    auto suiteTest = [](WORD suite) {
        OSVERSIONINFOEXW info = {};
        info.dwOSVersionInfoSize = sizeof(info);
        info.wSuiteMask = suite;
        DWORDLONG mask = ::VerSetConditionMask(0, VER_SUITENAME, VER_AND);
        return platform::Get().VerifyVersionInfo(&info, VER_SUITENAME, mask) != FALSE;
    };
    return suiteTest(VER_SUITE_TERMINAL) && !suiteTest(VER_SUITE_SINGLEUSERTS);
}

}  // namespace

RdsReconnectMonitor::RdsReconnectMonitor(const Timing& timing) noexcept
    : corerunnable(L"RdsReconnectMonitor"), timing_(timing) {}

RdsReconnectMonitor::~RdsReconnectMonitor() { Stop(); }

bool RdsReconnectMonitor::Start() noexcept {
    try {
        if (_wcsicmp(BaseName(platform::Get().HostExecutablePath()).c_str(), L"logonui") != 0) return false;
        if (ReadConfigBool(L"\\Agent\\Configuration\\DisableRdsReconnectMonitor", L"FALSE")) {
            LogMessage(LOG_INFO, L"RdsReconnectMonitor: Disabled\n");
            return false;
        }
        if (!platform::Get().ProcessIdToSessionId(::GetCurrentProcessId(), &sessionId_)) {
            LogMessage(LOG_ERROR, L"RdsReconnectMonitor: Failed to get sessionId");
            return false;
        }
        if (sessionId_ == platform::Get().GetActiveConsoleSessionId()) {
            LogMessage(LOG_INFO, L"RdsReconnectMonitor: Exit, not required for console sessionId=%d\n",
                       static_cast<int>(sessionId_));
            return false;
        }
        if (!IsMultiSessionHost()) {
            LogMessage(LOG_INFO, L"RdsReconnectMonitor: Exit, not required on this system");
            return false;
        }
        if (IsUserLoggedOn(false)) {
            LogMessage(LOG_INFO, L"RdsReconnectMonitor: Exit, a user is LoggedOn to sessionId=%d\n",
                       static_cast<int>(sessionId_));
            return false;
        }
        stopEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!stopEvent_) return false;
        if (!StartThread()) {
            stopEvent_.reset();
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

void RdsReconnectMonitor::Stop() noexcept {
    if (!stopEvent_) return;
    ::SetEvent(stopEvent_.get());
    WaitForThreadEnd(timing_.stopWaitMs);
}

bool RdsReconnectMonitor::IsUserLoggedOn(bool answerOnFailure) noexcept {
    std::string user;
    if (!platform::Get().QueryUserName(&user)) {
        LogMessage(LOG_ERROR, L"Failed to query for username Error=%d, sessionId=%d\n",
                   static_cast<int>(::GetLastError()), static_cast<int>(sessionId_));
        return answerOnFailure;
    }
    // The narrow query returns at least the terminator; fewer than 2 bytes is an empty name.
    if (user.empty()) {
        LogMessage(LOG_DEBUG, L"No user is logged on to this sessionId=%d\n", static_cast<int>(sessionId_));
        return false;
    }
    LogMessage(LOG_DEBUG, L"A user is logged on to this sessionId=%d\n", static_cast<int>(sessionId_));
    return true;
}

void RdsReconnectMonitor::Run() {
    const int session = static_cast<int>(sessionId_);
    LogMessage(LOG_INFO, L"Waiting for logon or reconnect to sessionId=%d", session);
    int disconnectCount = 0;
    DWORD wait = ::WaitForSingleObject(stopEvent_.get(), timing_.pollMs);
    while (wait != WAIT_OBJECT_0) {
        if (wait != WAIT_TIMEOUT) {
            LogMessage(LOG_ERROR, L"Exit, Wait failed sessionId=%d", session);
            return;
        }
        if (sessionId_ == platform::Get().GetActiveConsoleSessionId()) {
            LogMessage(LOG_INFO, L"Exit, Console sessionId=%d\n", session);
            break;
        }
        WTS_CONNECTSTATE_CLASS state = WTSActive;
        if (!platform::Get().QueryConnectState(&state)) {
            LogMessage(LOG_INFO, L"Failed to get Connect State Error=%d - sessionId=%d",
                       static_cast<int>(::GetLastError()), session);
            disconnectCount = 0;
        } else if (state == WTSDisconnected) {
            LogMessage(LOG_INFO, L"Session is disconnected (count=%d) sessionId=%d", disconnectCount + 1, session);
            disconnectCount += 2;
            if (disconnectCount >= 10) {
                // An unreadable user name counts as a logon in progress: never end such a session.
                if (IsUserLoggedOn(true)) {
                    LogMessage(LOG_INFO, L"Exit, A user has started to logon to sessionId=%d", session);
                    break;
                }
                LogMessage(LOG_DEBUG, L"Terminate the LogonUI Process sessionId=%d", session);
                if (::WaitForSingleObject(stopEvent_.get(), timing_.graceMs) == WAIT_OBJECT_0) break;
                FlushLog();
                platform::Get().TerminateOwnProcess(0);
                // Only a seam that does not end the process returns here: stop polling.
                break;
            }
        } else {
            disconnectCount = 0;
        }
        wait = ::WaitForSingleObject(stopEvent_.get(), timing_.pollMs);
    }
    LogMessage(LOG_INFO, L"The LogonUI Process is ending for sessionId=%d", session);
}
