// The timer service: re-arming by the callback's answer, stopping, restarting, due order,
// shutdown, and the function timers.
#include "lib/mfw/common/threads/coretimer.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

class CountingTimer : public CORE::coretimer {
public:
    explicit CountingTimer(int rearmTimes, bool stopFromCallback = false) : rearm_(rearmTimes), stop_(stopFromCallback) {}
    std::atomic<int> fired{0};
    bool WaitFor(int n) const { return testsupport::WaitFor([&] { return fired.load() >= n; }, 3000); }

protected:
    bool TimerCallback() override {
        int count = ++fired;
        if (stop_) Stop();
        return count <= rearm_;
    }

private:
    int rearm_;
    bool stop_;
};

TEST(CoreTimer, FiresWhileTheCallbackSaysSoUnlessStoppedRestartingResetsTheIntervalAndTimersFireInDueOrder) {
    const std::tuple<const char*, int, bool, bool, int> cases[] = {
        // what, re-arm times, stop from the callback, stop before the interval, fires
        {"one shot", 0, false, false, 1},
        {"re-armed three times", 3, false, false, 4},
        {"stopped from the callback", 100, true, false, 1},
        {"stopped before the interval", 100, false, true, 0},
    };
    for (const auto& [what, rearm, stopInCallback, stopAtOnce, fires] : cases) {
        auto* timer = new CountingTimer(rearm, stopInCallback);
        ASSERT_TRUE(timer->Start(stopAtOnce ? 200 : 20));
        EXPECT_TRUE(timer->IsArmed()) << what;
        if (stopAtOnce) timer->Stop();
        ASSERT_TRUE(timer->WaitFor(fires)) << what;
        ::Sleep(stopAtOnce ? 300 : 80);  // room for one firing too many
        // Not armed any more, and the service let go of it.
        EXPECT_EQ(std::make_tuple(timer->fired.load(), timer->IsArmed(), timer->RefCount()), std::make_tuple(fires, false, 1L)) << what;
        timer->Release();
    }
    auto* timer = new CountingTimer(0);
    for (int start = 0; start < 2; ++start) ASSERT_TRUE(timer->Start(150) && (::Sleep(100), true));
    EXPECT_TRUE(timer->fired.load() == 0 && timer->WaitFor(1));  // the restart reset the interval
    auto* early = new CountingTimer(0);
    ASSERT_TRUE(timer->Start(120) && early->Start(10));
    ASSERT_TRUE(early->WaitFor(1));
    EXPECT_TRUE(timer->fired.load() == 1 && timer->WaitFor(2)) << timer->fired.load();
    timer->Release();
    early->Release();
}

TEST(CoreTimer, ShutdownDropsArmedTimersALaterStartBringsTheServiceBackAndFunctionTimersRepeatUntilCancelled) {
    auto* timer = new CountingTimer(0);
    ASSERT_TRUE(timer->Start(10000));
    CORE::ShutdownTimerService();
    EXPECT_EQ(std::make_tuple(timer->IsArmed(), timer->RefCount(), timer->fired.load()), std::make_tuple(false, 1L, 0));
    EXPECT_TRUE(timer->Start(10) && timer->WaitFor(1));
    timer->Release();
    std::atomic<int> ticks{0}, once{0};
    CORE::TimerId id = CORE::ScheduleTimer(5, true, [&] { ++ticks; });
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(testsupport::WaitFor([&] { return ticks.load() >= 3; }));
    CORE::CancelTimer(id);
    const int after = ticks.load();
    EXPECT_TRUE(CORE::ScheduleTimer(5, false, [&] { ++once; }) != 0u && testsupport::WaitFor([&] { return once.load() > 0; }));
    ::Sleep(50);
    EXPECT_EQ(std::make_pair(ticks.load(), once.load()), std::make_pair(after, 1));  // cancelled: no callback after the call returned
    CORE::CancelTimer(id);  // twice is harmless
}

}  // namespace
