#include "App/AppState.h"

#include "App/AppStateInternal.h"
#include "App/SessionLines.h"
#include "Runtime/Localization.h"
#include "Runtime/Text.h"
#include "Runtime/Log.h"

// Recovery: premature ends and reconnects, the circuit breaker, the watchdogs, abort, the user's
// cancel and dismissal, and failures of a backend inside a session.

namespace quillory {

using detail::describe;

// ---- premature end, reconnect, circuit breaker ----

Task<> AppState::handlePrematureEnd(SpeechResult result) {
    const quint64 sessionID = dictationSessionNonce_;
    if (result.isSuccess()) {
        recentRecognitionFailureTimes_.clear();
        takeFinalText(result.text());
        finalizeCurrentRecognitionSegment(result.text());
        runGuarded("resume", resumeSpeechSessionAfterPrematureEnd(sessionID));
        co_return;
    }
    const SpeechError& e = result.error();
    const QString description = e.localizedDescription();
    qCCritical(lcSpeech, "Session failed (will reconnect): %s", qUtf8Printable(description));
    if (e.isUnrecoverable()) {
        write(SessionLines::recognitionUnrecoverable(sessionID, description));
        co_await endRecordingWithError(e, QStringLiteral("recognition_unrecoverable"));
        co_return;
    }
    const Duration t = now();
    recentRecognitionFailureTimes_.push_back(t);
    std::erase_if(recentRecognitionFailureTimes_, [t](Duration d) { return !(t - d < kFailureWindow); });
    if (int(recentRecognitionFailureTimes_.size()) >= kFailureLimit) {
        write(SessionLines::circuitBreaker(sessionID, recentRecognitionFailureTimes_.size(), description));
        co_await endRecordingWithError(e, QStringLiteral("circuit_breaker"));
        co_return;
    }
    if (e.kind() == SpeechError::Kind::recognitionFailed) {
        keepLiveTextOfFailedRecognition(QStringLiteral("recognition_failed"));
        finalizeCurrentRecognitionSegment(std::nullopt);
        runGuarded("resume", resumeSpeechSessionAfterPrematureEnd(sessionID));
        co_return;
    }
    // audioEngineFailed (the microphone broke or would not start): commit what was said so far,
    // then show the failure.
    co_await endRecordingWithError(e, QStringLiteral("audio_failed"));
}

Task<> AppState::endRecordingWithError(SpeechError error, QString reason) {
    keepLiveTextOfFailedRecognition(reason);
    finalizeCurrentRecognitionSegment(std::nullopt);
    const QString description = error.localizedDescription();
    const QString said = dictationAccumulator_.previewText();
    if (Text::isBlank(said)) {
        abortRecordingWithUnrecoverableError(error);
        co_return;
    }
    const quint64 sessionID = dictationSessionNonce_;
    recentRecognitionFailureTimes_.clear();
    write(SessionLines::committedBeforeError(sessionID, said, description));
    co_await cleanupSpeechSession(); // whatever the failed recognition still sends is dropped
    const std::optional<QString> baseline = dictationBaseline_;
    const RecognitionSink sink = recognitionSink_;
    setRecognitionSink(RecognitionSink::focusedApplication);
    setDictationBaseline(std::nullopt);
    co_await finalizeAccumulatedRecognition(baseline, sink, QString());
    if (dictationSessionNonce_ == sessionID && status_.is(AppStatus::Kind::idle)) {
        // The words are in; now the user learns why the dictation ended.
        setStatus(AppStatus::error(description));
    }
}

Task<> AppState::resumeSpeechSessionAfterPrematureEnd(quint64 sessionID) {
    co_await runAttach(sessionID);
}

void AppState::abortRecordingWithUnrecoverableError(const SpeechError& error) {
    recentRecognitionFailureTimes_.clear();
    cancelSpeechCompletionWatchdog();
    cancelCommitWatchdog();
    if (currentCommitTask_) {
        currentCommitTask_->source.cancel();
    }
    clearSessionFields();
    setDictationBaseline(std::nullopt);
    setVoiceTestRecordingOrigin(std::nullopt);
    setFocusedAppRecordingOrigin(std::nullopt);
    userRequestedCommitStop_ = false;
    setAiPolishInProgress(false);
    setRecognitionSink(RecognitionSink::focusedApplication);
    runGuarded("cleanup", cleanupSpeechSession());
    setStatus(AppStatus::error(error.localizedDescription()));
}

Task<> AppState::cleanupSpeechSession() {
    ++attachGeneration_; // nothing of the torn-down recognition reaches the state any more
    co_await services_.speech->cleanupSession();
}

void AppState::clearSessionFields() {
    setPartialText(QString());
    resetAccumulator();
    setSpeechCaptureReady(false);
    setSpeechRecognitionDeliveredPartial(false);
    setVoiceInputDetected(false);
}

// ---- watchdogs ----

void AppState::cancelSpeechCompletionWatchdog() {
    if (auto w = std::move(speechCompletionWatchdogTask_)) {
        w->cancel();
    }
}

void AppState::cancelCommitWatchdog() {
    if (auto w = std::move(commitWatchdogTask_)) {
        w->cancel();
    }
}

void AppState::installSpeechCompletionWatchdog(quint64 sessionID) {
    cancelSpeechCompletionWatchdog();
    lastRecognitionProgressAt_ = now();
    speechCompletionWatchdogTask_ = std::make_unique<CancellationSource>();
    speechCompletionWatchdog(lifetime_.ref(), sessionID, speechCompletionWatchdogTask_->token());
}

Task<> AppState::speechCompletionWatchdog(LifetimeRef<AppState> life, quint64 sessionID,
                                          CancellationToken token) {
    // The limit is on a silent recogniser, not on a slow one: every step it reports (a settled
    // segment, a decode step) starts the wait again, and a step that reports nothing until it
    // ends (an encoder pass) lengthens it by what the recogniser says it may take.
    Duration wait = kSpeechCompletionWatchdogDelay;
    for (;;) {
        if (!co_await sleepFor(wait, token)) {
            co_return;
        }
        AppState* s = life.get();
        if (!s) {
            co_return;
        }
        if (s->dictationSessionNonce_ != sessionID || s->currentCommitTask_ ||
            !s->status_.is(AppStatus::Kind::processing)) {
            co_return;
        }
        const Duration quiet = s->now() - s->lastRecognitionProgressAt_;
        if (quiet < s->recognitionSilenceAllowed_) {
            wait = s->recognitionSilenceAllowed_ - quiet;
            continue;
        }
        s->runGuarded("watchdog",
                      s->forceFinalizeAfterStop(sessionID, QStringLiteral("speech_completion_timeout")));
        co_return;
    }
}

Task<> AppState::forceFinalizeAfterStop(quint64 sessionID, QString reason) {
    if (dictationSessionNonce_ != sessionID) {
        co_return; // a later session's watchdog is not this one's to cancel
    }
    cancelSpeechCompletionWatchdog();
    if (!status_.is(AppStatus::Kind::processing) || currentCommitTask_) {
        co_return;
    }
    write(SessionLines::stopWatchdogTriggered(sessionID, reason, dictationAccumulator_.previewText()));
    co_await cleanupSpeechSession();
    // The recogniser gives no final now: what its selected model confirmed stands in for it.
    adoptConfirmedText(reason);
    const std::optional<QString> baseline = dictationBaseline_;
    const RecognitionSink sink = recognitionSink_;
    setRecognitionSink(RecognitionSink::focusedApplication);
    setDictationBaseline(std::nullopt);
    if (!Text::isBlank(dictationAccumulator_.previewText())) {
        co_await finalizeAccumulatedRecognition(baseline, sink, QString());
        co_return;
    }
    write(SessionLines::stopWatchdogNoText(sessionID, reason));
    clearSessionFields();
    setStatus(AppStatus::error(L("error.commit_timeout")));
}

void AppState::installCommitWatchdog(quint64 sessionID) {
    cancelCommitWatchdog();
    commitWatchdogTask_ = std::make_unique<CancellationSource>();
    commitWatchdog(lifetime_.ref(), sessionID, commitWatchdogTask_->token());
}

Task<> AppState::commitWatchdog(LifetimeRef<AppState> life, quint64 sessionID, CancellationToken token) {
    if (!co_await sleepFor(kCommitWatchdogDelay, token)) {
        co_return;
    }
    if (AppState* s = life.get()) {
        s->fireCommitWatchdog(sessionID);
    }
}

void AppState::fireCommitWatchdog(quint64 sessionID) {
    if (dictationSessionNonce_ != sessionID || !status_.is(AppStatus::Kind::processing)) {
        return;
    }
    write(SessionLines::commitWatchdogTriggered(sessionID, kCommitWatchdogDelay));
    userRequestedCommitStop_ = true;
    setAiPolishInProgress(false);
    clearSessionFields();
    if (currentCommitTask_) {
        currentCommitTask_->source.cancel();
    }
    setStatus(AppStatus::error(L("error.commit_timeout")));
}

void AppState::cancelCommitProcessing() {
    if (!status_.is(AppStatus::Kind::processing)) {
        return;
    }
    const bool started = currentCommitTask_ != nullptr;
    write(SessionLines::userCancelRequested(dictationSessionNonce_, started));
    userRequestedCommitStop_ = true;
    if (!started) {
        runGuarded("user_cancel",
                   forceFinalizeAfterStop(dictationSessionNonce_, QStringLiteral("user_cancel")));
    } else {
        currentCommitTask_->source.cancel();
    }
}

bool AppState::discardRecording() {
    if (!status_.isRecording()) {
        return false;
    }
    const quint64 sessionID = dictationSessionNonce_;
    // The words heard so far are kept for the undo: a discard by mistake loses nothing.
    DiscardedRecording discarded{dictationAccumulator_.previewText(), dictationBaseline_, recognitionSink_};
    write(SessionLines::discarded(sessionID, discarded.text));
    cancelSpeechCompletionWatchdog();
    cancelCommitWatchdog();
    clearSessionFields();
    setDictationBaseline(std::nullopt);
    setVoiceTestRecordingOrigin(std::nullopt);
    setFocusedAppRecordingOrigin(std::nullopt);
    setRecognitionSink(RecognitionSink::focusedApplication);
    setAwaitingRecognition(false);
    userRequestedCommitStop_ = false;
    setStatus(AppStatus::idle());
    runGuarded("cleanup", cleanupSpeechSession()); // nothing of this recognition reaches the state
    forgetDiscarded();
    if (!Text::isBlank(discarded.text)) {
        discarded_ = std::move(discarded);
        discardExpiry_ = Timer::once(kDiscardUndoWindow, [this, sessionID] {
            // The timer is running this: leave the handle alone, forget only the words.
            write(SessionLines::discardExpired(sessionID));
            discarded_.reset();
            emit canUndoDiscardChanged();
        });
        emit canUndoDiscardChanged();
    }
    return true;
}

bool AppState::undoDiscard() {
    if (!discarded_ || !status_.is(AppStatus::Kind::idle)) {
        return false;
    }
    DiscardedRecording discarded = std::move(*discarded_);
    forgetDiscarded();
    // A session of its own, stopped at once: the words go through the commit as any stopped
    // dictation's do (polish, dictionary, paste).
    userRequestedCommitStop_ = false;
    currentCommitTask_.reset();
    resetAccumulator();
    dictationSessionNonce_ += 1;
    emit dictationSessionNonceChanged();
    write(SessionLines::discardUndone(dictationSessionNonce_, discarded.text));
    dictationAccumulator_.appendSegment(discarded.text);
    emit dictationAccumulatorChanged();
    setPartialText(dictationAccumulator_.previewText());
    setStatus(AppStatus::processing());
    runGuarded("undo_discard", finalizeAccumulatedRecognition(discarded.baseline, discarded.sink, QString()));
    return true;
}

void AppState::forgetDiscarded() {
    discardExpiry_ = Timer();
    if (discarded_) {
        discarded_.reset();
        emit canUndoDiscardChanged();
    }
}

void AppState::dismissError() {
    if (!status_.is(AppStatus::Kind::error)) {
        return;
    }
    userRequestedCommitStop_ = false;
    setPartialText(QString());
    resetAccumulator();
    setSpeechCaptureReady(false);
    setSpeechRecognitionDeliveredPartial(false);
    setAiPolishInProgress(false);
    setVoiceInputDetected(false);
    setStatus(AppStatus::idle());
    runGuarded("cleanup", cleanupSpeechSession());
}

// ---- backend failures ----

Task<> AppState::runGuarded(const char* where, Task<> inner) {
    std::exception_ptr failure;
    try {
        co_await inner;
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        handleBackendException(where, describe(failure));
    }
}

void AppState::handleBackendException(const char* where, const QString& description) {
    write(SessionLines::backendError(dictationSessionNonce_, where, description));
    const bool inSession = status_.isRecording() || status_.is(AppStatus::Kind::processing);
    if (!inSession) {
        return;
    }
    if (!currentCommitTask_ && !Text::isBlank(dictationAccumulator_.previewText())) {
        // Keep the user's words: commit what was recognised so far.
        const std::optional<QString> baseline = dictationBaseline_;
        const RecognitionSink sink = recognitionSink_;
        setRecognitionSink(RecognitionSink::focusedApplication);
        setDictationBaseline(std::nullopt);
        cancelSpeechCompletionWatchdog();
        // The failed recognition is torn down; whatever it still sends is dropped.
        runGuarded("cleanup", cleanupSpeechSession());
        runGuarded("commit", finalizeAccumulatedRecognition(baseline, sink, QString()));
        return;
    }
    if (currentCommitTask_) {
        return; // the running commit ends the session itself
    }
    cancelSpeechCompletionWatchdog();
    clearSessionFields();
    setStatus(AppStatus::error(description));
    runGuarded("cleanup", cleanupSpeechSession());
}

} // namespace quillory
