#pragma once

#include <QString>

#include <optional>
#include <type_traits>
#include <utility>

namespace quillory {

/// The reason an operation failed; converts to any `Expected` (`return Failure{why};`).
struct Failure {
    QString reason;
};

/// What an operation that can fail gives back: its value, or the reason it failed (a sentence
/// for a log line or a message, naming what failed and why). `Expected<>` carries no value.
/// The one error shape of the file helpers and the whisper.cpp binding: no out-parameters, no
/// empty string meaning success, no exceptions.
template <typename T = void>
class [[nodiscard]] Expected {
public:
    /// A success: anything that converts to `T`.
    template <typename U = T>
        requires(std::is_convertible_v<U &&, T> && !std::is_same_v<std::remove_cvref_t<U>, Expected> &&
                 !std::is_same_v<std::remove_cvref_t<U>, Failure>)
    Expected(U&& value) : value_(std::in_place, std::forward<U>(value)) {}
    Expected(Failure failure) : error_(std::move(failure.reason)) {}

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }

    /// The value; only when `ok()`.
    const T& value() const& { return *value_; }
    T& value() & { return *value_; }
    T&& value() && { return std::move(*value_); }
    const T* operator->() const { return &*value_; }
    T* operator->() { return &*value_; }

    /// Why it failed; empty when `ok()`.
    const QString& error() const { return error_; }

private:
    std::optional<T> value_;
    QString error_;
};

template <>
class [[nodiscard]] Expected<void> {
public:
    Expected() = default;
    Expected(Failure failure) : ok_(false), error_(std::move(failure.reason)) {}

    bool ok() const { return ok_; }
    explicit operator bool() const { return ok_; }
    const QString& error() const { return error_; }

private:
    bool ok_ = true;
    QString error_;
};

} // namespace quillory
