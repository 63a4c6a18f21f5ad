#pragma once

// Helpers shared by the files of the application state (not part of its interface).

#include "App/AppState.h"

#include <exception>
#include <stdexcept>

namespace quillory::detail {

/// The insertion did not finish within its limit.
class CommitInjectTimeout : public std::runtime_error {
public:
    CommitInjectTimeout() : std::runtime_error("error.commit_timeout") {}
};

/// The user-visible (localised) description of an exception thrown inside a session.
QString describe(std::exception_ptr error);
/// True for a `CancellationError`.
bool isCancellation(std::exception_ptr error);
/// Whether a failed insertion's words must be kept elsewhere: an input error (except the one that
/// left them on the clipboard) or an unexpected failure; not a timeout or a cancellation, after
/// which the paste may still land.
bool keepsWords(std::exception_ptr error);

} // namespace quillory::detail

namespace quillory {

/// Writes an observed field and emits its signal only when the value changed.
template <typename T> void AppState::assign(T& field, T value, void (AppState::*changed)()) {
    if (field == value) {
        return;
    }
    field = std::move(value);
    emit(this->*changed)();
}

/// The running commit pipeline of a session and the source that cancels it.
struct AppState::CommitTaskHandle {
    CancellationSource source;
    std::optional<Task<>> task;
};

} // namespace quillory
