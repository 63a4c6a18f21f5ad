#pragma once

#include "Speech/SpeechLocale.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>

namespace quillory {

/// The sample format every audio source delivers: 16 kHz mono 32-bit float.
inline constexpr int kRecognitionSampleRate = 16000;
/// The largest buffer an audio source hands over at once.
inline constexpr int kAudioBufferFrames = 1024;

/// Thrown by backends when capture or recognition cannot start; the message is shown to the user.
class SpeechBackendError : public std::runtime_error {
public:
    explicit SpeechBackendError(const QString& message) : std::runtime_error(message.toStdString()) {}
};

/// A microphone (or a file standing in for one). Buffers arrive on the source's own thread.
class AudioSource {
public:
    /// Called on the capture thread with up to `kAudioBufferFrames` mono samples.
    using BufferHandler = std::function<void(std::span<const float> samples)>;
    /// Called at most once per start, on the capture thread, when capture ends on its own (the
    /// device went away, the sound server died); the message is shown to the user. It must be cheap.
    using FailureHandler = std::function<void(const QString& message)>;

    virtual ~AudioSource() = default;
    /// Where a capture that breaks after `start` is reported; set before `start`. A source that
    /// cannot break (a file) ignores it. Nothing is reported after `stop`.
    virtual void setFailureHandler(FailureHandler onFailure) { (void)onFailure; }
    /// Starts capture; throws `SpeechBackendError` (or any std::exception) when it cannot start.
    virtual void start(BufferHandler onBuffer) = 0;
    /// Stops capture. After it returns no buffer is delivered any more. Safe to call twice.
    virtual void stop() = 0;
};

/// The audio of one recognition, fed by the capture thread.
class RecognitionRequest {
public:
    virtual ~RecognitionRequest() = default;
    /// Any thread (the capture thread); must be cheap.
    virtual void append(std::span<const float> samples) = 0;
    /// Main thread: no more audio will come; the recogniser goes on to its final result.
    virtual void endAudio() = 0;
    /// Main thread: no more audio will come, and nothing more is decoded until `endAudio()` asks for
    /// the final (another decoder on this computer has the cores meanwhile). A recogniser that
    /// decodes nothing of its own meanwhile ignores it.
    virtual void holdDecoding() {}
    /// Main thread, set before audio comes: told each time a segment settles while audio still
    /// comes, with the end of the audio settled so far (in samples from the start of the
    /// recognition), before its text is reported. A recogniser without segments never calls it.
    using SettledAudioHandler = std::function<void(qint64 settledEnd)>;
    virtual void setSettledAudioHandler(SettledAudioHandler handler) { (void)handler; }
};

/// Settings of a recognition request.
struct RecognitionOptions {
    bool shouldReportPartialResults = true;
    bool requiresOnDeviceRecognition = true;
    bool addsPunctuation = true;
    /// Hints for the recogniser; unset when there are none.
    std::optional<QStringList> contextualStrings;
};

/// One recogniser callback reduced to plain values.
struct SpeechRecognitionSnapshot {
    SpeechRecognitionSnapshot() = default;
    SpeechRecognitionSnapshot(std::optional<QString> text, bool isFinal,
                              std::optional<QString> errorDescription = std::nullopt)
        : text(std::move(text)), isFinal(isFinal), errorDescription(std::move(errorDescription)) {}

    std::optional<QString> text;
    bool isFinal = false;
    std::optional<QString> errorDescription;
    /// A sign of life while the recogniser works towards its result (a segment settled, a decode
    /// made a step or finished); such a snapshot carries no `text` of its own.
    bool isProgress = false;
    /// The text the recogniser stands by so far: every settled segment plus its own latest text of
    /// the rest, never a faster helper model's live text. Absent when the recogniser does not say.
    std::optional<QString> confirmedText;
    /// The recogniser begins a step that reports nothing until it ends (whisper.cpp's encoder pass
    /// polls nothing), which may take this long without the recogniser being stuck.
    std::optional<std::chrono::milliseconds> silentStep;
};

/// A running recognition; `cancel` stops it and no callback follows.
class RecognitionTask {
public:
    virtual ~RecognitionTask() = default;
    virtual void cancel() = 0;
};

/// A speech recogniser for one locale.
class SpeechRecognizer {
public:
    /// Results and errors, always called on the main thread.
    using ResultHandler = std::function<void(const SpeechRecognitionSnapshot&)>;

    virtual ~SpeechRecognizer() = default;
    /// The recogniser's model is present and loads.
    virtual bool isAvailable() const = 0;
    virtual bool supportsOnDeviceRecognition() const = 0;
    /// Whether each partial holds the whole session's text so far (and may rewrite words it showed
    /// before), rather than starting over after a pause.
    virtual bool reportsWholeSessionText() const { return false; }
    virtual std::shared_ptr<RecognitionRequest> makeRequest(const RecognitionOptions& options) = 0;
    virtual std::unique_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                             ResultHandler handler) = 0;
};

/// What the speech manager builds its sessions from.
struct SpeechBackends {
    /// A new audio source per session.
    std::function<std::unique_ptr<AudioSource>()> makeAudioSource;
    /// A recogniser for the locale, or none when no model is there.
    std::function<std::shared_ptr<SpeechRecognizer>(SpeechLocale)> makeRecognizer;
    /// Speech recognition authorisation (always granted on Linux).
    std::function<bool()> isAuthorized = [] { return true; };
};

} // namespace quillory
