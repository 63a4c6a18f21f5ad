#include "Runtime/Async.h"

#include <gtest/gtest.h>

#include <QString>

#if defined(__has_include)
#if __has_include(<sanitizer/lsan_interface.h>)
#include <sanitizer/lsan_interface.h>
#endif
#endif

#include <atomic>
#include <future>
#include <memory>
#include <thread>

using namespace quillory;

namespace {

class AsyncTest : public ::testing::Test {
protected:
    VirtualScheduler clock_;
    ScopedScheduler scoped_{clock_};
};

// A racer that answers `value` after `delay`, recording whether it saw cancellation.
RaceChild<QString> after(Duration delay, QString value, std::vector<QString>* cancelledLog = nullptr) {
    return [=](CancellationToken token) -> Task<QString> {
        if (!co_await sleepFor(delay, token)) {
            if (cancelledLog) {
                cancelledLog->push_back(value);
            }
            co_return QStringLiteral("cancelled:") + value;
        }
        co_return value;
    };
}

/// Allocations made while it lives are not reported as leaks by the sanitizer builds: for flows a
/// test abandons on purpose (nothing can resume them any more).
class AbandonedOnPurpose {
public:
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLORY_TEST_LSAN 1
#endif
#endif
#if defined(QUILLORY_TEST_LSAN)
    AbandonedOnPurpose() { __lsan_disable(); }
    ~AbandonedOnPurpose() { __lsan_enable(); }
#endif
};

} // namespace

TEST_F(AsyncTest, SleepCompletesAfterItsDurationOrReportsCancellation) {
    bool result = false;
    bool done = false;
    CancellationSource source;
    auto flow = [&]() -> Task<> {
        result = co_await sleepFor(35s, source.token());
        done = true;
    };
    auto t = flow();
    clock_.advance(seconds(34.9));
    EXPECT_FALSE(done);
    clock_.advance(100ms);
    EXPECT_TRUE(done);
    EXPECT_TRUE(result);

    done = false;
    auto t2 = flow();
    clock_.advance(1s);
    source.cancel();
    clock_.runPending();
    EXPECT_TRUE(done);
    EXPECT_FALSE(result);
    EXPECT_EQ(clock_.pendingCount(), 0u) << "a cancelled sleep must not leave its timer behind";

    // An already-cancelled token does not wait at all.
    done = false;
    auto t3 = flow();
    EXPECT_TRUE(done);
    EXPECT_FALSE(result);
}

TEST_F(AsyncTest, FirstFinisherDecidesOthersAreCancelledAndAwaited) {
    std::vector<QString> cancelled;
    std::optional<QString> winner;
    // (Children are built outside the coroutine: g++ 12 mis-compiles some braced lists in one.)
    std::vector<RaceChild<QString>> children{after(2s, QStringLiteral("polish"), &cancelled),
                                             after(35s, QStringLiteral("timeout"), &cancelled),
                                             after(200s, QStringLiteral("user"), &cancelled)};
    auto race = [&]() -> Task<> { winner = co_await firstOf<QString>(std::move(children)); };
    auto t = race();
    clock_.advance(seconds(1.999));
    EXPECT_FALSE(winner);
    clock_.advance(1ms);
    clock_.runPending();
    ASSERT_TRUE(winner);
    EXPECT_EQ(*winner, QStringLiteral("polish"));
    EXPECT_EQ(cancelled, (std::vector<QString>{QStringLiteral("timeout"), QStringLiteral("user")}));
    EXPECT_EQ(clock_.pendingCount(), 0u);
}

TEST_F(AsyncTest, RaceWaitsForCancelledChildrenBeforeReturning) {
    // The losing child needs more time to wind down after cancellation; the race returns only
    // once it has ended, with the first result.
    bool loserEnded = false;
    std::optional<int> winner;
    RaceChild<int> fast = [](CancellationToken) -> Task<int> {
        co_await sleepFor(1s);
        co_return 1;
    };
    RaceChild<int> slowToStop = [&](CancellationToken token) -> Task<int> {
        co_await sleepFor(1h, token);
        co_await sleepFor(3s); // clean-up that ignores cancellation
        loserEnded = true;
        co_return 2;
    };
    auto race = [&]() -> Task<> { winner = co_await firstOf<int>(CancellationToken(), fast, slowToStop); };
    auto t = race();
    clock_.advance(2s);
    EXPECT_FALSE(winner);
    EXPECT_FALSE(loserEnded);
    clock_.advance(2s);
    EXPECT_TRUE(loserEnded);
    ASSERT_TRUE(winner);
    EXPECT_EQ(*winner, 1);
}

TEST_F(AsyncTest, SynchronousWinnerStartsTheRestCancelled) {
    // A child that finishes before the others start (polishing switched off) decides at once.
    std::vector<QString> cancelled;
    std::optional<QString> winner;
    RaceChild<QString> immediate = [](CancellationToken) -> Task<QString> {
        co_return QStringLiteral("now");
    };
    std::vector<RaceChild<QString>> children{immediate, after(35s, QStringLiteral("timeout"), &cancelled)};
    auto race = [&]() -> Task<> { winner = co_await firstOf<QString>(std::move(children)); };
    auto t = race();
    ASSERT_TRUE(winner);
    EXPECT_EQ(*winner, QStringLiteral("now"));
    EXPECT_EQ(cancelled, (std::vector<QString>{QStringLiteral("timeout")}));
}

TEST_F(AsyncTest, FirstExceptionIsRethrownAndParentCancellationReachesEveryChild) {
    RaceChild<int> thrower = [](CancellationToken token) -> Task<int> {
        co_await sleepOrThrow(1s, token);
        throw std::runtime_error("insert failed");
    };
    RaceChild<int> timeout = [](CancellationToken token) -> Task<int> {
        co_await sleepOrThrow(8s, token);
        co_return 8;
    };
    QString error;
    auto race = [&](CancellationToken parent) -> Task<> {
        try {
            co_await firstOf<int>(parent, thrower, timeout);
        } catch (const CancellationError&) {
            error = QStringLiteral("cancelled");
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        }
    };
    auto t = race({});
    clock_.advance(2s);
    EXPECT_EQ(error, QStringLiteral("insert failed"));

    error.clear();
    CancellationSource parent;
    auto t2 = race(parent.token());
    clock_.advance(100ms);
    parent.cancel();
    clock_.runPending();
    EXPECT_EQ(error, QStringLiteral("cancelled"));
    EXPECT_EQ(clock_.pendingCount(), 0u);
}

TEST_F(AsyncTest, BackgroundWorkResumesOnTheSchedulerThread) {
    const auto mainThread = std::this_thread::get_id();
    std::thread::id workerThread;
    std::thread::id resumedOn;
    std::optional<int> result;
    auto flow = [&]() -> Task<> {
        result = co_await runInBackground<int>([&] {
            workerThread = std::this_thread::get_id();
            return 42;
        });
        resumedOn = std::this_thread::get_id();
    };
    auto t = flow();
    while (!result) {
        ASSERT_TRUE(clock_.waitForPosted(std::chrono::seconds(10)));
        clock_.runPending();
    }
    EXPECT_EQ(*result, 42);
    EXPECT_NE(workerThread, mainThread);
    EXPECT_EQ(resumedOn, mainThread);
}

TEST(CancellationTokenTest, ChildFollowsParentButNotTheOtherWay) {
    CancellationSource parent;
    CancellationSource child = parent.token().child();
    CancellationSource grandchild = child.token().child();
    int calls = 0;
    grandchild.token().onCancel([&] { ++calls; });
    child.cancel();
    EXPECT_FALSE(parent.isCancelled());
    EXPECT_TRUE(grandchild.isCancelled());
    EXPECT_EQ(calls, 1);
    parent.cancel();
    EXPECT_EQ(calls, 1) << "callbacks run once";

    // A callback registered after cancellation runs at once; a default token never cancels.
    grandchild.token().onCancel([&] { ++calls; });
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(CancellationToken().isCancelled());
}

TEST_F(AsyncTest, RaceEndsAndReportsWhenAChildFactoryOrACancelCallbackThrows) {
    // A factory that throws before producing its task: the race still ends, with that error, and
    // the sibling that was already running is cancelled and awaited.
    std::vector<QString> cancelled;
    RaceChild<QString> brokenFactory = [](CancellationToken) -> Task<QString> {
        throw std::runtime_error("could not start");
    };
    QString error;
    bool done = false;
    std::vector<RaceChild<QString>> children{after(35s, QStringLiteral("timeout"), &cancelled), brokenFactory};
    auto race = [&](std::vector<RaceChild<QString>> list) -> Task<> {
        try {
            co_await firstOf<QString>(std::move(list));
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        }
        done = true;
    };
    auto t = race(std::move(children));
    clock_.runPending();
    EXPECT_TRUE(done) << "a throwing factory must not leave the race waiting for ever";
    EXPECT_EQ(error, QStringLiteral("could not start"));
    EXPECT_EQ(cancelled, (std::vector<QString>{QStringLiteral("timeout")}));

    // A loser whose cancel callback throws: every other loser is still cancelled, and the race
    // reports the callback's error.
    cancelled.clear();
    error.clear();
    done = false;
    RaceChild<QString> badCallback = [](CancellationToken token) -> Task<QString> {
        token.onCancel([] { throw std::logic_error("callback failed"); });
        co_await sleepFor(1h, token);
        co_return QStringLiteral("late");
    };
    std::vector<RaceChild<QString>> second{after(1s, QStringLiteral("winner")), badCallback,
                                           after(1h, QStringLiteral("other"), &cancelled)};
    auto t2 = race(std::move(second));
    clock_.advance(1s);
    clock_.runPending();
    EXPECT_TRUE(done);
    EXPECT_EQ(error, QStringLiteral("callback failed"));
    EXPECT_EQ(cancelled, (std::vector<QString>{QStringLiteral("other")}));
    EXPECT_EQ(clock_.pendingCount(), 0u);
}

TEST_F(AsyncTest, EmptyRaceIsAnError) {
    bool threw = false;
    auto race = [&]() -> Task<> {
        try {
            co_await firstOf<int>(std::vector<RaceChild<int>>{});
        } catch (const std::invalid_argument&) {
            threw = true;
        }
    };
    auto t = race();
    EXPECT_TRUE(threw);
}

TEST(CancellationTokenTest, EveryCallbackRunsWhenOneThrowsAndTheFirstErrorReachesTheCaller) {
    // Callbacks run in registration order; the child's cancellation is one of them.
    CancellationSource source;
    std::vector<int> ran;
    source.token().onCancel([&] { ran.push_back(1); });
    source.token().onCancel([&] {
        ran.push_back(2);
        throw std::runtime_error("first");
    });
    CancellationSource child = source.token().child();
    child.token().onCancel([&] {
        ran.push_back(3);
        throw std::runtime_error("second");
    });
    source.token().onCancel([&] { ran.push_back(4); });
    try {
        source.cancel();
        ADD_FAILURE() << "the callback's exception must reach the caller";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "first");
    }
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_TRUE(child.isCancelled());
    EXPECT_NO_THROW(source.cancel()) << "a second cancel runs nothing";
}

TEST_F(AsyncTest, BackgroundWorkErrorsReachTheFlowAndAGoneSchedulerIsNeverTouched) {
    // An exception of the work is rethrown in the flow, on the main thread.
    QString error;
    auto failing = [&]() -> Task<> {
        try {
            co_await runInBackground<int>([]() -> int { throw std::runtime_error("disk gone"); });
        } catch (const std::exception& e) {
            error = QString::fromUtf8(e.what());
        }
    };
    auto t = failing();
    while (error.isEmpty()) {
        ASSERT_TRUE(clock_.waitForPosted(std::chrono::seconds(10)));
        clock_.runPending();
    }
    EXPECT_EQ(error, QStringLiteral("disk gone"));

    // The scheduler the flow waits on is destroyed while the work runs: the worker's resumption
    // is dropped instead of reaching the freed scheduler.
    std::promise<void> release;
    std::promise<void> capturesReleased;
    bool resumed = false;
    {
        auto doomed = std::make_unique<VirtualScheduler>();
        ScopedScheduler scoped(*doomed);
        std::shared_ptr<void> guard(nullptr, [&](void*) { capturesReleased.set_value(); });
        auto gate = release.get_future().share();
        auto flow = [&, gate, guard]() -> Task<> {
            co_await runInBackground<int>([gate, guard] {
                gate.wait();
                return 1;
            });
            resumed = true;
        };
        AbandonedOnPurpose abandoned;
        auto t2 = flow();
        guard.reset();
    }
    release.set_value();
    ASSERT_EQ(capturesReleased.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    clock_.runPending();
    EXPECT_FALSE(resumed);
}
