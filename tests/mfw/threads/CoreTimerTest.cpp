// The timer service: re-arming by the callback's answer, stopping, restarting, due order,
// shutdown, and the function timers.
#include "lib/mfw/common/threads/coretimer.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

class CountingTimer : public CORE::coretimer {
public:
    explicit CountingTimer(int rearmTimes) : rearm_(rearmTimes) {}
    std::atomic<int> fired{0};
    bool stopFromCallback = false;

    bool WaitFor(int n) const {
        return testsupport::WaitFor([&] { return fired.load() >= n; }, 3000);
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

TEST(CoreTimer, FiresWhileTheCallbackSaysSoUnlessItStopsTheTimer) {
    const struct {
        const char* what;
        int rearmTimes;
        bool stopFromCallback;
        int fires;
    } cases[] = {{"one shot", 0, false, 1}, {"re-armed three times", 3, false, 4}, {"stopped from the callback", 100, true, 1}};
    for (const auto& c : cases) {
        auto* timer = new CountingTimer(c.rearmTimes);
        timer->stopFromCallback = c.stopFromCallback;
        ASSERT_TRUE(timer->Start(20));
        EXPECT_TRUE(timer->IsArmed()) << c.what;
        ASSERT_TRUE(timer->WaitFor(c.fires)) << c.what;
        ::Sleep(80);  // room for one firing too many
        EXPECT_EQ(timer->fired.load(), c.fires) << c.what;
        EXPECT_FALSE(timer->IsArmed()) << c.what;
        EXPECT_EQ(timer->RefCount(), 1) << c.what;  // the service let go of it
        timer->Release();
    }
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
    EXPECT_TRUE(testsupport::WaitFor([&] { return ticks.load() >= 3; }));
    CORE::CancelTimer(id);
    int after = ticks.load();
    EXPECT_GE(after, 3);
    ::Sleep(50);
    EXPECT_EQ(ticks.load(), after);  // cancelled means no callback after the call returned
    CORE::CancelTimer(id);           // twice is harmless
    std::atomic<int> once{0};
    ASSERT_NE(CORE::ScheduleTimer(5, false, [&] { ++once; }), 0u);
    EXPECT_TRUE(testsupport::WaitFor([&] { return once.load() > 0; }));
    ::Sleep(50);
    EXPECT_EQ(once.load(), 1);
}

}  // namespace
