#include "App/AppState.h"

#include "App/AppStateInternal.h"
#include "App/SessionLines.h"
#include "Dictionary/UserDictionary.h"
#include "Runtime/Localization.h"
#include "Runtime/Text.h"
#include "Runtime/Log.h"

// A session: its start, the attach of the recogniser, partial results, the stop and the completion.

namespace quillory {

// ---- starting and stopping ----

void AppState::startRecording(RecognitionSink sink, std::optional<VoiceTestRecordingOrigin> voiceTestOrigin,
                              std::optional<FocusedAppVoiceRecordingOrigin> focusedAppOrigin) {
    if (!status_.is(AppStatus::Kind::idle)) {
        return;
    }
    // A grant given (or taken back) since the last look counts now, whether or not one of our
    // windows was focused in between.
    refreshPermissions();
    bool granted = false;
    RuntimeEnvironmentStatus::DictationStatus dictation = RuntimeEnvironmentStatus::DictationStatus::unknown;
    try {
        granted = services_.permissions->allGranted();
        if (granted) {
            dictation = services_.environment->keyboardDictationStatus();
        }
    } catch (const std::exception& e) {
        // A permission backend that cannot answer is treated as "not granted".
        qCWarning(lcApp, "Permission check failed: %s", e.what());
        granted = false;
    }
    if (!granted) {
        // Where the paste key is what is missing, the one fix for this desktop follows.
        QString message = L("error.permissions");
        try {
            if (services_.permissions->accessibility() != PermissionState::authorized) {
                const QString fix = services_.permissions->accessibilityFix();
                if (!fix.isEmpty()) {
                    message += QLatin1Char(' ') + fix;
                }
            }
        } catch (const std::exception& e) {
            qCWarning(lcApp, "Permission check failed: %s", e.what());
        }
        setStatus(AppStatus::error(message));
        return;
    }
    if (dictation == RuntimeEnvironmentStatus::DictationStatus::disabled) {
        write(SessionLines::dictationDisabled());
        setStatus(AppStatus::error(L("error.dictation_disabled")));
        return;
    }

    forgetDiscarded(); // a new dictation ends the chance to bring back a discarded one
    userRequestedCommitStop_ = false;
    currentCommitTask_.reset();
    setRecognitionSink(sink);
    setPartialText(QString());
    resetAccumulator();
    setVoiceInputDetected(false);
    setSpeechCaptureReady(false);
    setSpeechRecognitionDeliveredPartial(false);
    setAiPolishInProgress(false);
    recentRecognitionFailureTimes_.clear();
    dictationSessionNonce_ += 1;
    emit dictationSessionNonceChanged();

    if (sink == RecognitionSink::settingsTestField) {
        setDictationBaseline(std::nullopt);
        setVoiceTestRecordingOrigin(voiceTestOrigin);
        setFocusedAppRecordingOrigin(std::nullopt);
    } else {
        std::optional<QString> baseline;
        try {
            baseline = services_.input->captureBaselineForLiveDictation();
        } catch (const std::exception& e) {
            qCWarning(lcInput, "Reading the focused field failed: %s", e.what());
        }
        setDictationBaseline(baseline);
        setVoiceTestRecordingOrigin(std::nullopt);
        setFocusedAppRecordingOrigin(focusedAppOrigin);
    }
    setStatus(AppStatus::recording());
    sessionCancel_ = std::make_unique<CancellationSource>();
    // The attach runs in its own task, after the hotkey handler has returned.
    LifetimeRef<AppState> weak = lifetime_.ref();
    const quint64 sessionID = dictationSessionNonce_;
    Scheduler::current().post([weak, sessionID] {
        if (AppState* state = weak.get()) {
            state->runGuarded("start", state->runAttach(sessionID));
        }
    });
}

Task<> AppState::yieldToPostedWork() {
    co_await sleepFor(Duration::zero());
}

bool AppState::isSessionRunning(quint64 sessionID) const {
    return dictationSessionNonce_ == sessionID &&
           (status_.isRecording() || status_.is(AppStatus::Kind::processing));
}

Task<> AppState::runAttach(quint64 sessionID) {
    if (!isSessionRunning(sessionID) || currentCommitTask_) {
        co_return;
    }
    if (status_.is(AppStatus::Kind::processing)) {
        // Stopped before a recogniser ran (a very short press, or a stop right after a
        // recogniser break): nothing more will be recognised, so commit what there is now.
        cancelSpeechCompletionWatchdog();
        const std::optional<QString> baseline = dictationBaseline_;
        const RecognitionSink sink = recognitionSink_;
        setRecognitionSink(RecognitionSink::focusedApplication);
        setDictationBaseline(std::nullopt);
        co_await finalizeAccumulatedRecognition(baseline, sink, QString());
        co_return;
    }
    const AttachOutcome outcome = co_await attachSpeechSession(sessionID);
    if (outcome.result != AttachResult::failed) {
        co_return;
    }
    // The failed start has sent its failure through the completion callback; let it be handled
    // first, so its error or its reconnect decides. Only when it changed nothing (no newer
    // attach, no commit, no error) does this attach end the session with what was said (with
    // nothing said, that ends it in idle rather than leaving it recording without a recogniser).
    co_await yieldToPostedWork();
    if (!isSessionRunning(sessionID) || !status_.isRecording() || attachGeneration_ != outcome.attachID ||
        currentCommitTask_) {
        co_return;
    }
    co_await finalizeAccumulatedRecognition(dictationBaseline_, recognitionSink_, QString());
}

bool AppState::isCurrentAttach(quint64 sessionID, quint64 attachID) const {
    return sessionID == dictationSessionNonce_ && attachID == attachGeneration_;
}

namespace {
/// One start of the recogniser at a time: a start that suspends (a model that loads, a device
/// that connects) holds the gate until it returns, so a later session never overlaps it.
struct AttachGateAwaiter {
    std::shared_ptr<AttachGate> gate;
    bool await_ready() const noexcept {
        if (!gate->busy) {
            gate->busy = true;
            return true;
        }
        return false;
    }
    void await_suspend(std::coroutine_handle<> h) { gate->waiters.push_back(h); }
    void await_resume() const noexcept {}
};
struct AttachGateHold {
    std::shared_ptr<AttachGate> gate;
    ~AttachGateHold() {
        if (gate->waiters.empty()) {
            gate->busy = false;
            return;
        }
        // The gate passes straight to the next waiter, which resumes in its own turn.
        const std::coroutine_handle<> next = gate->waiters.front();
        gate->waiters.pop_front();
        Scheduler::current().post([next] { next.resume(); });
    }
};
} // namespace

Task<AppState::AttachOutcome> AppState::attachSpeechSession(quint64 sessionID) {
    const std::shared_ptr<AttachGate> gate = attachGate_;
    co_await AttachGateAwaiter{gate};
    AttachGateHold hold{gate};
    if (!isSessionRunning(sessionID) || !status_.isRecording() || currentCommitTask_) {
        co_return AttachOutcome{AttachResult::abandoned, attachGeneration_};
    }
    const CancellationToken sessionToken = sessionCancel_->token();
    const QStringList contextual = UserDictionary::contextualStringsForSpeech();
    const quint64 attachID = ++attachGeneration_;
    attachConfirmedText_.reset();
    recognitionSilenceAllowed_ = kSpeechCompletionWatchdogDelay;
    attachFinalReplacesPartials_ = false;
    LifetimeRef<AppState> weak = lifetime_.ref();
    // Each callback becomes its own main-thread task; one of an ended session or of a torn-down
    // recognition finds the session or the attach moved on and does nothing.
    auto onPartial = [weak, sessionID, attachID](const QString& text) {
        Scheduler::current().post([weak, sessionID, attachID, text] {
            AppState* state = weak.get();
            if (state && state->isCurrentAttach(sessionID, attachID)) {
                state->applyPartial(text);
            }
        });
    };
    auto onComplete = [weak, sessionID, attachID](const SpeechResult& result) {
        Scheduler::current().post([weak, sessionID, attachID, result] {
            AppState* state = weak.get();
            if (state && state->isCurrentAttach(sessionID, attachID)) {
                state->runGuarded("completion", state->handleRecognitionComplete(result));
            }
        });
    };
    auto onVoice = [weak, sessionID, attachID](bool active) {
        Scheduler::current().post([weak, sessionID, attachID, active] {
            AppState* state = weak.get();
            if (state && state->isCurrentAttach(sessionID, attachID)) {
                // Voice activity means something only while recording.
                state->setVoiceInputDetected(active && state->status_.isRecording());
            }
        });
    };
    auto onProgress = [weak, sessionID, attachID](const SpeechService::Progress& progress) {
        Scheduler::current().post([weak, sessionID, attachID, progress] {
            AppState* state = weak.get();
            if (state && state->isCurrentAttach(sessionID, attachID)) {
                state->applyRecognitionProgress(progress);
            }
        });
    };
    const bool started =
        co_await services_.speech->start(contextual, onPartial, onComplete, onVoice, onProgress);
    if (sessionToken.isCancelled() || !isCurrentAttach(sessionID, attachID) || !isSessionRunning(sessionID) ||
        currentCommitTask_) {
        // The session ended (cancel, abort, dismissal, watchdog, a backend failure) while the
        // recogniser was starting: nothing may capture for it, so tear the capture down now.
        if (started) {
            write(SessionLines::attachAbandoned(sessionID));
            co_await cleanupSpeechSession();
        }
        co_return AttachOutcome{AttachResult::abandoned, attachID};
    }
    setSpeechCaptureReady(started);
    attachFinalReplacesPartials_ = started && services_.speech->partialsCoverWholeSession();
    if (started && status_.is(AppStatus::Kind::processing)) {
        // Released while capture was starting: end the audio now, so the final result comes at
        // once instead of at the completion watchdog.
        services_.speech->stop();
    }
    co_return AttachOutcome{started ? AttachResult::capturing : AttachResult::failed, attachID};
}

void AppState::applyPartial(const QString& text) {
    // Words count only until the session's text is handed to the commit.
    const bool accepting =
        status_.isRecording() || (status_.is(AppStatus::Kind::processing) && !currentCommitTask_);
    if (!accepting || Text::isBlank(text)) {
        return;
    }
    lastRecognitionProgressAt_ = now(); // a partial after the stop is progress too
    // A recogniser whose partials hold the whole session's text may rewrite its first words; taking
    // that for a new utterance would paste both versions.
    const bool changed = services_.speech->partialsCoverWholeSession() ? dictationAccumulator_.replaceHypothesis(text)
                                                                       : dictationAccumulator_.updatePartial(text);
    if (changed) {
        emit dictationAccumulatorChanged();
    }
    setPartialText(dictationAccumulator_.previewText());
    setSpeechRecognitionDeliveredPartial(true);
}

void AppState::applyRecognitionProgress(const SpeechService::Progress& progress) {
    if (currentCommitTask_ || !(status_.isRecording() || status_.is(AppStatus::Kind::processing))) {
        return; // the text has gone to the commit, or the session is over
    }
    lastRecognitionProgressAt_ = now();
    // A step that reports nothing until it ends (an encoder pass) may be silent longer than the
    // limit; the next report ends it.
    recognitionSilenceAllowed_ = progress.silentStep
                                     ? std::max<Duration>(kSpeechCompletionWatchdogDelay, *progress.silentStep)
                                     : kSpeechCompletionWatchdogDelay;
    if (progress.confirmedText) {
        attachConfirmedText_ = *progress.confirmedText;
    }
}

void AppState::takeFinalText(const QString& finalText) {
    if (!attachFinalReplacesPartials_) {
        return; // an empty final leaves the live hypothesis to stand in for it
    }
    const QString live = dictationAccumulator_.currentHypothesis;
    if (Text::isBlank(finalText) && !Text::isBlank(live)) {
        // Only the selected model's words are pasted; its empty final says there were none (the live
        // text may be a faster model's guess at noise).
        write(SessionLines::liveTextDropped(dictationSessionNonce_, live, QStringLiteral("final_empty")));
    }
    if (live != finalText) {
        dictationAccumulator_.currentHypothesis = Text::isBlank(finalText) ? QString() : finalText;
        emit dictationAccumulatorChanged();
        setPartialText(dictationAccumulator_.previewText());
    }
}

void AppState::adoptConfirmedText(const QString& reason) {
    const QString live = dictationAccumulator_.currentHypothesis;
    if (!attachFinalReplacesPartials_ || !attachConfirmedText_ || Text::isBlank(live)) {
        return; // the recogniser does not tell its confirmed text: the live text is all there is
    }
    if (Text::isBlank(*attachConfirmedText_)) {
        // The selected model confirmed nothing before it stopped answering.
        write(SessionLines::liveTextUsed(dictationSessionNonce_, live, reason));
        return;
    }
    if (*attachConfirmedText_ != live) {
        write(SessionLines::liveTextDropped(dictationSessionNonce_, live, reason));
        dictationAccumulator_.currentHypothesis = *attachConfirmedText_;
        emit dictationAccumulatorChanged();
        setPartialText(dictationAccumulator_.previewText());
    }
}

void AppState::keepLiveTextOfFailedRecognition(const QString& reason) {
    const QString live = dictationAccumulator_.currentHypothesis;
    if (attachFinalReplacesPartials_ && !Text::isBlank(live)) {
        write(SessionLines::liveTextUsed(dictationSessionNonce_, live, reason));
    }
}

void AppState::stopRecording() {
    if (!status_.isRecording()) {
        return;
    }
    setVoiceInputDetected(false);
    setVoiceTestRecordingOrigin(std::nullopt);
    setFocusedAppRecordingOrigin(std::nullopt);
    setStatus(AppStatus::processing());
    write(SessionLines::stopRequested(dictationSessionNonce_, dictationAccumulator_.previewText(),
                                      recognitionSink_));
    try {
        services_.speech->stop();
    } catch (const std::exception& e) {
        // The watchdog below still ends the session.
        qCWarning(lcSpeech, "Stopping the speech session failed: %s", e.what());
    }
    setAwaitingRecognition(true);
    installSpeechCompletionWatchdog(dictationSessionNonce_);
}

// ---- completion ----

Task<> AppState::handleRecognitionComplete(SpeechResult result) {
    cancelSpeechCompletionWatchdog();
    write(SessionLines::stopCompleteReceived(dictationSessionNonce_, status_,
                                             dictationAccumulator_.previewText(),
                                             recognitionResultLabel(result)));
    if (status_.isRecording()) {
        co_await handlePrematureEnd(std::move(result));
        co_return;
    }
    if (currentCommitTask_) {
        // This session's text is already being (or has been) committed: never a second time.
        co_return;
    }
    const std::optional<QString> baseline = dictationBaseline_;
    const RecognitionSink sink = recognitionSink_;
    setRecognitionSink(RecognitionSink::focusedApplication);
    setDictationBaseline(std::nullopt);
    if (result.isSuccess()) {
        takeFinalText(result.text());
        co_await finalizeAccumulatedRecognition(baseline, sink, result.text());
    } else {
        qCCritical(lcSpeech, "Session failed: %s", qUtf8Printable(result.error().localizedDescription()));
        keepLiveTextOfFailedRecognition(QStringLiteral("recognition_failed"));
        co_await finalizeAccumulatedRecognition(baseline, sink, QString());
    }
}

void AppState::finalizeCurrentRecognitionSegment(const std::optional<QString>& finalText) {
    const QString segment =
        finalText && !Text::isBlank(*finalText) ? *finalText : dictationAccumulator_.currentHypothesis;
    bool changed = dictationAccumulator_.appendSegment(segment);
    if (!dictationAccumulator_.currentHypothesis.isEmpty()) {
        dictationAccumulator_.currentHypothesis.clear();
        changed = true;
    }
    if (changed) {
        emit dictationAccumulatorChanged();
    }
    setPartialText(dictationAccumulator_.previewText());
}

Task<> AppState::finalizeAccumulatedRecognition(std::optional<QString> baseline, RecognitionSink sink,
                                                QString finalText) {
    if (currentCommitTask_) {
        // One commit per session: a second request (a late completion, a failed reattach) would
        // paste the same words twice.
        co_return;
    }
    if (status_.isRecording()) {
        // The session ends early (an audio failure, a failed reattach, a backend failure): the
        // recording is over before anything is pasted.
        setStatus(AppStatus::processing());
    }
    auto handle = std::make_shared<CommitTaskHandle>();
    currentCommitTask_ = handle;
    setAwaitingRecognition(false);
    const quint64 sessionID = dictationSessionNonce_;
    handle->task.emplace(
        runCommitPipeline(std::move(baseline), sink, std::move(finalText), handle->source.token()));
    co_await *handle->task;
    if (dictationSessionNonce_ == sessionID && !isSessionRunning(sessionID)) {
        // The commit has ended the session, whichever way it was reached: nothing of its text or
        // its capture stays on show.
        clearSessionFields();
    }
}

} // namespace quillory
