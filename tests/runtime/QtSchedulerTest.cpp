// The production scheduler on a real Qt event loop. Virtual time cannot stand in here, so the
// delays are a few milliseconds and every wait is bounded; the long-delay cases check that work
// does not run (and stays pending) rather than waiting for it.

#include "Runtime/Async.h"
#include "Runtime/Scheduler.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace quillory;

namespace {

using Clock = std::chrono::steady_clock;

/// Runs the event loop until `done` holds or `bound` passes; true when it held.
template <typename Pred>
bool pumpUntil(Pred done, std::chrono::milliseconds bound = std::chrono::seconds(5)) {
    const auto end = Clock::now() + bound;
    while (!done()) {
        if (Clock::now() >= end) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QCoreApplication::sendPostedEvents(); // includes deferred deletes
    }
    return true;
}

/// Runs the event loop for `d` (for checks that something does NOT happen).
void pumpFor(std::chrono::milliseconds d) {
    const auto end = Clock::now() + d;
    pumpUntil([&] { return Clock::now() >= end; }, d + std::chrono::seconds(1));
}

class QtSchedulerTest : public ::testing::Test {
protected:
    QtScheduler scheduler_;
    ScopedScheduler scoped_{scheduler_};
};

} // namespace

TEST_F(QtSchedulerTest, RunsWorkOnTheMainThreadInDueOrderNotBeforeItsDelayAndCancels) {
    std::vector<int> order;
    const auto start = Clock::now();
    Clock::time_point ranAt{};
    scheduler_.postDelayed(30ms, [&] {
        order.push_back(3);
        ranAt = Clock::now();
    });
    scheduler_.postDelayed(5ms, [&] { order.push_back(1); });
    const auto cancelled = scheduler_.postDelayed(10ms, [&] { order.push_back(99); });
    scheduler_.post([&] { order.push_back(0); });
    scheduler_.postDelayed(-5s, [&] { order.push_back(-1); }); // a negative delay is "now"
    scheduler_.postDelayed(15ms, [&] {
        order.push_back(2);
        EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
    });
    scheduler_.cancel(cancelled);
    scheduler_.cancel(123456); // unknown ids are ignored
    EXPECT_EQ(scheduler_.pendingCount(), 5u);

    ASSERT_TRUE(pumpUntil([&] { return order.size() == 5; }));
    EXPECT_EQ(order, (std::vector<int>{0, -1, 1, 2, 3}));
    EXPECT_GE(ranAt - start, 30ms);
    EXPECT_EQ(scheduler_.pendingCount(), 0u);

    // Timers and cancellable sleeps run on it as on virtual time.
    int ticks = 0;
    Timer repeating = Timer::repeating(2ms, [&] { ++ticks; });
    ASSERT_TRUE(pumpUntil([&] { return ticks >= 3; }));
    repeating.stop();
    CancellationSource source;
    std::optional<bool> slept;
    auto flow = [&]() -> Task<> { slept = co_await sleepFor(1h, source.token()); };
    auto t = flow();
    std::thread([&] { source.cancel(); }).join(); // cancelled from another thread
    ASSERT_TRUE(pumpUntil([&] { return slept.has_value(); }));
    EXPECT_FALSE(*slept);
    EXPECT_EQ(scheduler_.pendingCount(), 0u) << "the cancelled sleep's timer is gone";
}

TEST_F(QtSchedulerTest, CrossThreadPostsRunOnTheMainThreadAndACancelBeforeTheyStartWins) {
    std::atomic<int> ran{0};
    std::vector<QThread*> ranOn;
    Scheduler::TimerId cancelledOnMain = 0;
    Scheduler::TimerId cancelledOnWorker = 0;
    std::thread([&] {
        scheduler_.post([&] {
            ran.fetch_add(1);
            ranOn.push_back(QThread::currentThread());
        });
        cancelledOnMain = scheduler_.post([&] { ran.fetch_add(100); });
        cancelledOnWorker = scheduler_.postDelayed(1ms, [&] { ran.fetch_add(1000); });
        scheduler_.cancel(cancelledOnWorker);
    }).join();
    // The main thread has not run its loop since: the posts are still on their way.
    EXPECT_EQ(scheduler_.pendingCount(), 2u);
    scheduler_.cancel(cancelledOnMain);
    EXPECT_EQ(scheduler_.pendingCount(), 1u);

    bool marker = false;
    scheduler_.postDelayed(20ms, [&] { marker = true; });
    ASSERT_TRUE(pumpUntil([&] { return marker; }));
    EXPECT_EQ(ran.load(), 1) << "cancelled posts must not run";
    ASSERT_EQ(ranOn.size(), 1u);
    EXPECT_EQ(ranOn.front(), QCoreApplication::instance()->thread());
    EXPECT_EQ(scheduler_.pendingCount(), 0u);
}

TEST_F(QtSchedulerTest, DelayFromAnotherThreadCountsFromThePost) {
    Clock::time_point postedAt{};
    Clock::time_point ranAt{};
    std::thread([&] {
        postedAt = Clock::now();
        scheduler_.postDelayed(25ms, [&] { ranAt = Clock::now(); });
    }).join();
    std::this_thread::sleep_for(15ms); // the main thread is busy meanwhile
    ASSERT_TRUE(pumpUntil([&] { return ranAt != Clock::time_point{}; }));
    EXPECT_GE(ranAt - postedAt, 25ms);
    EXPECT_LT(ranAt - postedAt, 25ms + 15ms + 1s) << "the busy time must not be added to the delay";
}

TEST_F(QtSchedulerTest, DelaysBeyondOneQtTimerAreNeitherTruncatedNorOverflowed) {
    // More than Qt's int of milliseconds: 2^32 + 5 ms used to wrap to 5 ms, 2^31 + 1 ms to a
    // negative interval that never fired, and the longest Duration overflows a naive deadline.
    std::atomic<int> ran{0};
    const auto wrapped =
        scheduler_.postDelayed(std::chrono::milliseconds((1LL << 32) + 5), [&] { ran |= 1; });
    const auto negative =
        scheduler_.postDelayed(std::chrono::milliseconds((1LL << 31) + 1), [&] { ran |= 2; });
    const auto endless = scheduler_.postDelayed(Duration::max(), [&] { ran |= 4; });
    pumpFor(30ms);
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(scheduler_.pendingCount(), 3u);
    scheduler_.cancel(wrapped);
    scheduler_.cancel(negative);
    scheduler_.cancel(endless);
    EXPECT_EQ(scheduler_.pendingCount(), 0u);
}

TEST(QtSchedulerChainTest, LongDelaysRunAsAChainOfTimersTowardsOneDeadline) {
    // With single timers of at most 4 ms, a 40 ms delay takes about ten links and still fires once,
    // not before its deadline; a cancel between links stops a chain (the 400 ms one is still
    // mid-chain when it is cancelled, however slow the machine is).
    QtScheduler scheduler(4ms);
    const auto start = Clock::now();
    Clock::time_point ranAt{};
    int runs = 0;
    scheduler.postDelayed(40ms, [&] {
        ++runs;
        ranAt = Clock::now();
    });
    bool cancelledRan = false;
    const auto cancelled = scheduler.postDelayed(400ms, [&] { cancelledRan = true; });
    EXPECT_EQ(scheduler.pendingCount(), 2u);
    pumpFor(10ms);
    scheduler.cancel(cancelled);
    EXPECT_EQ(scheduler.pendingCount(), runs == 0 ? 1u : 0u);
    ASSERT_TRUE(pumpUntil([&] { return runs > 0; }));
    EXPECT_GE(ranAt - start, 40ms);
    pumpFor(20ms);
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(cancelledRan);
    EXPECT_EQ(scheduler.pendingCount(), 0u);
}
