#pragma once

#include "Runtime/Async.h"
#include "Speech/SpeechError.h"

#include <QStringList>

#include <functional>

namespace quillory {

/// What the session controller needs of speech recognition (implemented by `SpeechManager`).
class SpeechService {
public:
    using PartialHandler = std::function<void(const QString&)>;
    using CompletionHandler = std::function<void(const SpeechResult&)>;
    using VoiceActivityHandler = std::function<void(bool)>;

    virtual ~SpeechService() = default;
    /// Starts capture and recognition; false when it could not start (the failure has then already
    /// gone to `onComplete`). Callbacks always arrive on the main thread; `onComplete` at most once.
    virtual Task<bool> start(QStringList contextualStrings, PartialHandler onPartial,
                             CompletionHandler onComplete, VoiceActivityHandler voiceActivityHandler) = 0;
    /// Ends capture; the final result follows through `onComplete`.
    virtual void stop() = 0;
    /// Tears the running session down at once; no callback of it follows.
    virtual Task<> cleanupSession() = 0;
    /// Whether each partial of the running session replaces the one before it whole: it may
    /// rewrite earlier words, and never starts a new utterance.
    virtual bool partialsCoverWholeSession() const { return false; }
};

} // namespace quillory
