#include "base/SessionInfo.h"

#include "base/Guids.h"
#include "base/LogonMonitor.h"
#include "base/OfflineChannel.h"
#include "base/Serialization.h"
#include "base/TesselSignal.h"
#include "platform/UniqueResource.h"
#include "support/CoTaskFreeWatch.h"
#include "support/FakeEvents.h"
#include "support/FakePlatform.h"
#include "support/LogCapture.h"
#include "support/RegistrySandbox.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

using testsupport::FakePlatform;
using testsupport::IsSet;
using testsupport::LogCapture;
using testsupport::WaitFor;

DWORD U32(const BYTE* at) { return at[0] | (at[1] << 8) | (at[2] << 16) | (DWORD(at[3]) << 24); }

std::wstring Utf16At(const LogonMonitorRecord& record, size_t offset) {
    std::wstring text;
    for (size_t i = offset; i + 1 < offset + 1024 && (record[i] || record[i + 1]); i += 2)
        text.push_back(static_cast<wchar_t>(record[i] | (record[i + 1] << 8)));
    return text;
}

TEST(LogonMonitorRecord, LaysOutTheFieldsAtTheirOffsets) {
    LogonMonitorRecord record;
    record.fill(0xCC);
    BuildLogonMonitorRecord(7, 0x1234, kLogonMonitorEnd, 0x0102030405060708ull, L"Lumo Agent", L"tcfiltr", L"SSO",
                            &record);
    EXPECT_EQ(record.size(), 3092u);
    EXPECT_EQ(std::vector<DWORD>({U32(&record[0]), U32(&record[4]), U32(&record[8]), U32(&record[12]), U32(&record[16])}),
              std::vector<DWORD>({7, 0x1234, 2, 0x05060708, 0x01020304}));
    EXPECT_EQ(Utf16At(record, 20) + L"|" + Utf16At(record, 1044) + L"|" + Utf16At(record, 2068), L"Lumo Agent|tcfiltr|SSO");
    // Everything after a text is zero; a long text keeps 511 characters and its terminator.
    EXPECT_EQ(record[3091], 0);
    BuildLogonMonitorRecord(1, 1, kLogonMonitorNotify, 0, std::wstring(600, L'x').c_str(), L"c", L"e", &record);
    EXPECT_TRUE(Utf16At(record, 20) == std::wstring(511, L'x') && record[20 + 1022] == 0 && record[20 + 1023] == 0);
    EXPECT_EQ(Utf16At(record, 1044), L"c");
}

class SessionInfoTest : public ::testing::Test {
protected:
    void SetUp() override { ResetSessionIdCache(); }
    void TearDown() override { ResetSessionIdCache(); }
    testsupport::RegistrySandbox registry;
    FakePlatform fake;
    LogCapture log;
};

// Read once per process; an unreadable id is 0 for the rest of it.
TEST_F(SessionInfoTest, SessionIdIsReadOnceAndCached) {
    fake.sessionId = 7;
    EXPECT_EQ(GetSessionId(), 7u);
    EXPECT_EQ((fake.sessionId = 9, GetSessionId()), 7u);
    EXPECT_EQ(EnumerateEventName() + L" " + SessionProtocolTicket(),
              L"Global\\Velmora.Zephral.CredProvEnumerateEvent.7 SESSION_PROTOCOL_TICKET_7");
    ResetSessionIdCache(), fake.sessionIdError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(GetSessionId(), 0u);
    EXPECT_EQ((fake.sessionIdError = 0, GetSessionId()), 0u);
}

TEST_F(SessionInfoTest, OnlyProtocolThreeIsADrvSession) {
    for (auto [given, error, drv] :
         {std::tuple<USHORT, DWORD, bool>{2, 0, false}, {4, 0, false}, {3, 0, true}, {3, ERROR_ACCESS_DENIED, false}}) {
        fake.clientProtocol = given, fake.clientProtocolError = error;
        USHORT protocol = 99;
        EXPECT_EQ(GetSessionProtocol(&protocol), error == 0);
        EXPECT_TRUE(protocol == (error ? 0 : given) && IsDRVProtocolSession() == drv) << given << " " << error;
    }
}

// The whole text compared ignoring case; absent is DESKTOP; the policy key wins.
TEST_F(SessionInfoTest, ApplicationSessionTypeComparesWholeTextIgnoringCaseAndHonoursPolicy) {
    fake.sessionId = 5;
    EXPECT_FALSE(isApplicationSession());
    for (const wchar_t* value : {L"application", L"APPLICATION", L"APPLICATIONS", L"APPLICATIO", L"DESKTOP", L""}) {
        registry.SetString(L"Software\\Velmora\\Zephral\\SessionData\\5", L"LumoClient_Launch_SessionType", value);
        EXPECT_EQ(isApplicationSession(), _wcsicmp(value, L"application") == 0) << value;
    }
    registry.SetString(L"Software\\Policies\\Velmora\\Zephral\\SessionData\\5", L"LumoClient_Launch_SessionType",
                       L"Application");
    EXPECT_TRUE(isApplicationSession());
}

TEST_F(SessionInfoTest, OsLevelFollowsVersionAndEdition) {
    constexpr BYTE kWs = VER_NT_WORKSTATION, kSrv = VER_NT_SERVER, kDc = VER_NT_DOMAIN_CONTROLLER;
    constexpr DWORD kNt = VER_PLATFORM_WIN32_NT;
    for (auto [platform, major, minor, type, level] : {std::tuple<DWORD, DWORD, DWORD, BYTE, int>
             {VER_PLATFORM_WIN32_WINDOWS, 4, 10, kWs, 0}, {kNt, 4, 0, kSrv, 1}, {kNt, 5, 2, kWs, 3}, {kNt, 5, 2, kSrv, 4},
             {kNt, 6, 1, kWs, 7}, {kNt, 6, 1, kDc, 8}, {kNt, 6, 3, kWs, 11}, {kNt, 10, 0, kWs, 13},
             {kNt, 10, 0, kSrv, 14}, {kNt, 11, 0, kWs, 15}, {kNt, 5, 3, kWs, 15}, {kNt, 6, 4, kSrv, 15}}) {
        fake.os.platformId = platform, fake.os.major = major, fake.os.minor = minor, fake.os.productType = type;
        EXPECT_EQ(GetOsLevel(), level) << major << "." << minor << " type " << int(type);
    }
}

// The event of the current session (2) or of the one named (12), inside the namespace; how the
// namespace and session failures end.
TEST_F(SessionInfoTest, TesselSignalReachesTheSessionsEventInsideTheNamespace) {
    // -: nothing wrong, t: session 12 named, 3: a level 3 system, n: no namespace API, o: namespace
    // already open in the process, r: namespace refused, s: unreadable session, e: no event
    for (auto [given, signalled, line] : {std::tuple<char, bool, const wchar_t*>{'-', true, nullptr}, {'t', true, nullptr},
             {'3', false, nullptr}, {'n', false, L"XP or earlier agent, so not opening private namespace."}, {'o', true, nullptr},
             {'r', false, L"SignalTesselEvent: Failed to open private namespace dravikndmg ("},
             {'s', false, L"Unable to retrieve current session ID with error 0x00000005."},
             {'e', false, L"SignalTesselEvent: Failed to open event dravikndmg\\NotReadyForTessel77."}}) {
        SCOPED_TRACE(given);
        ResetSessionIdCache();
        FakePlatform local;
        LogCapture lines;
        if (given == '3') local.os.major = 5, local.os.minor = 1;
        local.namespaceApiPresent = given != 'n', local.openPrivateNamespaceFails = given == 'o' || given == 'r';
        local.openPrivateNamespaceError = given == 'o' ? ERROR_DUP_NAME : ERROR_ACCESS_DENIED;
        if (given == 's') local.sessionIdError = ERROR_ACCESS_DENIED;
        if (given == 'e') local.sessionId = 77;
        const DWORD target = given == 't' ? 12 : 2;
        auto event = local.TesselEvent(target), other = local.TesselEvent(target == 2 ? 12 : 2);
        EXPECT_TRUE(SignalTesselEvent(L"NotReadyForTessel", true, given == 't' ? 12 : 0xFFFFFFFF) == signalled &&
                    IsSet(event) == signalled && !IsSet(other));
        const std::vector<std::wstring> opened = {L"dravikndmg\\NotReadyForTessel" + std::to_wstring(target)};
        EXPECT_TRUE(signalled ? local.openedEventNames == opened : given == 'e' || local.openedEventNames.empty());
        EXPECT_TRUE(given != '3' || local.namespaceCalls.load() == 0);
        EXPECT_TRUE(!line || lines.Contains(line));
    }
    FakePlatform again;  // each row's fake left none behind
    SignalNotReadyForTessel("credprovider::GetCredentialCount");
    EXPECT_TRUE(log.Contains(L"credprovider::GetCredentialCount : Failed to signal that we are not ready for "
                             L"seamless windows. DRV app session may not be active."));
}

TEST_F(SessionInfoTest, LogonMonitorWritesEachKindWithItsOpcodeAndTheProcessSession) {
    fake.sessionId = 9;
    ::SetLastError(1234);
    LogonMonitorNotify(L"Lumo Agent", L"tcfiltr", L"TCFILTR_ATTACHED");
    LogonMonitorBegin(L"Lumo Agent", L"tcfiltr", L"SSO");
    LogonMonitorEnd(L"Lumo Agent", L"tcfiltr", L"SSO", 4);
    EXPECT_EQ(::GetLastError(), 1234u);
    std::wstring events;  // id/version/opcode, size, session, own process, kind
    for (const auto& e : fake.etwEvents)
        events += std::to_wstring(e.descriptor.Id) + L"/" + std::to_wstring(e.descriptor.Version) + L"/" +
                  std::to_wstring(e.descriptor.Opcode) + L" " + std::to_wstring(e.data.size()) + L" " +
                  std::to_wstring(U32(&e.data[0])) + L" " + std::to_wstring(U32(&e.data[4]) == ::GetCurrentProcessId()) +
                  L" " + std::to_wstring(U32(&e.data[8])) + L";";
    EXPECT_EQ(events, L"16/1/3 3092 9 1 0;16/1/1 3092 9 1 1;16/1/2 3092 4 1 2;");
    ShutdownLogonMonitor();
    // Torn down for good: nothing more is written or registered.
    LogonMonitorEnd(L"Lumo Agent", L"tcfiltr", L"SSO");
    EXPECT_TRUE(fake.etwEvents.size() == 3 && fake.eventRegistrations.load() == 1 && fake.eventUnregistrations.load() == 1);
}

// An empty text and a failed registration fail quietly: nothing is written, one line is logged.
TEST_F(SessionInfoTest, LogonMonitorEmptyTextsAndAFailedRegistrationWriteNothing) {
    fake.eventRegisterResult = ERROR_ACCESS_DENIED;
    LogonMonitorBegin(L"Lumo Agent", L"tcfiltr", L"SSO");
    LogonMonitorNotify(L"Lumo Agent", L"", L"X");
    EXPECT_TRUE(fake.etwEvents.empty() && log.Contains(L"dvlm -  Failed Sending X_NOTIFY: 0x80070057", CORE::LOG_INFO));
    EXPECT_TRUE(log.Contains(L"dvlm - tcfiltr Failed Sending SSO_BEGIN: 0x80004005"));
}

// The copy itself is checked where the filter passes a remote credential on; refused input
// allocates and touches nothing, and a failed allocation reports an empty copy.
TEST(DuplicateSerialization, RefusesEmptyOrMissingInputAndFailsEmpty) {
    BYTE bytes[] = {1};
    CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION copy = {}, empty = {7, CLSID_credprovider, 0, bytes},
                                                 noBuffer = {7, CLSID_credprovider, 1, nullptr};
    EXPECT_FALSE(DuplicateSerialization(&empty, &copy) || DuplicateSerialization(&noBuffer, &copy) ||
                 DuplicateSerialization(nullptr, &copy) || DuplicateSerialization(&empty, nullptr));
    EXPECT_TRUE(copy.rgbSerialization == nullptr && copy.cbSerialization == 0);
    testsupport::CoTaskFreeWatch watch(L"");
    watch.failAllocations = true;
    const CREDENTIAL_PROVIDER_CREDENTIAL_SERIALIZATION source = {7, CLSID_credprovider, 1, bytes};
    EXPECT_TRUE(watch.Registered() && !DuplicateSerialization(&source, &copy) && !copy.rgbSerialization && !copy.cbSerialization);
}

// Records callbacks; the first one can be held until the test releases it.
struct CallbackProbe {
    std::atomic<int> calls{0}, explicitCalls{0};
    std::atomic<IUnknown*> lastContext{nullptr};
    platform::unique_handle entered{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    platform::unique_handle release{::CreateEventW(nullptr, TRUE, TRUE, nullptr)};

    static inline CallbackProbe* instance = nullptr;
    static void Callback(IUnknown* context, bool explicitRequest) {
        instance->lastContext = context, instance->explicitCalls += explicitRequest, ++instance->calls;
        ::SetEvent(instance->entered.get());
        ::WaitForSingleObject(instance->release.get(), 5000);
    }
    bool WaitForCalls(int n, DWORD timeoutMs = 5000) const { return WaitFor([&] { return calls.load() >= n; }, timeoutMs); }
};

class OfflineChannelTest : public ::testing::Test {
protected:
    void SetUp() override { CallbackProbe::instance = &probe; }
    void TearDown() override { CleanupOfflineChannel(), CallbackProbe::instance = nullptr; }
    OfflineChannel* StartedChannel() {
        OfflineChannel* channel = GetOfflineChannel();
        channel->SetReEnumerationCallback(&CallbackProbe::Callback, eventName.c_str());
        channel->SetReEnumerationContext(nullptr, &contextA), channel->Start();
        return channel;
    }
    void SignalAgentEvent() {
        platform::unique_handle agentSide(::OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName.c_str()));
        ASSERT_TRUE(agentSide);
        ::SetEvent(agentSide.get());
    }

    LogCapture log;
    CallbackProbe probe;
    std::wstring eventName = L"Local\\TcfiltrTest.Enumerate." + std::to_wstring(::GetCurrentProcessId());
    testsupport::FakeEvents contextA, contextB;  // any COM object serves as a context
};

// Without an event nothing starts; a stopped channel is not restarted; starting and stopping twice is harmless.
TEST_F(OfflineChannelTest, RunsOnlyWithAnEventAndStaysStopped) {
    OfflineChannel* channel = GetOfflineChannel();
    channel->Start(), channel->RequestSSORetry();
    EXPECT_FALSE(channel->IsThreadRunning() || probe.WaitForCalls(1, 50));
    StartedChannel()->Start();
    ASSERT_TRUE(WaitFor([&] { return log.Contains(L"waiting for an event."); }));
    channel->Stop();
    EXPECT_TRUE(!channel->IsThreadRunning() && channel->WaitForThreadEnd(0));
    channel->Stop();
    const int calls = probe.calls.load();
    channel->RequestSSORetry();
    EXPECT_FALSE(channel->IsThreadRunning() || probe.WaitForCalls(calls + 1, 50));
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
    EXPECT_TRUE(probe.explicitCalls.load() == 0 && probe.lastContext.load() == &contextA);
    ASSERT_TRUE(WaitFor([&] { return log.Count(L"waiting for an event.") >= 2; }));
    ::ResetEvent(probe.release.get());
    channel->RequestSSORetry();
    ASSERT_EQ(::WaitForSingleObject(probe.entered.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(probe.explicitCalls.load(), 1);
    channel->RequestSSORetry(), channel->RequestSSORetry(), ::SetEvent(probe.release.get());
    ASSERT_TRUE(probe.WaitForCalls(3));
    // Back at its wait after the third call: a fourth would follow at once.
    ASSERT_TRUE(WaitFor([&] { return log.Count(L"waiting for an event.") >= 4; }));
    EXPECT_FALSE(probe.WaitForCalls(4, 100));
}

// Only the registered owner may clear the context, and a second provider cannot take it over;
// registering the event again clears it.
TEST_F(OfflineChannelTest, ContextIsReplacedOnlyFromTheExpectedOwner) {
    OfflineChannel* channel = StartedChannel();
    channel->SetReEnumerationContext(&contextB, nullptr), channel->SetReEnumerationContext(nullptr, &contextB);
    EXPECT_EQ(channel->Context(), &contextA);
    channel->SetReEnumerationContext(&contextA, nullptr);
    EXPECT_EQ(channel->Context(), nullptr);
    channel->SetReEnumerationContext(nullptr, &contextA);
    channel->SetReEnumerationCallback(&CallbackProbe::Callback, eventName.c_str());
    EXPECT_EQ(channel->Context(), nullptr);
    channel->SetReEnumerationContext(nullptr, &contextB), SignalAgentEvent();
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

// A stand-in for LogonUI's logon window with its error message child, on the test's thread.
class FakeLogonWindow {
public:
    FakeLogonWindow(UINT classStyle, bool childVisible) {
        for (const wchar_t* name : {kTop, kChild}) {
            WNDCLASSEXW wc = {sizeof(wc), classStyle, &::DefWindowProcW, 0, 0, self_, {}, {}, {}, {}, name, {}};
            ::RegisterClassExW(&wc);
        }
        top_ = ::CreateWindowExW(0, kTop, L"", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100, nullptr, nullptr, self_, 0);
        child_ = ::CreateWindowExW(0, kChild, L"", WS_CHILD | (childVisible ? WS_VISIBLE : 0), 0, 0, 50, 50, top_, 0, self_, 0);
    }
    ~FakeLogonWindow() {
        ::DestroyWindow(child_), ::DestroyWindow(top_);
        for (const wchar_t* name : {kChild, kTop}) ::UnregisterClassW(name, self_);
    }
    bool Created() const { return top_ && child_; }
    // Takes the key messages posted to this thread until an Escape press and release arrived.
    bool WaitForEscape(DWORD timeoutMs) {
        std::vector<std::pair<UINT, WPARAM>> keys;
        WaitFor([&] {
            for (MSG msg; ::PeekMessageW(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE);) keys.emplace_back(msg.message, msg.wParam);
            return keys.size() >= 2;
        }, timeoutMs);
        return keys == std::vector<std::pair<UINT, WPARAM>>{{WM_KEYDOWN, VK_ESCAPE}, {WM_KEYUP, VK_ESCAPE}};
    }

private:
    static constexpr const wchar_t* kTop = L"AUTHUI.DLL: LogonUI Logon Window";
    static constexpr const wchar_t* kChild = L"DirectUIHWND";
    HINSTANCE self_ = ::GetModuleHandleW(nullptr);
    HWND top_ = nullptr, child_ = nullptr;
};

// Escape reaches only a visible error window of LogonUI's class style in our own process; another
// process is searched for directly, the channel always searches its own.
TEST_F(OfflineChannelTest, DismissalPostsEscapeToAVisibleErrorWindowOfOurOwnOnly) {
    StartedChannel();
    for (auto [classStyle, visible, otherProcess] : {std::tuple<UINT, bool, DWORD>{CS_GLOBALCLASS, true, 0},
                                                     {CS_GLOBALCLASS, false, 0}, {CS_GLOBALCLASS | CS_DBLCLKS, true, 0},
                                                     {CS_GLOBALCLASS, true, 4}}) {
        FakeLogonWindow window(classStyle, visible);
        ASSERT_TRUE(window.Created());
        const bool dismissed = visible && classStyle == CS_GLOBALCLASS && !otherProcess;
        DialogSearch search{::GetCurrentProcessId() + otherProcess, false};
        if (otherProcess) ::EnumWindows(&DismissWnd, reinterpret_cast<LPARAM>(&search));
        else log.Clear(), GetOfflineChannel()->RequestDialogDismissal();
        EXPECT_TRUE(otherProcess ||
                    WaitFor([&] { return log.Contains(L"OfflineChannel::ThreadEntry(): Dismiss attempt completed"); }));
        EXPECT_TRUE(window.WaitForEscape(dismissed ? 5000 : 200) == dismissed && !search.found) << classStyle << visible;
    }
}

}  // namespace
