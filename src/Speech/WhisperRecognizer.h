#pragma once

// The streaming recogniser over a `SpeechDecoder` (whisper.cpp in the app, fakes in tests).
//
// Audio is copied by the capture thread into a preallocated ring (`CaptureBuffer`) that keeps only
// what has not settled. Every decode runs on the one recognition worker; the main thread decides
// when to decode and applies the results, which reach it through the scheduler. A session's text
// is made of settled segments — pieces of speech that ended in a pause found by the voice-activity
// detector (or were cut at their quietest moment near the longest segment, the next one decoded
// with a short overlap), decoded once and never changed — followed by the current hypothesis: the
// latest decode of the speech since the last settled segment. Each partial carries the whole text
// so far.
//
// Two passes: a large model is too slow to rewrite the live text several times a second, so when
// a faster model is set up beside it (`setPartialPass`), that one decodes the live text on a
// second worker while the selected model settles segments and writes the final. The live text of
// a segment may then change once when it settles.

#include "Runtime/Scheduler.h"
#include "Speech/RecognitionText.h"
#include "Speech/SpeechBackend.h"
#include "Speech/SpeechDecoder.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <span>

namespace quillory {

/// The timing of partial decodes and segments (sample counts at 16 kHz).
struct StreamingTuning {
    /// Shortest time between the end of one partial decode and the start of the next (with two
    /// passes: between the starts of two live-text decodes).
    Duration minPartialInterval = seconds(0.4);
    /// After a partial decode that took d, the next starts no sooner than d × this later, so partials
    /// leave the selected model at least about half of its time for settling however slow the
    /// machine is. With two passes the live-text model has cores of its own and decodes back to back.
    double partialSpacingFactor = 1.0;
    /// How often the main thread looks for new audio.
    Duration pollInterval = seconds(0.1);
    /// New audio needed before another partial decode.
    qint64 minNewAudioSamples = 4000;
    /// A pause this long after speech settles the segment before it.
    qint64 pauseSamples = 9600;
    /// A stretch of speech without a pause is cut once it is this long, at its quietest moment
    /// within the last `cutSearchSamples` before this length. It bounds the wait after the last
    /// word: the last unsettled segment is decoded then, and a large model's encoder takes about
    /// 1.4 s per second of audio on 2 cores.
    qint64 maxSegmentSamples = 8 * kRecognitionSampleRate;
    qint64 cutSearchSamples = 2 * kRecognitionSampleRate;
    /// The piece after such a cut is decoded from this long before the cut, and the words both
    /// decodes heard are kept once, so a word on the cut is neither split, doubled nor lost.
    qint64 overlapSamples = 8000;
    /// Audio kept around each stretch of speech when it is decoded.
    qint64 padSamples = 3200;
    /// Shorter speech (a quick "はい") is decoded with silence added around it up to this length.
    qint64 minDecodeSamples = kRecognitionSampleRate;
    /// The capture ring's first size; it grows (off the capture thread) while fewer than
    /// `captureHeadroomSamples` are free.
    qint64 captureSamples = 30 * kRecognitionSampleRate;
    qint64 captureHeadroomSamples = 10 * kRecognitionSampleRate;
};


/// The message of a recognition that heard no speech; the speech manager ends such a session
/// quietly with no text.
inline constexpr const char* kNoSpeechMessage = "No speech detected";

/// Owns the recognition worker and the loaded speech model, which stays loaded between
/// dictations. Main thread only. Loading runs on the worker, so a recognition that starts while the
/// model is still loading simply decodes after the load.
class WhisperRecognizerHost : public std::enable_shared_from_this<WhisperRecognizerHost> {
public:
    enum class LoadState { none, loading, loaded, failed };

    /// `modelPath` names the selected model file (read at each preload); `loader` builds a decoder
    /// on the worker.
    WhisperRecognizerHost(std::function<QString()> modelPath, SpeechDecoderLoader loader,
                          std::shared_ptr<RecognitionWorker> worker, StreamingTuning tuning = {});
    ~WhisperRecognizerHost();

    /// Loads the selected model in the background unless it is loaded or loading already, or its
    /// load failed and the file has not changed since (call at start-up and whenever the selection
    /// changes). The load is logged with its duration.
    void preload();
    /// Preloads whenever one of `keys` of the standard settings store changes in this process (the
    /// selected models); a change made by another process is seen at the next recognition. A
    /// change of one of `reloadKeys` (where the models compute) loads the same files again.
    void preloadOnChangeOf(const QStringList& keys, const QStringList& reloadKeys = {});
    /// Loads the models again even when their files are the ones loaded (a recognition under way
    /// keeps the decoder it has).
    void reload();

    /// The fast model of the live text: `modelPath` names its file, or is empty for one pass; it is
    /// loaded by `loader` on `worker`, never the selected model's worker. Set before the first preload.
    struct PartialPass {
        std::function<QString()> modelPath;
        SpeechDecoderLoader loader;
        std::shared_ptr<RecognitionWorker> worker;
    };
    void setPartialPass(PartialPass pass) { partialPass_ = std::move(pass); }
    /// Load state of the fast model (`none` when there is none).
    LoadState partialLoadState() const { return partial_.state; }
    LoadState loadState() const { return main_.state; }
    QString loadError() const { return main_.error; }
    /// The file of the model loaded (or loading).
    QString loadedPath() const { return main_.path; }
    /// True when the selected model file exists and has not failed to load.
    bool isAvailable();

    /// A recogniser for the speech manager (preloads when needed).
    std::shared_ptr<SpeechRecognizer> makeRecognizer();

    const StreamingTuning& tuning() const { return tuning_; }
    /// Audio of the latest recognition that no decode has looked at yet, in samples. Any thread: a
    /// file played faster than speech waits on it so the recogniser is never flooded.
    qint64 unprocessedSamples() const { return backlog_->appended.load() - backlog_->processed.load(); }

    /// Audio figures of the latest recognition, any thread.
    struct Backlog {
        std::atomic<qint64> appended{0};
        std::atomic<qint64> processed{0};
        /// Samples it keeps (only what has not settled) and the size of its capture ring; both 0
        /// once it has ended.
        std::atomic<qint64> held{0};
        std::atomic<qint64> reserved{0};
    };
    const Backlog& audioFigures() const { return *backlog_; }
    /// Called on the main thread after every load, with its outcome (tests, the CLI).
    void setLoadObserver(std::function<void(LoadState, qint64 ms)> observer) { observer_ = std::move(observer); }

    struct Slot;

private:
    /// One model: the file it was loaded from and how that went.
    struct Loaded {
        std::shared_ptr<Slot> slot;
        QString path;
        QString identity; // size and modification time of the file when its load started
        LoadState state = LoadState::none;
        QString error;
    };
    /// Starts loading `path` into `into` on `worker` unless that is done or under way already.
    void load(Loaded& into, const QString& path, const SpeechDecoderLoader& loader,
              const std::shared_ptr<RecognitionWorker>& worker, bool selected);
    void preloadPartial(const QString& selectedPath);

    std::function<QString()> modelPath_;
    SpeechDecoderLoader loader_;
    std::shared_ptr<RecognitionWorker> worker_;
    StreamingTuning tuning_;
    Loaded main_;
    PartialPass partialPass_;
    Loaded partial_;
    std::function<void(LoadState, qint64)> observer_;
    std::shared_ptr<Backlog> backlog_ = std::make_shared<Backlog>();
    std::unique_ptr<QObject> connections_;

    friend class WhisperRecognizer;
};

/// The recogniser the speech manager uses; one per session.
class WhisperRecognizer final : public SpeechRecognizer {
public:
    explicit WhisperRecognizer(std::shared_ptr<WhisperRecognizerHost> host);
    bool isAvailable() const override;
    bool supportsOnDeviceRecognition() const override { return true; }
    /// Partials are the settled text plus the latest decode of the rest, and the latest decode
    /// (or, with two passes, the settling) may change words shown before.
    bool reportsWholeSessionText() const override { return true; }
    std::shared_ptr<RecognitionRequest> makeRequest(const RecognitionOptions& options) override;
    std::unique_ptr<RecognitionTask> recognitionTask(std::shared_ptr<RecognitionRequest> request,
                                                     ResultHandler handler) override;

private:
    std::shared_ptr<WhisperRecognizerHost> host_;
};

} // namespace quillory
