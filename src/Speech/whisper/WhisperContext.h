#pragma once

// A thin, exception-free binding of whisper.cpp: load a speech model, decode 16 kHz mono float
// audio to text segments, and find speech in audio with the Silero VAD model. Every call that can
// fail returns an `Expected` whose reason is a sentence for the log.
//
// Nothing here touches Qt's event loop: every call blocks the calling thread (meant to be the
// recogniser's worker thread). Both model classes are safe to share between threads; calls on
// one object are serialised by an internal lock (one whisper.cpp state per model, made at the
// first decode or by `prepare`, freed by `releaseState`; the weights stay loaded).

#include "Runtime/Expected.h"

#include <QString>
#include <QtGlobal>

#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace quillory::whisper {

/// Sample rate of every buffer handed to this binding (mono float in [-1, 1]).
inline constexpr int kSampleRate = 16000;
/// Encoder frames per second of audio (`audio_ctx` units): 1500 frames cover 30 s.
inline constexpr int kAudioCtxFramesPerSecond = 50;

/// How one decode runs.
struct DecodeOptions {
    /// Spoken language ("ja"); empty lets whisper.cpp detect it (slower: one extra pass).
    QString language = QStringLiteral("ja");
    /// Text that conditions the decoder (dictionary hints, the previous settled text). whisper.cpp
    /// keeps only its last `WhisperModel::maxPromptTokens()` tokens; empty for none.
    QString initialPrompt;
    /// Encoder context in frames (see `audioCtxFor`); 0 uses the model's full 30 s window.
    int audioCtx = 0;
    /// CPU threads for this decode (1 to the core count). Keep it at or below the idle cores:
    /// whisper.cpp's threads spin-wait for each other after every operation, so on a busy machine
    /// extra threads make each decoder step many times slower, not faster.
    int threads = 1;
    /// Polled by whisper.cpp after each encoder pass and each decoder step; returning true ends the
    /// decode early (`Transcript::aborted`). May be called on whisper.cpp's threads.
    std::function<bool()> shouldAbort;
    /// Cap on the tokens of one segment (0: no cap). Bounds the cost of a repetition loop.
    int maxTokens = 0;
    /// Ask for timestamp tokens (several segments per window). Off: one segment per 30 s window.
    bool timestamps = false;
    /// Retry with higher temperatures when the greedy result looks bad (costs extra decodes).
    bool temperatureFallback = false;
};

/// One decoded piece of text; times are relative to the start of the decoded buffer.
struct Segment {
    QString text;
    qint64 t0Ms = 0;
    qint64 t1Ms = 0;
    /// whisper.cpp's probability that the window held no speech.
    float noSpeechProb = 0.0f;
};

/// whisper.cpp's own measurement of one decode (averages over its runs).
struct DecodeTimings {
    double encodeMs = 0;    ///< one encoder pass
    double perTokenMs = 0;  ///< one decoder step (one token)
    int tokens = 0;         ///< tokens in the result, special ones included
};

/// What a decode that did not fail gives.
struct Transcript {
    /// The segments in order (possibly none).
    std::vector<Segment> segments;
    /// `shouldAbort` returned true: the decode stopped early, with no segments.
    bool aborted = false;
};

/// A loaded whisper.cpp speech model (ggml .bin). Loading takes seconds for real models: do it
/// off the main thread and keep the object for the next dictation.
class WhisperModel {
public:
    /// Loads `path` on the CPU, or with `gpu` on the GPU whisper.cpp finds (the Vulkan backend must
    /// be loaded: see GpuBackend.h; the CPU computes what the GPU cannot). Fails with a readable
    /// reason for a missing, unreadable, truncated or foreign file; never crashes on bad input.
    /// (whisper.cpp loads on one thread; `threads` is kept for callers that pass their setting.)
    static Expected<std::shared_ptr<WhisperModel>> load(const QString& path, int threads = 1, bool gpu = false);

    ~WhisperModel();
    WhisperModel(const WhisperModel&) = delete;
    WhisperModel& operator=(const WhisperModel&) = delete;

    /// Decodes `pcm16k` (mono, 16 kHz). Each call starts afresh: nothing of an earlier decode
    /// conditions it except `initialPrompt`. Gives the segments in order, none when aborted, or
    /// fails with whisper.cpp's reason. Audio shorter than a second is padded with silence; empty
    /// audio gives no segments. Texts come without surrounding whitespace and empty segments are
    /// left out.
    Expected<Transcript> decode(std::span<const float> pcm16k, const DecodeOptions& options);

    /// Makes the decoding state (whisper.cpp's caches and compute buffers) unless it exists, so
    /// the next decode does not wait for it. Fails when it cannot be made.
    Expected<> prepare();
    /// Frees the decoding state and returns free heap pages to the system; the weights stay
    /// loaded. The next decode (or `prepare`) makes a new state.
    void releaseState();
    /// True while a decoding state exists.
    bool holdsState() const;

    /// The timings of the last finished decode on this model (zero before the first), measured
    /// around whisper.cpp's callbacks: the encoder pass up to the first sampled token.
    DecodeTimings lastTimings() const;

    /// The file this model was loaded from.
    QString path() const;
    /// Loaded for the GPU.
    bool onGpu() const;
    /// Wall time the load took, in milliseconds.
    qint64 loadMs() const;
    /// True for a multilingual model (can decode Japanese).
    bool isMultilingual() const;
    /// The model's full encoder context (1500 for every released model).
    int modelAudioCtx() const;
    /// The longest prompt whisper.cpp keeps (half the decoder's text context).
    int maxPromptTokens() const;
    /// Tokens `text` takes with this model's vocabulary; -1 when it cannot be tokenised.
    int tokenCount(const QString& text) const;

private:
    struct Impl;
    explicit WhisperModel(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};

/// `audio_ctx` for decoding `durationMs` of audio: the frames the audio fills plus a small margin,
/// within [minimum, modelAudioCtx]. Small contexts make short decodes cheap.
int audioCtxFor(qint64 durationMs, int modelAudioCtx = 1500);

/// A stretch of speech; times are relative to the start of the analysed buffer.
struct SpeechInterval {
    qint64 startMs = 0;
    qint64 endMs = 0;
};

/// How the VAD turns frame probabilities into speech intervals (whisper.cpp's defaults).
struct VadOptions {
    float threshold = 0.5f;
    int minSpeechMs = 250;
    int minSilenceMs = 100;
    int speechPadMs = 30;
    /// Longest interval: longer speech is split at its quietest frame between half and all of
    /// this length; 0 for no limit.
    int maxSpeechMs = 0;
};

/// A loaded Silero VAD model (ggml .bin, e.g. "ggml-silero-v5.1.2.bin").
class VadModel {
public:
    /// Loads `path` on the CPU; fails for a missing or unusable file.
    static Expected<std::shared_ptr<VadModel>> load(const QString& path, int threads = 1);

    ~VadModel();
    VadModel(const VadModel&) = delete;
    VadModel& operator=(const VadModel&) = delete;

    /// The speech in `pcm16k` (analysed from scratch each call), in order; fails when whisper.cpp
    /// fails. Silence and empty audio give none.
    Expected<std::vector<SpeechInterval>> detect(std::span<const float> pcm16k, const VadOptions& options = {});

    /// The per-frame speech probabilities of `pcm16k` (one per `frameSamples()` samples), for callers
    /// that track pauses themselves.
    Expected<std::vector<float>> probabilities(std::span<const float> pcm16k);

    /// Samples per VAD frame (512 = 32 ms at 16 kHz).
    int frameSamples() const;
    QString path() const;
    qint64 loadMs() const;

private:
    struct Impl;
    explicit VadModel(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};

/// The whisper.cpp version this binary was built with (e.g. "1.9.1").
QString runtimeVersion();

/// Routes the log lines of whisper.cpp and ggml to the speech log channel (errors kept for the
/// failing call's reason); once per process, done by every load.
void installLogCallback();

/// The last error line whisper.cpp or ggml logged on this thread since `clearLastLogError`.
QString lastLogError();
void clearLastLogError();

}  // namespace quillory::whisper
