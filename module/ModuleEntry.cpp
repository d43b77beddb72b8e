#include "ModuleEntry.h"

#include "base/LogonMonitor.h"
#include "base/SessionInfo.h"
#include "filter/RdsReconnectMonitor.h"
#include "lib/mfw/common/config/Config.h"
#include "lib/mfw/common/MessageFrameWork.h"
#include "lib/mfw/common/log/SysMessage.h"
#include "lib/mfw/common/threads/coretimer.h"
#include "platform/Platform.h"
#include "base/OfflineChannel.h"
#include "sso/Credentials.h"

#include <atomic>
#include <new>

using namespace CORE;

namespace {

constexpr DWORD kLibraryThreadWaitMs = 15000;

std::atomic<HINSTANCE> g_instance{nullptr};
std::atomic<RdsReconnectMonitor*> g_monitor{nullptr};
std::atomic<bool> g_workStarted{false};

std::wstring BaseNameOf(const std::wstring& path) {
    size_t slash = path.rfind(L'\\');
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos) name.resize(dot);
    return name;
}

void StartReconnectMonitor() {
    auto* monitor = new (std::nothrow) RdsReconnectMonitor();
    if (!monitor) return;
    if (!monitor->Start()) {
        monitor->Release();
        return;
    }
    if (RdsReconnectMonitor* previous = g_monitor.exchange(monitor)) {
        previous->Stop();
        previous->Release();
    }
}

}  // namespace

HINSTANCE ModuleInstance() noexcept { return g_instance.load(); }

bool IsExcludedHost(const std::wstring& baseName) {
    // The elevation consent dialog and the browser never get the module.
    if (_wcsicmp(baseName.c_str(), L"consent") == 0 || _wcsicmp(baseName.c_str(), L"iexplore") == 0) return true;
    std::wstring exceptions = ReadConfigValue(L"\\Agent\\Configuration\\CredentialFilterExceptions", L"");
    size_t start = 0;
    while (start <= exceptions.size()) {
        size_t end = exceptions.find(L';', start);
        if (end == std::wstring::npos) end = exceptions.size();
        std::wstring item = exceptions.substr(start, end - start);
        if (!item.empty() && _wcsicmp(item.c_str(), baseName.c_str()) == 0) return true;
        start = end + 1;
    }
    return false;
}

void StartModuleWork() noexcept {
    if (g_workStarted.exchange(true)) return;
    try {
        StartReconnectMonitor();
    } catch (...) {
    }
}

void TeardownModuleObjects() noexcept {
    g_workStarted = false;
    if (RdsReconnectMonitor* monitor = g_monitor.exchange(nullptr)) {
        monitor->Stop();
        monitor->Release();
    }
    CleanupOfflineChannel();
    TheCredentials().DropEntraContext(false);
}

BOOL ModuleEntry(HINSTANCE instance, DWORD reason, LPVOID reserved) noexcept {
    try {
        std::wstring path = platform::Get().HostExecutablePath();
        if (path.size() > 2047) path.resize(2047);
        if (IsExcludedHost(BaseNameOf(path))) return FALSE;

        if (reason == DLL_PROCESS_DETACH) {
            LogMessage(LOG_INFO, L"tcfiltr detach for session with sessionId=%d", static_cast<int>(GetSessionId()));
            // At process exit (reserved set) the other threads are gone, maybe holding locks; waiting
            // for them or shutting services down under the loader lock could hang the exit. Only
            // the log is written then, on this thread; the rest is left to the system.
            if (reserved) TheCredentials().DropEntraContext(true);
            if (!reserved) {
                TeardownModuleObjects();
                ShutdownLogonMonitor();
                MessageFrameWork::GetFrameWork()->Shutdown();
                ShutdownTimerService();
                WaitForLibraryThreads(kLibraryThreadWaitMs);
            }
            FlushLog();
        } else if (reason == DLL_PROCESS_ATTACH) {
            LogonMonitorNotify(L"Lumo Agent", L"tcfiltr", L"TCFILTR_ATTACHED");
            StartLogging();
            LogMessage(LOG_INFO, L"tcfiltr attach for session with sessionId=%d", static_cast<int>(GetSessionId()));
            ::DisableThreadLibraryCalls(instance);
            // Pin the module: LogonUI's releases must never unload code its threads still run.
            HMODULE pinned = nullptr;
            ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                 reinterpret_cast<LPCWSTR>(&ModuleEntry), &pinned);
            // The reconnect monitor asks the session service (RPC) before it starts: not under the
            // loader lock, but at the first class object request (StartModuleWork).
        }
        g_instance = instance;
        return TRUE;
    } catch (...) {
        return FALSE;
    }
}
