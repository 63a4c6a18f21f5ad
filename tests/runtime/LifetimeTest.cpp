#include "Runtime/Lifetime.h"
#include "Runtime/Scheduler.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

using namespace quillory;

namespace {

// An owner whose members run work while they are torn down: a callback that reaches the owner
// then would touch a half-destroyed object.
struct Owner {
    explicit Owner(std::vector<std::function<void()>>& atTeardown) : teardown(atTeardown) {}
    ~Owner() {
        lifetime.end();
        for (const auto& work : teardown) {
            work();
        }
    }
    void handle() { ++handled; }

    std::vector<std::function<void()>>& teardown;
    int handled = 0;
    Lifetime<Owner> lifetime{this};
};

} // namespace

TEST(LifetimeTest, CallbacksReachTheOwnerOnlyWhileItLives) {
    VirtualScheduler clock;
    ScopedScheduler scoped(clock);
    std::vector<std::function<void()>> teardown;
    auto owner = std::make_unique<Owner>(teardown);
    const LifetimeRef<Owner> ref = owner->lifetime.ref();
    EXPECT_EQ(ref.get(), owner.get());
    EXPECT_FALSE(LifetimeRef<Owner>());

    int ran = 0;
    const auto work = [ref, &ran] {
        if (Owner* self = ref.get()) {
            self->handle();
            ++ran;
        }
    };
    clock.post(work);
    clock.advance(Duration::zero());
    EXPECT_EQ(owner->handled, 1);

    // Ended first in the destructor: work run by the members' teardown finds no owner.
    teardown.push_back(work);
    clock.post(work);
    owner.reset();
    clock.advance(Duration::zero());
    EXPECT_EQ(ran, 1);
    EXPECT_FALSE(ref);
}

TEST(LifetimeTest, RefsMayBeCopiedAndDroppedOnOtherThreads) {
    std::vector<std::function<void()>> none;
    auto owner = std::make_unique<Owner>(none);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([ref = owner->lifetime.ref()] {
            for (int j = 0; j < 1000; ++j) {
                const LifetimeRef<Owner> copy = ref;
                (void)copy;
            }
        });
    }
    owner.reset();
    for (auto& thread : threads) {
        thread.join();
    }
}
