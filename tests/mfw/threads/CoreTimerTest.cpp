#include "lib/mfw/common/threads/coretimer.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

class CountingTimer : public CORE::coretimer {
public:
    explicit CountingTimer(int rearmTimes) : rearm_(rearmTimes) {}
    std::atomic<int> fired{0};
    bool stopFromCallback = false;

    bool WaitFor(int n, DWORD timeoutMs = 3000) const {
        ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
        while (fired.load() < n && ::GetTickCount64() < deadline) ::Sleep(2);
        return fired.load() >= n;
    }

protected:
    bool TimerCallback() override {
        int count = ++fired;
        if (stopFromCallback) Stop();
        return count <= rearm_;
    }

private:
    int rearm_;
};

TEST(CoreTimer, OneShotFiresOnceAndDisarms) {
    auto* timer = new CountingTimer(0);
    ASSERT_TRUE(timer->Start(10));
    EXPECT_TRUE(timer->IsArmed());
    ASSERT_TRUE(timer->WaitFor(1));
    ::Sleep(60);
    EXPECT_EQ(timer->fired.load(), 1);
    EXPECT_FALSE(timer->IsArmed());
    EXPECT_EQ(timer->RefCount(), 1);  // the service let go of it
    timer->Release();
}

TEST(CoreTimer, StaysArmedWhileTheCallbackSaysSo) {
    auto* timer = new CountingTimer(3);
    ASSERT_TRUE(timer->Start(5));
    ASSERT_TRUE(timer->WaitFor(4));
    ::Sleep(50);
    EXPECT_EQ(timer->fired.load(), 4);
    EXPECT_FALSE(timer->IsArmed());
    timer->Release();
}

TEST(CoreTimer, StopBeforeTheIntervalPreventsTheCallback) {
    auto* timer = new CountingTimer(100);
    ASSERT_TRUE(timer->Start(200));
    timer->Stop();
    EXPECT_FALSE(timer->IsArmed());
    ::Sleep(300);
    EXPECT_EQ(timer->fired.load(), 0);
    EXPECT_EQ(timer->RefCount(), 1);
    timer->Release();
}

TEST(CoreTimer, StopFromInsideTheCallbackEndsARepeatingTimer) {
    auto* timer = new CountingTimer(100);
    timer->stopFromCallback = true;
    ASSERT_TRUE(timer->Start(5));
    ASSERT_TRUE(timer->WaitFor(1));
    ::Sleep(60);
    EXPECT_EQ(timer->fired.load(), 1);
    timer->Release();
}

TEST(CoreTimer, RestartingResetsTheInterval) {
    auto* timer = new CountingTimer(0);
    ASSERT_TRUE(timer->Start(150));
    ::Sleep(100);
    ASSERT_TRUE(timer->Start(150));
    ::Sleep(100);
    EXPECT_EQ(timer->fired.load(), 0);
    EXPECT_TRUE(timer->WaitFor(1));
    ::Sleep(200);
    EXPECT_EQ(timer->fired.load(), 1);
    timer->Release();
}

TEST(CoreTimer, ManyTimersFireInDueOrder) {
    CountingTimer* late = new CountingTimer(0);
    CountingTimer* early = new CountingTimer(0);
    ASSERT_TRUE(late->Start(120));
    ASSERT_TRUE(early->Start(10));
    ASSERT_TRUE(early->WaitFor(1));
    EXPECT_EQ(late->fired.load(), 0);
    EXPECT_TRUE(late->WaitFor(1));
    late->Release();
    early->Release();
}

TEST(CoreTimer, ShutdownDropsArmedTimersAndALaterStartBringsTheServiceBack) {
    auto* timer = new CountingTimer(0);
    ASSERT_TRUE(timer->Start(10000));
    CORE::ShutdownTimerService();
    EXPECT_FALSE(timer->IsArmed());
    EXPECT_EQ(timer->RefCount(), 1);
    EXPECT_EQ(timer->fired.load(), 0);
    ASSERT_TRUE(timer->Start(10));
    EXPECT_TRUE(timer->WaitFor(1));
    timer->Release();
}

TEST(CoreTimer, FunctionTimersRepeatUntilCancelled) {
    std::atomic<int> ticks{0};
    CORE::TimerId id = CORE::ScheduleTimer(5, true, [&] { ++ticks; });
    ASSERT_NE(id, 0u);
    for (int i = 0; i < 600 && ticks.load() < 3; ++i) ::Sleep(5);
    CORE::CancelTimer(id);
    int after = ticks.load();
    EXPECT_GE(after, 3);
    ::Sleep(50);
    EXPECT_EQ(ticks.load(), after);  // cancelled means no callback after the call returned
    CORE::CancelTimer(id);           // twice is harmless
    std::atomic<int> once{0};
    ASSERT_NE(CORE::ScheduleTimer(5, false, [&] { ++once; }), 0u);
    for (int i = 0; i < 600 && once.load() == 0; ++i) ::Sleep(5);
    ::Sleep(50);
    EXPECT_EQ(once.load(), 1);
}

}  // namespace
