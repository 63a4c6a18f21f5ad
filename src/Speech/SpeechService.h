#pragma once

#include "Runtime/Async.h"
#include "Speech/SpeechError.h"

#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

namespace quillory {

/// What the session controller needs of speech recognition (implemented by `SpeechManager`).
class SpeechService {
public:
    using PartialHandler = std::function<void(const QString&)>;
    using CompletionHandler = std::function<void(const SpeechResult&)>;
    using VoiceActivityHandler = std::function<void(bool)>;
    /// A sign of life of the running recognition while its result is awaited.
    struct Progress {
        /// What the recogniser stands by so far: its settled segments plus its own text of the
        /// rest, never a helper model's live text. Absent when the recogniser does not say.
        std::optional<QString> confirmedText;
        /// A step that reports nothing until it ends has begun (an encoder pass), which may take
        /// this long: silence that long is no sign of a stuck recogniser.
        std::optional<std::chrono::milliseconds> silentStep;
    };
    using ProgressHandler = std::function<void(const Progress&)>;

    virtual ~SpeechService() = default;
    /// Starts capture and recognition; false when it could not start (the failure has then already
    /// gone to `onComplete`). Callbacks always arrive on the main thread; `onComplete` at most once.
    /// `onProgress` hears each step the recogniser makes (a segment settled, a decode step); a
    /// microphone that breaks while capturing ends the session through `onComplete` with
    /// `audioEngineFailed`.
    virtual Task<bool> start(QStringList contextualStrings, PartialHandler onPartial,
                             CompletionHandler onComplete, VoiceActivityHandler voiceActivityHandler,
                             ProgressHandler onProgress = nullptr) = 0;
    /// Ends capture; the final result follows through `onComplete`.
    virtual void stop() = 0;
    /// Tears the running session down at once; no callback of it follows.
    virtual Task<> cleanupSession() = 0;
    /// Whether each partial of the running session replaces the one before it whole: it may
    /// rewrite earlier words, and never starts a new utterance.
    virtual bool partialsCoverWholeSession() const { return false; }
};

} // namespace quillory
