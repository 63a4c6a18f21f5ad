#pragma once

#include "Runtime/Async.h"

#include <QString>

#include <optional>

namespace quillory {

/// What the session controller needs of text insertion (implemented by `InputEngine`).
class TextInsertion {
public:
    virtual ~TextInsertion() = default;
    /// The focused text field's value when a recording starts; nullopt when none can be read.
    virtual std::optional<QString> captureBaselineForLiveDictation() = 0;
    /// Inserts a session's final text into the focused application. Throws `InputError` (or any
    /// backend exception) on failure. The token asks a slow insertion to give up; an insertion
    /// that has already reached the target is not undone.
    virtual Task<> commitFinal(std::optional<QString> baseline, QString finalText,
                               CancellationToken cancel) = 0;
};

} // namespace quillory
