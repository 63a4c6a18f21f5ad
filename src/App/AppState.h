#pragma once

#include "AI/PolishModel.h"
#include "AI/PolishService.h"
#include "App/AppStatus.h"
#include "App/DictationAccumulator.h"
#include "Hotkey/HotkeyConfig.h"
#include "Input/TextInsertion.h"
#include "Permissions/PermissionManager.h"
#include "Permissions/RuntimeEnvironmentStatus.h"
#include "Platform/LoginItem.h"
#include "Runtime/Lifetime.h"
#include "Speech/SpeechService.h"
#include "Utilities/CommitDiagnostics.h"

#include <QObject>

#include <array>
#include <coroutine>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace quillory {

namespace SessionLines {
struct Line;
}

/// Serialises the starts of the recogniser (see `AppState::attachSpeechSession`).
struct AttachGate {
    bool busy = false;
    std::deque<std::coroutine_handle<>> waiters;
};

/// The global hotkeys as the state drives them: the `GlobalHotKeyManager` in the app, a fake in
/// tests.
class HotkeyService {
public:
    using Callback = std::function<void()>;
    virtual ~HotkeyService() = default;
    /// Replaces the configuration and callbacks and (re)installs what it needs; true when
    /// everything needed was installed.
    virtual bool update(const HotkeyConfig& config, Callback onToggle, Callback onPress,
                        Callback onRelease) = 0;
    /// A registration that settles after `update` returned (a desktop's shortcut service answering
    /// later) reports here whether everything is installed. Main thread; the state sets it once.
    virtual void onRegistrationSettled(std::function<void(bool registered)> settled) { (void)settled; }
};

/// The collaborators of the application state. The app builds the real ones; tests pass fakes.
/// Members after `polish` may stay empty: the state then does without them (no hotkeys: every
/// registration fails; no login item: never enabled) or asks the system directly.
struct AppStateServices {
    std::shared_ptr<SpeechService> speech;
    std::shared_ptr<TextInsertion> input;
    std::shared_ptr<PermissionManager> permissions;
    std::shared_ptr<RuntimeEnvironmentStatus> environment;
    std::shared_ptr<PolishService> polish;
    std::shared_ptr<HotkeyService> hotkeys;
    std::shared_ptr<LoginItemService> loginItem;
    /// The input monitoring (listen-event) check; empty: `InputMonitoringAuthorization`.
    std::function<PermissionState()> inputMonitoringAccess;
    /// Whether this host runs the local inference runtime; empty: `HostCPU`.
    std::function<bool()> localRuntimeSupported;
    /// Kills leftover inference servers and returns how many were found (throws the engine's
    /// error); empty: none found.
    std::function<int()> cleanupPolishServers;
};

/// The single long-lived application state: the dictation session (start, stop, accumulation of
/// recognition results), the commit pipeline with its time limits, the watchdogs, the recognition
/// failure circuit breaker, and the observed fields the views show. Main thread only.
///
/// Observed fields have a `...Changed` signal that is emitted only on a real change.
///
/// The state lives as long as the process (the app installs it with `setShared`). A state that is
/// destroyed while a commit is suspended must not see its scheduler run again (tests give each
/// state its own virtual clock or stop advancing it).
class AppState : public QObject {
    Q_OBJECT

public:
    /// The longest wait for the final result without any progress from the recogniser.
    static constexpr Duration kSpeechCompletionWatchdogDelay = std::chrono::seconds(8);
    static constexpr Duration kCommitWatchdogDelay = std::chrono::seconds(45);
    static constexpr Duration kPolishTimeout = std::chrono::seconds(35);
    static constexpr Duration kInsertTimeout = std::chrono::seconds(8);
    static constexpr Duration kUserStopPollInterval = std::chrono::milliseconds(200);
    static constexpr Duration kFailureWindow = std::chrono::seconds(5);
    static constexpr int kFailureLimit = 3;

    explicit AppState(AppStateServices services, QObject* parent = nullptr);
    ~AppState() override;

    /// The process-wide instance the app installs at start-up (null until then).
    static AppState* shared();
    static void setShared(AppState* state);

    // ---- observed fields ----
    const AppStatus& status() const { return status_; }
    bool isRecording() const { return status_.isRecording(); }
    const QString& partialText() const { return partialText_; }
    const QString& voiceTestFieldText() const { return voiceTestFieldText_; }
    TextSelection voiceTestFieldSelection() const { return voiceTestFieldSelection_; }
    const std::optional<QString>& dictationBaseline() const { return dictationBaseline_; }
    const DictationAccumulator& dictationAccumulator() const { return dictationAccumulator_; }
    RecognitionSink recognitionSink() const { return recognitionSink_; }
    const HotkeyConfig& hotkeyConfig() const { return hotkeyConfig_; }
    bool aiPolishEnabled() const { return aiPolishEnabled_; }
    PolishModel selectedPolishModel() const { return selectedPolishModel_; }
    const QString& polishPrompt() const { return polishPrompt_; }
    bool launchAtLoginEnabledCached() const { return launchAtLoginEnabledCached_; }
    bool globalHotkeyRegistered() const { return globalHotkeyRegistered_; }
    bool voiceInputDetected() const { return voiceInputDetected_; }
    bool speechCaptureReady() const { return speechCaptureReady_; }
    bool speechRecognitionDeliveredPartial() const { return speechRecognitionDeliveredPartial_; }
    std::optional<VoiceTestRecordingOrigin> voiceTestRecordingOrigin() const {
        return voiceTestRecordingOrigin_;
    }
    std::optional<FocusedAppVoiceRecordingOrigin> focusedAppRecordingOrigin() const {
        return focusedAppRecordingOrigin_;
    }
    bool aiPolishInProgress() const { return aiPolishInProgress_; }
    /// Recording has stopped and the recogniser is still working on its final result (before the
    /// commit takes the text).
    bool awaitingRecognition() const { return awaitingRecognition_; }
    quint64 dictationSessionNonce() const { return dictationSessionNonce_; }

    // ---- unobserved session state (read-only, for the views and tests) ----
    bool userRequestedCommitStop() const { return userRequestedCommitStop_; }
    bool commitStarted() const { return currentCommitTask_ != nullptr; }
    std::size_t recentRecognitionFailureCount() const { return recentRecognitionFailureTimes_.size(); }

    // ---- written by the voice test field and the settings ----
    void setVoiceTestFieldText(const QString& text);
    void setVoiceTestFieldSelection(TextSelection selection);
    // ---- settings (AppStateSettings.cpp) ----
    // Every assignment persists and reconfigures, also when the value is unchanged; observers
    // hear only of a real change.

    /// Stores, saves and re-registers the hotkeys.
    void setHotkeyConfig(const HotkeyConfig& config);
    /// Saves whether polishing is on and starts or stops the local server. On a host without
    /// the local runtime it stays (and is stored) off.
    void setAiPolishEnabled(bool enabled);
    /// Saves the model and stops the server running the previous one; warms the new one up when
    /// polishing is on.
    void setSelectedPolishModel(PolishModel model);
    /// Saves the prompt as the settings store decides (a blank or default text removes it); the
    /// field keeps the text as typed.
    void setPolishPrompt(const QString& prompt);
    /// Back to the built-in prompt, with no prompt stored.
    void resetPolishPrompt();
    /// (Re)registers the global hotkeys with the current configuration; the result is kept in
    /// `globalHotkeyRegistered` (a failure is not an error of the state).
    void applyHotkeyConfiguration();
    /// Whether the configured hotkeys need the keyboard monitor and whether it may hear the keys:
    /// `authorized` when they need none.
    PermissionState inputMonitoringPermissionState() const;
    /// Kills leftover inference servers; returns how many were found. Throws the engine's error.
    int cleanupLocalPolishServers();
    /// Registers or removes the login item. Throws `LoginItemError` when that fails.
    void setLaunchAtLoginEnabled(bool enabled);
    void refreshLaunchAtLoginStatus();
    void openSystemSettingsLoginItems();
    /// Called once after launch: permissions, login item, polishing warm-up.
    void refreshOnLaunch();
    /// Whenever the user turns to the app (one of its windows takes focus, the tray menu opens):
    /// permissions, login item, hotkey registration.
    void refreshOnActivation();
    /// Reads the three permission states again (also done at the start of every dictation); a
    /// backend that throws is logged and leaves the states as they were.
    void refreshPermissions();
    /// When the login item is read again after it was changed.
    static constexpr std::array<Duration, 4> kLaunchAtLoginRefreshDelays = {
        std::chrono::milliseconds(150), std::chrono::milliseconds(550), std::chrono::milliseconds(1200),
        std::chrono::milliseconds(2500)};

    // ---- session operations ----
    void stopRecording();
    void handleHotkeyToggle();
    void handleHotkeyPress();
    void handleHotkeyRelease();
    void toggleVoiceTestRecording();
    void voiceTestPushDown();
    void voiceTestPushUp();
    /// The overlay's cancel control while processing: commit what was recognised so far now,
    /// without waiting for the polish.
    void cancelCommitProcessing();
    /// How long a discarded recording can be brought back.
    static constexpr Duration kDiscardUndoWindow = std::chrono::seconds(3);
    /// The overlay's × (and `quillory cancel`) while recording: ends the recording without pasting.
    /// The words heard so far are kept for `kDiscardUndoWindow`; false when not recording.
    bool discardRecording();
    /// Brings back the last discarded recording within its window: its words go through the
    /// commit as a stopped dictation's would. False when there is nothing to bring back.
    bool undoDiscard();
    /// A discarded recording can be brought back now.
    bool canUndoDiscard() const { return discarded_.has_value(); }
    /// The overlay's dismiss control while the status is `error`.
    void dismissError();

    /// "success(len=N)" or "failure(<description>)".
    static QString recognitionResultLabel(const SpeechResult& result);
    /// Inserts into the voice test field at its selection (or at the end when the selection lies
    /// beyond it), leaving the caret after the text. UTF-16 units.
    void insertVoiceTestFieldText(const QString& text);

signals:
    void statusChanged();
    void partialTextChanged();
    void voiceTestFieldTextChanged();
    void voiceTestFieldSelectionChanged();
    void dictationBaselineChanged();
    void dictationAccumulatorChanged();
    void recognitionSinkChanged();
    void hotkeyConfigChanged();
    void aiPolishEnabledChanged();
    void selectedPolishModelChanged();
    void polishPromptChanged();
    void launchAtLoginEnabledCachedChanged();
    void globalHotkeyRegisteredChanged();
    void voiceInputDetectedChanged();
    void speechCaptureReadyChanged();
    void speechRecognitionDeliveredPartialChanged();
    void voiceTestRecordingOriginChanged();
    void focusedAppRecordingOriginChanged();
    void aiPolishInProgressChanged();
    void awaitingRecognitionChanged();
    void dictationSessionNonceChanged();
    void canUndoDiscardChanged();

private:
    friend struct AppStateTestAccess; // tests reach the user-stop flag directly
    struct CommitTaskHandle;
    enum class FallbackReason { timeout, userCancelled, polishFailed, polishCancelled };
    struct FinalCommitRaceResult {
        std::optional<QString> committed;
        FallbackReason reason = FallbackReason::timeout;
    };
    static QString rawValue(FallbackReason reason);

    // observed-field writers: notify only on change
    template <typename T> void assign(T& field, T value, void (AppState::*changed)());
    void setStatus(AppStatus status);
    void setPartialText(QString text);
    void setAccumulator(DictationAccumulator accumulator);
    void resetAccumulator();
    void setDictationBaseline(std::optional<QString> baseline);
    void setRecognitionSink(RecognitionSink sink);
    void setVoiceInputDetected(bool v);
    void setSpeechCaptureReady(bool v);
    void setSpeechRecognitionDeliveredPartial(bool v);
    void setVoiceTestRecordingOrigin(std::optional<VoiceTestRecordingOrigin> v);
    void setFocusedAppRecordingOrigin(std::optional<FocusedAppVoiceRecordingOrigin> v);
    void setAiPolishInProgress(bool v);
    void setAwaitingRecognition(bool v);

    // settings (AppStateSettings.cpp)
    /// Reads the stored settings without running any assignment reaction, then registers the
    /// hotkeys.
    void loadSettings();
    bool isLocalRuntimeSupported() const;
    LoginItemStatus loginItemStatus() const;
    void scheduleDeferredLaunchAtLoginRefresh();

    // diagnostics
    void commitInfo(const QString& message);
    void commitNotice(const QString& message);
    void commitError(const QString& message);
    /// Writes one of the session's lines at its level.
    void write(const SessionLines::Line& line);

    // session: start, attach, stop, completion (AppStateSession.cpp)
    void startRecording(RecognitionSink sink, std::optional<VoiceTestRecordingOrigin> voiceTestOrigin,
                        std::optional<FocusedAppVoiceRecordingOrigin> focusedAppOrigin);
    enum class AttachResult { capturing, failed, abandoned };
    struct AttachOutcome {
        AttachResult result;
        quint64 attachID;
    };
    /// Attaches a recogniser to a running session (at its start and after a recogniser break);
    /// a failed attach that nothing else took over ends the session with what was said.
    Task<> runAttach(quint64 sessionID);
    Task<AttachOutcome> attachSpeechSession(quint64 sessionID);
    bool isSessionRunning(quint64 sessionID) const;
    bool isCurrentAttach(quint64 sessionID, quint64 attachID) const;
    void applyPartial(const QString& text);
    /// A step of the current attach's recogniser: the completion watchdog counts from it, and the
    /// text it stands by is kept for a forced end.
    void applyRecognitionProgress(const SpeechService::Progress& progress);
    /// The current recognition's final result closes it: for a recogniser whose final replaces its
    /// partials, the live text is replaced by the final, also when the final is empty.
    void takeFinalText(const QString& finalText);
    /// The current recognition will give no final (the watchdog, the user's "insert now"): its
    /// confirmed text takes the place of the live text; without any, the live text stays, logged.
    void adoptConfirmedText(const QString& reason);
    /// The current recognition failed outright: its live text is what there is (logged).
    void keepLiveTextOfFailedRecognition(const QString& reason);
    Task<> handleRecognitionComplete(SpeechResult result);
    void finalizeCurrentRecognitionSegment(const std::optional<QString>& finalText);
    Task<> finalizeAccumulatedRecognition(std::optional<QString> baseline, RecognitionSink sink,
                                          QString finalText);
    /// Lets already-posted callbacks (a failed start's completion) run first.
    Task<> yieldToPostedWork();

    // recovery: premature end, breaker, watchdogs, abort, cancel, dismiss, backend failures
    // (AppStateRecovery.cpp)
    Task<> handlePrematureEnd(SpeechResult result);
    Task<> resumeSpeechSessionAfterPrematureEnd(quint64 sessionID);
    void abortRecordingWithUnrecoverableError(const SpeechError& error);
    /// Ends a recording that failed: what was said so far is committed first, then the error is
    /// shown; with nothing said, the session is aborted with the error.
    Task<> endRecordingWithError(SpeechError error, QString reason);
    Task<> cleanupSpeechSession();
    void clearSessionFields();
    void installSpeechCompletionWatchdog(quint64 sessionID);
    void installCommitWatchdog(quint64 sessionID);
    void cancelSpeechCompletionWatchdog();
    void cancelCommitWatchdog();
    static Task<> speechCompletionWatchdog(LifetimeRef<AppState> life, quint64 sessionID,
                                           CancellationToken token);
    static Task<> commitWatchdog(LifetimeRef<AppState> life, quint64 sessionID, CancellationToken token);
    Task<> forceFinalizeAfterStop(quint64 sessionID, QString reason);
    void fireCommitWatchdog(quint64 sessionID);
    /// An exception from a backend inside a session: an error line, then the words recognised so
    /// far are committed when there are any, else the session ends in `error`; the recognition is
    /// torn down either way.
    void handleBackendException(const char* where, const QString& description);
    Task<> runGuarded(const char* where, Task<> inner);

    // the commit pipeline and its races (AppStateCommit.cpp)
    Task<> runCommitPipeline(std::optional<QString> baseline, RecognitionSink sink, QString finalText,
                             CancellationToken cancel);
    Task<> runCommitPipelineStages(std::optional<QString> baseline, RecognitionSink sink, QString finalText,
                                   CancellationToken cancel);
    Task<FinalCommitRaceResult> resolveFinalCommitOutcome(QString text, quint64 sessionID,
                                                          CancellationToken cancel);
    Task<FinalCommitRaceResult> polishRacer(QString text, quint64 sessionID, CancellationToken token);
    Task<FinalCommitRaceResult> polishTimeoutRacer(QString text, quint64 sessionID, CancellationToken token);
    Task<FinalCommitRaceResult> userStopRacer(QString text, quint64 sessionID, CancellationToken token);
    using Racer = Task<FinalCommitRaceResult> (AppState::*)(QString, quint64, CancellationToken);
    struct PolishRace {
        CancellationSource racers;
        std::optional<FinalCommitRaceResult> first;
    };
    /// Runs one racer of the polish race; the first to finish decides it.
    Task<FinalCommitRaceResult> decidePolishRace(std::shared_ptr<PolishRace> race,
                                                 Task<FinalCommitRaceResult> racer);
    Task<QString> textAfterPolishIfNeeded(QString text, CancellationToken token);
    Task<> commitFinalWithTimeout(std::optional<QString> baseline, QString finalText, quint64 sessionID,
                                  CancellationToken cancel);
    Task<bool> insertChild(std::optional<QString> baseline, QString finalText, CancellationToken token);
    Task<bool> insertTimeoutChild(quint64 sessionID, CancellationToken token);

    Duration now() const;

    AppStateServices services_;

    AppStatus status_;
    QString partialText_;
    QString voiceTestFieldText_;
    TextSelection voiceTestFieldSelection_;
    std::optional<QString> dictationBaseline_;
    DictationAccumulator dictationAccumulator_;
    RecognitionSink recognitionSink_ = RecognitionSink::focusedApplication;
    HotkeyConfig hotkeyConfig_;
    bool aiPolishEnabled_ = false;
    PolishModel selectedPolishModel_ = PolishModel::gemma4_e2bQ4KM;
    QString polishPrompt_;
    bool launchAtLoginEnabledCached_ = false;
    bool globalHotkeyRegistered_ = false;
    bool voiceInputDetected_ = false;
    bool speechCaptureReady_ = false;
    bool speechRecognitionDeliveredPartial_ = false;
    std::optional<VoiceTestRecordingOrigin> voiceTestRecordingOrigin_;
    std::optional<FocusedAppVoiceRecordingOrigin> focusedAppRecordingOrigin_;
    bool aiPolishInProgress_ = false;
    bool userRequestedCommitStop_ = false;
    /// The words of the last discarded recording while they can be brought back.
    struct DiscardedRecording {
        QString text;
        std::optional<QString> baseline;
        RecognitionSink sink = RecognitionSink::focusedApplication;
    };
    std::optional<DiscardedRecording> discarded_;
    Timer discardExpiry_;
    void forgetDiscarded();
    std::shared_ptr<CommitTaskHandle> currentCommitTask_;
    std::unique_ptr<CancellationSource> commitWatchdogTask_;
    std::unique_ptr<CancellationSource> speechCompletionWatchdogTask_;
    std::vector<Duration> recentRecognitionFailureTimes_;
    bool awaitingRecognition_ = false;
    /// When the recogniser last showed progress (or recording stopped): the completion watchdog
    /// fires only after `recognitionSilenceAllowed_` without any.
    Duration lastRecognitionProgressAt_{};
    /// How long the recogniser may now stay silent: `kSpeechCompletionWatchdogDelay`, or longer
    /// while it runs a step that reports nothing until it ends.
    Duration recognitionSilenceAllowed_ = kSpeechCompletionWatchdogDelay;
    /// What the current attach's recogniser stands by so far, when it says.
    std::optional<QString> attachConfirmedText_;
    /// The current attach's final replaces its partials (a whole-session recogniser).
    bool attachFinalReplacesPartials_ = false;
    quint64 dictationSessionNonce_ = 0;
    /// Identifies the current recognition attach; callbacks of an earlier one are dropped.
    quint64 attachGeneration_ = 0;
    /// Cancelled when the session ends; an attach that returns after that tears its capture down.
    std::unique_ptr<CancellationSource> sessionCancel_;
    std::shared_ptr<AttachGate> attachGate_ = std::make_shared<AttachGate>();
    Lifetime<AppState> lifetime_{this};
};

} // namespace quillory
