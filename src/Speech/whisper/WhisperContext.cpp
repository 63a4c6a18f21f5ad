#include "Speech/whisper/WhisperContext.h"

#include "Speech/whisper/CpuBackend.h"
#include "Speech/whisper/ModelFileCheck.h"
#include "Runtime/Log.h"

#include <whisper.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <cfloat>
#include <chrono>
#include <mutex>
#include <thread>

namespace quillory::whisper {

namespace {

// whisper.cpp logs through one process-wide callback. Errors are kept per thread so the call
// that failed can say why; everything is also forwarded to the speech log channel at debug level.
thread_local QString tLastError;

void logCallback(ggml_log_level level, const char* text, void*) {
    if (!text) {
        return;
    }
    const QString line = QString::fromUtf8(text).trimmed();
    if (line.isEmpty()) {
        return;
    }
    if (level == GGML_LOG_LEVEL_ERROR) {
        tLastError = line;
        qCDebug(lcSpeech) << "whisper.cpp:" << line;
    } else if (level == GGML_LOG_LEVEL_WARN) {
        qCDebug(lcSpeech) << "whisper.cpp:" << line;
    }
}

QString withLastError(const QString& message) {
    if (tLastError.isEmpty()) {
        return message;
    }
    return message + QStringLiteral(" (") + tLastError + QStringLiteral(")");
}

int clampThreads(int threads) {
    const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    return std::clamp(threads, 1, cores);
}

// whisper.cpp skips audio shorter than 100 ms and is unreliable below a second: pad with silence.
constexpr int kMinDecodeSamples = kSampleRate;

struct AbortState {
    const std::function<bool()>* shouldAbort = nullptr;
    std::atomic<bool> aborted{false};
    // When the encoder started and the decoder sampled its first and last token (whisper.cpp keeps
    // its own timings only for a context's built-in state).
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> encoderBegan;
    std::optional<Clock::time_point> firstToken;
    Clock::time_point lastToken;
    int steps = 0;

    bool poll() {
        if (aborted.load(std::memory_order_relaxed)) {
            return true;
        }
        if (shouldAbort && *shouldAbort && (*shouldAbort)()) {
            aborted.store(true, std::memory_order_relaxed);
            return true;
        }
        return false;
    }
};

bool abortCallback(void* data) {
    return static_cast<AbortState*>(data)->poll();
}

bool encoderBeginCallback(whisper_context*, whisper_state*, void* data) {
    auto* state = static_cast<AbortState*>(data);
    if (!state->encoderBegan) {
        state->encoderBegan = AbortState::Clock::now();
    }
    return !state->poll();
}

void logitsFilterCallback(whisper_context*, whisper_state*, const whisper_token_data*, int, float*, void* data) {
    auto* state = static_cast<AbortState*>(data);
    state->lastToken = AbortState::Clock::now();
    if (!state->firstToken) {
        state->firstToken = state->lastToken;
    }
    ++state->steps;
}

double millisBetween(AbortState::Clock::time_point from, AbortState::Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Splits every interval longer than `maxMs` at its quietest frame in the second half of the
// allowed length (so no piece is shorter than half of it), until all fit.
std::vector<SpeechInterval> splitLongIntervals(const std::vector<SpeechInterval>& intervals,
                                               std::span<const float> probs, int frameMs, int maxMs) {
    std::vector<SpeechInterval> out;
    if (frameMs <= 0 || maxMs <= 0) {
        return intervals;
    }
    for (SpeechInterval rest : intervals) {
        while (rest.endMs - rest.startMs > maxMs) {
            qint64 cut = rest.startMs + maxMs;
            float quietest = 2.0f;
            const qint64 firstFrame = (rest.startMs + maxMs / 2) / frameMs;
            const qint64 lastFrame = (rest.startMs + maxMs) / frameMs;
            for (qint64 f = firstFrame; f <= lastFrame && f < qint64(probs.size()); ++f) {
                const qint64 at = f * frameMs;
                if (at > rest.startMs && at < rest.startMs + maxMs && probs[size_t(f)] < quietest) {
                    quietest = probs[size_t(f)];
                    cut = at;
                }
            }
            out.push_back({rest.startMs, cut});
            rest.startMs = cut;
        }
        out.push_back(rest);
    }
    return out;
}

} // namespace

int audioCtxFor(qint64 durationMs, int modelAudioCtx) {
    // The frames the audio fills, plus 10 % and 64 frames of margin: too tight a context makes the
    // decoder hallucinate at the end of the audio. Never below 256 frames (about 5 s).
    constexpr int kMinimum = 256;
    const qint64 frames = (std::max<qint64>(durationMs, 0) * kAudioCtxFramesPerSecond + 999) / 1000;
    const qint64 wanted = frames + frames / 10 + 64;
    const int cap = modelAudioCtx > 0 ? modelAudioCtx : 1500;
    return static_cast<int>(std::clamp<qint64>(wanted, std::min(kMinimum, cap), cap));
}

QString runtimeVersion() {
    return QString::fromLatin1(whisper_version());
}

void installLogCallback() {
    static std::once_flag once;
    std::call_once(once, [] { whisper_log_set(logCallback, nullptr); });
}

QString lastLogError() {
    return tLastError;
}

void clearLastLogError() {
    tLastError.clear();
}

// ---------------------------------------------------------------------------------------------
// WhisperModel

struct WhisperModel::Impl {
    QString path;
    qint64 loadMs = 0;
    bool gpu = false;
    whisper_context* ctx = nullptr; // the weights and the vocabulary, without a decoding state
    // The decoding state: the key/value caches and the compute buffers, sized for the longest
    // audio. Pages a decode touched stay resident, so it is made for a run of decodes and freed
    // after it (`releaseState`). Guarded by `mutex`.
    whisper_state* state = nullptr;
    DecodeTimings timings;
    mutable std::mutex mutex;

    /// The state, made when there is none; fails when whisper.cpp cannot make it.
    Expected<whisper_state*> ensureState() {
        if (!state) {
            QElapsedTimer timer;
            timer.start();
            tLastError.clear();
            try {
                state = whisper_init_state(ctx);
            } catch (const std::exception& e) {
                tLastError = QString::fromLocal8Bit(e.what());
                state = nullptr;
            }
            if (!state) {
                return Failure{withLastError(QStringLiteral("The speech model %1 could not allocate its working memory")
                                                 .arg(QFileInfo(path).fileName()))};
            }
            qCDebug(lcSpeech, "Decoding state of %s made in %lld ms", qUtf8Printable(QFileInfo(path).fileName()),
                    static_cast<long long>(timer.elapsed()));
        }
        return state;
    }

    ~Impl() {
        if (state) {
            whisper_free_state(state);
        }
        if (ctx) {
            whisper_free(ctx);
        }
    }
};

WhisperModel::WhisperModel(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}
WhisperModel::~WhisperModel() = default;

Expected<std::shared_ptr<WhisperModel>> WhisperModel::load(const QString& path, int threads, bool gpu) {
    Q_UNUSED(threads);
    installLogCallback();
    QElapsedTimer timer;
    timer.start();

    if (Expected<> checked = checkSpeechModelFile(path); !checked) {
        return Failure{checked.error()};
    }
    if (const Expected<CpuBackend>& cpu = ensureCpuBackend(); !cpu) {
        return Failure{cpu.error()};
    }

    whisper_context_params params = whisper_context_default_params();
    params.use_gpu = gpu;
    params.gpu_device = 0; // the first GPU ggml lists, the one GpuBackend checked
    // Off: on the processor it makes the encoder at most a fifth faster on long audio but each
    // decoder step about half slower (the README's cost section).
    params.flash_attn = false;
    tLastError.clear();
    whisper_context* ctx = nullptr;
    try {
        ctx = whisper_init_from_file_with_params_no_state(QFile::encodeName(path).constData(), params);
    } catch (const std::exception& e) {
        tLastError = QString::fromLocal8Bit(e.what());
        ctx = nullptr;
    }
    if (!ctx) {
        return Failure{withLastError(QStringLiteral("The speech model %1 could not be loaded")
                                         .arg(QFileInfo(path).fileName()))};
    }
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    impl->gpu = gpu;
    impl->ctx = ctx;
    impl->loadMs = timer.elapsed();
    return std::shared_ptr<WhisperModel>(new WhisperModel(std::move(impl)));
}

Expected<Transcript> WhisperModel::decode(std::span<const float> pcm16k, const DecodeOptions& options) {
    if (pcm16k.empty()) {
        return Transcript{};
    }

    const QByteArray language = options.language.trimmed().toLatin1();
    if (!language.isEmpty() && whisper_lang_id(language.constData()) < 0) {
        return Failure{QStringLiteral("Unknown speech language \"%1\"").arg(options.language)};
    }
    if (!language.isEmpty() && language != "en" && !whisper_is_multilingual(d->ctx)) {
        return Failure{QStringLiteral("The speech model %1 only understands English")
                           .arg(QFileInfo(d->path).fileName())};
    }

    std::vector<float> padded;
    std::span<const float> samples = pcm16k;
    if (samples.size() < static_cast<size_t>(kMinDecodeSamples)) {
        padded.assign(kMinDecodeSamples, 0.0f);
        std::copy(pcm16k.begin(), pcm16k.end(), padded.begin());
        samples = padded;
    }
    if (samples.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
        return Failure{QStringLiteral("The audio is too long to decode at once")};
    }

    const QByteArray prompt = options.initialPrompt.toUtf8();
    AbortState abort;
    abort.shouldAbort = &options.shouldAbort;

    whisper_full_params p = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
    p.n_threads = clampThreads(options.threads);
    p.language = language.isEmpty() ? "auto" : language.constData();
    p.detect_language = false;
    p.translate = false;
    p.no_context = true;
    p.no_timestamps = !options.timestamps;
    p.single_segment = false;
    p.print_special = false;
    p.print_progress = false;
    p.print_realtime = false;
    p.print_timestamps = false;
    p.initial_prompt = prompt.isEmpty() ? nullptr : prompt.constData();
    p.max_tokens = std::max(0, options.maxTokens);
    p.audio_ctx = std::clamp(options.audioCtx, 0, whisper_model_n_audio_ctx(d->ctx));
    p.temperature_inc = options.temperatureFallback ? 0.2f : 0.0f;
    p.abort_callback = abortCallback;
    p.abort_callback_user_data = &abort;
    p.encoder_begin_callback = encoderBeginCallback;
    p.encoder_begin_callback_user_data = &abort;
    p.logits_filter_callback = logitsFilterCallback;
    p.logits_filter_callback_user_data = &abort;

    std::lock_guard lock(d->mutex);
    const Expected<whisper_state*> made = d->ensureState();
    if (!made) {
        return Failure{made.error()};
    }
    whisper_state* state = made.value();
    tLastError.clear();
    int rc = 0;
    try {
        rc = whisper_full_with_state(d->ctx, state, p, samples.data(), static_cast<int>(samples.size()));
    } catch (const std::exception& e) {
        tLastError = QString::fromLocal8Bit(e.what());
        rc = -100;
    }
    // The encoder pass is what comes before the first sampled token (that first decoder pass,
    // which also reads the prompt, included); the steps after it share the rest.
    const auto finished = AbortState::Clock::now();
    d->timings = {};
    if (abort.encoderBegan) {
        d->timings.encodeMs = millisBetween(*abort.encoderBegan, abort.firstToken.value_or(finished));
    }
    if (abort.firstToken && abort.steps > 1) {
        d->timings.perTokenMs = millisBetween(*abort.firstToken, abort.lastToken) / (abort.steps - 1);
    }
    if (abort.aborted.load()) {
        return Transcript{{}, true};
    }
    if (rc != 0) {
        return Failure{withLastError(QStringLiteral("Speech decoding failed (whisper.cpp error %1)").arg(rc))};
    }

    Transcript transcript;
    std::vector<Segment>& segments = transcript.segments;
    const int count = whisper_full_n_segments_from_state(state);
    segments.reserve(std::max(count, 0));
    // One decoder across segments: a character split between two segments still decodes whole.
    QStringDecoder utf8(QStringDecoder::Utf8);
    for (int i = 0; i < count; ++i) {
        const char* text = whisper_full_get_segment_text_from_state(state, i);
        Segment segment;
        segment.text = QString(utf8(QByteArrayView(text ? text : ""))).trimmed();
        segment.t0Ms = whisper_full_get_segment_t0_from_state(state, i) * 10;
        segment.t1Ms = whisper_full_get_segment_t1_from_state(state, i) * 10;
        segment.noSpeechProb = whisper_full_get_segment_no_speech_prob_from_state(state, i);
        d->timings.tokens += std::max(0, whisper_full_n_tokens_from_state(state, i));
        if (!segment.text.isEmpty()) {
            segments.push_back(std::move(segment));
        }
    }
    return transcript;
}

Expected<> WhisperModel::prepare() {
    std::lock_guard lock(d->mutex);
    if (const Expected<whisper_state*> made = d->ensureState(); !made) {
        return Failure{made.error()};
    }
    return {};
}

void WhisperModel::releaseState() {
    {
        std::lock_guard lock(d->mutex);
        if (!d->state) {
            return;
        }
        whisper_free_state(d->state);
        d->state = nullptr;
    }
    // The decodes' own allocations were spread over the worker threads' malloc arenas; hand the
    // free pages of all of them back to the system.
    malloc_trim(0);
}

bool WhisperModel::holdsState() const {
    std::lock_guard lock(d->mutex);
    return d->state != nullptr;
}

DecodeTimings WhisperModel::lastTimings() const {
    std::lock_guard lock(d->mutex);
    return d->timings;
}

QString WhisperModel::path() const {
    return d->path;
}

bool WhisperModel::onGpu() const {
    return d->gpu;
}

qint64 WhisperModel::loadMs() const {
    return d->loadMs;
}

bool WhisperModel::isMultilingual() const {
    return whisper_is_multilingual(d->ctx) != 0;
}

int WhisperModel::modelAudioCtx() const {
    return whisper_model_n_audio_ctx(d->ctx);
}

int WhisperModel::maxPromptTokens() const {
    return whisper_model_n_text_ctx(d->ctx) / 2;
}

int WhisperModel::tokenCount(const QString& text) const {
    const QByteArray bytes = text.toUtf8();
    if (bytes.isEmpty()) {
        return 0;
    }
    // Never more tokens than bytes (every byte is a token of its own at worst).
    std::vector<whisper_token> tokens(size_t(bytes.size()) + 1);
    std::lock_guard lock(d->mutex);
    const int n = whisper_tokenize(d->ctx, bytes.constData(), tokens.data(), int(tokens.size()));
    return n < 0 ? -1 : n;
}

// ---------------------------------------------------------------------------------------------
// VadModel

struct VadModel::Impl {
    QString path;
    qint64 loadMs = 0;
    whisper_vad_context* ctx = nullptr;
    int frameSamples = 512;
    std::mutex mutex;

    ~Impl() {
        if (ctx) {
            whisper_vad_free(ctx);
        }
    }
};

VadModel::VadModel(std::unique_ptr<Impl> impl) : d(std::move(impl)) {}
VadModel::~VadModel() = default;

Expected<std::shared_ptr<VadModel>> VadModel::load(const QString& path, int threads) {
    installLogCallback();
    QElapsedTimer timer;
    timer.start();

    const Expected<int> checked = checkVadModelFile(path);
    if (!checked) {
        return Failure{checked.error()};
    }
    const int frameSamples = checked.value();
    if (const Expected<CpuBackend>& cpu = ensureCpuBackend(); !cpu) {
        return Failure{cpu.error()};
    }

    whisper_vad_context_params params = whisper_vad_default_context_params();
    params.n_threads = clampThreads(threads);
    params.use_gpu = false;
    tLastError.clear();
    whisper_vad_context* ctx = nullptr;
    try {
        ctx = whisper_vad_init_from_file_with_params(QFile::encodeName(path).constData(), params);
    } catch (const std::exception& e) {
        tLastError = QString::fromLocal8Bit(e.what());
        ctx = nullptr;
    }
    if (!ctx) {
        return Failure{withLastError(QStringLiteral("The voice activity model %1 could not be loaded")
                                         .arg(QFileInfo(path).fileName()))};
    }
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    impl->ctx = ctx;
    impl->frameSamples = frameSamples;
    impl->loadMs = timer.elapsed();
    return std::shared_ptr<VadModel>(new VadModel(std::move(impl)));
}

Expected<std::vector<float>> VadModel::probabilities(std::span<const float> pcm16k) {
    if (pcm16k.empty()) {
        return std::vector<float>();
    }
    if (pcm16k.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
        return Failure{QStringLiteral("The audio is too long to analyse at once")};
    }
    std::lock_guard lock(d->mutex);
    tLastError.clear();
    bool ok = false;
    try {
        ok = whisper_vad_detect_speech(d->ctx, pcm16k.data(), static_cast<int>(pcm16k.size()));
    } catch (const std::exception& e) {
        tLastError = QString::fromLocal8Bit(e.what());
    }
    if (!ok) {
        return Failure{withLastError(QStringLiteral("Voice activity detection failed"))};
    }
    const int n = whisper_vad_n_probs(d->ctx);
    const float* probs = whisper_vad_probs(d->ctx);
    if (n <= 0 || !probs) {
        return std::vector<float>();
    }
    return std::vector<float>(probs, probs + n);
}

Expected<std::vector<SpeechInterval>> VadModel::detect(std::span<const float> pcm16k, const VadOptions& options) {
    if (pcm16k.empty()) {
        return std::vector<SpeechInterval>();
    }
    if (pcm16k.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
        return Failure{QStringLiteral("The audio is too long to analyse at once")};
    }
    whisper_vad_params params = whisper_vad_default_params();
    params.threshold = options.threshold;
    params.min_speech_duration_ms = std::max(0, options.minSpeechMs);
    params.min_silence_duration_ms = std::max(0, options.minSilenceMs);
    params.speech_pad_ms = std::max(0, options.speechPadMs);
    // whisper.cpp's own length limit works in whole seconds and its merge step joins the pieces
    // again, so long intervals are split here instead (below).
    params.max_speech_duration_s = FLT_MAX;

    std::lock_guard lock(d->mutex);
    tLastError.clear();
    whisper_vad_segments* segments = nullptr;
    try {
        segments = whisper_vad_segments_from_samples(d->ctx, params, pcm16k.data(),
                                                     static_cast<int>(pcm16k.size()));
    } catch (const std::exception& e) {
        tLastError = QString::fromLocal8Bit(e.what());
    }
    if (!segments) {
        return Failure{withLastError(QStringLiteral("Voice activity detection failed"))};
    }
    std::vector<SpeechInterval> intervals;
    const int n = whisper_vad_segments_n_segments(segments);
    const qint64 totalMs = static_cast<qint64>(pcm16k.size()) * 1000 / kSampleRate;
    for (int i = 0; i < n; ++i) {
        // whisper.cpp reports centiseconds.
        SpeechInterval interval;
        interval.startMs = std::clamp<qint64>(
            static_cast<qint64>(whisper_vad_segments_get_segment_t0(segments, i) * 10.0f + 0.5f), 0, totalMs);
        interval.endMs = std::clamp<qint64>(
            static_cast<qint64>(whisper_vad_segments_get_segment_t1(segments, i) * 10.0f + 0.5f), 0, totalMs);
        if (interval.endMs > interval.startMs) {
            intervals.push_back(interval);
        }
    }
    whisper_vad_free_segments(segments);

    if (options.maxSpeechMs > 0) {
        const int n = whisper_vad_n_probs(d->ctx);
        const float* probs = whisper_vad_probs(d->ctx);
        intervals = splitLongIntervals(intervals, std::span<const float>(probs, probs ? n : 0),
                                       d->frameSamples * 1000 / kSampleRate, options.maxSpeechMs);
    }
    return intervals;
}

int VadModel::frameSamples() const {
    return d->frameSamples;
}

QString VadModel::path() const {
    return d->path;
}

qint64 VadModel::loadMs() const {
    return d->loadMs;
}

} // namespace quillory::whisper
