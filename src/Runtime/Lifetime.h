#pragma once

#include <memory>

namespace quillory {

template <typename T> class LifetimeRef;

/// How a callback learns that the object it was made for is gone. The object holds a
/// `Lifetime<T>` and ends it first thing in its destructor (before its members go); work it hands
/// to the scheduler, a timer, a backend or a coroutine holds a `LifetimeRef<T>` instead of `this`
/// and does nothing once `get()` is null:
///
///     Scheduler::current().post([ref = lifetime_.ref()] {
///         if (T* self = ref.get()) {
///             self->handle();
///         }
///     });
///
/// Only for objects used on one thread (the main thread): `get()` gives a plain pointer, so the
/// object must not end on another thread while the callback runs. A ref may be copied and dropped
/// on any thread. QObjects reached through Qt connections use `QPointer` instead; objects shared
/// across threads are kept alive by a `std::shared_ptr` of their own.
template <typename T> class Lifetime {
public:
    explicit Lifetime(T* owner) : owner_(std::make_shared<T*>(owner)) {}
    ~Lifetime() { end(); }
    Lifetime(const Lifetime&) = delete;
    Lifetime& operator=(const Lifetime&) = delete;

    /// From now on every ref answers null.
    void end() { owner_.reset(); }
    bool ended() const { return !owner_; }
    LifetimeRef<T> ref() const { return LifetimeRef<T>(owner_); }

private:
    std::shared_ptr<T*> owner_;
};

template <typename T> class LifetimeRef {
public:
    LifetimeRef() = default;
    /// The owner, or null once its lifetime ended.
    T* get() const {
        const std::shared_ptr<T*> owner = owner_.lock();
        return owner ? *owner : nullptr;
    }
    explicit operator bool() const { return get() != nullptr; }

private:
    friend class Lifetime<T>;
    explicit LifetimeRef(const std::shared_ptr<T*>& owner) : owner_(owner) {}
    std::weak_ptr<T*> owner_;
};

} // namespace quillory
