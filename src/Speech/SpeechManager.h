#pragma once

#include "Runtime/Scheduler.h"
#include "Speech/SpeechBackend.h"
#include "Speech/SpeechService.h"

#include <QThread>

#include <memory>
#include <mutex>

namespace quillory {

/// The smoothed input level, written by the capture thread and read by the main thread. Its lock
/// is the only lock of the session core.
class AudioLevelMeter {
public:
    /// Root mean square of the samples; 0 for an empty buffer.
    static float rms(std::span<const float> samples);
    /// ema = rms * 0.12 + ema * 0.88, under the lock.
    void feed(float rms);
    float value() const;
    void reset();

private:
    mutable std::mutex mutex_;
    float ema_ = 0.0f;
};

/// Captures audio and runs one recognition session at a time; delivers partial transcripts,
/// exactly one completion per session, and a smoothed voice-activity signal.
class SpeechManager final : public SpeechService {
public:
    static constexpr float kVoiceThreshold = 0.018f;
    static constexpr int kQuietTicksForSilence = 6;
    static constexpr Duration kMeterInterval = seconds(0.04);

    explicit SpeechManager(SpeechBackends backends, SpeechLocale locale = SpeechLocale::jaJP);
    ~SpeechManager() override;

    Task<bool> start(QStringList contextualStrings, PartialHandler onPartial, CompletionHandler onComplete,
                     VoiceActivityHandler voiceActivityHandler, ProgressHandler onProgress = nullptr) override;
    void stop() override;
    Task<> cleanupSession() override;
    bool partialsCoverWholeSession() const override { return recognizer_ && recognizer_->reportsWholeSessionText(); }

    /// A recogniser message that means the speech simply ended without words.
    static bool isSilentEndSystemMessage(const QString& message);

    SpeechLocale locale() const { return locale_; }
    bool isSessionRunning() const { return task_ != nullptr; }

private:
    struct Life {
        SpeechManager* manager;
    };
    void completeWith(const SpeechResult& result, const CompletionHandler& onComplete);
    void failStart(const SpeechError& error, const CompletionHandler& onComplete);
    /// The recogniser's result handler: hands the snapshot to a main-thread task. The recogniser
    /// must call it on the main thread; a call from another thread is logged and still delivered
    /// through the scheduler.
    /// What the result handler of one recognition passes on.
    struct SessionHandlers {
        PartialHandler onPartial;
        CompletionHandler onComplete;
        ProgressHandler onProgress;
        /// The recogniser's final replaces its partials: an empty final means no words, and the
        /// last partial (perhaps a helper model's guess) is never delivered in its place.
        bool finalReplacesPartials = false;
    };
    static void handleResult(const std::weak_ptr<Life>& weak, QThread* mainThread, std::uint64_t generation,
                             const SpeechRecognitionSnapshot& snapshot, const SessionHandlers& handlers);
    Task<> applyRecognitionSnapshot(std::uint64_t generation, SpeechRecognitionSnapshot snapshot,
                                    SessionHandlers handlers);
    /// The capture broke (main thread): the session ends with `audioEngineFailed`.
    void handleAudioFailure(std::uint64_t generation, const QString& message, const CompletionHandler& onComplete);
    void cleanupNow();
    void startVoiceMeterSampling();
    void tickVoiceActivityFromMeter();

    SpeechBackends backends_;
    std::unique_ptr<AudioSource> audioEngine_;
    std::shared_ptr<SpeechRecognizer> recognizer_;
    std::shared_ptr<RecognitionRequest> request_;
    std::unique_ptr<RecognitionTask> task_;
    bool completionDelivered_ = false;
    QString lastPartialTranscript_;
    std::shared_ptr<AudioLevelMeter> audioMeter_;
    Timer voiceMeterTimer_;
    bool voiceActivityDisplayed_ = false;
    int voiceQuietTicks_ = 0;
    VoiceActivityHandler onVoiceActivity_;
    SpeechLocale locale_;
    /// Bumped by every cleanup: results of a torn-down recognition never reach a later session.
    std::uint64_t generation_ = 0;
    std::shared_ptr<Life> life_;
};

} // namespace quillory
