#pragma once

#include <QDateTime>
#include <QTimeZone>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace quillory {

using Duration = std::chrono::nanoseconds;
using namespace std::chrono_literals;

/// Seconds as a Duration, for limits written in seconds (0.6 s, 1/30 s...).
constexpr Duration seconds(double s) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s));
}

/// Whole milliseconds of a duration, truncated (the form every diagnostics line uses).
constexpr qint64 wholeMilliseconds(Duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

class Scheduler;

/// A weak, thread-safe reference to a scheduler, for threads that may outlive it (background
/// work): a post through the handle reaches the scheduler while it exists and is dropped once it
/// has been destroyed, never touching freed memory.
class SchedulerHandle {
public:
    SchedulerHandle() = default;

    /// Posts `work` to run on the main thread; false (and `work` dropped) when the scheduler has
    /// gone or the handle is empty.
    bool post(std::function<void()> work) const;
    bool expired() const;

    struct Anchor; // shared by the scheduler and its handles; defined in the .cpp

private:
    friend class Scheduler;
    explicit SchedulerHandle(std::shared_ptr<Anchor> anchor) : anchor_(std::move(anchor)) {}
    std::shared_ptr<Anchor> anchor_;
};

/// The one source of time and delayed work in the core.
///
/// Everything that waits, times out or repeats goes through the current scheduler, so the
/// production app runs on Qt's event loop while tests run on virtual time (`VirtualScheduler`).
/// Work is always run on the main thread; `post` and `postDelayed` may be called from any thread.
class Scheduler {
public:
    using TimerId = std::uint64_t;

    virtual ~Scheduler() = default;

    /// Monotonic reading; only differences mean anything.
    virtual Duration monotonicNow() const = 0;
    /// Wall-clock time, in UTC, for timestamps and look-back cutoffs.
    virtual QDateTime wallNow() const = 0;

    /// Runs `work` on the main thread after `delay` (0: as soon as the loop is free).
    /// The returned id can cancel it until it has started.
    virtual TimerId postDelayed(Duration delay, std::function<void()> work) = 0;
    /// Cancels delayed work; unknown or finished ids are ignored.
    virtual void cancel(TimerId id) = 0;

    TimerId post(std::function<void()> work) { return postDelayed(Duration::zero(), std::move(work)); }

    /// A handle that other threads may keep past this scheduler's life.
    SchedulerHandle handle() const;

    /// The process-wide scheduler (a Qt-loop one unless a test installed another).
    static Scheduler& current();
    /// Installs `scheduler` as the current one; returns the previous. Not owned.
    static Scheduler* setCurrent(Scheduler* scheduler);

protected:
    Scheduler();
    /// Detaches the handles (waiting for a post through one that is in progress). Concrete
    /// schedulers call it first in their destructor, before their own state goes away.
    void retireHandles();

private:
    std::shared_ptr<SchedulerHandle::Anchor> anchor_;
};

/// Delayed or repeating work that is cancelled when the handle goes away.
class Timer {
public:
    Timer() = default;
    ~Timer() { stop(); }
    Timer(Timer&& other) noexcept;
    Timer& operator=(Timer&& other) noexcept;
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    static Timer once(Duration delay, std::function<void()> work);
    /// Runs `work` every `interval`, the first time one interval from now.
    static Timer repeating(Duration interval, std::function<void()> work);

    bool isActive() const;
    void stop();

    struct State; // public so the arming helper can reach it; defined in the .cpp

private:
    std::shared_ptr<State> state_;
};

/// Production scheduler: Qt timers on the main thread's event loop and steady_clock.
///
/// Work posted from another thread is queued to the main thread; cancelling it before it has
/// started wins wherever the cancel comes from. Delays of any length work: one Qt timer covers at
/// most `maxTimerInterval` (Qt's timers take an int of milliseconds), longer delays run as a
/// chain of timers towards one deadline, and a deadline beyond the clock's range never falls due.
class QtScheduler final : public Scheduler {
public:
    /// The longest single Qt timer: INT_MAX milliseconds (about 24.8 days).
    static constexpr Duration defaultMaxTimerInterval = std::chrono::milliseconds(2147483647);

    /// `maxTimerInterval` is a test seam (a short one exercises the timer chain quickly).
    explicit QtScheduler(Duration maxTimerInterval = defaultMaxTimerInterval);
    ~QtScheduler() override;
    Duration monotonicNow() const override;
    QDateTime wallNow() const override;
    TimerId postDelayed(Duration delay, std::function<void()> work) override;
    void cancel(TimerId id) override;

    /// Work posted and neither run nor cancelled yet (including posts still on their way from
    /// another thread).
    std::size_t pendingCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// Virtual time for tests: nothing runs until the test advances the clock.
class VirtualScheduler final : public Scheduler {
public:
    explicit VirtualScheduler(QDateTime wallStart = QDateTime(QDate(2026, 3, 14), QTime(8, 0), Qt::UTC));
    ~VirtualScheduler() override;

    Duration monotonicNow() const override;
    QDateTime wallNow() const override;
    TimerId postDelayed(Duration delay, std::function<void()> work) override;
    void cancel(TimerId id) override;

    /// Moves time forward by `d`, running every piece of work that falls due on the way, in order
    /// of due time then posting order; work posted while advancing runs too if it falls due.
    void advance(Duration d);
    /// Runs everything due now (including work that posts more zero-delay work).
    void runPending();
    /// Advances to the next piece of pending work and runs it; false when nothing is pending.
    bool runNext();
    /// Number of pieces of work still waiting.
    std::size_t pendingCount() const;
    /// Waits (for real, with a bound) until work posted from another thread is queued; for tests
    /// whose fakes deliver on their own threads.
    bool waitForPosted(std::chrono::milliseconds bound);

private:
    struct Entry {
        Duration due;
        TimerId seq;
    };
    bool popDue(Duration limit, std::function<void()>& work);

    mutable std::mutex mutex_;
    std::condition_variable posted_;
    Duration now_{};
    QDateTime wallStart_;
    TimerId nextId_ = 1;
    std::map<std::pair<Duration, TimerId>, std::function<void()>> queue_;
    std::map<TimerId, Duration> dueById_;
};

/// Installs a scheduler for the lifetime of the object (tests).
class ScopedScheduler {
public:
    explicit ScopedScheduler(Scheduler& s) : previous_(Scheduler::setCurrent(&s)) {}
    ~ScopedScheduler() { Scheduler::setCurrent(previous_); }
    ScopedScheduler(const ScopedScheduler&) = delete;
    ScopedScheduler& operator=(const ScopedScheduler&) = delete;

private:
    Scheduler* previous_;
};

} // namespace quillory
