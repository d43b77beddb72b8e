// The one background thread per process that turns outside signals into re-enumeration
// requests to the credential provider: the agent's per-session named event, SSO retries,
// and requests to close LogonUI's error dialog by posting it an Escape key press.
#pragma once
#include "lib/mfw/common/threads/corecritsec.h"
#include "lib/mfw/common/threads/corerunnable.h"

#include <windows.h>
#include <unknwn.h>

#include <atomic>
#include <string>
#include <vector>

// The context is the COM object the callback works on: the channel holds a reference on it
// for the whole call, so a provider released by LogonUI meanwhile outlives the callback.
using ReEnumerationCallback = void (*)(IUnknown* context, bool explicitRequest);
// Runs on the channel thread between taking the context and calling back (tests widen that
// gap with it); null in production.
using CallbackGapHook = void (*)();

class OfflineChannel : public CORE::corerunnable {
public:
    OfflineChannel() noexcept;

    // Stores the callback and creates the named auto-reset event it waits on; clears the context.
    void SetReEnumerationCallback(ReEnumerationCallback callback, const wchar_t* eventName) noexcept;
    // Replaces the context only when the stored one is `oldContext`.
    void SetReEnumerationContext(IUnknown* oldContext, IUnknown* newContext) noexcept;
    void RunChannelThread() noexcept;
    void Start() noexcept;
    // Asks the thread to end and waits up to 5000 ms (not when called on the thread itself).
    void Stop() noexcept;
    bool IsThreadRunning() noexcept;
    void RequestSSORetry() noexcept;
    void RequestDialogDismissal() noexcept;

    // For tests: the stored context, whether a named event exists, the callback gap hook.
    IUnknown* Context() noexcept;
    bool HasReEnumerationEvent() noexcept;
    void SetCallbackGapHook(CallbackGapHook hook) noexcept { gapHook_ = hook; }

protected:
    ~OfflineChannel() override;
    void ThreadEntry() override;

private:
    // Opens the named event in place of the current one; the current one is kept on failure
    // to record the old handle. Called under the lock.
    HANDLE ReplaceReEnumerationEvent(const wchar_t* eventName, DWORD* error) noexcept;
    void CallBack(bool explicitRequest);
    void DismissDialog();

    CORE::corecritsec lock_;
    bool running_ = false;
    platform::unique_handle stopEvent_;
    platform::unique_handle retryEvent_;
    platform::unique_handle dismissEvent_;
    ReEnumerationCallback callback_ = nullptr;
    // Every re-enumeration event opened: a replaced one stays open while the thread may still
    // wait on it, and all close with the channel. Changed under the lock.
    std::vector<platform::unique_handle> events_;
    // The current one of events_ (not owning), read by the thread without the lock at the
    // top of each wait.
    std::atomic<HANDLE> reEnumerationEvent_{nullptr};
    std::wstring reEnumerationEventName_;  // the name reEnumerationEvent_ was opened with
    IUnknown* context_ = nullptr;  // not owned: the provider holds itself while advised
    std::atomic<CallbackGapHook> gapHook_{nullptr};
};

// The process-wide channel, created on first use (no reference is added for the caller).
OfflineChannel* GetOfflineChannel() noexcept;
// Stops and releases the channel; the next GetOfflineChannel builds a fresh one.
void CleanupOfflineChannel() noexcept;
// The channel if it exists, without creating it.
OfflineChannel* PeekOfflineChannel() noexcept;

// Window enumeration callbacks of the dialog dismissal; lParam points to a DialogSearch.
struct DialogSearch {
    DWORD processId;
    bool found;
};
BOOL CALLBACK DismissWnd(HWND window, LPARAM state);
BOOL CALLBACK ChildProc(HWND window, LPARAM state);
