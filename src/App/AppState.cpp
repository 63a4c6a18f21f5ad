#include "App/AppState.h"

#include "AI/LocalPolishError.h"
#include "AI/PolishSettings.h"
#include "Dictionary/UserDictionary.h"
#include "Input/InputError.h"
#include "App/SessionLines.h"
#include "Runtime/Localization.h"
#include "Runtime/Text.h"
#include "Utilities/Log.h"

namespace quillory {

namespace {

AppState* gShared = nullptr;

/// The insertion did not finish within its limit.
class CommitInjectTimeout : public std::runtime_error {
public:
    CommitInjectTimeout() : std::runtime_error("error.commit_timeout") {}
};

/// The user-visible description of an exception thrown inside a session.
QString describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const InputError& e) {
        return e.errorDescription();
    } catch (const CommitInjectTimeout&) {
        return L("error.commit_timeout");
    } catch (const CancellationError&) {
        return L("error.cancelled");
    } catch (const LocalPolishError& e) {
        return e.localizedDescription();
    } catch (const ModelFileError& e) {
        return e.localizedDescription();
    } catch (const std::exception& e) {
        const QString what = QString::fromUtf8(e.what());
        return what.isEmpty() ? L("error.unexpected") : what;
    } catch (...) {
        return L("error.unexpected");
    }
}

bool isCancellation(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const CancellationError&) {
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

/// The running commit pipeline of a session and the source that cancels it.
struct AppState::CommitTaskHandle {
    CancellationSource source;
    std::optional<Task<>> task;
};

QString AppStatus::caseName() const {
    switch (kind_) {
    case Kind::idle:
        return QStringLiteral("idle");
    case Kind::recording:
        return QStringLiteral("recording");
    case Kind::processing:
        return QStringLiteral("processing");
    case Kind::error:
        return QStringLiteral("error");
    }
    return QStringLiteral("idle");
}

QString AppStatus::logDescription() const {
    if (kind_ == Kind::error) {
        return QStringLiteral("error(\"%1\")").arg(message_);
    }
    return caseName();
}

QString caseName(RecognitionSink sink) {
    return sink == RecognitionSink::settingsTestField ? QStringLiteral("settingsTestField")
                                                      : QStringLiteral("focusedApplication");
}

// ---- construction ----

AppState::AppState(AppStateServices services, QObject* parent)
    : QObject(parent), services_(std::move(services)), life_(std::make_shared<Life>(Life{this})) {
    hotkeyConfig_ = HotkeyStorage::load();
    aiPolishEnabled_ = PolishSettings::isEnabled();
    try {
        services_.permissions->refreshMicrophone();
        services_.permissions->refreshSpeech();
        services_.permissions->refreshAccessibility();
    } catch (const std::exception& e) {
        qCWarning(lcApp, "Permission refresh failed: %s", e.what());
    }
}

AppState::~AppState() {
    // Watchdogs and callbacks hold the state weakly and end quietly from now on. Nothing is
    // cancelled here: a cancellation would resume a suspended commit into a destroyed state.
    life_.reset();
    if (gShared == this) {
        gShared = nullptr;
    }
}

AppState* AppState::shared() {
    return gShared;
}
void AppState::setShared(AppState* state) {
    gShared = state;
}

Duration AppState::now() const {
    return Scheduler::current().monotonicNow();
}

// ---- observed fields ----

template <typename T> void AppState::assign(T& field, T value, void (AppState::*changed)()) {
    if (field == value) {
        return;
    }
    field = std::move(value);
    emit(this->*changed)();
}

void AppState::setStatus(AppStatus status) {
    if (!status.isRecording()) {
        // Whatever ends the recording ends its voice signal and its origins with it.
        setVoiceInputDetected(false);
        setVoiceTestRecordingOrigin(std::nullopt);
        setFocusedAppRecordingOrigin(std::nullopt);
    }
    if ((status.is(AppStatus::Kind::idle) || status.is(AppStatus::Kind::error)) && sessionCancel_) {
        sessionCancel_->cancel(); // the session is over
    }
    assign(status_, std::move(status), &AppState::statusChanged);
}
void AppState::setPartialText(QString text) {
    assign(partialText_, std::move(text), &AppState::partialTextChanged);
}
void AppState::setAccumulator(DictationAccumulator a) {
    assign(dictationAccumulator_, std::move(a), &AppState::dictationAccumulatorChanged);
}
void AppState::resetAccumulator() {
    if (!dictationAccumulator_.isEmpty()) {
        setAccumulator(DictationAccumulator{});
    }
}
void AppState::setDictationBaseline(std::optional<QString> b) {
    assign(dictationBaseline_, std::move(b), &AppState::dictationBaselineChanged);
}
void AppState::setRecognitionSink(RecognitionSink s) {
    assign(recognitionSink_, s, &AppState::recognitionSinkChanged);
}
void AppState::setVoiceInputDetected(bool v) {
    assign(voiceInputDetected_, v, &AppState::voiceInputDetectedChanged);
}
void AppState::setSpeechCaptureReady(bool v) {
    assign(speechCaptureReady_, v, &AppState::speechCaptureReadyChanged);
}
void AppState::setSpeechRecognitionDeliveredPartial(bool v) {
    assign(speechRecognitionDeliveredPartial_, v, &AppState::speechRecognitionDeliveredPartialChanged);
}
void AppState::setVoiceTestRecordingOrigin(std::optional<VoiceTestRecordingOrigin> v) {
    assign(voiceTestRecordingOrigin_, v, &AppState::voiceTestRecordingOriginChanged);
}
void AppState::setFocusedAppRecordingOrigin(std::optional<FocusedAppVoiceRecordingOrigin> v) {
    assign(focusedAppRecordingOrigin_, v, &AppState::focusedAppRecordingOriginChanged);
}
void AppState::setAiPolishInProgress(bool v) {
    assign(aiPolishInProgress_, v, &AppState::aiPolishInProgressChanged);
}

void AppState::setVoiceTestFieldText(const QString& text) {
    assign(voiceTestFieldText_, text, &AppState::voiceTestFieldTextChanged);
}
void AppState::setVoiceTestFieldSelection(TextSelection selection) {
    assign(voiceTestFieldSelection_, selection, &AppState::voiceTestFieldSelectionChanged);
}
void AppState::setHotkeyConfig(const HotkeyConfig& config) {
    HotkeyStorage::save(config);
    assign(hotkeyConfig_, config, &AppState::hotkeyConfigChanged);
}
void AppState::setAiPolishEnabled(bool enabled) {
    PolishSettings::setEnabled(enabled);
    assign(aiPolishEnabled_, enabled, &AppState::aiPolishEnabledChanged);
}

// ---- diagnostics ----

void AppState::commitInfo(const QString& message) {
    qCInfo(lcCommit, "%s", qUtf8Printable(message));
    CommitDiagnostics::record(CommitDiagnostics::Level::Info, message);
}
void AppState::commitNotice(const QString& message) {
    qCInfo(lcCommit, "%s", qUtf8Printable(message));
    CommitDiagnostics::record(CommitDiagnostics::Level::Notice, message);
}
void AppState::commitError(const QString& message) {
    qCCritical(lcCommit, "%s", qUtf8Printable(message));
    CommitDiagnostics::record(CommitDiagnostics::Level::Error, message);
}
void AppState::write(const SessionLines::Line& line) {
    switch (line.level) {
    case CommitDiagnostics::Level::Info:
        commitInfo(line.message);
        break;
    case CommitDiagnostics::Level::Notice:
        commitNotice(line.message);
        break;
    case CommitDiagnostics::Level::Error:
        commitError(line.message);
        break;
    }
}

QString AppState::recognitionResultLabel(const SpeechResult& result) {
    if (result.isSuccess()) {
        return QStringLiteral("success(len=%1)").arg(Text::graphemeCount(result.text()));
    }
    return QStringLiteral("failure(%1)").arg(result.error().localizedDescription());
}

// ---- hotkeys and controls ----

void AppState::handleHotkeyToggle() {
    if (!hotkeyConfig_.toggleShortcutEnabled) {
        return;
    }
    if (status_.is(AppStatus::Kind::idle)) {
        startRecording(RecognitionSink::focusedApplication, std::nullopt,
                       FocusedAppVoiceRecordingOrigin::toggleHotkey);
    } else if (status_.isRecording()) {
        stopRecording();
    }
}

void AppState::handleHotkeyPress() {
    if (!hotkeyConfig_.pushToTalkShortcutEnabled) {
        return;
    }
    startRecording(RecognitionSink::focusedApplication, std::nullopt,
                   FocusedAppVoiceRecordingOrigin::pushToTalkHotkey);
}

void AppState::handleHotkeyRelease() {
    if (!hotkeyConfig_.pushToTalkShortcutEnabled) {
        return;
    }
    stopRecording();
}

void AppState::toggleVoiceTestRecording() {
    if (!hotkeyConfig_.toggleShortcutEnabled) {
        return;
    }
    if (status_.is(AppStatus::Kind::idle)) {
        startRecording(RecognitionSink::settingsTestField, VoiceTestRecordingOrigin::toggle, std::nullopt);
    } else if (status_.isRecording()) {
        if (focusedAppRecordingOrigin_ == FocusedAppVoiceRecordingOrigin::pushToTalkHotkey) {
            return;
        }
        stopRecording();
    }
}

void AppState::voiceTestPushDown() {
    if (!hotkeyConfig_.pushToTalkShortcutEnabled || !status_.is(AppStatus::Kind::idle)) {
        return;
    }
    startRecording(RecognitionSink::settingsTestField, VoiceTestRecordingOrigin::pushToTalk, std::nullopt);
}

void AppState::voiceTestPushUp() {
    if (!hotkeyConfig_.pushToTalkShortcutEnabled ||
        voiceTestRecordingOrigin_ != VoiceTestRecordingOrigin::pushToTalk) {
        return;
    }
    stopRecording();
}

// ---- starting and stopping ----

void AppState::startRecording(RecognitionSink sink, std::optional<VoiceTestRecordingOrigin> voiceTestOrigin,
                              std::optional<FocusedAppVoiceRecordingOrigin> focusedAppOrigin) {
    if (!status_.is(AppStatus::Kind::idle)) {
        return;
    }
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
        setStatus(AppStatus::error(L("error.permissions")));
        return;
    }
    if (dictation == RuntimeEnvironmentStatus::DictationStatus::disabled) {
        write(SessionLines::dictationDisabled());
        setStatus(AppStatus::error(L("error.dictation_disabled")));
        return;
    }

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
    std::weak_ptr<Life> weak = life_;
    const quint64 sessionID = dictationSessionNonce_;
    Scheduler::current().post([weak, sessionID] {
        if (auto life = weak.lock()) {
            life->state->runGuarded("start", life->state->runAttach(sessionID));
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
    // attach, no commit, no error) does this attach end the session with what was said.
    co_await yieldToPostedWork();
    if (!isSessionRunning(sessionID) || !status_.isRecording() || attachGeneration_ != outcome.attachID ||
        currentCommitTask_ || Text::isBlank(dictationAccumulator_.previewText())) {
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
    std::weak_ptr<Life> weak = life_;
    // Each callback becomes its own main-thread task; one of an ended session or of a torn-down
    // recognition finds the session or the attach moved on and does nothing.
    auto onPartial = [weak, sessionID, attachID](const QString& text) {
        Scheduler::current().post([weak, sessionID, attachID, text] {
            auto life = weak.lock();
            if (life && life->state->isCurrentAttach(sessionID, attachID)) {
                life->state->applyPartial(text);
            }
        });
    };
    auto onComplete = [weak, sessionID, attachID](const SpeechResult& result) {
        Scheduler::current().post([weak, sessionID, attachID, result] {
            auto life = weak.lock();
            if (life && life->state->isCurrentAttach(sessionID, attachID)) {
                AppState* state = life->state;
                state->runGuarded("completion", state->handleRecognitionComplete(result));
            }
        });
    };
    auto onVoice = [weak, sessionID, attachID](bool active) {
        Scheduler::current().post([weak, sessionID, attachID, active] {
            auto life = weak.lock();
            if (life && life->state->isCurrentAttach(sessionID, attachID)) {
                // Voice activity means something only while recording.
                life->state->setVoiceInputDetected(active && life->state->status_.isRecording());
            }
        });
    };
    const bool started = co_await services_.speech->start(contextual, onPartial, onComplete, onVoice);
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
    if (dictationAccumulator_.updatePartial(text)) {
        emit dictationAccumulatorChanged();
    }
    setPartialText(dictationAccumulator_.previewText());
    setSpeechRecognitionDeliveredPartial(true);
}

void AppState::stopRecording() {
    if (!status_.isRecording()) {
        return;
    }
    setVoiceInputDetected(false);
    setVoiceTestRecordingOrigin(std::nullopt);
    setFocusedAppRecordingOrigin(std::nullopt);
    setStatus(AppStatus::processing());
    write(SessionLines::stopRequested(dictationSessionNonce_, dictationAccumulator_.previewText(), recognitionSink_));
    try {
        services_.speech->stop();
    } catch (const std::exception& e) {
        // The watchdog below still ends the session.
        qCWarning(lcSpeech, "Stopping the speech session failed: %s", e.what());
    }
    installSpeechCompletionWatchdog(dictationSessionNonce_);
}

// ---- completion ----

Task<> AppState::handleRecognitionComplete(SpeechResult result) {
    cancelSpeechCompletionWatchdog();
    write(SessionLines::stopCompleteReceived(dictationSessionNonce_, status_, dictationAccumulator_.previewText(),
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
        co_await finalizeAccumulatedRecognition(baseline, sink, result.text());
    } else {
        qCCritical(lcSpeech, "Session failed: %s", qUtf8Printable(result.error().localizedDescription()));
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

// ---- premature end, reconnect, circuit breaker ----

Task<> AppState::handlePrematureEnd(SpeechResult result) {
    const quint64 sessionID = dictationSessionNonce_;
    if (result.isSuccess()) {
        recentRecognitionFailureTimes_.clear();
        finalizeCurrentRecognitionSegment(result.text());
        runGuarded("resume", resumeSpeechSessionAfterPrematureEnd(sessionID));
        co_return;
    }
    const SpeechError& e = result.error();
    const QString description = e.localizedDescription();
    qCCritical(lcSpeech, "Session failed (will reconnect): %s", qUtf8Printable(description));
    if (e.isUnrecoverable()) {
        write(SessionLines::recognitionUnrecoverable(sessionID, description));
        abortRecordingWithUnrecoverableError(e);
        co_return;
    }
    const Duration t = now();
    recentRecognitionFailureTimes_.push_back(t);
    std::erase_if(recentRecognitionFailureTimes_, [t](Duration d) { return !(t - d < kFailureWindow); });
    if (int(recentRecognitionFailureTimes_.size()) >= kFailureLimit) {
        write(SessionLines::circuitBreaker(sessionID, recentRecognitionFailureTimes_.size(), description));
        abortRecordingWithUnrecoverableError(e);
        co_return;
    }
    if (e.kind() == SpeechError::Kind::recognitionFailed) {
        finalizeCurrentRecognitionSegment(std::nullopt);
        runGuarded("resume", resumeSpeechSessionAfterPrematureEnd(sessionID));
        co_return;
    }
    // audioEngineFailed: commit what was said so far, or show the failure.
    finalizeCurrentRecognitionSegment(std::nullopt);
    if (!Text::isBlank(dictationAccumulator_.previewText())) {
        co_await finalizeAccumulatedRecognition(dictationBaseline_, recognitionSink_, QString());
    } else {
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
    speechCompletionWatchdogTask_ = std::make_unique<CancellationSource>();
    speechCompletionWatchdog(life_, sessionID, speechCompletionWatchdogTask_->token());
}

Task<> AppState::speechCompletionWatchdog(std::weak_ptr<Life> life, quint64 sessionID,
                                          CancellationToken token) {
    if (!co_await sleepFor(kSpeechCompletionWatchdogDelay, token)) {
        co_return;
    }
    auto alive = life.lock();
    if (!alive) {
        co_return;
    }
    AppState* s = alive->state;
    if (s->dictationSessionNonce_ == sessionID && !s->currentCommitTask_ &&
        s->status_.is(AppStatus::Kind::processing)) {
        s->runGuarded("watchdog",
                      s->forceFinalizeAfterStop(sessionID, QStringLiteral("speech_completion_timeout")));
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
    commitWatchdog(life_, sessionID, commitWatchdogTask_->token());
}

Task<> AppState::commitWatchdog(std::weak_ptr<Life> life, quint64 sessionID, CancellationToken token) {
    if (!co_await sleepFor(kCommitWatchdogDelay, token)) {
        co_return;
    }
    if (auto alive = life.lock()) {
        alive->state->fireCommitWatchdog(sessionID);
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

// ---- commit pipeline ----

QString AppState::rawValue(FallbackReason reason) {
    switch (reason) {
    case FallbackReason::timeout:
        return QStringLiteral("timeout");
    case FallbackReason::userCancelled:
        return QStringLiteral("userCancelled");
    case FallbackReason::polishFailed:
        return QStringLiteral("polishFailed");
    case FallbackReason::polishCancelled:
        return QStringLiteral("polishCancelled");
    }
    return QStringLiteral("timeout");
}

Task<> AppState::runCommitPipeline(std::optional<QString> baseline, RecognitionSink sink, QString finalText,
                                   CancellationToken cancel) {
    const quint64 sessionID = dictationSessionNonce_;
    std::exception_ptr failure;
    try {
        co_await runCommitPipelineStages(std::move(baseline), sink, std::move(finalText), cancel);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure && dictationSessionNonce_ == sessionID &&
        !(status_.is(AppStatus::Kind::error) && isCancellation(failure))) {
        const QString d = describe(failure);
        write(SessionLines::endInternalError(sessionID, d));
        cancelCommitWatchdog();
        setAiPolishInProgress(false);
        setStatus(AppStatus::error(d));
    }
}

Task<> AppState::runCommitPipelineStages(std::optional<QString> baseline, RecognitionSink sink,
                                         QString finalText, CancellationToken cancel) {
    userRequestedCommitStop_ = false;
    // Close the accumulator (the live preview is left as it is).
    bool closed = dictationAccumulator_.appendSegment(
        Text::isBlank(finalText) ? dictationAccumulator_.currentHypothesis : finalText);
    if (!dictationAccumulator_.currentHypothesis.isEmpty()) {
        dictationAccumulator_.currentHypothesis.clear();
        closed = true;
    }
    if (closed) {
        emit dictationAccumulatorChanged();
    }
    const QString accumulated = dictationAccumulator_.joinedSegments();
    if (Text::isBlank(accumulated)) {
        setStatus(AppStatus::idle());
        co_return;
    }

    const quint64 sessionID = dictationSessionNonce_;
    const Duration t0 = now();
    const bool polishEnabled = aiPolishEnabled_;
    cancelSpeechCompletionWatchdog();
    write(SessionLines::commitStart(sessionID, sink, accumulated, polishEnabled, kCommitWatchdogDelay));
    installCommitWatchdog(sessionID);

    const Duration t1 = now();
    const FinalCommitRaceResult outcome = co_await resolveFinalCommitOutcome(accumulated, sessionID, cancel);
    const Duration polishElapsed = now() - t1;
    QString text;
    if (outcome.committed) {
        text = *outcome.committed;
        write(SessionLines::polishCommitted(sessionID, text, polishElapsed));
    } else {
        text = Text::trimmed(UserDictionary::applySubstitutions(accumulated));
        write(SessionLines::polishFallback(sessionID, rawValue(outcome.reason), polishElapsed));
    }

    // The commit watchdog, an abort or a dismissal has ended this session meanwhile: its words were
    // discarded and must not be pasted after all.
    const bool sessionStillOurs =
        dictationSessionNonce_ == sessionID &&
        (status_.is(AppStatus::Kind::processing) || status_.is(AppStatus::Kind::recording));
    if (!sessionStillOurs) {
        write(SessionLines::endAbandoned(sessionID, now() - t0));
        if (dictationSessionNonce_ == sessionID) {
            cancelCommitWatchdog();
        }
        co_return;
    }

    if (text.isEmpty()) {
        write(SessionLines::endEmptyAfterPolish(sessionID, now() - t0));
        setStatus(AppStatus::idle());
    } else if (sink == RecognitionSink::settingsTestField) {
        insertVoiceTestFieldText(text);
        setStatus(AppStatus::idle());
        write(SessionLines::endTestField(sessionID, now() - t0));
    } else {
        const Duration t2 = now();
        write(SessionLines::injectStart(sessionID, text));
        std::exception_ptr injectError;
        try {
            co_await commitFinalWithTimeout(baseline, text, sessionID, cancel);
        } catch (...) {
            injectError = std::current_exception();
        }
        const bool current = dictationSessionNonce_ == sessionID;
        if (!injectError) {
            if (current) {
                setStatus(AppStatus::idle());
            }
            write(SessionLines::endOk(sessionID, now() - t2, now() - t0));
        } else {
            const QString d = describe(injectError);
            qCCritical(lcInput, "Insert failed: %s", qUtf8Printable(d));
            write(SessionLines::endInjectFailed(sessionID, d, now() - t2, now() - t0));
            // A cancellation that follows the session's own end (the commit watchdog, an abort)
            // must not replace the message that end has shown.
            const bool cancelledAfterEnd =
                cancel.isCancelled() && status_.is(AppStatus::Kind::error) && isCancellation(injectError);
            if (current && !cancelledAfterEnd) {
                setStatus(AppStatus::error(d));
            }
        }
        if (!current) {
            co_return; // a later session owns the commit watchdog now
        }
    }
    cancelCommitWatchdog();
}

Task<AppState::FinalCommitRaceResult> AppState::resolveFinalCommitOutcome(QString text, quint64 sessionID,
                                                                          CancellationToken cancel) {
    write(SessionLines::polishStart(sessionID, kPolishTimeout));
    // The first finisher decides: the other racers are cancelled first, then a fallback stops the
    // server, and only then does the race wait for the cancelled racers to end.
    auto race = std::make_shared<PolishRace>();
    race->racers = cancel.child();
    auto racer = [this, race, text, sessionID](Racer run) -> RaceChild<FinalCommitRaceResult> {
        return [this, race, text, sessionID, run](CancellationToken t) {
            return decidePolishRace(race, (this->*run)(text, sessionID, t));
        };
    };
    std::vector<RaceChild<FinalCommitRaceResult>> children;
    children.push_back(racer(&AppState::polishRacer));
    children.push_back(racer(&AppState::polishTimeoutRacer));
    children.push_back(racer(&AppState::userStopRacer));
    co_await firstOf<FinalCommitRaceResult>(std::move(children), race->racers.token());
    co_return *race->first;
}

Task<AppState::FinalCommitRaceResult> AppState::decidePolishRace(std::shared_ptr<PolishRace> race,
                                                                 Task<FinalCommitRaceResult> racer) {
    FinalCommitRaceResult result = co_await std::move(racer);
    if (!race->first) {
        race->first = result;
        race->racers.cancel();
        if (!result.committed) {
            services_.polish->stopServer();
        }
    }
    co_return result;
}

Task<AppState::FinalCommitRaceResult> AppState::polishRacer(QString text, quint64 sessionID,
                                                            CancellationToken token) {
    std::optional<QString> polished;
    std::exception_ptr error;
    try {
        polished = co_await textAfterPolishIfNeeded(text, token);
    } catch (...) {
        error = std::current_exception();
    }
    if (polished) {
        co_return FinalCommitRaceResult{Text::trimmed(UserDictionary::applySubstitutions(*polished)), {}};
    }
    try {
        std::rethrow_exception(error);
    } catch (const CancellationError&) {
        write(SessionLines::polishCancelled(sessionID));
        co_return FinalCommitRaceResult{std::nullopt, FallbackReason::polishCancelled};
    } catch (...) {
        const QString d = describe(std::current_exception());
        write(SessionLines::polishFailed(sessionID, d));
        qCCritical(lcInput, "Commit polish path failed (fallback to substitutions): %s", qUtf8Printable(d));
    }
    co_return FinalCommitRaceResult{std::nullopt, FallbackReason::polishFailed};
}

Task<AppState::FinalCommitRaceResult> AppState::polishTimeoutRacer(QString, quint64 sessionID,
                                                                   CancellationToken token) {
    if (co_await sleepFor(kPolishTimeout, token)) {
        write(SessionLines::polishTimedOut(sessionID));
    }
    co_return FinalCommitRaceResult{std::nullopt, FallbackReason::timeout};
}

Task<AppState::FinalCommitRaceResult> AppState::userStopRacer(QString, quint64 sessionID,
                                                              CancellationToken token) {
    for (;;) {
        if (token.isCancelled()) {
            co_return FinalCommitRaceResult{std::nullopt, FallbackReason::userCancelled};
        }
        if (userRequestedCommitStop_) {
            write(SessionLines::polishUserCancel(sessionID));
            co_return FinalCommitRaceResult{std::nullopt, FallbackReason::userCancelled};
        }
        co_await sleepFor(kUserStopPollInterval, token);
    }
}

Task<QString> AppState::textAfterPolishIfNeeded(QString text, CancellationToken token) {
    if (!aiPolishEnabled_) {
        co_return text;
    }
    setAiPolishInProgress(true);
    std::optional<QString> result;
    std::exception_ptr error;
    try {
        result = co_await services_.polish->polish(text, SpeechLocale::jaJP, PolishSettings::selectedModel(),
                                                   PolishSettings::prompt(), token);
    } catch (...) {
        error = std::current_exception();
    }
    setAiPolishInProgress(false);
    if (error) {
        std::rethrow_exception(error);
    }
    co_return *result;
}

Task<> AppState::commitFinalWithTimeout(std::optional<QString> baseline, QString finalText, quint64 sessionID,
                                        CancellationToken cancel) {
    std::vector<RaceChild<bool>> children;
    children.push_back(
        [this, baseline, finalText](CancellationToken t) { return insertChild(baseline, finalText, t); });
    children.push_back([this, sessionID](CancellationToken t) { return insertTimeoutChild(sessionID, t); });
    co_await firstOf<bool>(std::move(children), cancel);
}

Task<bool> AppState::insertChild(std::optional<QString> baseline, QString finalText,
                                 CancellationToken token) {
    co_await services_.input->commitFinal(std::move(baseline), std::move(finalText), token);
    co_return true;
}

Task<bool> AppState::insertTimeoutChild(quint64 sessionID, CancellationToken token) {
    if (!co_await sleepFor(kInsertTimeout, token)) {
        throw CancellationError();
    }
    write(SessionLines::injectTimedOut(sessionID));
    throw CommitInjectTimeout();
}

void AppState::insertVoiceTestFieldText(const QString& text) {
    const qsizetype length = voiceTestFieldText_.size();
    const TextSelection sel = voiceTestFieldSelection_;
    qsizetype start = length;
    qsizetype replaced = 0;
    if (sel.location >= 0 && sel.length >= 0 && sel.location <= length &&
        length - sel.location >= sel.length) {
        start = sel.location;
        replaced = sel.length;
    }
    QString updated = voiceTestFieldText_;
    updated.replace(start, replaced, text);
    setVoiceTestFieldText(updated);
    setVoiceTestFieldSelection(TextSelection{start + text.size(), 0});
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
