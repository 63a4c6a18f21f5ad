#pragma once

#include "Runtime/Lifetime.h"
#include "Runtime/Scheduler.h"

#include <memory>

namespace quillory {

/// Runs one method of its owner on the next turn of the scheduler, once however often it is
/// asked before that turn comes, and only while the owner lives. Declare it after the owner's
/// `Lifetime`:
///
///     Lifetime<T> lifetime_{this};
///     NextTurn<T> delivery_{lifetime_, &T::deliverNext};
template <typename T> class NextTurn {
public:
    NextTurn(const Lifetime<T>& owner, void (T::*run)()) : owner_(owner.ref()), run_(run) {}
    NextTurn(const NextTurn&) = delete;
    NextTurn& operator=(const NextTurn&) = delete;

    void request() {
        if (*pending_) {
            return;
        }
        *pending_ = true;
        Scheduler::current().post([owner = owner_, run = run_, pending = pending_] {
            *pending = false;
            if (T* self = owner.get()) {
                (self->*run)();
            }
        });
    }
    bool pending() const { return *pending_; }

private:
    LifetimeRef<T> owner_;
    void (T::*run_)();
    std::shared_ptr<bool> pending_ = std::make_shared<bool>(false);
};

} // namespace quillory
