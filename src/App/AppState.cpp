#include "App/AppState.h"

#include "AI/LocalPolishError.h"
#include "AI/PolishSettings.h"
#include "App/AppStateInternal.h"
#include "App/SessionLines.h"
#include "Input/InputError.h"
#include "Runtime/Localization.h"
#include "Runtime/Text.h"
#include "Runtime/Log.h"

// The application state: construction, the observed fields, diagnostics and the user's controls.
// The session itself lives in AppStateSession.cpp (start, stop, completion), AppStateRecovery.cpp
// (premature ends, breaker, watchdogs, abort, cancel, dismiss, backend failures) and
// AppStateCommit.cpp (the commit pipeline and its races).

namespace quillory {

namespace {
AppState* gShared = nullptr;
} // namespace

namespace detail {

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

bool keepsWords(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const InputError& e) {
        return e.kind() != InputError::Kind::leftOnClipboard;
    } catch (const CommitInjectTimeout&) {
        return false;
    } catch (const CancellationError&) {
        return false;
    } catch (...) {
        return true;
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

} // namespace detail

// ---- construction ----

AppState::AppState(AppStateServices services, QObject* parent)
    : QObject(parent), services_(std::move(services)) {
    if (services_.hotkeys) {
        services_.hotkeys->onRegistrationSettled([weak = lifetime_.ref()](bool registered) {
            if (AppState* state = weak.get()) {
                state->assign(state->globalHotkeyRegistered_, registered, &AppState::globalHotkeyRegisteredChanged);
            }
        });
    }
    loadSettings();
    refreshPermissions();
}

AppState::~AppState() {
    // Watchdogs and callbacks hold the state weakly and end quietly from now on. Nothing is
    // cancelled here: a cancellation would resume a suspended commit into a destroyed state.
    lifetime_.end();
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
    if (!status.is(AppStatus::Kind::processing)) {
        setAwaitingRecognition(false);
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

void AppState::setAwaitingRecognition(bool v) {
    assign(awaitingRecognition_, v, &AppState::awaitingRecognitionChanged);
}

void AppState::setVoiceTestFieldText(const QString& text) {
    assign(voiceTestFieldText_, text, &AppState::voiceTestFieldTextChanged);
}
void AppState::setVoiceTestFieldSelection(TextSelection selection) {
    assign(voiceTestFieldSelection_, selection, &AppState::voiceTestFieldSelectionChanged);
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

} // namespace quillory
