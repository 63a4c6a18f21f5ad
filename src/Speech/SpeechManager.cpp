#include "Speech/SpeechManager.h"

#include "Runtime/Localization.h"
#include "Runtime/Text.h"
#include "Runtime/Log.h"

#include <cmath>

namespace quillory {

// ---- level meter ----

float AudioLevelMeter::rms(std::span<const float> samples) {
    if (samples.empty()) {
        return 0.0f;
    }
    double sum = 0.0;
    for (float s : samples) {
        sum += double(s) * double(s);
    }
    return float(std::sqrt(sum / double(samples.size())));
}

void AudioLevelMeter::feed(float level) {
    std::lock_guard lock(mutex_);
    ema_ = level * 0.12f + ema_ * 0.88f;
}

float AudioLevelMeter::value() const {
    std::lock_guard lock(mutex_);
    return ema_;
}

void AudioLevelMeter::reset() {
    std::lock_guard lock(mutex_);
    ema_ = 0.0f;
}

// ---- manager ----

namespace {
QString describe(const std::exception& e) {
    return QString::fromUtf8(e.what());
}
} // namespace

SpeechManager::SpeechManager(SpeechBackends backends, SpeechLocale locale)
    : backends_(std::move(backends)), audioMeter_(std::make_shared<AudioLevelMeter>()), locale_(locale),
      life_(std::make_shared<Life>(Life{this})) {}

SpeechManager::~SpeechManager() {
    life_.reset();
    onVoiceActivity_ = nullptr;
    cleanupNow();
}

void SpeechManager::completeWith(const SpeechResult& result, const CompletionHandler& onComplete) {
    if (completionDelivered_) {
        return;
    }
    completionDelivered_ = true;
    if (onComplete) {
        onComplete(result);
    }
}

void SpeechManager::failStart(const SpeechError& error, const CompletionHandler& onComplete) {
    completeWith(SpeechResult::failure(error), onComplete);
}

Task<bool> SpeechManager::start(QStringList contextualStrings, PartialHandler onPartial,
                                CompletionHandler onComplete, VoiceActivityHandler voiceActivityHandler,
                                ProgressHandler onProgress) {
    co_await cleanupSession();

    completionDelivered_ = false;
    lastPartialTranscript_.clear();
    audioMeter_->reset();
    voiceActivityDisplayed_ = false;
    voiceQuietTicks_ = 0;

    bool authorized = false;
    try {
        authorized = backends_.isAuthorized ? backends_.isAuthorized() : true;
    } catch (const std::exception& e) {
        qCWarning(lcSpeech, "Authorization check failed: %s", qUtf8Printable(describe(e)));
    }
    if (!authorized) {
        failStart(SpeechError::authorizationDenied(), onComplete);
        co_return false;
    }

    std::shared_ptr<SpeechRecognizer> recognizer;
    try {
        recognizer = backends_.makeRecognizer ? backends_.makeRecognizer(locale_) : nullptr;
        if (recognizer && !recognizer->isAvailable()) {
            recognizer.reset();
        }
    } catch (const std::exception& e) {
        qCWarning(lcSpeech, "Recognizer unavailable: %s", qUtf8Printable(describe(e)));
        recognizer.reset();
    }
    if (!recognizer) {
        failStart(SpeechError::recognizerUnavailable(), onComplete);
        co_return false;
    }
    if (!recognizer->supportsOnDeviceRecognition()) {
        failStart(SpeechError::onDeviceUnavailable(SpeechLocale::jaJP), onComplete);
        co_return false;
    }

    onVoiceActivity_ = std::move(voiceActivityHandler);
    recognizer_ = recognizer;

    try {
        RecognitionOptions options;
        if (!contextualStrings.isEmpty()) {
            options.contextualStrings = contextualStrings;
        }
        auto engine = backends_.makeAudioSource ? backends_.makeAudioSource() : nullptr;
        if (!engine) {
            throw SpeechBackendError(L("speech.error.no_device"));
        }
        auto request = recognizer->makeRequest(options);
        if (!request) {
            throw SpeechBackendError(L("speech.error.request"));
        }
        // The capture thread touches only the request and the meter, never the manager.
        auto meter = audioMeter_;
        audioEngine_ = std::move(engine);
        request_ = request;
        // A capture that breaks later is reported on the capture thread; the session learns of it
        // on the main thread, and only if it is still the one that started the capture.
        audioEngine_->setFailureHandler(
            [weak = std::weak_ptr<Life>(life_), main = Scheduler::current().handle(), generation = generation_,
             onComplete](const QString& message) {
                main.post([weak, generation, message, onComplete] {
                    if (auto life = weak.lock()) {
                        life->manager->handleAudioFailure(generation, message, onComplete);
                    }
                });
            });
        audioEngine_->start([request, meter](std::span<const float> samples) {
            request->append(samples);
            meter->feed(AudioLevelMeter::rms(samples));
        });
    } catch (const std::exception& e) {
        cleanupNow();
        failStart(SpeechError::audioEngineFailed(describe(e)), onComplete);
        co_return false;
    }

    startVoiceMeterSampling();

    const std::uint64_t generation = generation_;
    std::weak_ptr<Life> weak = life_;
    try {
        QThread* mainThread = QThread::currentThread();
        const SessionHandlers handlers{onPartial, onComplete, onProgress, recognizer->reportsWholeSessionText()};
        task_ = recognizer->recognitionTask(request_, [weak, mainThread, generation, handlers](
                                                          const SpeechRecognitionSnapshot& snapshot) {
            handleResult(weak, mainThread, generation, snapshot, handlers);
        });
        if (!task_) {
            throw SpeechBackendError(L("speech.error.task"));
        }
    } catch (const std::exception& e) {
        cleanupNow();
        failStart(SpeechError::recognitionFailed(describe(e)), onComplete);
        co_return false;
    }
    co_return true;
}

void SpeechManager::handleResult(const std::weak_ptr<Life>& weak, QThread* mainThread,
                                 std::uint64_t generation, const SpeechRecognitionSnapshot& snapshot,
                                 const SessionHandlers& handlers) {
    if (QThread::currentThread() != mainThread) {
        qCWarning(lcSpeech, "Recognition result delivered off the main thread; passing it on");
    }
    // Each callback becomes its own main-thread task, in arrival order. Nothing of the manager is
    // touched here.
    Scheduler::current().post([weak, generation, snapshot, handlers] {
        if (auto life = weak.lock()) {
            life->manager->applyRecognitionSnapshot(generation, snapshot, handlers);
        }
    });
}

void SpeechManager::handleAudioFailure(std::uint64_t generation, const QString& message,
                                       const CompletionHandler& onComplete) {
    if (generation != generation_ || completionDelivered_) {
        return; // the capture of a session that has ended
    }
    qCCritical(lcSpeech, "Audio capture failed: %s", qUtf8Printable(message));
    cleanupNow();
    completeWith(SpeechResult::failure(SpeechError::audioEngineFailed(message)), onComplete);
}

void SpeechManager::stop() {
    try {
        if (audioEngine_) {
            audioEngine_->stop();
        }
        if (request_) {
            request_->endAudio();
        }
    } catch (const std::exception& e) {
        qCWarning(lcSpeech, "Stopping the audio failed: %s", qUtf8Printable(describe(e)));
    }
}

Task<> SpeechManager::cleanupSession() {
    cleanupNow();
    co_return;
}

void SpeechManager::cleanupNow() {
    voiceMeterTimer_.stop();
    if (auto handler = std::exchange(onVoiceActivity_, nullptr)) {
        handler(false);
    }
    voiceActivityDisplayed_ = false;
    ++generation_;
    try {
        if (auto task = std::move(task_)) {
            task->cancel();
        }
    } catch (const std::exception& e) {
        qCWarning(lcSpeech, "Cancelling the recognition failed: %s", qUtf8Printable(describe(e)));
    }
    try {
        if (auto engine = std::move(audioEngine_)) {
            engine->stop();
        }
    } catch (const std::exception& e) {
        qCWarning(lcSpeech, "Stopping the audio failed: %s", qUtf8Printable(describe(e)));
    }
    request_.reset();
    recognizer_.reset();
}

Task<> SpeechManager::applyRecognitionSnapshot(std::uint64_t generation, SpeechRecognitionSnapshot snapshot,
                                               SessionHandlers handlers) {
    if (generation != generation_) {
        // A result of a recognition that has been torn down: it belongs to no running session.
        co_return;
    }
    const PartialHandler& onPartial = handlers.onPartial;
    const CompletionHandler& onComplete = handlers.onComplete;
    // What a recogniser whose final replaces its partials gives in place of an empty final: nothing.
    const QString fallback = handlers.finalReplacesPartials ? QString() : lastPartialTranscript_;
    if (snapshot.text && snapshot.isFinal) {
        co_await cleanupSession();
        const QString trimmed = Text::trimmed(*snapshot.text);
        completeWith(SpeechResult::success(trimmed.isEmpty() ? fallback : *snapshot.text), onComplete);
        co_return;
    }
    if ((snapshot.isProgress || snapshot.confirmedText) && handlers.onProgress && !completionDelivered_) {
        handlers.onProgress(Progress{snapshot.confirmedText, snapshot.silentStep});
    }
    if (snapshot.text) {
        lastPartialTranscript_ = *snapshot.text;
        if (onPartial) {
            onPartial(*snapshot.text);
        }
    }
    if (!snapshot.errorDescription) {
        co_return;
    }
    const QString message = *snapshot.errorDescription;
    if (isSilentEndSystemMessage(message)) {
        qCDebug(lcSpeech, "Recognition ended without usable speech: %s", qUtf8Printable(message));
        co_await cleanupSession();
        QString text = snapshot.text ? Text::trimmed(*snapshot.text) : QString();
        if (text.isEmpty()) {
            text = fallback;
        }
        completeWith(SpeechResult::success(text), onComplete);
        co_return;
    }
    qCCritical(lcSpeech, "Recognition error: %s", qUtf8Printable(message));
    co_await cleanupSession();
    completeWith(SpeechResult::failure(SpeechError::recognitionFailed(message)), onComplete);
}

bool SpeechManager::isSilentEndSystemMessage(const QString& message) {
    const QString trimmed = Text::trimmed(message);
    if (trimmed.isEmpty()) {
        return true;
    }
    const QString lower = trimmed.toLower();
    if (lower.contains(QLatin1String("no speech detected"))) {
        return true;
    }
    if (lower.contains(QLatin1String("no speech")) && lower.contains(QLatin1String("detect"))) {
        return true;
    }
    if (trimmed.contains(QString::fromUtf16(u"音声が検出されませんでした"))) {
        return true;
    }
    return trimmed.contains(QString::fromUtf16(u"音声")) &&
           trimmed.contains(QString::fromUtf16(u"検出されません"));
}

void SpeechManager::startVoiceMeterSampling() {
    voiceMeterTimer_.stop();
    std::weak_ptr<Life> weak = life_;
    voiceMeterTimer_ = Timer::repeating(kMeterInterval, [weak] {
        if (auto life = weak.lock()) {
            life->manager->tickVoiceActivityFromMeter();
        }
    });
}

void SpeechManager::tickVoiceActivityFromMeter() {
    const float ema = audioMeter_->value();
    if (ema >= kVoiceThreshold) {
        voiceQuietTicks_ = 0;
        if (!voiceActivityDisplayed_) {
            voiceActivityDisplayed_ = true;
            if (onVoiceActivity_) {
                onVoiceActivity_(true);
            }
        }
        return;
    }
    voiceQuietTicks_ += 1;
    if (voiceQuietTicks_ >= kQuietTicksForSilence && voiceActivityDisplayed_) {
        voiceActivityDisplayed_ = false;
        if (onVoiceActivity_) {
            onVoiceActivity_(false);
        }
    }
}

} // namespace quillory
