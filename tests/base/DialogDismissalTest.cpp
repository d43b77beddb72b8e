#include "base/OfflineChannel.h"

#include "support/LogCapture.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

using testsupport::LogCapture;

std::vector<std::pair<UINT, WPARAM>> g_keys;

LRESULT CALLBACK RecordKeys(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_KEYDOWN || message == WM_KEYUP) g_keys.emplace_back(message, wParam);
    return ::DefWindowProcW(window, message, wParam, lParam);
}

// A stand-in for LogonUI's logon window with its error message child, on the test's thread.
class FakeLogonWindow {
public:
    FakeLogonWindow(UINT classStyle, bool childVisible) {
        Register(L"AUTHUI.DLL: LogonUI Logon Window", classStyle);
        Register(L"DirectUIHWND", classStyle);
        top_ = ::CreateWindowExW(0, L"AUTHUI.DLL: LogonUI Logon Window", L"", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                 200, 100, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
        child_ = ::CreateWindowExW(0, L"DirectUIHWND", L"", WS_CHILD | (childVisible ? WS_VISIBLE : 0), 0, 0, 50, 50,
                                   top_, nullptr, ::GetModuleHandleW(nullptr), nullptr);
        g_keys.clear();
    }
    ~FakeLogonWindow() {
        if (child_) ::DestroyWindow(child_);
        if (top_) ::DestroyWindow(top_);
        ::UnregisterClassW(L"DirectUIHWND", ::GetModuleHandleW(nullptr));
        ::UnregisterClassW(L"AUTHUI.DLL: LogonUI Logon Window", ::GetModuleHandleW(nullptr));
    }
    bool Created() const { return top_ && child_; }

    // Pumps this thread's messages until the Escape press arrived or the time is up.
    bool WaitForEscape(DWORD timeoutMs) {
        testsupport::WaitFor(
            [] {
                MSG msg;
                while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
                return g_keys.size() >= 2;
            },
            timeoutMs);
        return g_keys.size() == 2 && g_keys[0] == std::make_pair(UINT(WM_KEYDOWN), WPARAM(VK_ESCAPE)) &&
               g_keys[1] == std::make_pair(UINT(WM_KEYUP), WPARAM(VK_ESCAPE));
    }

private:
    static void Register(const wchar_t* name, UINT style) {
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof(wc);
        wc.style = style;
        wc.lpfnWndProc = &RecordKeys;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = name;
        ::RegisterClassExW(&wc);
    }
    HWND top_ = nullptr;
    HWND child_ = nullptr;
};

class DialogDismissalTest : public ::testing::Test {
protected:
    void TearDown() override { CleanupOfflineChannel(); }
    static OfflineChannel* StartedChannel() {
        OfflineChannel* channel = GetOfflineChannel();
        std::wstring name = L"Local\\TcfiltrTest.Dismiss." + std::to_wstring(::GetCurrentProcessId());
        channel->SetReEnumerationCallback([](void*, bool) {}, name.c_str());
        channel->Start();
        return channel;
    }
    LogCapture log;
};

TEST_F(DialogDismissalTest, ChannelPostsEscapeToTheErrorMessageWindow) {
    FakeLogonWindow window(CS_GLOBALCLASS, true);
    ASSERT_TRUE(window.Created());
    StartedChannel()->RequestDialogDismissal();
    EXPECT_TRUE(window.WaitForEscape(5000));
}

TEST_F(DialogDismissalTest, HiddenErrorWindowIsLeftAloneAfterTenPasses) {
    FakeLogonWindow window(CS_GLOBALCLASS, false);
    ASSERT_TRUE(window.Created());
    StartedChannel()->RequestDialogDismissal();
    EXPECT_TRUE(testsupport::WaitFor([&] { return log.Contains(L"OfflineChannel::ThreadEntry(): Dismiss attempt completed"); }));
    EXPECT_EQ(log.Count(L"DismissWnd(): Found LogonUI logon window"), 10u);
    EXPECT_FALSE(window.WaitForEscape(200));
}

TEST_F(DialogDismissalTest, OtherProcessesWindowsAndOtherClassStylesDoNotQualify) {
    const struct {
        UINT classStyle;
        DWORD otherProcess;  // added to our process id
    } kCases[] = {{CS_GLOBALCLASS | CS_DBLCLKS, 0}, {CS_GLOBALCLASS, 4}};
    for (const auto& c : kCases) {
        FakeLogonWindow window(c.classStyle, true);
        ASSERT_TRUE(window.Created());
        DialogSearch search{::GetCurrentProcessId() + c.otherProcess, false};
        ::EnumWindows(&DismissWnd, reinterpret_cast<LPARAM>(&search));
        EXPECT_FALSE(search.found) << c.classStyle << " " << c.otherProcess;
        EXPECT_FALSE(window.WaitForEscape(100));
    }
}

}  // namespace
