#include "Runtime/Async.h"

#include <map>

namespace quillory {

struct CancellationToken::State {
    std::mutex mutex;
    bool cancelled = false;
    Registration next = 1;
    std::map<Registration, Callback> callbacks;

    void cancel() {
        std::map<Registration, Callback> toRun;
        {
            std::lock_guard lock(mutex);
            if (cancelled) {
                return;
            }
            cancelled = true;
            toRun.swap(callbacks);
        }
        // Every callback runs even when one throws (a skipped callback would never run: the
        // list is gone); the first exception reaches the caller of `cancel` afterwards.
        std::exception_ptr firstError;
        for (auto& [id, cb] : toRun) {
            try {
                cb();
            } catch (...) {
                if (!firstError) {
                    firstError = std::current_exception();
                }
            }
        }
        if (firstError) {
            std::rethrow_exception(firstError);
        }
    }
};

CancellationToken::CancellationToken() = default;

bool CancellationToken::isCancelled() const {
    if (!state_) {
        return false;
    }
    std::lock_guard lock(state_->mutex);
    return state_->cancelled;
}

void CancellationToken::throwIfCancelled() const {
    if (isCancelled()) {
        throw CancellationError();
    }
}

CancellationToken::Registration CancellationToken::onCancel(Callback cb) const {
    if (!state_) {
        return 0;
    }
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->cancelled) {
            const Registration r = state_->next++;
            state_->callbacks.emplace(r, std::move(cb));
            return r;
        }
    }
    cb();
    return 0;
}

void CancellationToken::removeCallback(Registration r) const {
    if (!state_ || r == 0) {
        return;
    }
    std::lock_guard lock(state_->mutex);
    state_->callbacks.erase(r);
}

Source CancellationToken::child() const {
    Source s;
    if (state_) {
        s.parent_ = state_;
        std::weak_ptr<State> weak = s.state_;
        s.parentRegistration_ = onCancel([weak] {
            if (auto st = weak.lock()) {
                st->cancel();
            }
        });
    }
    return s;
}

Source::Source() : state_(std::make_shared<CancellationToken::State>()) {}

Source::~Source() {
    if (parent_) {
        CancellationToken(parent_).removeCallback(parentRegistration_);
    }
}

Source::Source(Source&& o) noexcept
    : state_(std::move(o.state_)), parent_(std::move(o.parent_)),
      parentRegistration_(std::exchange(o.parentRegistration_, 0)) {}

Source& Source::operator=(Source&& o) noexcept {
    if (this != &o) {
        if (parent_) {
            CancellationToken(parent_).removeCallback(parentRegistration_);
        }
        state_ = std::move(o.state_);
        parent_ = std::move(o.parent_);
        parentRegistration_ = std::exchange(o.parentRegistration_, 0);
    }
    return *this;
}

CancellationToken Source::token() const {
    return CancellationToken(state_);
}

void Source::cancel() {
    if (state_) {
        state_->cancel();
    }
}

bool Source::isCancelled() const {
    return token().isCancelled();
}

// ---- sleeping ----

struct SleepAwaiter::Shared {
    std::coroutine_handle<> handle;
    bool resumed = false;
    bool completed = false;
    Scheduler* scheduler = nullptr;
    SchedulerHandle schedulerHandle; // for cancellation arriving on another thread
    Scheduler::TimerId timer = 0;
    CancellationToken::Registration registration = 0;
};

void SleepAwaiter::await_suspend(std::coroutine_handle<> h) {
    shared_ = std::make_shared<Shared>();
    shared_->handle = h;
    shared_->scheduler = &Scheduler::current();
    shared_->schedulerHandle = shared_->scheduler->handle();
    std::weak_ptr<Shared> weak = shared_;
    auto shared = shared_;
    shared->timer = shared->scheduler->postDelayed(d_, [weak, token = token_] {
        auto s = weak.lock();
        if (!s || s->resumed) {
            return;
        }
        s->resumed = true;
        s->completed = true;
        token.removeCallback(s->registration);
        s->handle.resume();
    });
    // Cancellation may come from any thread; the resumption always happens on the main thread.
    shared->registration = token_.onCancel([weak] {
        auto s = weak.lock();
        if (!s) {
            return;
        }
        s->schedulerHandle.post([weak] {
            auto s2 = weak.lock();
            if (!s2 || s2->resumed) {
                return;
            }
            s2->resumed = true;
            s2->scheduler->cancel(s2->timer);
            s2->handle.resume();
        });
    });
}

bool SleepAwaiter::await_resume() noexcept {
    return shared_ ? shared_->completed : false;
}

Task<> sleepOrThrow(Duration d, CancellationToken token) {
    const bool completed = co_await sleepFor(d, token);
    if (!completed) {
        throw CancellationError();
    }
}

} // namespace quillory
