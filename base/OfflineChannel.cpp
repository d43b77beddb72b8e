#include "OfflineChannel.h"

#include "lib/mfw/common/util/ErrorText.h"
#include "lib/mfw/common/log/SysMessage.h"

#include <algorithm>
#include <cwchar>
#include <mutex>
#include <new>

using namespace CORE;
using SysMsgUtl::FunctionTraceWithSessionId;

namespace {

constexpr DWORD kStopWaitMs = 5000;

corecritsec& SingletonLock() {
    static corecritsec lock;
    return lock;
}
OfflineChannel* g_channel = nullptr;

enum WaitIndex : DWORD { kStop = 0, kDismiss = 1, kRetry = 2, kReEnumerate = 3 };

// A window of LogonUI's own process, visible, of a global class, with a readable class name.
bool Qualifies(HWND window, const DialogSearch& search, wchar_t (&className)[2048]) {
    if (search.found) return false;
    DWORD processId = 0;
    ::GetWindowThreadProcessId(window, &processId);
    if (processId != search.processId) return false;
    if (!::IsWindowVisible(window)) return false;
    if (::GetClassLongW(window, GCL_STYLE) != CS_GLOBALCLASS) return false;
    return ::GetClassNameW(window, className, 2048) != 0;
}

}  // namespace

OfflineChannel::OfflineChannel() noexcept : corerunnable(L"OfflineChannel") {
    stopEvent_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    retryEvent_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    dismissEvent_.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
}

OfflineChannel::~OfflineChannel() = default;

void OfflineChannel::SetReEnumerationCallback(ReEnumerationCallback callback, const wchar_t* eventName) noexcept {
    FunctionTraceWithSessionId trace("OfflineChannel::SetReEnumerationCallback");
    std::lock_guard<corecritsec> guard(lock_);
    callback_ = callback;
    HANDLE event = reEnumerationEvent_.load();
    DWORD error = ERROR_SUCCESS;
    // Every provider instance of the session names the same event: keep the handle already
    // open rather than gather one per instance until unload.
    if (!event || !eventName || reEnumerationEventName_ != eventName) event = ReplaceReEnumerationEvent(eventName, &error);
    context_ = nullptr;
    if (event) {
        LogMessage(LOG_TRACE, L"%s: Successfully created credential re-enumeration event.",
                   L"OfflineChannel::SetReEnumerationCallback");
    } else {
        LogMessage(LOG_DEBUG, L"%s: Failed to create credential re-enumeration event: %s.",
                   L"OfflineChannel::SetReEnumerationCallback", SystemErrorText(error).c_str());
    }
}

HANDLE OfflineChannel::ReplaceReEnumerationEvent(const wchar_t* eventName, DWORD* error) noexcept {
    platform::unique_handle opened(::CreateEventW(nullptr, FALSE, FALSE, eventName));
    *error = ::GetLastError();
    HANDLE event = opened.get();
    if (event) {
        try {
            events_.push_back(std::move(opened));
        } catch (...) {
            return reEnumerationEvent_.load();  // keep the old one; the new one closes here
        }
    }
    reEnumerationEvent_ = event;
    try {
        reEnumerationEventName_ = event && eventName ? eventName : L"";
    } catch (...) {
        reEnumerationEventName_.clear();  // the next call opens the event again
    }
    return event;
}

void OfflineChannel::SetReEnumerationContext(IUnknown* oldContext, IUnknown* newContext) noexcept {
    wchar_t detail[96];
    _snwprintf(detail, 96, L"oldContext=%p, context=%p", oldContext, newContext);
    detail[95] = L'\0';
    FunctionTraceWithSessionId trace("OfflineChannel::SetReEnumerationContext", detail);
    std::lock_guard<corecritsec> guard(lock_);
    if (context_ == oldContext) {
        context_ = newContext;
    } else {
        LogMessage(LOG_ERROR,
                   L"OfflineChannel::SetReEnumerationContext(): Cannot register due to mismatch, it is not expected "
                   L"for more than one instance to exist.");
    }
}

void OfflineChannel::RunChannelThread() noexcept {
    FunctionTraceWithSessionId trace("OfflineChannel::RunChannelThread");
    Start();
}

void OfflineChannel::Start() noexcept {
    FunctionTraceWithSessionId trace("OfflineChannel::Start");
    {
        std::lock_guard<corecritsec> guard(lock_);
        if (running_) {
            LogMessage(LOG_ERROR, L"%s: Start called with thread running.", L"OfflineChannel::Start");
            return;
        }
        if (!reEnumerationEvent_.load()) {
            LogMessage(LOG_TRACE, L"OfflineChannel::Start(): Skipping thread start since this is an RDP session.");
            return;
        }
        running_ = true;
    }
    if (!StartThread()) {
        std::lock_guard<corecritsec> guard(lock_);
        running_ = false;
    }
}

void OfflineChannel::Stop() noexcept {
    FunctionTraceWithSessionId trace("OfflineChannel::Stop");
    {
        std::lock_guard<corecritsec> guard(lock_);
        if (!running_) return;
        running_ = false;
    }
    ::SetEvent(stopEvent_.get());
    if (!IsCurrentThread()) WaitForThreadEnd(kStopWaitMs);
}

bool OfflineChannel::IsThreadRunning() noexcept {
    std::lock_guard<corecritsec> guard(lock_);
    return running_;
}

void OfflineChannel::RequestSSORetry() noexcept {
    FunctionTraceWithSessionId trace("OfflineChannel::RequestSSORetry");
    ::SetEvent(retryEvent_.get());
}

void OfflineChannel::RequestDialogDismissal() noexcept {
    FunctionTraceWithSessionId trace("OfflineChannel::RequestDialogDismissal");
    ::SetEvent(dismissEvent_.get());
}

IUnknown* OfflineChannel::Context() noexcept {
    std::lock_guard<corecritsec> guard(lock_);
    return context_;
}

bool OfflineChannel::HasReEnumerationEvent() noexcept { return reEnumerationEvent_.load() != nullptr; }

void OfflineChannel::CallBack(bool explicitRequest) {
    ReEnumerationCallback callback;
    platform::com_ptr<IUnknown> context;
    {
        std::lock_guard<corecritsec> guard(lock_);
        callback = callback_;
        // Taken before the lock is left: UnAdvise and the last Release may come at any moment.
        context = platform::com_ptr<IUnknown>(context_);
    }
    if (CallbackGapHook hook = gapHook_.load()) hook();
    // Never call out under the lock: the callback takes the provider's lock.
    if (callback) callback(context.get(), explicitRequest);
}

void OfflineChannel::DismissDialog() {
    LogMessage(LOG_DEBUG, L"OfflineChannel::ThreadEntry(): Attempt to dismiss retry error dialog");
    DialogSearch search{::GetCurrentProcessId(), false};
    ::Sleep(100);
    for (int attempt = 0; attempt < 10; ++attempt) {
        if (!::EnumWindows(&DismissWnd, reinterpret_cast<LPARAM>(&search)) || search.found) break;
        ::Sleep(50);
    }
    LogMessage(LOG_DEBUG, L"OfflineChannel::ThreadEntry(): Dismiss attempt completed");
}

void OfflineChannel::ThreadEntry() {
    FunctionTraceWithSessionId trace("OfflineChannel::ThreadEntry");
    LogMessage(LOG_DEBUG, L"OfflineChannel::ThreadEntry(): started monitoring");
    while (IsThreadRunning()) {
        HANDLE handles[4] = {stopEvent_.get(), dismissEvent_.get(), retryEvent_.get(), reEnumerationEvent_.load()};
        DWORD count = handles[kReEnumerate] ? 4 : 3;
        LogMessage(LOG_TRACE, L"OfflineChannel::ThreadEntry(): waiting for an event.");
        DWORD result = ::WaitForMultipleObjects(count, handles, FALSE, INFINITE);
        if (result == WAIT_FAILED) {
            DWORD error = ::GetLastError();
            if (!IsThreadRunning()) {
                LogMessage(LOG_DEBUG, L"OfflineChannel::ThreadEntry(): stop requested.");
                break;
            }
            LogMessage(LOG_ERROR, L"Re-enumeration wait failed: %s. Will retry.", SystemErrorText(error).c_str());
            continue;
        }
        if (result == WAIT_OBJECT_0 + kStop) {
            LogMessage(LOG_DEBUG, L"OfflineChannel::ThreadEntry(): thread exit event signaled.");
            break;
        }
        if (result == WAIT_OBJECT_0 + kDismiss) {
            DismissDialog();
        } else if (result == WAIT_OBJECT_0 + kRetry) {
            LogMessage(LOG_DEBUG, L"OfflineChannel::ThreadEntry(): resend credentials changed requested.");
            CallBack(true);
        } else {
            LogMessage(LOG_DEBUG, L"OfflineChannel::ThreadEntry(): credential re-enumeration requested.");
            CallBack(false);
        }
    }
    // The current named handle goes with the thread; replaced ones with the object.
    std::lock_guard<corecritsec> guard(lock_);
    if (HANDLE event = reEnumerationEvent_.exchange(nullptr)) {
        auto held = std::find_if(events_.begin(), events_.end(),
                                 [event](const platform::unique_handle& h) { return h.get() == event; });
        if (held != events_.end()) events_.erase(held);
    }
}

OfflineChannel* GetOfflineChannel() noexcept {
    FunctionTraceWithSessionId trace("GetOfflineChannel");
    std::lock_guard<corecritsec> guard(SingletonLock());
    if (!g_channel) g_channel = new (std::nothrow) OfflineChannel();
    return g_channel;
}

OfflineChannel* PeekOfflineChannel() noexcept {
    std::lock_guard<corecritsec> guard(SingletonLock());
    return g_channel;
}

void CleanupOfflineChannel() noexcept {
    FunctionTraceWithSessionId trace("CleanupOfflineChannel");
    std::lock_guard<corecritsec> guard(SingletonLock());
    if (!g_channel) return;
    if (g_channel->IsThreadRunning()) {
        g_channel->Stop();
        if (!g_channel->WaitForThreadEnd(0))
            LogMessage(LOG_ERROR, L"%s: Offline thread is running when we delete it.", L"CleanupOfflineChannel");
    }
    // The thread holds its own reference while it runs.
    g_channel->Release();
    g_channel = nullptr;
}

BOOL CALLBACK DismissWnd(HWND window, LPARAM state) {
    auto* search = reinterpret_cast<DialogSearch*>(state);
    wchar_t className[2048];
    if (search && Qualifies(window, *search, className) &&
        wcscmp(className, L"AUTHUI.DLL: LogonUI Logon Window") == 0) {
        LogMessage(LOG_DEBUG, L"DismissWnd(): Found LogonUI logon window");
        ::EnumChildWindows(window, &ChildProc, state);
    }
    return TRUE;
}

BOOL CALLBACK ChildProc(HWND window, LPARAM state) {
    auto* search = reinterpret_cast<DialogSearch*>(state);
    wchar_t className[2048];
    if (search && Qualifies(window, *search, className) && wcscmp(className, L"DirectUIHWND") == 0) {
        LogMessage(LOG_DEBUG, L"ChildProc(): Found LogonUI error message window");
        ::PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
        ::PostMessageW(window, WM_KEYUP, VK_ESCAPE, 0);
        search->found = true;
    }
    return TRUE;
}
