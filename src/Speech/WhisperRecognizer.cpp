#include "Speech/WhisperRecognizer.h"

#include "Runtime/DefaultsStore.h"
#include "Utilities/Log.h"

#include <QDateTime>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>

namespace quillory {

// ---- the worker thread ----

struct ThreadRecognitionWorker::Impl {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> jobs;
    bool stopping = false;
    std::thread thread;
};

ThreadRecognitionWorker::ThreadRecognitionWorker() : d(std::make_unique<Impl>()) {
    d->thread = std::thread([impl = d.get()] {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(impl->mutex);
                impl->wake.wait(lock, [impl] { return impl->stopping || !impl->jobs.empty(); });
                if (impl->jobs.empty()) {
                    return;
                }
                job = std::move(impl->jobs.front());
                impl->jobs.pop_front();
            }
            job();
        }
    });
}

ThreadRecognitionWorker::~ThreadRecognitionWorker() {
    {
        std::lock_guard lock(d->mutex);
        d->stopping = true;
    }
    d->wake.notify_all();
    if (d->thread.get_id() == std::this_thread::get_id()) {
        // The last owner went away inside a job: the loop ends after it, on its own.
        d->thread.detach();
        (void)d.release(); // the thread still reads it; one small leak at shutdown
    } else {
        d->thread.join();
    }
}

void ThreadRecognitionWorker::post(std::function<void()> job) {
    {
        std::lock_guard lock(d->mutex);
        d->jobs.push_back(std::move(job));
    }
    d->wake.notify_one();
}

// ---- text helpers ----

namespace RecognitionText {

QString cutRepetitions(const QString& input) {
    QString text = input.trimmed();
    constexpr int kMaxUnit = 16;
    constexpr int kMinRepeats = 4;
    bool changed = true;
    while (changed) {
        changed = false;
        for (int unit = 1; unit <= kMaxUnit && !changed; ++unit) {
            for (qsizetype start = 0; start + unit * kMinRepeats <= text.size(); ++start) {
                const QStringView piece = QStringView(text).mid(start, unit);
                int repeats = 1;
                while (start + (repeats + 1) * unit <= text.size() &&
                       QStringView(text).mid(start + repeats * unit, unit) == piece) {
                    ++repeats;
                }
                if (repeats >= kMinRepeats) {
                    text.remove(start + unit, (repeats - 1) * unit);
                    changed = true;
                    break;
                }
            }
        }
    }
    return text.trimmed();
}

QString buildPrompt(const QStringList& hints, const QString& settledText, int maxTokens,
                    const std::function<int(const QString&)>& count) {
    if (maxTokens <= 0) {
        return {};
    }
    QStringList keptHints = hints;
    QString hintsPart = keptHints.join(QStringLiteral("、"));
    // Hints get at most half of the room when there is settled text to continue from.
    const int hintBudget = settledText.isEmpty() ? maxTokens : maxTokens / 2;
    while (!keptHints.isEmpty() && count(hintsPart) > hintBudget) {
        keptHints.removeLast();
        hintsPart = keptHints.join(QStringLiteral("、"));
    }
    if (!hintsPart.isEmpty()) {
        hintsPart += QStringLiteral("。");
    }
    const int room = maxTokens - (hintsPart.isEmpty() ? 0 : count(hintsPart));
    QString tail = settledText;
    while (!tail.isEmpty() && count(tail) > room) {
        tail = tail.mid(std::max<qsizetype>(1, tail.size() / 8));
    }
    return hintsPart + tail;
}

int audioContextFor(qint64 samples, int modelAudioCtx) {
    constexpr int kSamplesPerFrame = kRecognitionSampleRate / 50;
    constexpr int kMarginFrames = 32;
    constexpr int kMinimumFrames = 150; // 3 s: shorter contexts cost little more and decode worse
    const qint64 frames = (samples + kSamplesPerFrame - 1) / kSamplesPerFrame + kMarginFrames;
    return static_cast<int>(std::clamp<qint64>(frames, std::min(kMinimumFrames, modelAudioCtx), modelAudioCtx));
}

} // namespace RecognitionText

// ---- the model slot ----

struct WhisperRecognizerHost::Slot {
    std::mutex mutex;
    std::shared_ptr<SpeechDecoder> decoder;
    QString error;
    bool done = false;

    std::shared_ptr<SpeechDecoder> get(QString* why) {
        std::lock_guard lock(mutex);
        if (!decoder && why) {
            *why = done ? error : QStringLiteral("the speech model is not loaded");
        }
        return decoder;
    }
};

WhisperRecognizerHost::WhisperRecognizerHost(std::function<QString()> modelPath, SpeechDecoderLoader loader,
                                             std::shared_ptr<RecognitionWorker> worker, StreamingTuning tuning)
    : modelPath_(std::move(modelPath)), loader_(std::move(loader)), worker_(std::move(worker)), tuning_(tuning) {}

WhisperRecognizerHost::~WhisperRecognizerHost() { *alive_ = false; }

namespace {
QString fileIdentity(const QString& path) {
    const QFileInfo info(path);
    return info.exists() ? QStringLiteral("%1:%2").arg(info.size()).arg(info.lastModified().toMSecsSinceEpoch())
                         : QString();
}
} // namespace

void WhisperRecognizerHost::preload() {
    const QString path = modelPath_ ? modelPath_() : QString();
    load(main_, path, loader_, worker_, true);
    preloadPartial(path);
}

void WhisperRecognizerHost::preloadPartial(const QString& selectedPath) {
    QString path = partialPass_.modelPath && partialPass_.worker ? partialPass_.modelPath() : QString();
    if (path == selectedPath || !QFileInfo::exists(path)) {
        path.clear(); // one pass
    }
    if (path.isEmpty()) {
        if (partial_.slot) {
            qCInfo(lcSpeech, "Live text is written by the selected speech model");
        }
        partial_ = Loaded{};
        return;
    }
    load(partial_, path, partialPass_.loader, partialPass_.worker, false);
}

void WhisperRecognizerHost::load(Loaded& into, const QString& path, const SpeechDecoderLoader& loader,
                                 const std::shared_ptr<RecognitionWorker>& worker, bool selected) {
    const QString identity = fileIdentity(path);
    if (into.slot && path == into.path && (into.state != LoadState::failed || identity == into.identity)) {
        return; // loaded, loading, or failed on this very file: a retry would fail the same way
    }
    auto slot = std::make_shared<Slot>();
    into.slot = slot;
    into.path = path;
    into.identity = identity;
    into.state = LoadState::loading;
    into.error.clear();
    // The worker may finish after the scheduler is gone (shutdown): post through a handle.
    const SchedulerHandle scheduler = Scheduler::current().handle();
    std::weak_ptr<WhisperRecognizerHost> weak = weak_from_this();
    worker->post([slot, path, loader, scheduler, weak, selected] {
        const auto started = std::chrono::steady_clock::now();
        QString error;
        std::shared_ptr<SpeechDecoder> decoder;
        if (path.isEmpty()) {
            error = QStringLiteral("no speech model is selected");
        } else if (!QFileInfo::exists(path)) {
            error = QStringLiteral("%1 does not exist").arg(path);
        } else {
            try {
                decoder = loader ? loader(path, &error) : nullptr;
            } catch (const std::exception& e) {
                error = QString::fromLocal8Bit(e.what());
            }
            if (!decoder && error.isEmpty()) {
                error = QStringLiteral("%1 could not be loaded").arg(path);
            }
        }
        const qint64 ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - started)
                              .count();
        {
            std::lock_guard lock(slot->mutex);
            slot->decoder = decoder;
            slot->error = error;
            slot->done = true;
        }
        scheduler.post([slot, weak, path, ms, ok = decoder != nullptr, error, selected] {
            auto host = weak.lock();
            if (!host) {
                return;
            }
            Loaded& loaded = selected ? host->main_ : host->partial_;
            if (loaded.slot != slot) {
                return; // a later selection replaced this load
            }
            loaded.state = ok ? LoadState::loaded : LoadState::failed;
            loaded.error = error;
            const char* which = selected ? "Speech model" : "Live-text speech model";
            if (ok) {
                qCInfo(lcSpeech, "%s loaded: %s in %lld ms", which, qUtf8Printable(QFileInfo(path).fileName()),
                       static_cast<long long>(ms));
            } else if (selected) {
                qCWarning(lcSpeech, "%s failed to load: %s", which, qUtf8Printable(error));
            } else {
                qCWarning(lcSpeech, "%s failed to load, the selected model writes the live text: %s", which,
                          qUtf8Printable(error));
            }
            if (selected && host->observer_) {
                host->observer_(loaded.state, ms);
            }
        });
    });
}

void WhisperRecognizerHost::preloadOnChangeOf(const QStringList& keys) {
    connections_ = std::make_unique<QObject>();
    std::weak_ptr<WhisperRecognizerHost> weak = weak_from_this();
    QObject::connect(&DefaultsStore::standard(), &DefaultsStore::valueChanged, connections_.get(),
                     [weak, keys](const QString& changed) {
                         if (auto host = weak.lock(); host && keys.contains(changed)) {
                             host->preload();
                         }
                     });
}

bool WhisperRecognizerHost::isAvailable() {
    const QString path = modelPath_ ? modelPath_() : QString();
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        return false;
    }
    preload();
    return main_.state != LoadState::failed;
}

std::shared_ptr<SpeechRecognizer> WhisperRecognizerHost::makeRecognizer() {
    preload();
    return std::make_shared<WhisperRecognizer>(shared_from_this());
}

// ---- one recognition ----

namespace {

using Status = DecodeResult::Status;

/// What a job is asked to do; plain values, copied to the worker.
struct JobInput {
    qint64 segmentStart = 0;
    bool final = false;
    bool wantHypothesis = true;
    QStringList hints;
    QString settledText;
    /// The last hypothesis and the audio it covered, for the final to reuse when nothing was said since.
    QString hypothesis;
    qint64 hypothesisStart = -1;
    qint64 hypothesisEnd = -1;
    /// The fast model writes the live text alongside: leave it a core.
    bool sharingCpu = false;
};

struct JobOutput {
    Status status = Status::ok;
    QString error;
    QStringList settled;
    qint64 segmentStart = 0;
    std::optional<QString> hypothesis;
    qint64 hypothesisStart = -1;
    qint64 hypothesisEnd = -1;
    qint64 audioEnd = 0;
    int decodes = 0;
};

/// Pieces of speech: spans closer than a pause joined, each at most the longest segment.
std::vector<SpeechSpan> groupSpeech(const std::vector<SpeechSpan>& spans, const StreamingTuning& t) {
    std::vector<SpeechSpan> pieces;
    for (SpeechSpan s : spans) {
        if (s.end <= s.start) {
            continue;
        }
        if (!pieces.empty() && s.start - pieces.back().end < t.pauseSamples &&
            s.end - pieces.back().start <= t.maxSegmentSamples) {
            pieces.back().end = std::max(pieces.back().end, s.end);
            continue;
        }
        // A stretch of speech longer than a segment is cut at the longest segment.
        while (s.end - s.start > t.maxSegmentSamples) {
            pieces.push_back({s.start, s.start + t.maxSegmentSamples});
            s.start += t.maxSegmentSamples;
        }
        pieces.push_back(s);
    }
    return pieces;
}

/// The decoder of `slot`, or null with `out` failed.
std::shared_ptr<SpeechDecoder> decoderOf(WhisperRecognizerHost::Slot& slot, JobOutput& out) {
    QString why;
    auto decoder = slot.get(&why);
    if (!decoder) {
        out.status = Status::failed;
        out.error = why;
    }
    return decoder;
}

/// The speech in `buffer`, or nothing with `out` failed.
std::optional<std::vector<SpeechSpan>> speechIn(SpeechDecoder& decoder, std::span<const float> buffer,
                                                JobOutput& out) {
    QString error;
    std::vector<SpeechSpan> spans = decoder.detectSpeech(buffer, &error);
    if (!error.isEmpty()) {
        out.status = Status::failed;
        out.error = error;
        return std::nullopt;
    }
    return spans;
}

/// Decodes `samples` conditioned on `hints` and the settled text; the text with repetition loops
/// cut, or nothing with `out` failed or aborted.
std::optional<QString> decodeText(SpeechDecoder& decoder, std::span<const float> samples, const QStringList& hints,
                                  const QString& settled, const std::function<bool()>& shouldAbort, JobOutput& out,
                                  const std::function<void()>& onDecoded = nullptr) {
    const QString prompt = RecognitionText::buildPrompt(hints, settled, decoder.maxPromptTokens(),
                                                        [&](const QString& t) { return decoder.tokenCount(t); });
    ++out.decodes;
    DecodeResult r = decoder.decode(
        samples, prompt, RecognitionText::audioContextFor(static_cast<qint64>(samples.size()), decoder.modelAudioCtx()),
        shouldAbort);
    if (onDecoded) {
        onDecoded();
    }
    if (r.status != Status::ok) {
        out.status = r.status;
        out.error = r.error.isEmpty() ? QStringLiteral("the decoder failed") : r.error;
        return std::nullopt;
    }
    QString joined;
    for (const QString& piece : r.segments) {
        joined += piece.trimmed();
    }
    return RecognitionText::cutRepetitions(joined);
}

} // namespace

class StreamingRecognition final : public RecognitionRequest,
                                   public std::enable_shared_from_this<StreamingRecognition> {
public:
    StreamingRecognition(std::shared_ptr<WhisperRecognizerHost::Slot> slot, std::shared_ptr<RecognitionWorker> worker,
                         std::shared_ptr<WhisperRecognizerHost::Slot> partialSlot,
                         std::shared_ptr<RecognitionWorker> partialWorker, StreamingTuning tuning,
                         RecognitionOptions options, std::shared_ptr<WhisperRecognizerHost::Backlog> backlog)
        : slot_(std::move(slot)), worker_(std::move(worker)), partialSlot_(std::move(partialSlot)),
          partialWorker_(std::move(partialWorker)), tuning_(tuning), options_(std::move(options)),
          scheduler_(&Scheduler::current()), main_(scheduler_->handle()), backlog_(std::move(backlog)) {
        backlog_->appended = 0;
        backlog_->processed = 0;
    }

    // Capture thread.
    void append(std::span<const float> samples) override {
        std::lock_guard lock(audioMutex_);
        if (!acceptingAudio_) {
            return;
        }
        audio_.insert(audio_.end(), samples.begin(), samples.end());
        backlog_->appended.fetch_add(static_cast<qint64>(samples.size()));
    }

    // Main thread.
    void endAudio() override {
        {
            std::lock_guard lock(audioMutex_);
            acceptingAudio_ = false;
        }
        ended_ = true;
        partialAbort_->store(true); // the final gets every core
        if (handler_ && !inFlight_) {
            dispatch();
        }
    }

    void begin(SpeechRecognizer::ResultHandler handler) {
        handler_ = std::move(handler);
        if (ended_) {
            dispatch();
        } else {
            schedulePoll(tuning_.minPartialInterval);
        }
    }

    void cancel() {
        done_ = true;
        abort_->store(true);
        partialAbort_->store(true);
        poll_.stop();
        handler_ = nullptr;
    }

private:
    qint64 audioSize() {
        std::lock_guard lock(audioMutex_);
        return static_cast<qint64>(audio_.size());
    }

    void schedulePoll(Duration delay) {
        std::weak_ptr<StreamingRecognition> weak = weak_from_this();
        poll_ = Timer::once(delay, [weak] {
            if (auto self = weak.lock()) {
                self->onPoll();
            }
        });
    }

    /// The fast model writes the live text while the selected one settles segments.
    bool twoPass() const {
        return !partialBroken_ && options_.shouldReportPartialResults && partialSlot_ && partialWorker_ &&
               partialSlot_->get(nullptr) != nullptr;
    }

    void onPoll() {
        if (done_) {
            return;
        }
        if (ended_) {
            if (!inFlight_) {
                dispatch();
            }
            return;
        }
        const Duration now = scheduler_->monotonicNow();
        if (twoPass()) {
            const qint64 size = audioSize();
            if (!inFlight_ && now - dispatchedAt_ >= tuning_.minPartialInterval &&
                size - lastDecodedEnd_ >= tuning_.minNewAudioSamples) {
                dispatch();
            }
            if (!partialInFlight_ && now >= nextPartialAt_ && size - lastPartialEnd_ >= tuning_.minNewAudioSamples) {
                dispatchPartial();
            }
            schedulePoll(tuning_.pollInterval);
            return;
        }
        if (inFlight_) {
            return;
        }
        if (now < nextDecodeAt_ || audioSize() - lastDecodedEnd_ < tuning_.minNewAudioSamples) {
            schedulePoll(std::max(tuning_.pollInterval, nextDecodeAt_ - now));
            return;
        }
        dispatch();
    }

    void dispatch() {
        if (done_ || inFlight_) {
            return;
        }
        poll_.stop();
        inFlight_ = true;
        dispatchedAt_ = scheduler_->monotonicNow();
        JobInput in;
        in.segmentStart = segmentStart_;
        in.final = ended_;
        const bool twoPasses = twoPass();
        inputWasTwoPass_ = twoPasses;
        in.wantHypothesis = options_.shouldReportPartialResults && !twoPasses;
        in.sharingCpu = twoPasses && !ended_;
        in.hints = options_.contextualStrings.value_or(QStringList());
        in.settledText = settledText_;
        in.hypothesis = hypothesis_;
        in.hypothesisStart = hypothesisStart_;
        in.hypothesisEnd = hypothesisEnd_;
        auto self = shared_from_this();
        // The job may finish after the scheduler is gone (shutdown): its result goes through a
        // handle, which drops it then.
        worker_->post([self, in, main = scheduler_->handle()] {
            JobOutput out = self->run(in);
            main.post([self, out = std::move(out), final = in.final] { self->apply(out, final); });
        });
    }

    void dispatchPartial() {
        partialInFlight_ = true;
        partialDispatchedAt_ = scheduler_->monotonicNow();
        JobInput in;
        in.segmentStart = segmentStart_;
        in.hints = options_.contextualStrings.value_or(QStringList());
        in.settledText = settledText_;
        auto self = shared_from_this();
        partialWorker_->post([self, in, main = scheduler_->handle()] {
            JobOutput out = self->runPartial(in);
            main.post([self, out = std::move(out)] { self->applyPartial(out); });
        });
    }

    // ---- worker thread ----

    JobOutput run(const JobInput& in) {
        JobOutput out;
        out.segmentStart = in.segmentStart;
        if (abort_->load()) {
            out.status = Status::aborted;
            return out;
        }
        const auto decoder = decoderOf(*slot_, out);
        if (!decoder) {
            return out;
        }
        decoder->setSharingCpu(in.sharingCpu);
        std::vector<float> buffer;
        {
            std::lock_guard lock(audioMutex_);
            const auto from = std::min<qint64>(in.segmentStart, static_cast<qint64>(audio_.size()));
            buffer.assign(audio_.begin() + from, audio_.end());
            out.audioEnd = static_cast<qint64>(audio_.size());
        }
        backlog_->processed = out.audioEnd;
        const qint64 length = static_cast<qint64>(buffer.size());
        const auto spans = speechIn(*decoder, buffer, out);
        if (!spans) {
            return out;
        }
        const std::vector<SpeechSpan> pieces = groupSpeech(*spans, tuning_);
        // whisper.cpp polls this between the steps of a decode: each poll is a sign of progress.
        const auto shouldAbort = [this, abort = abort_] {
            reportProgress(std::nullopt);
            return abort->load();
        };
        const auto decoded = [this] { reportProgress(std::nullopt); };

        QString settled = in.settledText;
        const auto decodeRange = [&](qint64 from, qint64 to, QString* text) -> bool {
            from = std::clamp<qint64>(from, 0, length);
            to = std::clamp<qint64>(to, from, length);
            const std::span<const float> samples(buffer.data() + from, static_cast<std::size_t>(to - from));
            const auto result = decodeText(*decoder, samples, in.hints, settled, shouldAbort, out, decoded);
            if (result) {
                *text = *result;
            }
            return result.has_value();
        };

        qint64 settledUpTo = 0; // relative to the buffer
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            const SpeechSpan& p = pieces[i];
            const bool last = i + 1 == pieces.size();
            // Closed: followed by another piece or by a pause, or cut at the longest segment.
            const bool closed = in.final || !last || length - p.end >= tuning_.pauseSamples ||
                                p.end - p.start >= tuning_.maxSegmentSamples;
            if (!closed) {
                break;
            }
            const qint64 from = std::max(p.start - tuning_.padSamples, settledUpTo);
            const qint64 to = std::min(p.end + tuning_.padSamples, last ? length : pieces[i + 1].start);
            QString text;
            const qint64 absFrom = in.segmentStart + std::clamp<qint64>(from, 0, length);
            if (in.final && last && in.hypothesisStart == absFrom &&
                in.hypothesisEnd >= in.segmentStart + p.end) {
                text = in.hypothesis; // nothing was said since the last partial decoded this piece
            } else if (!decodeRange(from, to, &text)) {
                return out;
            }
            out.settled << text;
            settled += text;
            settledUpTo = to;
            // A settled segment: what the selected model stands by now (with its own text of the
            // rest when that starts after this segment).
            const bool hypothesisAfter = in.hypothesisStart >= 0 && in.hypothesisStart >= in.segmentStart + to;
            QString confirmed; // its own buffer: the main thread gets it, this thread goes on with `settled`
            confirmed.reserve(settled.size() + (hypothesisAfter ? in.hypothesis.size() : 0) + 1);
            confirmed += settled;
            if (hypothesisAfter) {
                confirmed += in.hypothesis;
            }
            reportProgress(std::move(confirmed));
        }
        if (pieces.empty() || settledUpTo >= pieces.back().end) {
            // No open speech: keep only the tail where a word may be starting.
            settledUpTo = std::max(settledUpTo, in.final ? length : length - tuning_.pauseSamples);
        }
        out.segmentStart = in.segmentStart + std::max<qint64>(settledUpTo, 0);

        if (!in.final && in.wantHypothesis && !pieces.empty() && settledUpTo < pieces.back().end) {
            const qint64 from = std::max(pieces.back().start - tuning_.padSamples, settledUpTo);
            QString text;
            if (!decodeRange(from, length, &text)) {
                return out;
            }
            out.hypothesis = text;
            out.hypothesisStart = in.segmentStart + from;
            out.hypothesisEnd = in.segmentStart + length;
        }
        return out;
    }

    /// The live text of everything not settled yet, by the fast model: one decode from the first
    /// speech to the end (its last 30 s at most), nothing at all when there is no speech.
    JobOutput runPartial(const JobInput& in) {
        JobOutput out;
        out.hypothesisStart = in.segmentStart;
        const auto shouldAbort = [abort = abort_, partialAbort = partialAbort_] {
            return abort->load() || partialAbort->load();
        };
        if (shouldAbort()) {
            out.status = Status::aborted;
            return out;
        }
        const auto decoder = decoderOf(*partialSlot_, out);
        if (!decoder) {
            return out;
        }
        std::vector<float> buffer;
        {
            std::lock_guard lock(audioMutex_);
            const auto size = static_cast<qint64>(audio_.size());
            const qint64 window = qint64(decoder->modelAudioCtx()) * (kRecognitionSampleRate / 50);
            const qint64 from = std::max(std::min(in.segmentStart, size), size - window);
            buffer.assign(audio_.begin() + from, audio_.end());
            out.audioEnd = size;
        }
        const auto spans = speechIn(*decoder, buffer, out);
        if (!spans) {
            return out;
        }
        if (spans->empty()) {
            out.hypothesis = QString();
            return out;
        }
        const qint64 length = static_cast<qint64>(buffer.size());
        const qint64 from = std::clamp<qint64>(spans->front().start - tuning_.padSamples, 0, length);
        const std::span<const float> samples(buffer.data() + from, static_cast<std::size_t>(length - from));
        out.hypothesis = decodeText(*decoder, samples, in.hints, in.settledText, shouldAbort, out);
        return out;
    }

    // ---- main thread ----

    void applyPartial(const JobOutput& out) {
        partialInFlight_ = false;
        if (done_ || ended_ || out.status == Status::aborted) {
            return;
        }
        if (out.status == Status::failed) {
            // The live text is a convenience: the selected model takes it over.
            qCWarning(lcSpeech, "Live-text decode failed, the selected model writes the live text: %s",
                      qUtf8Printable(out.error));
            partialBroken_ = true;
            schedulePoll(tuning_.pollInterval);
            return;
        }
        const Duration now = scheduler_->monotonicNow();
        if (out.hypothesisStart != segmentStart_) {
            return; // a segment settled meanwhile: this text covers it twice; the next one will not
        }
        // The live-text model has cores of its own: it decodes back to back, starting at most one
        // decode per shortest interval.
        nextPartialAt_ = std::max(now, partialDispatchedAt_ + tuning_.minPartialInterval);
        lastPartialEnd_ = out.audioEnd;
        hypothesis_ = out.hypothesis.value_or(QString());
        hypothesisStart_ = hypothesisEnd_ = -1; // another model's text: the final decodes afresh
        publish();
    }

    void publish() {
        const QString partial = settledText_ + hypothesis_;
        if (options_.shouldReportPartialResults && !partial.trimmed().isEmpty() && partial != lastPartial_) {
            lastPartial_ = partial;
            if (handler_) {
                auto handler = handler_;
                SpeechRecognitionSnapshot snapshot{partial, false, std::nullopt};
                // The live-text model's words (no range of the selected model) are not confirmed.
                snapshot.confirmedText = settledText_ + (hypothesisStart_ >= 0 ? hypothesis_ : QString());
                handler(snapshot);
            }
        }
    }

    void apply(const JobOutput& out, bool final) {
        inFlight_ = false;
        if (done_) {
            return;
        }
        if (out.status == Status::aborted) {
            return;
        }
        if (out.status == Status::failed) {
            finish(SpeechRecognitionSnapshot{std::nullopt, false,
                                             QStringLiteral("Speech recognition failed: %1").arg(out.error)});
            return;
        }
        const Duration took = scheduler_->monotonicNow() - dispatchedAt_;
        for (const QString& s : out.settled) {
            settledText_ += s;
        }
        if (out.segmentStart != segmentStart_) {
            hypothesis_.clear();
            hypothesisStart_ = hypothesisEnd_ = -1;
        }
        segmentStart_ = out.segmentStart;
        if (out.hypothesis) {
            hypothesis_ = *out.hypothesis;
            hypothesisStart_ = out.hypothesisStart;
            hypothesisEnd_ = out.hypothesisEnd;
        }
        lastDecodedEnd_ = out.audioEnd;
        if (final) {
            if (settledText_.trimmed().isEmpty()) {
                finish(SpeechRecognitionSnapshot{std::nullopt, false, QString::fromLatin1(kNoSpeechMessage)});
            } else {
                finish(SpeechRecognitionSnapshot{settledText_, true, std::nullopt});
            }
            return;
        }
        if (inputWasTwoPass_) {
            // The fast model's next text shows this segment settled; showing the settled text alone
            // now would drop the words said since.
            if (ended_) {
                dispatch();
            } else {
                schedulePoll(tuning_.pollInterval);
            }
            return;
        }
        publish();
        if (done_) {
            return; // cancelled from inside the handler
        }
        // Space the partials by the cost of the last decode: a slow machine gets fewer of them.
        const auto spacing = std::chrono::duration_cast<Duration>(took * tuning_.partialSpacingFactor);
        nextDecodeAt_ = scheduler_->monotonicNow() + std::max(tuning_.minPartialInterval, spacing);
        if (ended_) {
            dispatch();
        } else {
            schedulePoll(std::max(tuning_.pollInterval, nextDecodeAt_ - scheduler_->monotonicNow()));
        }
    }

    /// Worker thread: the selected model made progress. With `confirmed` (a segment settled) it is
    /// always told; plain steps go one at a time, the next only after the main thread took the last.
    void reportProgress(std::optional<QString> confirmed) {
        const bool step = !confirmed;
        if (step && stepReportPending_.exchange(true)) {
            return;
        }
        main_.post([self = shared_from_this(), confirmed = std::move(confirmed), step] {
            self->applyProgress(confirmed, step);
        });
    }

    void applyProgress(const std::optional<QString>& confirmed, bool step) {
        if (step) {
            stepReportPending_ = false;
        }
        if (done_ || !handler_) {
            return;
        }
        SpeechRecognitionSnapshot snapshot;
        snapshot.isProgress = true;
        snapshot.confirmedText = confirmed;
        auto handler = handler_;
        handler(snapshot);
    }

    void finish(const SpeechRecognitionSnapshot& snapshot) {
        done_ = true;
        poll_.stop();
        if (auto handler = std::exchange(handler_, nullptr)) {
            handler(snapshot);
        }
    }

    std::shared_ptr<WhisperRecognizerHost::Slot> slot_;
    std::shared_ptr<RecognitionWorker> worker_;
    std::shared_ptr<WhisperRecognizerHost::Slot> partialSlot_;
    std::shared_ptr<RecognitionWorker> partialWorker_;
    StreamingTuning tuning_;
    RecognitionOptions options_;
    Scheduler* scheduler_;
    SchedulerHandle main_;
    std::atomic<bool> stepReportPending_{false};
    std::shared_ptr<WhisperRecognizerHost::Backlog> backlog_;
    std::shared_ptr<std::atomic<bool>> abort_ = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<bool>> partialAbort_ = std::make_shared<std::atomic<bool>>(false);

    std::mutex audioMutex_;
    std::vector<float> audio_;
    bool acceptingAudio_ = true;

    SpeechRecognizer::ResultHandler handler_;
    Timer poll_;
    bool ended_ = false;
    bool inFlight_ = false;
    bool done_ = false;
    Duration dispatchedAt_{};
    Duration nextDecodeAt_{};
    qint64 lastDecodedEnd_ = 0;
    qint64 segmentStart_ = 0;
    QString settledText_;
    QString hypothesis_;
    qint64 hypothesisStart_ = -1;
    qint64 hypothesisEnd_ = -1;
    QString lastPartial_;
    // The fast model's lane.
    bool inputWasTwoPass_ = false;
    bool partialInFlight_ = false;
    bool partialBroken_ = false;
    Duration partialDispatchedAt_{};
    Duration nextPartialAt_{};
    qint64 lastPartialEnd_ = 0;
};

namespace {
class StreamingTask final : public RecognitionTask {
public:
    explicit StreamingTask(std::shared_ptr<StreamingRecognition> r) : recognition_(std::move(r)) {}
    ~StreamingTask() override = default;
    void cancel() override { recognition_->cancel(); }

private:
    std::shared_ptr<StreamingRecognition> recognition_;
};
} // namespace

WhisperRecognizer::WhisperRecognizer(std::shared_ptr<WhisperRecognizerHost> host) : host_(std::move(host)) {}

bool WhisperRecognizer::isAvailable() const { return host_->isAvailable(); }

std::shared_ptr<RecognitionRequest> WhisperRecognizer::makeRequest(const RecognitionOptions& options) {
    host_->preload();
    return std::make_shared<StreamingRecognition>(host_->main_.slot, host_->worker_, host_->partial_.slot,
                                                  host_->partialPass_.worker, host_->tuning_, options,
                                                  host_->backlog_);
}

std::unique_ptr<RecognitionTask> WhisperRecognizer::recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                                    ResultHandler handler) {
    auto recognition = std::dynamic_pointer_cast<StreamingRecognition>(request);
    if (!recognition) {
        throw SpeechBackendError(QStringLiteral("The recognition request belongs to another recogniser"));
    }
    recognition->begin(std::move(handler));
    return std::make_unique<StreamingTask>(std::move(recognition));
}

} // namespace quillory
