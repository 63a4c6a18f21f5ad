#pragma once

// The seams under the streaming recogniser: a loaded speech model that decodes audio and finds
// speech in it (`SpeechDecoder`), and the one thread all of its work runs on (`RecognitionWorker`).
// The real decoder wraps whisper.cpp (Speech/whisper/); tests use fakes and a hand-driven worker.

#include "Runtime/Expected.h"

#include <QString>

#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace quillory {

/// A stretch of speech in sample indices (16 kHz), relative to the analysed buffer.
struct SpeechSpan {
    qint64 start = 0;
    qint64 end = 0;
    bool operator==(const SpeechSpan&) const = default;
};

/// The result of one decode.
struct DecodeResult {
    enum class Status { ok, aborted, failed };
    Status status = Status::ok;
    /// The decoded text pieces in order (ok only).
    std::vector<QString> segments;
    /// Why the decode failed (failed only).
    QString error;
};

/// The result of finding speech in audio; the same shape as `DecodeResult`.
struct DetectResult {
    enum class Status { ok, failed };
    Status status = Status::ok;
    /// The stretches of speech in order (ok only); none for silence.
    std::vector<SpeechSpan> spans;
    /// Why detection failed (failed only).
    QString error;

    static DetectResult failure(QString why) { return {Status::failed, {}, std::move(why)}; }
};

/// A loaded speech model with its voice-activity detector. Called only on the recognition worker,
/// one call at a time.
class SpeechDecoder {
public:
    virtual ~SpeechDecoder() = default;

    /// Decodes mono 16 kHz `samples` in Japanese. `prompt` conditions the decoder; `audioCtx` is the
    /// encoder context in frames (50 a second; 0 for the full window); `shouldAbort` is polled during
    /// the decode and ends it with `aborted`.
    virtual DecodeResult decode(std::span<const float> samples, const QString& prompt, int audioCtx,
                                const std::function<bool()>& shouldAbort) = 0;
    /// The speech in `samples`, in order. Silence gives none.
    virtual DetectResult detectSpeech(std::span<const float> samples) = 0;
    /// The longest prompt the model keeps, in tokens.
    virtual int maxPromptTokens() const { return 224; }
    /// Tokens `text` takes (an estimate is fine); the prompt is cut to fit `maxPromptTokens`.
    virtual int tokenCount(const QString& text) const { return static_cast<int>(text.size()); }
    /// The full encoder context in frames (1500 = 30 s).
    virtual int modelAudioCtx() const { return 1500; }
    /// Whether another decoder runs alongside this one (the fast model writing the live text), so
    /// this one should leave it a core. Called on the worker before a decode.
    virtual void setSharingCpu(bool sharing) { (void)sharing; }
    /// A recognition starts using this decoder (on the worker, before its first decode): make what
    /// decodes need now. Paired with `endRecognition` once the recognition is over (on the worker,
    /// after its last decode); between the last end and the next start the decoder frees its
    /// working memory, the model staying loaded. Decoding outside such a pair still works.
    virtual void beginRecognition() {}
    virtual void endRecognition() {}
};

/// Loads a decoder for a speech model file (and the VAD model beside it). Runs on the worker; fails
/// when the files are missing or do not load.
using SpeechDecoderLoader = std::function<Expected<std::shared_ptr<SpeechDecoder>>(const QString& modelPath)>;

/// Runs jobs one after another on one thread that is never the main thread (tests drive it by hand).
class RecognitionWorker {
public:
    virtual ~RecognitionWorker() = default;
    /// Any thread; the job runs after every job posted before it.
    virtual void post(std::function<void()> job) = 0;
    /// Waits until every job posted before has run and let go of what it held (the owner calls it
    /// before it goes, so no job outlives the models and the program). Not on the worker itself.
    virtual void drain() {}
};

/// The production worker: one thread with a job queue; the destructor finishes the queued jobs.
class ThreadRecognitionWorker final : public RecognitionWorker {
public:
    ThreadRecognitionWorker();
    ~ThreadRecognitionWorker() override;
    void post(std::function<void()> job) override;
    void drain() override;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace quillory
