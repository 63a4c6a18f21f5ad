#pragma once

// Async style of the core: C++20 coroutines (QCoro::Task) that run on the main thread.
//
// - A long flow is one coroutine that reads top-down; it suspends only at `co_await`.
// - Cancellation is explicit: a flow takes a `CancellationToken`, passes it to every wait, and
//   checks it at the points where the flow must stop when cancelled. Nothing is cancelled implicitly.
// - Waits go through the current `Scheduler`, so virtual time drives them in tests.
// - `firstOf` is the one race helper: the first child to finish decides, the others are cancelled
//   and awaited before the race returns.
// - `runInBackground` runs blocking work on a worker thread and resumes the flow on the main thread.

#include "Runtime/Scheduler.h"

#include <QCoro/QCoroTask>

#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace quillory {

template <typename T = void> using Task = QCoro::Task<T>;

/// Thrown by cancellable waits whose task was cancelled.
class CancellationError : public std::runtime_error {
public:
    CancellationError() : std::runtime_error("cancelled") {}
};

/// Shared cancellation state; a token observes it, a source triggers it.
class CancellationToken {
public:
    using Callback = std::function<void()>;
    using Registration = std::uint64_t;

    /// A token that is never cancelled.
    CancellationToken();

    bool isCancelled() const;
    /// Throws `CancellationError` when cancelled.
    void throwIfCancelled() const;

    /// Calls `cb` once when cancellation is requested (at once if it already was).
    Registration onCancel(Callback cb) const;
    void removeCallback(Registration r) const;

    /// A token cancelled when this one is, or when the returned source cancels it.
    class Source child() const;

private:
    friend class Source;
    struct State;
    explicit CancellationToken(std::shared_ptr<State> s) : state_(std::move(s)) {}
    std::shared_ptr<State> state_;
};

class Source {
public:
    Source();
    ~Source();
    Source(Source&&) noexcept;
    Source& operator=(Source&&) noexcept;
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    CancellationToken token() const;
    /// Cancels the token (once) and runs its callbacks. Every callback runs even if one throws;
    /// the first exception is rethrown after the last callback.
    void cancel();
    bool isCancelled() const;

private:
    friend class CancellationToken;
    std::shared_ptr<CancellationToken::State> state_;
    std::shared_ptr<CancellationToken::State> parent_;
    CancellationToken::Registration parentRegistration_ = 0;
};
using CancellationSource = Source;

// ---- sleeping ----

/// Awaitable wait on the current scheduler. `co_await sleepFor(d, token)` yields true when the
/// full duration passed and false when the token was cancelled first (at once if it already was).
class SleepAwaiter {
public:
    SleepAwaiter(Duration d, CancellationToken token) : d_(d), token_(std::move(token)) {}
    bool await_ready() const noexcept { return token_.isCancelled(); }
    void await_suspend(std::coroutine_handle<> h);
    bool await_resume() noexcept;

private:
    Duration d_;
    CancellationToken token_;
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

inline SleepAwaiter sleepFor(Duration d, CancellationToken token = {}) {
    return {d, std::move(token)};
}

/// Like `sleepFor`, but a cancelled wait throws `CancellationError`.
Task<> sleepOrThrow(Duration d, CancellationToken token);

// ---- racing ----

/// One child of a race: started with its own token, cancelled when another child has won.
template <typename T> using RaceChild = std::function<Task<T>(CancellationToken)>;

namespace detail {
template <typename T> struct RaceState {
    std::optional<T> value;
    std::exception_ptr error;
    bool decided = false;
    std::size_t running = 0;
    std::coroutine_handle<> waiter;
    CancellationSource children;
};

/// Cancels the race's other children; an exception from a cancel callback is kept as the race's
/// error when no child reported one (the callbacks after it still run).
template <typename T> void cancelSiblings(RaceState<T>& state) {
    try {
        state.children.cancel();
    } catch (...) {
        if (!state.error) {
            state.error = std::current_exception();
        }
    }
}

template <typename T> Task<> runRaceChild(std::shared_ptr<RaceState<T>> state, RaceChild<T> child) {
    std::optional<T> value;
    std::exception_ptr error;
    try {
        // The factory runs inside the try: a child that throws before its first suspension
        // (or while building its task) still ends and reports.
        Task<T> task = child(state->children.token());
        value.emplace(co_await std::move(task));
    } catch (...) {
        error = std::current_exception();
    }
    if (!state->decided) {
        state->decided = true;
        state->value = std::move(value);
        state->error = error;
        cancelSiblings(*state);
    }
    if (--state->running == 0 && state->waiter) {
        auto h = std::exchange(state->waiter, nullptr);
        h.resume();
    }
}

template <typename T> struct RaceAwaiter {
    std::shared_ptr<RaceState<T>> state;
    bool await_ready() const noexcept { return state->running == 0; }
    void await_suspend(std::coroutine_handle<> h) { state->waiter = h; }
    void await_resume() const noexcept {}
};
} // namespace detail

/// Runs the children concurrently (each starts in order, on the main thread). The first child to
/// finish — with a value or an exception — decides the race; the others are cancelled through
/// their tokens, and the race waits until every child has ended before it returns the first
/// result (or rethrows the first exception). Cancelling `parent` cancels every child.
///
/// A race always ends: a child whose factory throws ends with that exception, and a cancel
/// callback that throws while the losers are cancelled makes the race throw that exception unless
/// the winner already threw one. A race without children throws `std::invalid_argument`.
template <typename T> Task<T> firstOf(std::vector<RaceChild<T>> children, CancellationToken parent = {}) {
    if (children.empty()) {
        throw std::invalid_argument("firstOf: a race needs at least one child");
    }
    auto state = std::make_shared<detail::RaceState<T>>();
    state->children = parent.child();
    state->running = children.size();
    for (auto& child : children) {
        detail::runRaceChild<T>(state, std::move(child));
    }
    co_await detail::RaceAwaiter<T>{state};
    if (state->error) {
        std::rethrow_exception(state->error);
    }
    co_return std::move(*state->value);
}

/// The same with the children given one by one: `co_await firstOf<T>(token, childA, childB)`.
/// (Prefer this inside coroutines: g++ 12 mis-compiles braced initializer lists in coroutine
/// bodies, so `firstOf<T>({a, b})` there fails to build.)
template <typename T, typename... Children> Task<T> firstOf(CancellationToken parent, Children... children) {
    std::vector<RaceChild<T>> list;
    list.reserve(sizeof...(children));
    (list.push_back(RaceChild<T>(std::move(children))), ...);
    return firstOf<T>(std::move(list), std::move(parent));
}

// ---- background work ----

namespace detail {
template <typename T> struct BackgroundState {
    std::function<T()> work;
    std::optional<T> value;
    std::exception_ptr error;
};

template <typename T> struct BackgroundAwaiter {
    std::shared_ptr<BackgroundState<T>> state;

    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) {
        // The worker shares the state (never the awaiting frame) and reaches the scheduler through
        // a handle: if the scheduler is destroyed first, the resumption is dropped instead of
        // touching freed memory.
        std::thread([state = state, h, scheduler = Scheduler::current().handle()] {
            try {
                state->value.emplace(state->work());
            } catch (...) {
                state->error = std::current_exception();
            }
            scheduler.post([h] { h.resume(); });
            state->work = nullptr; // the work's captures are released on the worker, last
        }).detach();
    }
    T await_resume() {
        // Both are taken out of the shared state, so they end on this thread whenever the worker
        // lets go of the state.
        if (std::exception_ptr error = std::exchange(state->error, nullptr)) {
            std::rethrow_exception(std::move(error));
        }
        T value = std::move(*state->value);
        state->value.reset();
        return value;
    }
};
} // namespace detail

/// Runs blocking `work` on a worker thread; the awaiting flow resumes on the main thread
/// (through the scheduler current at the `co_await`) with its result or exception. If that
/// scheduler is destroyed before the work ends, the flow is never resumed.
template <typename T> Task<T> runInBackground(std::function<T()> work) {
    auto state = std::make_shared<detail::BackgroundState<T>>();
    state->work = std::move(work);
    co_return co_await detail::BackgroundAwaiter<T>{state};
}

/// Blocks the calling thread (not for use on the app's main loop) until `task` finishes, running
/// the given scheduler's work meanwhile. Used by the command line and by tests.
template <typename T> T runUntilDone(Task<T>&& task, std::function<void()> pump) {
    bool done = false;
    std::optional<T> value;
    std::exception_ptr error;
    auto waiter = [&]() -> Task<> {
        try {
            value.emplace(co_await std::move(task));
        } catch (...) {
            error = std::current_exception();
        }
        done = true;
    };
    auto w = waiter();
    while (!done) {
        pump();
    }
    if (error) {
        std::rethrow_exception(error);
    }
    return std::move(*value);
}

} // namespace quillory
