#include "base/OfflineChannel.h"

#include "platform/UniqueResource.h"
#include "support/LogCapture.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

using testsupport::WaitFor;

// Records callbacks; the first one can be held until the test releases it.
struct CallbackProbe {
    std::atomic<int> calls{0}, explicitCalls{0};
    std::atomic<void*> lastContext{nullptr};
    platform::unique_handle entered{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    platform::unique_handle release{::CreateEventW(nullptr, TRUE, TRUE, nullptr)};

    static inline CallbackProbe* instance = nullptr;
    static void Callback(void* context, bool explicitRequest) {
        instance->lastContext = context;
        ++instance->calls;
        if (explicitRequest) ++instance->explicitCalls;
        ::SetEvent(instance->entered.get());
        ::WaitForSingleObject(instance->release.get(), 5000);
    }
    bool WaitForCalls(int n, DWORD timeoutMs = 5000) const {
        return WaitFor([&] { return calls.load() >= n; }, timeoutMs);
    }
};

class OfflineChannelTest : public ::testing::Test {
protected:
    void SetUp() override { CallbackProbe::instance = &probe; }
    void TearDown() override {
        CleanupOfflineChannel();
        CallbackProbe::instance = nullptr;
    }
    OfflineChannel* StartedChannel() {
        OfflineChannel* channel = GetOfflineChannel();
        channel->SetReEnumerationCallback(&CallbackProbe::Callback, eventName.c_str());
        channel->SetReEnumerationContext(nullptr, &contextA);
        channel->Start();
        return channel;
    }
    void SignalAgentEvent() {
        platform::unique_handle agentSide(::OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName.c_str()));
        ASSERT_TRUE(agentSide);
        ::SetEvent(agentSide.get());
    }

    testsupport::LogCapture log;
    CallbackProbe probe;
    std::wstring eventName = L"Local\\TcfiltrTest.Enumerate." + std::to_wstring(::GetCurrentProcessId());
    int contextA = 0, contextB = 0;
};

// Without an event nothing starts; a stopped channel is not restarted; starting and stopping twice is harmless.
TEST_F(OfflineChannelTest, RunsOnlyWithAnEventAndStaysStopped) {
    OfflineChannel* channel = GetOfflineChannel();
    channel->Start();
    channel->RequestSSORetry();
    EXPECT_FALSE(channel->IsThreadRunning());
    EXPECT_FALSE(probe.WaitForCalls(1, 50));
    StartedChannel()->Start();
    ASSERT_TRUE(WaitFor([&] { return log.Contains(L"waiting for an event."); }));
    channel->Stop();
    EXPECT_TRUE(!channel->IsThreadRunning() && channel->WaitForThreadEnd(0));
    channel->Stop();
    const int calls = probe.calls.load();
    channel->RequestSSORetry();
    EXPECT_FALSE(channel->IsThreadRunning());
    EXPECT_FALSE(probe.WaitForCalls(calls + 1, 50));
}

TEST_F(OfflineChannelTest, CleanupStopsTheThreadAndTheSingletonIsRebuilt) {
    OfflineChannel* first = StartedChannel();
    EXPECT_TRUE(GetOfflineChannel() == first && first->IsThreadRunning());
    first->AddRef();  // observe the object after the singleton lets go
    CleanupOfflineChannel();
    EXPECT_TRUE(!first->IsThreadRunning() && first->WaitForThreadEnd(0) && first->RefCount() == 1);
    first->Release();
    EXPECT_EQ(PeekOfflineChannel(), nullptr);
    OfflineChannel* second = GetOfflineChannel();
    EXPECT_FALSE(second->IsThreadRunning() || second->HasReEnumerationEvent() || second->Context());
}

// The agent's event and a retry request reach the callback with their kind; requests arriving
// during a callback collapse into one.
TEST_F(OfflineChannelTest, EventsAndRetriesReachTheCallbackAndCollapseWhileItRuns) {
    OfflineChannel* channel = StartedChannel();
    SignalAgentEvent();
    ASSERT_EQ(::WaitForSingleObject(probe.entered.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(probe.explicitCalls.load(), 0);
    EXPECT_EQ(probe.lastContext.load(), &contextA);
    ASSERT_TRUE(WaitFor([&] { return log.Count(L"waiting for an event.") >= 2; }));
    ::ResetEvent(probe.release.get());
    channel->RequestSSORetry();
    ASSERT_EQ(::WaitForSingleObject(probe.entered.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(probe.explicitCalls.load(), 1);
    channel->RequestSSORetry();
    channel->RequestSSORetry();
    ::SetEvent(probe.release.get());
    ASSERT_TRUE(probe.WaitForCalls(3));
    // Back at its wait after the third call: a fourth would follow at once.
    ASSERT_TRUE(WaitFor([&] { return log.Count(L"waiting for an event.") >= 4; }));
    EXPECT_FALSE(probe.WaitForCalls(4, 100));
}

// Only the registered owner may clear the context, and a second provider cannot take it over;
// registering the event again clears it.
TEST_F(OfflineChannelTest, ContextIsReplacedOnlyFromTheExpectedOwner) {
    OfflineChannel* channel = StartedChannel();
    channel->SetReEnumerationContext(&contextB, nullptr);
    channel->SetReEnumerationContext(nullptr, &contextB);
    EXPECT_EQ(channel->Context(), &contextA);
    channel->SetReEnumerationContext(&contextA, nullptr);
    EXPECT_EQ(channel->Context(), nullptr);
    channel->SetReEnumerationContext(nullptr, &contextA);
    channel->SetReEnumerationCallback(&CallbackProbe::Callback, eventName.c_str());
    EXPECT_EQ(channel->Context(), nullptr);
    channel->SetReEnumerationContext(nullptr, &contextB);
    SignalAgentEvent();
    ASSERT_TRUE(probe.WaitForCalls(1));
    EXPECT_EQ(probe.lastContext.load(), &contextB);
}

// Provider instances share the session's event handle: a leak would push the next free handle up.
TEST_F(OfflineChannelTest, ProviderInstancesShareTheSessionEventHandle) {
    OfflineChannel* channel = StartedChannel();
    auto nextHandle = [] { return reinterpret_cast<uintptr_t>(platform::unique_handle(::CreateEventW(nullptr, 0, 0, nullptr)).get()); };
    const uintptr_t before = nextHandle();
    for (int instance = 0; instance < 500; ++instance)
        channel->SetReEnumerationCallback(&CallbackProbe::Callback, eventName.c_str());
    EXPECT_LT(nextHandle(), before + 40);
}

std::vector<std::pair<UINT, WPARAM>> g_keys;

LRESULT CALLBACK RecordKeys(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_KEYDOWN || message == WM_KEYUP) g_keys.emplace_back(message, wParam);
    return ::DefWindowProcW(window, message, wParam, lParam);
}

// A stand-in for LogonUI's logon window with its error message child, on the test's thread.
class FakeLogonWindow {
public:
    FakeLogonWindow(UINT classStyle, bool childVisible) {
        for (const wchar_t* name : {kTop, kChild}) {
            WNDCLASSEXW wc = {sizeof(wc), classStyle, &RecordKeys, 0, 0, ::GetModuleHandleW(nullptr), {}, {}, {}, {}, name, {}};
            ::RegisterClassExW(&wc);
        }
        top_ = ::CreateWindowExW(0, kTop, L"", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr, nullptr,
                                 ::GetModuleHandleW(nullptr), nullptr);
        child_ = ::CreateWindowExW(0, kChild, L"", WS_CHILD | (childVisible ? WS_VISIBLE : 0), 0, 0, 50, 50, top_,
                                   nullptr, ::GetModuleHandleW(nullptr), nullptr);
        g_keys.clear();
    }
    ~FakeLogonWindow() {
        ::DestroyWindow(child_);
        ::DestroyWindow(top_);
        for (const wchar_t* name : {kChild, kTop}) ::UnregisterClassW(name, ::GetModuleHandleW(nullptr));
    }
    bool Created() const { return top_ && child_; }
    // Pumps this thread's messages until the Escape press arrived or the time is up.
    bool WaitForEscape(DWORD timeoutMs) {
        WaitFor(
            [] {
                MSG msg;
                while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
                return g_keys.size() >= 2;
            },
            timeoutMs);
        return g_keys == std::vector<std::pair<UINT, WPARAM>>{{WM_KEYDOWN, VK_ESCAPE}, {WM_KEYUP, VK_ESCAPE}};
    }

private:
    static constexpr const wchar_t* kTop = L"AUTHUI.DLL: LogonUI Logon Window";
    static constexpr const wchar_t* kChild = L"DirectUIHWND";
    HWND top_ = nullptr, child_ = nullptr;
};

TEST_F(OfflineChannelTest, DismissalPostsEscapeToAVisibleErrorWindowOnly) {
    {
        FakeLogonWindow window(CS_GLOBALCLASS, true);
        ASSERT_TRUE(window.Created());
        StartedChannel()->RequestDialogDismissal();
        EXPECT_TRUE(window.WaitForEscape(5000));
    }
    FakeLogonWindow hidden(CS_GLOBALCLASS, false);
    ASSERT_TRUE(hidden.Created());
    log.Clear();
    GetOfflineChannel()->RequestDialogDismissal();
    EXPECT_TRUE(WaitFor([&] { return log.Contains(L"OfflineChannel::ThreadEntry(): Dismiss attempt completed"); }));
    EXPECT_EQ(log.Count(L"DismissWnd(): Found LogonUI logon window"), 10u);  // ten passes, then left alone
    EXPECT_FALSE(hidden.WaitForEscape(200));
}

TEST_F(OfflineChannelTest, OtherProcessesWindowsAndOtherClassStylesDoNotQualify) {
    // A class style of our own, or the windows of another process id.
    for (auto [classStyle, otherProcess] : {std::pair<UINT, DWORD>{CS_GLOBALCLASS | CS_DBLCLKS, 0}, {CS_GLOBALCLASS, 4}}) {
        FakeLogonWindow window(classStyle, true);
        ASSERT_TRUE(window.Created());
        DialogSearch search{::GetCurrentProcessId() + otherProcess, false};
        ::EnumWindows(&DismissWnd, reinterpret_cast<LPARAM>(&search));
        EXPECT_FALSE(search.found) << classStyle << " " << otherProcess;
        EXPECT_FALSE(window.WaitForEscape(100));
    }
}

}  // namespace
