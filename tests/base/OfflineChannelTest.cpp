#include "base/OfflineChannel.h"

#include "platform/UniqueResource.h"
#include "support/LogCapture.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

using testsupport::LogCapture;

// Records callbacks; the first one can be held until the test releases it.
struct CallbackProbe {
    std::atomic<int> calls{0};
    std::atomic<int> explicitCalls{0};
    std::atomic<void*> lastContext{nullptr};
    platform::unique_handle entered{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    platform::unique_handle release{::CreateEventW(nullptr, TRUE, TRUE, nullptr)};

    static void Callback(void* context, bool explicitRequest) {
        auto* self = Instance();
        self->lastContext = context;
        ++self->calls;
        if (explicitRequest) ++self->explicitCalls;
        ::SetEvent(self->entered.get());
        ::WaitForSingleObject(self->release.get(), 5000);
    }
    static CallbackProbe*& Instance() {
        static CallbackProbe* probe = nullptr;
        return probe;
    }
    bool WaitForCalls(int n, DWORD timeoutMs = 5000) const {
        return testsupport::WaitFor([&] { return calls.load() >= n; }, timeoutMs);
    }
};

// Handles this process holds, from the system's handle table (Wine's own counter answers 0).
size_t OwnHandleCount() {
    struct Entry {
        USHORT processId, creatorBackTraceIndex;
        UCHAR objectType, attributes;
        USHORT handle;
        void* object;
        ULONG access;
    };
    using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<BYTE> buffer(1 << 20);
    ULONG needed = 0;
    while (query(16 /* SystemHandleInformation */, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) != 0) {
        if (buffer.size() >= (64u << 20)) return 0;
        buffer.resize(buffer.size() * 2);
    }
    ULONG count = *reinterpret_cast<ULONG*>(buffer.data());
    auto* entries = reinterpret_cast<Entry*>(buffer.data() + sizeof(void*));
    size_t own = 0;
    for (ULONG i = 0; i < count; ++i)
        if (entries[i].processId == static_cast<USHORT>(::GetCurrentProcessId())) ++own;
    return own;
}

class OfflineChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        CallbackProbe::Instance() = &probe;
        eventName = L"Local\\TcfiltrTest.Enumerate." + std::to_wstring(::GetCurrentProcessId());
    }
    void TearDown() override {
        CleanupOfflineChannel();
        CallbackProbe::Instance() = nullptr;
    }
    OfflineChannel* StartedChannel() {
        OfflineChannel* channel = GetOfflineChannel();
        channel->SetReEnumerationCallback(&CallbackProbe::Callback, eventName.c_str());
        channel->SetReEnumerationContext(nullptr, &contextA);
        channel->Start();
        return channel;
    }

    LogCapture log;
    CallbackProbe probe;
    std::wstring eventName;
    int contextA = 0;
    int contextB = 0;
};

TEST_F(OfflineChannelTest, WithoutAnEventTheThreadIsNotStarted) {
    OfflineChannel* channel = GetOfflineChannel();
    channel->Start();
    channel->RequestSSORetry();  // nobody waits; nothing happens, nothing starts
    EXPECT_FALSE(channel->IsThreadRunning());
    EXPECT_FALSE(probe.WaitForCalls(1, 50));
}

TEST_F(OfflineChannelTest, CleanupStopsTheThreadAndTheSingletonIsRebuilt) {
    OfflineChannel* first = StartedChannel();
    EXPECT_EQ(GetOfflineChannel(), first);
    EXPECT_TRUE(first->IsThreadRunning());
    first->AddRef();  // observe the object after the singleton lets go
    CleanupOfflineChannel();
    EXPECT_FALSE(first->IsThreadRunning());
    EXPECT_TRUE(first->WaitForThreadEnd(0));
    EXPECT_EQ(first->RefCount(), 1);
    first->Release();
    EXPECT_EQ(PeekOfflineChannel(), nullptr);
    OfflineChannel* second = GetOfflineChannel();
    EXPECT_FALSE(second->IsThreadRunning());
    EXPECT_FALSE(second->HasReEnumerationEvent());
    EXPECT_EQ(second->Context(), nullptr);
}

TEST_F(OfflineChannelTest, AgentEventAndRetryReachTheCallbackWithTheirKind) {
    StartedChannel();
    platform::unique_handle agentSide(::OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName.c_str()));
    ASSERT_TRUE(agentSide);
    ::SetEvent(agentSide.get());
    ASSERT_TRUE(probe.WaitForCalls(1));
    EXPECT_EQ(probe.explicitCalls.load(), 0);
    EXPECT_EQ(probe.lastContext.load(), &contextA);
    GetOfflineChannel()->RequestSSORetry();
    ASSERT_TRUE(probe.WaitForCalls(2));
    EXPECT_EQ(probe.explicitCalls.load(), 1);
}

TEST_F(OfflineChannelTest, RequestsArrivingDuringACallbackCollapseIntoOne) {
    OfflineChannel* channel = StartedChannel();
    ::ResetEvent(probe.release.get());
    channel->RequestSSORetry();
    ASSERT_EQ(::WaitForSingleObject(probe.entered.get(), 5000), WAIT_OBJECT_0);
    channel->RequestSSORetry();
    channel->RequestSSORetry();
    ::SetEvent(probe.release.get());
    ASSERT_TRUE(probe.WaitForCalls(2));
    // Back at its wait after the second call: a third would follow at once.
    ASSERT_TRUE(testsupport::WaitFor([&] { return log.Count(L"waiting for an event.") >= 3; }));
    EXPECT_FALSE(probe.WaitForCalls(3, 100));
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
    platform::unique_handle agentSide(::OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName.c_str()));
    ::SetEvent(agentSide.get());
    ASSERT_TRUE(probe.WaitForCalls(1));
    EXPECT_EQ(probe.lastContext.load(), &contextB);
}

TEST_F(OfflineChannelTest, StartTwiceAndStopTwiceAreHarmless) {
    OfflineChannel* channel = StartedChannel();
    channel->Start();
    ASSERT_TRUE(testsupport::WaitFor([&] { return log.Contains(L"waiting for an event."); }));
    channel->Stop();
    EXPECT_FALSE(channel->IsThreadRunning());
    EXPECT_TRUE(channel->WaitForThreadEnd(0));
    channel->Stop();
    // A stopped channel is not restarted.
    channel->RequestSSORetry();
    EXPECT_FALSE(channel->IsThreadRunning());
    EXPECT_FALSE(probe.WaitForCalls(1, 50));
}

TEST_F(OfflineChannelTest, ProviderInstancesShareTheSessionEventHandle) {
    OfflineChannel* channel = StartedChannel();
    const size_t before = OwnHandleCount();
    ASSERT_GT(before, 0u);
    for (int instance = 0; instance < 500; ++instance)
        channel->SetReEnumerationCallback(&CallbackProbe::Callback, eventName.c_str());
    EXPECT_LT(OwnHandleCount(), before + 10);
}

}  // namespace
