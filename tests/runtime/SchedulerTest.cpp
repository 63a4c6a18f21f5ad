#include "Runtime/Scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

using namespace quillory;

TEST(VirtualSchedulerTest, RunsDueWorkInDueThenPostingOrderAndCancels) {
    VirtualScheduler clock;
    std::vector<int> order;
    clock.postDelayed(200ms, [&] { order.push_back(3); });
    clock.postDelayed(100ms, [&] { order.push_back(1); });
    const auto cancelled = clock.postDelayed(150ms, [&] { order.push_back(99); });
    clock.postDelayed(100ms, [&] { order.push_back(2); });
    clock.cancel(cancelled);

    clock.advance(99ms);
    EXPECT_TRUE(order.empty());
    clock.advance(1ms);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    clock.advance(1s);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(clock.monotonicNow(), 1100ms);
    EXPECT_EQ(clock.pendingCount(), 0u);
}

TEST(VirtualSchedulerTest, WorkPostedWhileAdvancingRunsWhenItFallsDueAndSeesItsOwnTime) {
    VirtualScheduler clock;
    std::vector<Duration> seen;
    clock.postDelayed(10ms, [&] {
        seen.push_back(clock.monotonicNow());
        clock.postDelayed(10ms, [&] { seen.push_back(clock.monotonicNow()); });
        clock.postDelayed(1s, [&] { seen.push_back(clock.monotonicNow()); });
    });
    clock.advance(50ms);
    EXPECT_EQ(seen, (std::vector<Duration>{10ms, 20ms}));
    EXPECT_EQ(clock.wallNow().toMSecsSinceEpoch() - VirtualScheduler().wallNow().toMSecsSinceEpoch(), 50);
}

TEST(TimerTest, RepeatingTimerFiresEveryIntervalUntilStoppedOrDestroyed) {
    VirtualScheduler clock;
    ScopedScheduler scoped(clock);
    int ticks = 0;
    {
        Timer t = Timer::repeating(seconds(0.04), [&] { ++ticks; });
        clock.advance(seconds(0.2));
        EXPECT_EQ(ticks, 5);
        EXPECT_TRUE(t.isActive());
    }
    clock.advance(1s);
    EXPECT_EQ(ticks, 5); // destroyed handle cancels
}

TEST(TimerTest, WorkMayStopItsOwnTimerAndOnceTimersGoInactive) {
    VirtualScheduler clock;
    ScopedScheduler scoped(clock);
    int ticks = 0;
    Timer t;
    t = Timer::repeating(seconds(1.0 / 30), [&] {
        if (++ticks == 3) {
            t.stop();
        }
    });
    clock.advance(1s);
    EXPECT_EQ(ticks, 3);
    EXPECT_FALSE(t.isActive());

    bool fired = false;
    Timer once = Timer::once(8s, [&] { fired = true; });
    clock.advance(seconds(7.999));
    EXPECT_FALSE(fired);
    clock.advance(1ms);
    EXPECT_TRUE(fired);
    EXPECT_FALSE(once.isActive());
}

TEST(SchedulerHandleTest, PostsReachALiveSchedulerAndAreDroppedOnceItIsGone) {
    SchedulerHandle empty;
    EXPECT_FALSE(empty.post([] {}));
    EXPECT_TRUE(empty.expired());

    auto clock = std::make_unique<VirtualScheduler>();
    const SchedulerHandle handle = clock->handle();
    int runs = 0;
    EXPECT_TRUE(handle.post([&] { ++runs; }));
    clock->runPending();
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(handle.expired());

    // Threads posting while the scheduler goes away either reach it or are refused; none touches
    // it afterwards (the sanitizer builds check the "never touches" part).
    std::atomic<int> refused{0};
    std::vector<std::thread> posters;
    for (int i = 0; i < 4; ++i) {
        posters.emplace_back([&, handle] {
            while (handle.post([] {})) {
            }
            refused.fetch_add(1);
        });
    }
    clock.reset();
    for (auto& t : posters) {
        t.join();
    }
    EXPECT_EQ(refused.load(), 4);
    EXPECT_TRUE(handle.expired());
    EXPECT_FALSE(handle.post([&] { ++runs; }));
    EXPECT_EQ(runs, 1);
}
