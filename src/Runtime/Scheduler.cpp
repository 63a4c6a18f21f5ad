#include "Runtime/Scheduler.h"

#include <QCoreApplication>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimeZone>
#include <QTimer>

#include <atomic>
#include <unordered_map>

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

// ---- QtScheduler ----

struct QtScheduler::Impl {
    std::atomic<TimerId> nextId{1};
    QObject context; // lives in the thread that created the scheduler (the main thread)
    std::unordered_map<TimerId, QTimer*> timers; // main thread only

    bool onMainThread() const { return QThread::currentThread() == context.thread(); }

    void start(TimerId id, Duration delay, std::function<void()> work) {
        auto* timer = new QTimer(&context);
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, &context, [this, id, timer, work = std::move(work)] {
            timers.erase(id);
            timer->deleteLater();
            work();
        });
        timers.emplace(id, timer);
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(delay).count();
        timer->start(static_cast<int>(std::max<qint64>(0, ms)));
    }

    void stop(TimerId id) {
        auto it = timers.find(id);
        if (it == timers.end()) {
            return;
        }
        it->second->stop();
        it->second->deleteLater();
        timers.erase(it);
    }
};

QtScheduler::QtScheduler() : impl_(std::make_unique<Impl>()) {
    if (auto* app = QCoreApplication::instance()) {
        impl_->context.moveToThread(app->thread());
    }
}

QtScheduler::~QtScheduler() = default;

Duration QtScheduler::monotonicNow() const {
    return std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch());
}

QDateTime QtScheduler::wallNow() const {
    return QDateTime::currentDateTimeUtc();
}

Scheduler::TimerId QtScheduler::postDelayed(Duration delay, std::function<void()> work) {
    const TimerId id = impl_->nextId.fetch_add(1);
    if (impl_->onMainThread()) {
        impl_->start(id, delay, std::move(work));
    } else {
        QMetaObject::invokeMethod(
            &impl_->context,
            [this, id, delay, work = std::move(work)]() mutable { impl_->start(id, delay, std::move(work)); },
            Qt::QueuedConnection);
    }
    return id;
}

void QtScheduler::cancel(TimerId id) {
    if (impl_->onMainThread()) {
        impl_->stop(id);
    } else {
        QMetaObject::invokeMethod(
            &impl_->context, [this, id] { impl_->stop(id); }, Qt::QueuedConnection);
    }
}

// ---- VirtualScheduler ----

VirtualScheduler::VirtualScheduler(QDateTime wallStart) : wallStart_(std::move(wallStart)) {}

VirtualScheduler::~VirtualScheduler() = default;

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
