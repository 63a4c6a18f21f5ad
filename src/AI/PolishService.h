#pragma once

#include "AI/PolishModel.h"
#include "Runtime/Async.h"
#include "Speech/SpeechLocale.h"

#include <QString>

namespace quillory {

/// What the session core needs of the local polish engine. The real engine runs a llama-server
/// process; tests use a scripted fake.
class PolishService {
public:
    virtual ~PolishService() = default;

    /// Rewrites `text` with `model` following `instructions`. Throws the engine's error when
    /// polishing fails, and `CancellationError` when `cancel` fires first.
    virtual Task<QString> polish(QString text, SpeechLocale locale, PolishModel model, QString instructions,
                                 CancellationToken cancel) = 0;
    /// Stops the inference server at once (any request in flight is abandoned).
    virtual void stopServer() = 0;
    /// Starts the server for the selected model without waiting (launch, model switch).
    virtual void warmUp() = 0;
};

} // namespace quillory
