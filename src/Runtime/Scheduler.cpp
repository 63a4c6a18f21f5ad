#include "Runtime/Scheduler.h"

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimeZone>
#include <QTimer>

#include <atomic>
#include <limits>
#include <map>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quillory {

namespace {
std::atomic<Scheduler*> g_current{nullptr};
} // namespace

Scheduler& Scheduler::current() {
    Scheduler* s = g_current.load(std::memory_order_acquire);
    if (s) {
        return *s;
    }
    static QtScheduler fallback;
    Scheduler* expected = nullptr;
    g_current.compare_exchange_strong(expected, &fallback);
    return *g_current.load(std::memory_order_acquire);
}

Scheduler* Scheduler::setCurrent(Scheduler* scheduler) {
    return g_current.exchange(scheduler, std::memory_order_acq_rel);
}

// ---- Timer ----

struct Timer::State {
    Scheduler* scheduler = nullptr;
    Scheduler::TimerId id = 0;
    bool active = false;
    bool repeating = false;
    Duration interval{};
    std::function<void()> work;
};

namespace {
void arm(const std::shared_ptr<Timer::State>& state, Duration delay);
}

Timer::Timer(Timer&& other) noexcept : state_(std::move(other.state_)) {}

Timer& Timer::operator=(Timer&& other) noexcept {
    if (this != &other) {
        stop();
        state_ = std::move(other.state_);
    }
    return *this;
}

Timer Timer::once(Duration delay, std::function<void()> work) {
    Timer t;
    t.state_ = std::make_shared<State>();
    t.state_->scheduler = &Scheduler::current();
    t.state_->work = std::move(work);
    t.state_->active = true;
    arm(t.state_, delay);
    return t;
}

Timer Timer::repeating(Duration interval, std::function<void()> work) {
    Timer t;
    t.state_ = std::make_shared<State>();
    t.state_->scheduler = &Scheduler::current();
    t.state_->work = std::move(work);
    t.state_->active = true;
    t.state_->repeating = true;
    t.state_->interval = interval;
    arm(t.state_, interval);
    return t;
}

bool Timer::isActive() const {
    return state_ && state_->active;
}

void Timer::stop() {
    if (state_ && state_->active) {
        state_->active = false;
        state_->scheduler->cancel(state_->id);
    }
    state_.reset();
}

namespace {
void arm(const std::shared_ptr<Timer::State>& state, Duration delay) {
    std::weak_ptr<Timer::State> weak = state;
    state->id = state->scheduler->postDelayed(delay, [weak] {
        auto s = weak.lock();
        if (!s || !s->active) {
            return;
        }
        if (s->repeating) {
            arm(s, s->interval);
        } else {
            s->active = false;
        }
        auto work = s->work; // the work may stop or replace the timer
        work();
    });
}
} // namespace

// ---- handles ----

struct SchedulerHandle::Anchor {
    std::mutex mutex;
    Scheduler* target = nullptr; // null once the scheduler is gone
};

bool SchedulerHandle::post(std::function<void()> work) const {
    if (!anchor_) {
        return false;
    }
    std::lock_guard lock(anchor_->mutex);
    if (!anchor_->target) {
        return false;
    }
    anchor_->target->post(std::move(work));
    return true;
}

bool SchedulerHandle::expired() const {
    if (!anchor_) {
        return true;
    }
    std::lock_guard lock(anchor_->mutex);
    return anchor_->target == nullptr;
}

Scheduler::Scheduler() : anchor_(std::make_shared<SchedulerHandle::Anchor>()) {
    anchor_->target = this;
}

SchedulerHandle Scheduler::handle() const {
    return SchedulerHandle(anchor_);
}

void Scheduler::retireHandles() {
    std::lock_guard lock(anchor_->mutex);
    anchor_->target = nullptr;
}

// ---- QtScheduler ----

namespace {
Duration steadyNow() {
    return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch());
}

/// `now + delay` without overflow: a deadline past the clock's range saturates (never due).
Duration deadlineAfter(Duration now, Duration delay) {
    delay = std::max(delay, Duration::zero());
    return delay > Duration::max() - now ? Duration::max() : now + delay;
}
} // namespace

struct QtScheduler::Impl {
    struct Pending {
        QTimer* timer = nullptr;
        Duration deadline{};
        bool finalLeg = false; // the running timer ends at the deadline (not a link of a chain)
        std::function<void()> work;
    };

    /// Work from other threads is handed over under `mutex` and picked up when the main thread's
    /// event loop delivers a plain wake-up event: no closure or event field written by another
    /// thread is read by our code, so the hand-over is ordered by our own lock, which tools that
    /// check threads can see.
    class Context : public QObject {
    public:
        explicit Context(Impl* impl) : impl_(impl) {}
        void wake() { QCoreApplication::postEvent(this, new QEvent(QEvent::User)); }

    protected:
        void customEvent(QEvent*) override { impl_->drainCrossThread(); }

    private:
        Impl* const impl_;
    };
    struct Incoming {
        Duration deadline{};
        std::function<void()> work;
    };

    std::atomic<TimerId> nextId{1};
    Duration maxTimerInterval;
    Context context{this}; // lives in the thread that created the scheduler (the main thread)

    mutable std::mutex mutex;
    std::map<TimerId, Incoming> queued;          // posted from another thread, not started yet
    std::vector<TimerId> stopRequests;           // cancels of started timers from another thread
    std::unordered_map<TimerId, Pending> timers; // started; touched on the main thread only

    explicit Impl(Duration maxInterval)
        : maxTimerInterval(std::clamp<Duration>(maxInterval, 1ms, defaultMaxTimerInterval)) {}

    bool onMainThread() const { return QThread::currentThread() == context.thread(); }

    // Main thread: starts what other threads posted, in the order of their ids, then stops what
    // they cancelled.
    void drainCrossThread() {
        std::map<TimerId, Incoming> incoming;
        std::vector<TimerId> stops;
        {
            std::lock_guard lock(mutex);
            incoming.swap(queued);
            stops.swap(stopRequests);
        }
        for (auto& [id, in] : incoming) {
            start(id, in.deadline, std::move(in.work));
        }
        for (const TimerId id : stops) {
            stop(id);
        }
    }

    // Main thread.
    void start(TimerId id, Duration deadline, std::function<void()> work) {
        auto* timer = new QTimer(&context);
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, &context, [this, id] { fire(id); });
        {
            std::lock_guard lock(mutex);
            timers.emplace(id, Pending{timer, deadline, false, std::move(work)});
        }
        armLeg(id);
    }

    // Main thread: starts the timer towards the deadline, or one link of the chain.
    void armLeg(TimerId id) {
        QTimer* timer = nullptr;
        Duration leg{};
        {
            std::lock_guard lock(mutex);
            auto it = timers.find(id);
            if (it == timers.end()) {
                return;
            }
            const Duration remaining = std::max(Duration::zero(), it->second.deadline - steadyNow());
            leg = std::min(remaining, maxTimerInterval);
            it->second.finalLeg = remaining <= maxTimerInterval;
            timer = it->second.timer;
        }
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(leg).count();
        timer->start(static_cast<int>(std::clamp<qint64>(ms, 0, std::numeric_limits<int>::max())));
    }

    // Main thread.
    void fire(TimerId id) {
        std::function<void()> work;
        bool due = false;
        {
            std::lock_guard lock(mutex);
            auto it = timers.find(id);
            if (it == timers.end()) {
                return;
            }
            due = it->second.finalLeg;
            if (due) {
                it->second.timer->deleteLater();
                work = std::move(it->second.work);
                timers.erase(it);
            }
        }
        if (!due) {
            armLeg(id); // a link of a long chain: go on towards the deadline
        } else if (work) {
            work();
        }
    }

    // Main thread.
    void stop(TimerId id) {
        QTimer* timer = nullptr;
        {
            std::lock_guard lock(mutex);
            auto it = timers.find(id);
            if (it == timers.end()) {
                return;
            }
            timer = it->second.timer;
            timers.erase(it);
        }
        timer->stop();
        timer->deleteLater();
    }
};

QtScheduler::QtScheduler(Duration maxTimerInterval) : impl_(std::make_unique<Impl>(maxTimerInterval)) {
    if (auto* app = QCoreApplication::instance()) {
        impl_->context.moveToThread(app->thread());
    }
}

QtScheduler::~QtScheduler() {
    retireHandles();
}

Duration QtScheduler::monotonicNow() const {
    return steadyNow();
}

QDateTime QtScheduler::wallNow() const {
    return QDateTime::currentDateTimeUtc();
}

Scheduler::TimerId QtScheduler::postDelayed(Duration delay, std::function<void()> work) {
    const TimerId id = impl_->nextId.fetch_add(1);
    // The delay counts from the post, not from when the main thread gets to it.
    const Duration deadline = deadlineAfter(steadyNow(), delay);
    if (impl_->onMainThread()) {
        impl_->start(id, deadline, std::move(work));
        return id;
    }
    {
        std::lock_guard lock(impl_->mutex);
        impl_->queued.emplace(id, Impl::Incoming{deadline, std::move(work)});
    }
    impl_->context.wake();
    return id;
}

void QtScheduler::cancel(TimerId id) {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->queued.erase(id) > 0) {
            return; // not started yet: it never will
        }
    }
    if (impl_->onMainThread()) {
        impl_->stop(id);
    } else {
        {
            std::lock_guard lock(impl_->mutex);
            impl_->stopRequests.push_back(id);
        }
        impl_->context.wake();
    }
}

std::size_t QtScheduler::pendingCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->queued.size() + impl_->timers.size();
}

// ---- VirtualScheduler ----

VirtualScheduler::VirtualScheduler(QDateTime wallStart) : wallStart_(std::move(wallStart)) {}

VirtualScheduler::~VirtualScheduler() {
    retireHandles();
}

Duration VirtualScheduler::monotonicNow() const {
    std::lock_guard lock(mutex_);
    return now_;
}

QDateTime VirtualScheduler::wallNow() const {
    std::lock_guard lock(mutex_);
    return wallStart_.addMSecs(wholeMilliseconds(now_));
}

Scheduler::TimerId VirtualScheduler::postDelayed(Duration delay, std::function<void()> work) {
    std::lock_guard lock(mutex_);
    const TimerId id = nextId_++;
    const Duration due = now_ + std::max(delay, Duration::zero());
    queue_.emplace(std::make_pair(due, id), std::move(work));
    dueById_.emplace(id, due);
    posted_.notify_all();
    return id;
}

void VirtualScheduler::cancel(TimerId id) {
    std::lock_guard lock(mutex_);
    auto it = dueById_.find(id);
    if (it == dueById_.end()) {
        return;
    }
    queue_.erase(std::make_pair(it->second, id));
    dueById_.erase(it);
}

bool VirtualScheduler::popDue(Duration limit, std::function<void()>& work) {
    std::lock_guard lock(mutex_);
    if (queue_.empty() || queue_.begin()->first.first > limit) {
        return false;
    }
    auto node = queue_.extract(queue_.begin());
    now_ = std::max(now_, node.key().first);
    dueById_.erase(node.key().second);
    work = std::move(node.mapped());
    return true;
}

void VirtualScheduler::advance(Duration d) {
    Duration target;
    {
        std::lock_guard lock(mutex_);
        target = now_ + d;
    }
    std::function<void()> work;
    while (popDue(target, work)) {
        work();
        work = nullptr;
    }
    std::lock_guard lock(mutex_);
    now_ = std::max(now_, target);
}

void VirtualScheduler::runPending() {
    advance(Duration::zero());
}

bool VirtualScheduler::runNext() {
    std::function<void()> work;
    if (!popDue(Duration::max(), work)) {
        return false;
    }
    work();
    return true;
}

std::size_t VirtualScheduler::pendingCount() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

bool VirtualScheduler::waitForPosted(std::chrono::milliseconds bound) {
    std::unique_lock lock(mutex_);
    return posted_.wait_for(lock, bound,
                            [this] { return !queue_.empty() && queue_.begin()->first.first <= now_; });
}

} // namespace quillory
