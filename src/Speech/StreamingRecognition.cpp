// One streaming recognition (`StreamingRecognition`): the main thread decides when to decode and
// applies the results; its jobs run on the model workers; the capture thread only appends to the
// ring. Also the `WhisperRecognizer` that makes it.

#include "Speech/WhisperRecognizer.h"

#include "Speech/CaptureBuffer.h"
#include "Speech/ModelSlot.h"
#include "Runtime/Log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>

namespace quillory {

// ---- one recognition ----

namespace {

using Status = DecodeResult::Status;

/// A copy of `text` that shares no data with it. What the main thread hands a worker is copied so:
/// a string both threads held could be grown in place by one while the other still read it (Qt
/// checks whether to detach with a relaxed load of the reference count).
QString ownCopy(QStringView text) {
    return text.isEmpty() ? QString() : QString(text.data(), text.size());
}

/// What a job is asked to do; plain values the worker owns (see `ownCopy`).
struct JobInput {
    qint64 segmentStart = 0;
    /// The audio from `segmentStart` to here was heard by the last settled segment too (the
    /// overlap after a cut): the text decoded from it is joined to the settled text without doubling.
    qint64 overlapUntil = -1;
    bool final = false;
    bool wantHypothesis = true;
    /// The end of the settled text, as long as the prompt and the joining need.
    QString settledTail;
    /// The last hypothesis and the audio it covered, for the final to reuse when nothing was said since.
    QString hypothesis;
    qint64 hypothesisStart = -1;
    qint64 hypothesisEnd = -1;
    /// The fast model writes the live text alongside: leave it a core.
    bool sharingCpu = false;
};

/// Settled text kept for the next job: what the prompt can take and what an overlap can repeat.
constexpr qint64 kSettledTailChars = 1024;
/// How long a decode's encoder pass may go without a report: this floor plus this much a second
/// of the audio it encodes.
constexpr std::chrono::milliseconds kSilentStepFloor{8000};
constexpr std::chrono::milliseconds kSilentStepPerAudioSecond{13000};

struct JobOutput {
    Status status = Status::ok;
    QString error;
    QStringList settled;
    qint64 segmentStart = 0;
    qint64 overlapUntil = -1;
    std::optional<QString> hypothesis;
    qint64 hypothesisStart = -1;
    qint64 hypothesisEnd = -1;
    qint64 audioEnd = 0;
    int decodes = 0;
    /// The end of the audio of the last segment this job settled (absolute), -1 for none.
    qint64 settledEnd = -1;
};

/// A piece of speech to decode; `cut` when it ends in a cut made in speech rather than in a pause.
struct Piece {
    qint64 start = 0;
    qint64 end = 0;
    bool cut = false;
};

/// Pieces of speech: spans closer than a pause joined; a stretch longer than the longest segment
/// is cut at its quietest moment near that length, again until the rest is short enough.
std::vector<Piece> groupSpeech(const std::vector<SpeechSpan>& spans, std::span<const float> audio,
                               const StreamingTuning& t) {
    std::vector<SpeechSpan> stretches;
    for (const SpeechSpan& s : spans) {
        if (s.end <= s.start) {
            continue;
        }
        if (!stretches.empty() && s.start - stretches.back().end < t.pauseSamples) {
            stretches.back().end = std::max(stretches.back().end, s.end);
        } else {
            stretches.push_back(s);
        }
    }
    std::vector<Piece> pieces;
    for (SpeechSpan s : stretches) {
        while (s.end - s.start > t.maxSegmentSamples) {
            const qint64 limit = s.start + t.maxSegmentSamples;
            const qint64 cut = RecognitionText::quietestCut(
                audio, std::max(s.start + t.maxSegmentSamples / 2, limit - t.cutSearchSamples), limit);
            pieces.push_back({s.start, cut, true});
            s.start = cut;
        }
        pieces.push_back({s.start, s.end, false});
    }
    return pieces;
}

/// The decoder of `slot`, or null with `out` failed.
std::shared_ptr<SpeechDecoder> decoderOf(WhisperRecognizerHost::Slot& slot, JobOutput& out) {
    Expected<std::shared_ptr<SpeechDecoder>> decoder = slot.get();
    if (!decoder) {
        out.status = Status::failed;
        out.error = decoder.error();
        return nullptr;
    }
    return std::move(decoder).value();
}

/// The speech in `buffer`, or nothing with `out` failed.
std::optional<std::vector<SpeechSpan>> speechIn(SpeechDecoder& decoder, std::span<const float> buffer,
                                                JobOutput& out) {
    DetectResult r = decoder.detectSpeech(buffer);
    if (r.status != DetectResult::Status::ok) {
        out.status = Status::failed;
        out.error = r.error.isEmpty() ? QStringLiteral("the voice-activity detector failed") : r.error;
        return std::nullopt;
    }
    return std::move(r.spans);
}

/// Decodes `samples` with `prompt`; the text with repetition loops cut, or nothing with `out`
/// failed or aborted. Audio shorter than `minSamples` gets silence on both sides. `onDecoded` runs
/// when the decoder returns, whatever it returned.
std::optional<QString> decodeText(SpeechDecoder& decoder, std::span<const float> samples, const QString& prompt,
                                  qint64 minSamples, const std::function<bool()>& shouldAbort, JobOutput& out,
                                  const std::function<void()>& onDecoded = nullptr) {
    std::vector<float> padded;
    if (static_cast<qint64>(samples.size()) < minSamples) {
        padded.assign(static_cast<std::size_t>(minSamples), 0.0f);
        const std::size_t lead = (padded.size() - samples.size()) / 2;
        std::copy(samples.begin(), samples.end(), padded.begin() + static_cast<std::ptrdiff_t>(lead));
        samples = padded;
    }
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
    struct Lane;

public:
    StreamingRecognition(std::shared_ptr<WhisperRecognizerHost::Slot> slot, std::shared_ptr<RecognitionWorker> worker,
                         std::shared_ptr<WhisperRecognizerHost::Slot> partialSlot,
                         std::shared_ptr<RecognitionWorker> partialWorker, StreamingTuning tuning,
                         RecognitionOptions options, std::shared_ptr<WhisperRecognizerHost::Backlog> backlog)
        : main_{std::move(slot), std::move(worker)}, partial_{std::move(partialSlot), std::move(partialWorker)},
          tuning_(tuning), options_(std::move(options)),
          scheduler_(&Scheduler::current()), mainThread_(scheduler_->handle()), backlog_(std::move(backlog)),
          capture_(tuning_.captureSamples) {
        for (const QString& hint : options_.contextualStrings.value_or(QStringList())) {
            hints_ << ownCopy(hint);
        }
        backlog_->appended = 0;
        backlog_->processed = 0;
        reportAudio();
    }

    // Capture thread: a copy into the ring, no allocation.
    void append(std::span<const float> samples) override {
        if (capture_.append(samples)) {
            backlog_->appended.fetch_add(static_cast<qint64>(samples.size()));
        }
    }

    void setSettledAudioHandler(SettledAudioHandler handler) override { settledAudioHandler_ = std::move(handler); }

    // Main thread.
    void endAudio() override {
        capture_.close();
        ended_ = true;
        partial_.abort->store(true); // the final gets every core
        qCDebug(lcSpeech, "Audio ended at %lld ms; the final decode %s", static_cast<long long>(audioSize() * 1000 / kRecognitionSampleRate),
                main_.inFlight ? "waits for the decode in flight" : "starts");
        if (handler_ && !main_.inFlight) {
            dispatch();
        }
    }

    void holdDecoding() override {
        if (ended_) {
            return;
        }
        capture_.close();
        held_ = true;
        partial_.abort->store(true);
        poll_.stop();
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
        partial_.abort->store(true);
        poll_.stop();
        handler_ = nullptr;
        releaseAudio();
        endDecoding();
    }

    ~StreamingRecognition() override { endDecoding(); }

private:
    qint64 audioSize() const { return capture_.end(); }

    /// The session is over: nothing is captured any more and the ring is freed.
    void releaseAudio() {
        if (const qint64 lost = capture_.dropped(); lost > 0) {
            qCWarning(lcSpeech, "The capture buffer was full: %lld samples were dropped", static_cast<long long>(lost));
        }
        capture_.release();
        backlog_->held = 0;
        backlog_->reserved = 0;
    }

    /// The session is over: each decoder it used is told so after its last job (the decoder frees
    /// its working memory there, off this thread).
    void endDecoding() {
        if (std::exchange(decodingEnded_, true)) {
            return;
        }
        for (Lane* lane : {&main_, &partial_}) {
            if (lane->dispatched) {
                lane->worker->post([inUse = lane->inUse] {
                    if (auto decoder = std::exchange(*inUse, nullptr)) {
                        decoder->endRecognition();
                    }
                });
            }
        }
    }

    /// Worker: `decoder` is used by this session from now on (told once, at its first job, which
    /// runs while the user speaks).
    static void use(std::shared_ptr<SpeechDecoder>& inUse, const std::shared_ptr<SpeechDecoder>& decoder) {
        if (!inUse) {
            inUse = decoder;
            decoder->beginRecognition();
        }
    }

    void reportAudio() {
        backlog_->held = capture_.held();
        backlog_->reserved = capture_.capacity();
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
        return !partialBroken_ && options_.shouldReportPartialResults && partial_.slot && partial_.worker &&
               partial_.slot->get().ok();
    }

    void onPoll() {
        if (done_ || (held_ && !ended_)) {
            return;
        }
        if (ended_) {
            if (!main_.inFlight) {
                dispatch();
            }
            return;
        }
        // Room for the audio to come is made here, never on the capture thread.
        capture_.reserve(tuning_.captureHeadroomSamples);
        reportAudio();
        const Duration now = scheduler_->monotonicNow();
        if (twoPass()) {
            const qint64 size = audioSize();
            if (!main_.inFlight && now - main_.dispatchedAt >= tuning_.minPartialInterval &&
                size - main_.audioEnd >= tuning_.minNewAudioSamples) {
                dispatch();
            }
            if (!partial_.inFlight && now >= partial_.nextAt && size - partial_.audioEnd >= tuning_.minNewAudioSamples) {
                dispatchPartial();
            }
            schedulePoll(tuning_.pollInterval);
            return;
        }
        if (main_.inFlight) {
            schedulePoll(tuning_.pollInterval); // a decode may take longer than the ring's headroom
            return;
        }
        if (now < main_.nextAt || audioSize() - main_.audioEnd < tuning_.minNewAudioSamples) {
            schedulePoll(std::max(tuning_.pollInterval, main_.nextAt - now));
            return;
        }
        dispatch();
    }

    void dispatch() {
        if (done_ || main_.inFlight) {
            return;
        }
        poll_.stop();
        if (!ended_) {
            schedulePoll(tuning_.pollInterval); // keeps making room in the ring meanwhile
        }
        JobInput in;
        in.segmentStart = segmentStart_;
        in.overlapUntil = overlapUntil_;
        in.final = ended_;
        const bool twoPasses = twoPass();
        inputWasTwoPass_ = twoPasses;
        in.wantHypothesis = options_.shouldReportPartialResults && !twoPasses;
        in.sharingCpu = twoPasses && !ended_;
        in.settledTail = ownCopy(QStringView(settledText_).right(kSettledTailChars));
        in.hypothesis = ownCopy(hypothesis_);
        in.hypothesisStart = hypothesisStart_;
        in.hypothesisEnd = hypothesisEnd_;
        post(main_, std::move(in), &StreamingRecognition::run, &StreamingRecognition::apply);
    }

    void dispatchPartial() {
        JobInput in;
        in.segmentStart = segmentStart_;
        in.overlapUntil = overlapUntil_;
        in.settledTail = ownCopy(QStringView(settledText_).right(kSettledTailChars));
        post(partial_, std::move(in), &StreamingRecognition::runPartial, &StreamingRecognition::applyPartial);
    }

    /// Gives `lane` a job: `run` on its worker, then `apply` with the result on this thread.
    void post(Lane& lane, JobInput in, JobOutput (StreamingRecognition::*run)(const JobInput&),
              void (StreamingRecognition::*apply)(const JobOutput&, bool final)) {
        lane.inFlight = true;
        lane.dispatched = true;
        lane.dispatchedAt = scheduler_->monotonicNow();
        auto self = shared_from_this();
        // The job may finish after the scheduler is gone (shutdown): its result goes through a
        // handle, which drops it then.
        lane.worker->post([self, in = std::move(in), main = scheduler_->handle(), run, apply] {
            JobOutput out = ((*self).*run)(in);
            main.post([self, out = std::move(out), final = in.final, apply] { ((*self).*apply)(out, final); });
        });
    }

    // ---- worker thread ----

    /// The prompt of `lane` (built on first use on that lane's worker, kept for the session).
    QString promptFor(Lane& lane, const std::shared_ptr<SpeechDecoder>& decoder, const QString& settled) {
        if (!lane.prompt) {
            lane.prompt.emplace(hints_, decoder->maxPromptTokens(),
                                [decoder](const QString& t) { return decoder->tokenCount(t); });
        }
        return lane.prompt->prompt(settled);
    }

    JobOutput run(const JobInput& in) {
        JobOutput out;
        out.segmentStart = in.segmentStart;
        out.overlapUntil = in.overlapUntil;
        if (abort_->load()) {
            out.status = Status::aborted;
            return out;
        }
        const auto decoder = decoderOf(*main_.slot, out);
        if (!decoder) {
            return out;
        }
        use(*main_.inUse, decoder);
        decoder->setSharingCpu(in.sharingCpu);
        std::vector<float> buffer;
        const qint64 base = capture_.read(in.segmentStart, buffer);
        out.audioEnd = base + static_cast<qint64>(buffer.size());
        out.segmentStart = base;
        backlog_->processed = out.audioEnd;
        const qint64 length = static_cast<qint64>(buffer.size());
        const auto spans = speechIn(*decoder, buffer, out);
        if (!spans) {
            return out;
        }
        const std::vector<Piece> pieces = groupSpeech(*spans, buffer, tuning_);
        // whisper.cpp polls this between the steps of a decode: each poll is a sign of progress.
        const auto shouldAbort = [this, abort = abort_] {
            reportProgress(std::nullopt);
            return abort->load();
        };
        const auto decoded = [this] { reportProgress(std::nullopt); };

        QString settled = in.settledTail;
        // The first text decoded from the overlap after a cut repeats the end of the settled text.
        bool joinNext = in.overlapUntil > base;
        const auto decodeRange = [&](qint64 from, qint64 to, QString* text) -> bool {
            from = std::clamp<qint64>(from, 0, length);
            to = std::clamp<qint64>(to, from, length);
            const std::span<const float> samples(buffer.data() + from, static_cast<std::size_t>(to - from));
            // whisper.cpp's first poll of a decode comes as its encoder pass begins, the next only
            // after it: that first one says how long the silence may last.
            std::atomic<bool> encoding{true};
            const auto polled = [&, samplesToEncode = static_cast<qint64>(samples.size())] {
                if (encoding.exchange(false)) {
                    reportSilentStep(std::max(samplesToEncode, tuning_.minDecodeSamples));
                    return abort_->load();
                }
                return shouldAbort();
            };
            const auto result = decodeText(*decoder, samples, promptFor(main_, decoder, settled),
                                           tuning_.minDecodeSamples, polled, out, decoded);
            if (result) {
                *text = joinNext ? RecognitionText::joinOverlap(settled, *result) : *result;
            }
            return result.has_value();
        };

        qint64 settledUpTo = 0; // relative to the buffer
        bool endsInCut = false;
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            const Piece& p = pieces[i];
            const bool last = i + 1 == pieces.size();
            // Closed: followed by another piece or by a pause, or cut.
            const bool closed = in.final || !last || p.cut || length - p.end >= tuning_.pauseSamples;
            if (!closed) {
                break;
            }
            // After a cut the piece starts a little before it; a cut piece ends exactly at it.
            const qint64 from = endsInCut ? std::max<qint64>(0, p.start - tuning_.overlapSamples)
                                          : std::max(p.start - tuning_.padSamples, settledUpTo);
            const qint64 to = p.cut ? p.end : std::min(p.end + tuning_.padSamples, last ? length : pieces[i + 1].start);
            joinNext = joinNext || endsInCut;
            QString text;
            const qint64 absFrom = base + std::clamp<qint64>(from, 0, length);
            if (in.final && last && in.hypothesisStart == absFrom && in.hypothesisEnd >= base + p.end) {
                text = in.hypothesis; // nothing was said since the last partial decoded (and joined) this piece
            } else if (!decodeRange(from, to, &text)) {
                return out;
            }
            joinNext = false;
            out.settled << text;
            out.settledEnd = base + std::clamp<qint64>(to, 0, length);
            settled += text;
            settledUpTo = to;
            endsInCut = p.cut;
            // A settled segment: what the selected model stands by now is the text settled before
            // this job, everything this job settled so far, and its own text of the rest when that
            // starts after this segment. This thread holds only the tail of the settled text, so it
            // sends what this job added (in a buffer of its own) and the main thread puts it after
            // the text settled before.
            const bool hypothesisAfter = in.hypothesisStart >= 0 && in.hypothesisStart >= base + to;
            QString added;
            qsizetype addedSize = hypothesisAfter ? in.hypothesis.size() : 0;
            for (const QString& piece : std::as_const(out.settled)) {
                addedSize += piece.size();
            }
            added.reserve(addedSize + 1);
            for (const QString& piece : std::as_const(out.settled)) {
                added += piece;
            }
            if (hypothesisAfter) {
                added += in.hypothesis;
            }
            reportProgress(std::move(added));
        }
        if (pieces.empty() || settledUpTo >= pieces.back().end) {
            // No open speech: keep only the tail where a word may be starting.
            settledUpTo = std::max(settledUpTo, in.final ? length : length - tuning_.pauseSamples);
        }
        if (settledUpTo > 0 || endsInCut) {
            // The audio before the overlap of the next piece has been heard for good.
            const qint64 keepFrom = endsInCut ? std::max<qint64>(0, settledUpTo - tuning_.overlapSamples) : settledUpTo;
            out.segmentStart = base + std::max<qint64>(keepFrom, 0);
            out.overlapUntil = endsInCut ? base + settledUpTo : -1;
            if (!endsInCut && in.overlapUntil > base + settledUpTo) {
                out.overlapUntil = in.overlapUntil; // the overlap is still ahead
            }
        }

        if (!in.final && in.wantHypothesis && !pieces.empty() && settledUpTo < pieces.back().end) {
            const Piece& open = pieces.back();
            const qint64 from = endsInCut ? std::max<qint64>(0, open.start - tuning_.overlapSamples)
                                          : std::max(open.start - tuning_.padSamples, settledUpTo);
            joinNext = joinNext || endsInCut;
            QString text;
            if (!decodeRange(from, length, &text)) {
                return out;
            }
            out.hypothesis = text;
            out.hypothesisStart = base + from;
            out.hypothesisEnd = base + length;
        }
        return out;
    }

    /// The live text of everything not settled yet, by the fast model: one decode from the first
    /// speech to the end (its last 30 s at most), nothing at all when there is no speech.
    JobOutput runPartial(const JobInput& in) {
        JobOutput out;
        out.hypothesisStart = in.segmentStart;
        const auto shouldAbort = [abort = abort_, partialAbort = partial_.abort] {
            return abort->load() || partialAbort->load();
        };
        if (shouldAbort()) {
            out.status = Status::aborted;
            return out;
        }
        const auto decoder = decoderOf(*partial_.slot, out);
        if (!decoder) {
            return out;
        }
        use(*partial_.inUse, decoder);
        std::vector<float> buffer;
        const qint64 window = qint64(decoder->modelAudioCtx()) * (kRecognitionSampleRate / 50);
        const qint64 base = capture_.read(std::max(in.segmentStart, capture_.end() - window), buffer);
        out.audioEnd = base + static_cast<qint64>(buffer.size());
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
        const QString prompt = promptFor(partial_, decoder, in.settledTail);
        out.hypothesis = decodeText(*decoder, samples, prompt, tuning_.minDecodeSamples, shouldAbort, out);
        if (out.hypothesis && in.overlapUntil > base + from) {
            out.hypothesis = RecognitionText::joinOverlap(in.settledTail, *out.hypothesis);
        }
        return out;
    }

    // ---- main thread ----

    void applyPartial(const JobOutput& out, bool /*final: never for the live text*/) {
        partial_.inFlight = false;
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
        partial_.nextAt = std::max(now, partial_.dispatchedAt + tuning_.minPartialInterval);
        partial_.audioEnd = out.audioEnd;
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
        main_.inFlight = false;
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
        const Duration took = scheduler_->monotonicNow() - main_.dispatchedAt;
        for (const QString& s : out.settled) {
            settledText_.append(QStringView(s)); // a copy of its own, never the worker's string
        }
        if (out.segmentStart != segmentStart_) {
            hypothesis_.clear();
            hypothesisStart_ = hypothesisEnd_ = -1;
        }
        segmentStart_ = out.segmentStart;
        overlapUntil_ = out.overlapUntil;
        // What has settled is never read again.
        capture_.discardBefore(segmentStart_);
        reportAudio();
        if (out.hypothesis) {
            hypothesis_ = *out.hypothesis;
            hypothesisStart_ = out.hypothesisStart;
            hypothesisEnd_ = out.hypothesisEnd;
        }
        main_.audioEnd = out.audioEnd;
        if (!final && !ended_ && out.settledEnd >= 0 && settledAudioHandler_) {
            settledAudioHandler_(out.settledEnd);
            if (done_) {
                return; // cancelled from inside the handler
            }
        }
        if (final) {
            qCDebug(lcSpeech, "Final decode done in %lld ms",
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
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
        main_.nextAt = scheduler_->monotonicNow() + std::max(tuning_.minPartialInterval, spacing);
        if (ended_) {
            dispatch();
        } else {
            schedulePoll(std::max(tuning_.pollInterval, main_.nextAt - scheduler_->monotonicNow()));
        }
    }

    /// Worker thread: the selected model made progress. With `confirmed` (a segment settled: what
    /// this job settled so far, and its own text of the rest) it is always told; plain steps go one at a time, the next only after the main thread took the last.
    void reportProgress(std::optional<QString> confirmed) {
        const bool step = !confirmed;
        if (step && stepReportPending_.exchange(true)) {
            return;
        }
        mainThread_.post([self = shared_from_this(), confirmed = std::move(confirmed), step] {
            self->applyProgress(confirmed, step);
        });
    }

    /// Worker thread: a decode's encoder pass over `samples` begins, during which whisper.cpp polls
    /// nothing and so nothing is reported. It is told with how long such a pass may take: five times the slowest measured (a large-v3 encoder on two busy cores, 2.6 s a second
    /// of audio), so that only a decode that has stopped moving is taken for a stuck one.
    void reportSilentStep(qint64 samples) {
        const auto allowance = std::chrono::milliseconds(kSilentStepFloor.count() +
                                                         samples * kSilentStepPerAudioSecond.count() / kRecognitionSampleRate);
        mainThread_.post([self = shared_from_this(), allowance] { self->applyProgress(std::nullopt, false, allowance); });
    }

    void applyProgress(const std::optional<QString>& confirmed, bool step,
                       std::optional<std::chrono::milliseconds> silentStep = std::nullopt) {
        if (step) {
            stepReportPending_ = false;
        }
        if (done_ || !handler_) {
            return;
        }
        SpeechRecognitionSnapshot snapshot;
        snapshot.isProgress = true;
        snapshot.silentStep = silentStep;
        if (confirmed) {
            // The job that sent this has not been applied yet: the text settled before it comes first.
            snapshot.confirmedText = settledText_ + *confirmed;
        }
        auto handler = handler_;
        handler(snapshot);
    }

    void finish(const SpeechRecognitionSnapshot& snapshot) {
        done_ = true;
        poll_.stop();
        releaseAudio();
        endDecoding();
        if (auto handler = std::exchange(handler_, nullptr)) {
            handler(snapshot);
        }
    }

    /// One model's side of the recognition: the selected model settles segments and writes the
    /// final; the live-text model (with two passes) writes the live text on a worker of its own.
    struct Lane {
        std::shared_ptr<WhisperRecognizerHost::Slot> slot;
        std::shared_ptr<RecognitionWorker> worker;
        // Main thread.
        bool inFlight = false;
        bool dispatched = false; // ever given a job
        Duration dispatchedAt{};
        Duration nextAt{};  // no job starts before
        qint64 audioEnd = 0; // the audio its last job saw
        /// Stops this lane's decodes (the end of audio stops the live text; any thread).
        std::shared_ptr<std::atomic<bool>> abort = std::make_shared<std::atomic<bool>>(false);
        // The lane's worker only: the prompt, and the decoder in use since the first job.
        std::optional<RecognitionText::PromptBuilder> prompt;
        std::shared_ptr<std::shared_ptr<SpeechDecoder>> inUse = std::make_shared<std::shared_ptr<SpeechDecoder>>();
    };

    Lane main_;
    Lane partial_;
    StreamingTuning tuning_;
    RecognitionOptions options_;
    Scheduler* scheduler_;
    SchedulerHandle mainThread_;
    std::atomic<bool> stepReportPending_{false};
    std::shared_ptr<WhisperRecognizerHost::Backlog> backlog_;
    /// Stops every decode of the session (cancel).
    std::shared_ptr<std::atomic<bool>> abort_ = std::make_shared<std::atomic<bool>>(false);
    /// Main thread: whether the decoders were told the session ended.
    bool decodingEnded_ = false;

    /// The audio not settled yet (capture thread, workers, main thread).
    CaptureBuffer capture_;
    /// The dictionary hints, copied once for the workers.
    QStringList hints_;

    SpeechRecognizer::ResultHandler handler_;
    Timer poll_;
    bool ended_ = false;
    bool held_ = false; // no decode until the audio ends
    bool done_ = false;
    qint64 segmentStart_ = 0;
    qint64 overlapUntil_ = -1;
    QString settledText_;
    SettledAudioHandler settledAudioHandler_;
    QString hypothesis_;
    qint64 hypothesisStart_ = -1;
    qint64 hypothesisEnd_ = -1;
    QString lastPartial_;
    // Two passes: whether the selected model's job in flight was given with the live-text model
    // writing the live text, and whether that model failed (one pass from then on).
    bool inputWasTwoPass_ = false;
    bool partialBroken_ = false;
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
