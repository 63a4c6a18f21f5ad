#include "SessionTestSupport.h"

#include "AI/PolishSettings.h"
#include "App/UndeliveredWords.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <QSignalSpy>

namespace quillory::testing {
namespace {

const QString kFocused = QStringLiteral("focusedApplication");

class AppStateTest : public SessionTest {};

// ---- observed fields, prechecks and guards ----

TEST_F(AppStateTest, EqualWritesNotifyNobody) {
    QSignalSpy text(state.get(), &AppState::voiceTestFieldTextChanged);
    QSignalSpy status(state.get(), &AppState::statusChanged);
    QSignalSpy partialSpy(state.get(), &AppState::partialTextChanged);
    state->setVoiceTestFieldText(QStringLiteral("a"));
    state->setVoiceTestFieldText(QStringLiteral("a"));
    EXPECT_EQ(text.count(), 1);
    state->stopRecording(); // idle: nothing
    state->dismissError();
    EXPECT_EQ(status.count(), 0);
    press();
    partial(u(u"今日は"));
    partial(u(u"今日は"));
    EXPECT_EQ(partialSpy.count(), 1);
    EXPECT_EQ(status.count(), 1); // idle -> recording
    EXPECT_EQ(permissions->refreshes, 6); // three at launch, three as the dictation started
}

/// Permission states as the system manager keeps them: read from the system only on a refresh.
class CachedPermissions final : public PermissionManager {
public:
    PermissionState microphone() const override { return mic; }
    PermissionState speech() const override { return PermissionState::authorized; }
    PermissionState accessibility() const override { return PermissionState::authorized; }
    void refreshMicrophone() override { mic = systemMic; }
    void refreshSpeech() override {}
    void refreshAccessibility() override {}
    PermissionState systemMic = PermissionState::denied;
    PermissionState mic = PermissionState::notDetermined;
};

TEST_F(AppStateTest, AGrantGivenSinceTheLastRefreshCountsAtTheNextDictation) {
    auto cached = std::make_shared<CachedPermissions>();
    AppStateServices services;
    services.speech = speech;
    services.input = input;
    services.permissions = cached;
    services.environment = environment;
    services.polish = polish;
    state = std::make_unique<AppState>(services);
    wire();
    ASSERT_EQ(cached->mic, PermissionState::denied);
    // Granted in the system settings; no window of ours took focus since.
    cached->systemMic = PermissionState::authorized;
    press();
    EXPECT_TRUE(state->isRecording()) << state->status().message().toStdString();
    release();
    finalText(QStringLiteral("ok"));
    EXPECT_EQ(state->status(), AppStatus::idle());

    // Taken back: the next start refuses.
    cached->systemMic = PermissionState::denied;
    press();
    EXPECT_EQ(state->status(), AppStatus::error(L("error.permissions")));
}

TEST_F(AppStateTest, ARecogniserThatRewritesItsFirstWordsGetsOnlyItsFinalTextPasted) {
    // Partials that differ from their start on look like a new utterance to a recogniser that
    // starts over after a pause; from one that rewrites the whole session's text, the earlier
    // version must not be pasted along with the final one.
    speech->wholeSessionPartials = true;
    press();
    partial(u(u"あしたの会議"));
    partial(u(u"明日の会議は十時から"));
    EXPECT_EQ(state->partialText(), u(u"明日の会議は十時から"));
    release();
    finalText(u(u"明日の会議は十時から始まります。"));
    EXPECT_EQ(insertedTexts(), QStringList{u(u"明日の会議は十時から始まります。")});
}

TEST_F(AppStateTest, PrechecksRefuseWithoutNonceIncrement) {
    permissions->mic = PermissionState::notDetermined;
    press();
    EXPECT_EQ(state->status(), AppStatus::error(L("error.permissions")));
    EXPECT_EQ(state->dictationSessionNonce(), 0u);
    EXPECT_TRUE(lines().isEmpty());
    state->dismissError();
    EXPECT_EQ(state->status(), AppStatus::idle());

    // No paste key on this desktop: the refusal ends with the desktop's one fix, which is not
    // offered for a grant that is there.
    permissions->mic = PermissionState::authorized;
    permissions->ax = PermissionState::denied;
    permissions->fix = QStringLiteral("Install the desktop's remote desktop portal.");
    press();
    EXPECT_EQ(state->status(), AppStatus::error(L("error.permissions") + " " + permissions->fix));
    state->dismissError();
    permissions->ax = PermissionState::authorized;
    permissions->mic = PermissionState::denied;
    press();
    EXPECT_EQ(state->status(), AppStatus::error(L("error.permissions")));
    state->dismissError();
    permissions->fix.clear();

    permissions->mic = PermissionState::authorized;
    environment->dictation = RuntimeEnvironmentStatus::DictationStatus::disabled;
    press();
    EXPECT_EQ(state->status(), AppStatus::error(L("error.dictation_disabled")));
    EXPECT_EQ(state->dictationSessionNonce(), 0u);
    EXPECT_EQ(lines(), QStringList{QStringLiteral("recognition_precheck=dictation_disabled")});
    state->dismissError();

    environment->dictation = RuntimeEnvironmentStatus::DictationStatus::unknown;
    press();
    EXPECT_TRUE(state->isRecording());
    EXPECT_EQ(state->dictationSessionNonce(), 1u);
    EXPECT_EQ(speech->startCount, 1);
}

TEST_F(AppStateTest, HotkeyAndVoiceTestGuards) {
    state->handleHotkeyRelease(); // no recording: nothing
    EXPECT_TRUE(lines().isEmpty());

    press();
    EXPECT_EQ(state->focusedAppRecordingOrigin(), FocusedAppVoiceRecordingOrigin::pushToTalkHotkey);
    state->toggleVoiceTestRecording(); // does not stop a push-to-talk recording
    EXPECT_TRUE(state->isRecording());
    state->handleHotkeyPress(); // not idle: ignored
    EXPECT_EQ(state->dictationSessionNonce(), 1u);
    release();
    EXPECT_EQ(state->status(), AppStatus::processing());
    EXPECT_EQ(state->focusedAppRecordingOrigin(), std::nullopt);
    state->handleHotkeyToggle(); // processing: nothing
    EXPECT_EQ(state->status(), AppStatus::processing());
    finalText(QStringLiteral("hello"));
    EXPECT_EQ(state->status(), AppStatus::idle());

    HotkeyConfig config = state->hotkeyConfig();
    config.toggleShortcutEnabled = false;
    state->setHotkeyConfig(config);
    state->handleHotkeyToggle();
    state->toggleVoiceTestRecording();
    EXPECT_EQ(state->status(), AppStatus::idle());
    EXPECT_EQ(HotkeyStorage::load(), config);

    state->voiceTestPushDown();
    settle();
    EXPECT_EQ(state->voiceTestRecordingOrigin(), VoiceTestRecordingOrigin::pushToTalk);
    EXPECT_EQ(state->dictationSessionNonce(), 2u);
    state->handleHotkeyRelease(); // push-to-talk release stops any recording
    EXPECT_EQ(state->status(), AppStatus::processing());
}

TEST_F(AppStateTest, ToggleHotkeyStartsAFocusedSessionAndStopsIt) {
    input->baseline = QStringLiteral("field text");
    state->handleHotkeyToggle();
    settle();
    EXPECT_TRUE(state->isRecording());
    EXPECT_EQ(state->focusedAppRecordingOrigin(), FocusedAppVoiceRecordingOrigin::toggleHotkey);
    EXPECT_EQ(state->voiceTestRecordingOrigin(), std::nullopt);
    EXPECT_EQ(state->recognitionSink(), RecognitionSink::focusedApplication);
    EXPECT_EQ(state->dictationBaseline(), QStringLiteral("field text"));
    partial(QStringLiteral("toggled"));
    state->toggleVoiceTestRecording(); // a toggle-hotkey recording may be stopped from the voice test
    EXPECT_EQ(state->status(), AppStatus::processing());
    finalText(QStringLiteral("toggled"));

    state->handleHotkeyToggle();
    settle();
    state->handleHotkeyToggle();
    EXPECT_EQ(state->status(), AppStatus::processing());
    EXPECT_EQ(state->focusedAppRecordingOrigin(), std::nullopt);
    EXPECT_EQ(lines({"stage=stop_requested"}).last(),
              "stage=stop_requested session=2 accumulated_len=0 sink=focusedApplication");
}

// ---- accumulation and the normal commit ----

TEST_F(AppStateTest, NormalCommitWithoutPolishWritesEveryStageInOrder) {
    addDictionaryEntry(u(u"てすと"), u(u"テスト"));
    input->baseline = QStringLiteral("before");
    dictate({u(u"今日は"), u(u"今日はてすと")}, u(u"今日はてすとです"));

    EXPECT_EQ(state->status(), AppStatus::idle());
    EXPECT_EQ(insertedTexts(), QStringList{u(u"今日はテストです")});
    EXPECT_EQ(input->commits[0].baseline, QStringLiteral("before"));
    EXPECT_EQ(speech->lastContextualStrings, UserDictionary::contextualStringsForSpeech());
    EXPECT_EQ(polish->stopCount, 0);
    EXPECT_EQ(polish->calls, 0);
    EXPECT_EQ(lines(), (QStringList{
                           "stage=stop_requested session=1 accumulated_len=6 sink=focusedApplication",
                           "stage=stop_complete_received session=1 status=processing accumulated_len=6 "
                           "result=success(len=8)",
                           "stage=start session=1 sink=focusedApplication text_len=8 polish_enabled=false "
                           "overall_timeout_s=45",
                           "stage=polish_start session=1 polish_timeout_s=35",
                           "stage=polish_done session=1 result=committed len=8 elapsed_ms=0",
                           "stage=inject_start session=1 len=8",
                           "stage=end session=1 result=ok inject_ms=0 total_ms=0",
                       }));
    EXPECT_EQ(state->partialText(), QString());
    EXPECT_TRUE(state->dictationAccumulator().isEmpty());
    EXPECT_EQ(state->recognitionSink(), RecognitionSink::focusedApplication);
    EXPECT_EQ(state->dictationBaseline(), std::nullopt);
}

TEST_F(AppStateTest, UnrelatedPartialsBecomeSegmentsAndEmptySessionsCommitNothing) {
    press();
    partial(u(u"明日の会議は十時から"));
    partial(u(u"よろしくお願いします"));
    EXPECT_EQ(state->partialText(), u(u"明日の会議は十時から\nよろしくお願いします"));
    partial(QStringLiteral("  \n"));
    EXPECT_EQ(state->partialText(), u(u"明日の会議は十時から\nよろしくお願いします"));
    EXPECT_TRUE(state->speechRecognitionDeliveredPartial());
    release();
    finalText(QString());
    EXPECT_EQ(insertedTexts(), QStringList{u(u"明日の会議は十時から\nよろしくお願いします")});

    press(); // nothing said: idle, no commit lines
    release();
    finalText(QStringLiteral("   "));
    EXPECT_EQ(state->status(), AppStatus::idle());
    EXPECT_EQ(lines({"stage=start"}).size(), 1);
}

TEST_F(AppStateTest, VoiceTestFieldInsertsAtSelectionInUtf16Units) {
    state->setVoiceTestFieldText(u(u"ab😀cd"));
    state->setVoiceTestFieldSelection({2, 2}); // the emoji: two UTF-16 units
    state->toggleVoiceTestRecording();
    settle();
    partial(QStringLiteral("XY"));
    state->toggleVoiceTestRecording();
    finalText(QStringLiteral("XY"));
    EXPECT_EQ(state->voiceTestFieldText(), QStringLiteral("abXYcd"));
    EXPECT_EQ(state->voiceTestFieldSelection(), (TextSelection{4, 0}));
    EXPECT_TRUE(input->commits.empty());
    EXPECT_TRUE(lines().last().startsWith("stage=end session=1 result=test_field_ok total_ms="));

    state->setVoiceTestFieldSelection({5, 3}); // reaches beyond the end: append
    state->voiceTestPushDown();
    settle();
    partial(QStringLiteral("Z"));
    state->voiceTestPushUp();
    finalText(QStringLiteral("Z"));
    EXPECT_EQ(state->voiceTestFieldText(), QStringLiteral("abXYcdZ"));
    EXPECT_EQ(state->voiceTestFieldSelection(), (TextSelection{7, 0}));
}

TEST_F(AppStateTest, ARecognitionFailureAfterTheStopStillCommitsTheWords) {
    press();
    partial(QStringLiteral("spoken words"));
    release();
    fail(SpeechError::recognitionFailed(QStringLiteral("network lost")));
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("spoken words")});
    EXPECT_EQ(state->status(), AppStatus::idle());
    EXPECT_EQ(lines({"stage=stop_complete_received"}),
              QStringList{"stage=stop_complete_received session=1 status=processing accumulated_len=12 "
                          "result=failure(network lost)"});
}

TEST_F(AppStateTest, DiagnosticsLinesCarryTheirLevels) {
    state->setAiPolishEnabled(true);
    polish->mode = FakePolish::Mode::fail;
    dictate({QStringLiteral("abc")}, QStringLiteral("abc"));
    EXPECT_EQ(levelled({"stage=", "polish_task="}),
              (QStringList{"NOTE stage=stop_requested", "INFO stage=stop_complete_received",
                           "INFO stage=start", "INFO stage=polish_start", "ERROR polish_task=failed",
                           "NOTE stage=polish_done", "INFO stage=inject_start", "INFO stage=end"}));

    polish->mode = FakePolish::Mode::answer;
    input->throwInputError = InputError::injectionFailed();
    dictate({}, QStringLiteral("def"));
    EXPECT_EQ(levelled({"stage=polish_done", "stage=end"}).mid(2),
              (QStringList{"INFO stage=polish_done", "ERROR stage=end"}));
    state->dismissError();

    input->throwInputError.reset();
    polish->delay = seconds(50);
    polish->honorCancel = false;
    dictate({}, QStringLiteral("ghi"));
    advance(35);
    advance(10);
    state->dismissError();
    press();
    release();
    state->cancelCommitProcessing();
    settle();
    EXPECT_EQ(
        levelled({"polish_task=timeout", "watchdog=", "user_cancel=", "stage=stop_watchdog"}),
        (QStringList{"NOTE polish_task=timeout", "ERROR watchdog=triggered", "NOTE user_cancel=requested",
                     "ERROR stage=stop_watchdog_triggered", "ERROR stage=stop_watchdog_no_text"}));
}

TEST_F(AppStateTest, InsertNowWhileTheFinalIsAwaitedPastesThePartialTextUnpolishedAndLeavesNoFlagBehind) {
    state->setAiPolishEnabled(true);
    polish->delay = seconds(1);
    polish->transform = [](const QString& t) { return t + QStringLiteral(" (polished)"); };
    press();
    partial(QStringLiteral("words"));
    release();
    // "Insert now" before the final result: the unpolished words are pasted at once.
    state->cancelCommitProcessing();
    settle();
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("words")});
    EXPECT_EQ(polish->calls, 0) << "no polish to wait for";
    EXPECT_EQ(state->status(), AppStatus::idle());
    EXPECT_EQ(lines({"polish_task=user_cancel"}).size(), 1);
    EXPECT_EQ(lines({"user_cancel=", "stage=stop_watchdog"}),
              (QStringList{"user_cancel=requested session=1 commit_started=false",
                           "stage=stop_watchdog_triggered session=1 reason=user_cancel accumulated_len=5"}));
    state->cancelCommitProcessing(); // idle: nothing
    EXPECT_EQ(lines({"user_cancel="}).size(), 1);
    // The next dictation is polished as usual: the user's stop belonged to the last one.
    dictate({}, QStringLiteral("more"));
    advance(1);
    EXPECT_EQ(insertedTexts(), (QStringList{QStringLiteral("words"), QStringLiteral("more (polished)")}));
}

// ---- discard ----

TEST_F(AppStateTest, DiscardEndsTheRecordingWithoutPastingAndTheUndoPastesTheWords) {
    press();
    partial(QStringLiteral("keep these"));
    const int cleanupsBefore = speech->cleanupCount;
    EXPECT_TRUE(state->discardRecording());
    settle();
    EXPECT_EQ(state->status(), AppStatus::idle());
    EXPECT_TRUE(state->canUndoDiscard());
    EXPECT_EQ(speech->cleanupCount, cleanupsBefore + 1) << "the microphone is closed";
    EXPECT_TRUE(state->partialText().isEmpty());
    // The recogniser's late final of the discarded session reaches nothing.
    speech->completeText(QStringLiteral("keep these words"));
    settle();
    EXPECT_TRUE(insertedTexts().isEmpty());
    EXPECT_EQ(state->status(), AppStatus::idle());

    advance(2.9);
    ASSERT_TRUE(state->undoDiscard());
    settle();
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("keep these")});
    EXPECT_EQ(state->status(), AppStatus::idle());
    EXPECT_FALSE(state->canUndoDiscard());
    EXPECT_FALSE(state->undoDiscard()) << "brought back once";
    EXPECT_EQ(insertedTexts().size(), 1);
    const QStringList l = lines({"stage=discard"});
    ASSERT_EQ(l.size(), 2);
    EXPECT_EQ(l[0], "stage=discarded session=1 text_len=10");
    EXPECT_EQ(l[1], "stage=discard_undone session=2 text_len=10");
}

TEST_F(AppStateTest, TheUndoLastsThreeSecondsAndANewDictationEndsIt) {
    int changes = 0;
    QObject::connect(state.get(), &AppState::canUndoDiscardChanged, [&] { ++changes; });
    press();
    partial(QStringLiteral("gone"));
    state->discardRecording();
    settle();
    advance(2.999);
    EXPECT_TRUE(state->canUndoDiscard());
    advance(0.001);
    EXPECT_FALSE(state->canUndoDiscard());
    EXPECT_FALSE(state->undoDiscard());
    EXPECT_EQ(changes, 2);
    EXPECT_EQ(lines({"stage=discard_expired"}), QStringList{"stage=discard_expired session=1"});

    // Discarding a recording that heard nothing offers no undo; outside recording nothing happens.
    press();
    EXPECT_TRUE(state->discardRecording());
    settle();
    EXPECT_FALSE(state->canUndoDiscard());
    EXPECT_FALSE(state->discardRecording());

    press();
    partial(QStringLiteral("first"));
    state->discardRecording();
    settle();
    press(); // the user moved on
    EXPECT_FALSE(state->canUndoDiscard());
    EXPECT_FALSE(state->undoDiscard());
    partial(QStringLiteral("second"));
    release();
    finalText(QStringLiteral("second"));
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("second")});
    // While processing the × is still "insert now", never a discard.
    press();
    partial(QStringLiteral("third"));
    release();
    EXPECT_FALSE(state->discardRecording());
    state->cancelCommitProcessing();
    settle();
    EXPECT_EQ(insertedTexts(), (QStringList{QStringLiteral("second"), QStringLiteral("third")}));
}

// ---- polish race ----

TEST_F(AppStateTest, PolishAnsweringInTimeIsCommittedWithDictionaryApplied) {
    addDictionaryEntry(QStringLiteral("quill"), QStringLiteral("Quillory"));
    state->setAiPolishEnabled(true);
    polish->delay = seconds(2);
    polish->transform = [](const QString& t) { return QStringLiteral(" %1 quill ").arg(t); };
    QSignalSpy inProgress(state.get(), &AppState::aiPolishInProgressChanged);
    dictate({QStringLiteral("hello")}, QStringLiteral("hello"));
    EXPECT_TRUE(state->aiPolishInProgress());
    advance(2);
    EXPECT_FALSE(state->aiPolishInProgress());
    EXPECT_EQ(inProgress.count(), 2);
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("hello Quillory")});
    EXPECT_EQ(polish->lastInstructions, PolishSettings::prompt());
    EXPECT_EQ(polish->lastModel, PolishSettings::selectedModel());
    EXPECT_EQ(lines({"stage=start", "stage=polish_done", "polish_task"}),
              (QStringList{"stage=start session=1 sink=focusedApplication text_len=5 polish_enabled=true "
                           "overall_timeout_s=45",
                           "stage=polish_done session=1 result=committed len=14 elapsed_ms=2000"}));
    EXPECT_EQ(polish->stopCount, 0);
    advance(60); // no late timeout line
    EXPECT_TRUE(lines({"polish_task"}).isEmpty());
}

TEST_F(AppStateTest, PolishFallbacksKeepTheWordsAndStopTheServer) {
    addDictionaryEntry(QStringLiteral("colour"), QStringLiteral("color"));
    state->setAiPolishEnabled(true);

    // Hangs: the 35 s limit decides.
    polish->delay = seconds(100);
    dictate({}, QStringLiteral("colour me"));
    advance(34.9);
    EXPECT_TRUE(input->commits.empty());
    advance(0.1);
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("color me")});
    EXPECT_EQ(lines({"polish_task", "stage=polish_done"}),
              (QStringList{"polish_task=timeout session=1", "polish_task=cancelled session=1",
                           "stage=polish_done session=1 result=fallback reason=timeout elapsed_ms=35000"}));
    EXPECT_EQ(polish->stopCount, 1);

    // Fails.
    polish->delay = {};
    polish->mode = FakePolish::Mode::fail;
    dictate({}, QStringLiteral("colour two"));
    EXPECT_EQ(insertedTexts().last(), QStringLiteral("color two"));
    EXPECT_EQ(lines({"polish_task=failed session=2", "stage=polish_done session=2"}),
              (QStringList{"polish_task=failed session=2 reason=" + L("polish.error.empty_output"),
                           "stage=polish_done session=2 result=fallback reason=polishFailed elapsed_ms=0"}));

    // The engine gives up with a cancellation.
    polish->mode = FakePolish::Mode::throwCancellation;
    dictate({}, QStringLiteral("colour three"));
    EXPECT_EQ(insertedTexts().last(), QStringLiteral("color three"));
    EXPECT_EQ(
        lines({"polish_task=cancelled session=3", "stage=polish_done session=3"}),
        (QStringList{"polish_task=cancelled session=3",
                     "stage=polish_done session=3 result=fallback reason=polishCancelled elapsed_ms=0"}));

    // The user stops the commit: seen at the next 200 ms poll.
    polish->mode = FakePolish::Mode::answer;
    polish->delay = seconds(10);
    dictate({}, QStringLiteral("colour four"));
    advance(1.0);
    AppStateTestAccess::requestCommitStop(*state);
    advance(0.2);
    EXPECT_EQ(insertedTexts().last(), QStringLiteral("color four"));
    EXPECT_EQ(
        lines({"polish_task=user_cancel session=4", "stage=polish_done session=4"}),
        (QStringList{"polish_task=user_cancel session=4",
                     "stage=polish_done session=4 result=fallback reason=userCancelled elapsed_ms=1200"}));
    EXPECT_EQ(polish->stopCount, 4);
    EXPECT_EQ(input->commits.size(), 4u);

    // A polished text that comes back blank ends the session without inserting.
    polish->delay = {};
    polish->transform = [](const QString&) { return QStringLiteral("  \n"); };
    dictate({}, QStringLiteral("colour five"));
    EXPECT_EQ(state->status(), AppStatus::idle());
    EXPECT_EQ(input->commits.size(), 4u);
    EXPECT_EQ(lines({"stage=polish_done session=5", "stage=end session=5"}),
              (QStringList{"stage=polish_done session=5 result=committed len=0 elapsed_ms=0",
                           "stage=end session=5 result=empty_after_polish total_ms=0"}));
}

TEST_F(AppStateTest, UserCancelDuringPolishInsertsTheUnpolishedTextAtOnce) {
    state->setAiPolishEnabled(true);
    polish->delay = seconds(30);
    dictate({}, QStringLiteral("keep my words"));
    advance(3);
    state->cancelCommitProcessing();
    settle();
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("keep my words")});
    EXPECT_EQ(state->status(), AppStatus::idle());
    const QStringList l = lines({"user_cancel", "stage=polish_done"});
    ASSERT_EQ(l.size(), 2);
    EXPECT_EQ(l[0], "user_cancel=requested session=1 commit_started=true");
    EXPECT_TRUE(l[1].startsWith("stage=polish_done session=1 result=fallback reason="));
    EXPECT_EQ(polish->stopCount, 1);
}

// ---- insertion ----

TEST_F(AppStateTest, InsertionFailuresEndInErrorUntilDismissed) {
    input->throwInputError = InputError::injectionFailed();
    dictate({}, QStringLiteral("one"));
    // The words are kept in a file of the user's, and the message says where.
    const QString kept = " " + Localization::format("input.kept_in_file", UndeliveredWords::filePath());
    EXPECT_EQ(state->status(), AppStatus::error(L("input.error.inject") + kept));
    EXPECT_EQ(lines().last(), "stage=end session=1 result=inject_failed reason=" + L("input.error.inject") +
                                  " inject_ms=0 total_ms=0");
    press(); // error blocks a new session
    EXPECT_EQ(state->dictationSessionNonce(), 1u);
    state->dismissError();
    settle();
    EXPECT_EQ(state->status(), AppStatus::idle());

    // Slower than 8 s: the insertion limit decides.
    input->throwInputError.reset();
    input->delay = seconds(10);
    dictate({}, QStringLiteral("two"));
    advance(7.9);
    EXPECT_EQ(state->status(), AppStatus::processing());
    advance(0.1);
    EXPECT_EQ(state->status(), AppStatus::error(L("error.commit_timeout")));
    EXPECT_EQ(lines({"inject_task", "stage=end session=2"}),
              (QStringList{"inject_task=timeout session=2",
                           "stage=end session=2 result=inject_failed reason=" + L("error.commit_timeout") +
                               " inject_ms=8000 total_ms=8000"}));
    EXPECT_TRUE(input->commits.empty());
    state->dismissError();

    // A backend that throws something unexpected.
    input->delay = {};
    input->throwOther = true;
    dictate({}, QStringLiteral("three"));
    EXPECT_EQ(state->status(), AppStatus::error(QStringLiteral("paste backend crashed") + kept));
    // Only the words of the failures: the timed-out paste may still land.
    QFile file(UndeliveredWords::filePath());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString contents = QString::fromUtf8(file.readAll());
    EXPECT_TRUE(contents.contains("\none\n")) << contents.toStdString();
    EXPECT_TRUE(contents.contains("\nthree\n"));
    EXPECT_FALSE(contents.contains("two"));
    EXPECT_EQ(QFile::permissions(UndeliveredWords::filePath()) & (QFile::ReadGroup | QFile::ReadOther), 0);
}

TEST_F(AppStateTest, WordsWithoutAPasteKeyStayOnTheClipboardAndTheMessageSaysSo) {
    // A Wayland desktop whose paste path does not work: the input engine left the words on the
    // clipboard, so the message says that, and nothing more is written.
    input->throwInputError = InputError::leftOnClipboard();
    dictate({}, QStringLiteral("words"));
    EXPECT_EQ(state->status(), AppStatus::error(L("input.error.on_clipboard")));
    EXPECT_FALSE(QFile::exists(UndeliveredWords::filePath()));
}

TEST_F(AppStateTest, WordsThatCannotBeKeptStillEndInTheInsertionError) {
    // The data folder cannot be made: the error is shown as before, nothing crashes.
    QFile blocker(QFileInfo(UndeliveredWords::filePath()).path());
    QDir().mkpath(QFileInfo(blocker.fileName()).path());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
    blocker.close();
    input->throwInputError = InputError::injectionFailed();
    dictate({}, QStringLiteral("one"));
    EXPECT_EQ(state->status(), AppStatus::error(L("input.error.inject")));
}

// ---- watchdogs ----

TEST_F(AppStateTest, SpeechCompletionWatchdog) {
    // No final result: after 8 s the partial text is committed. (A final in time cancels it:
    // AWatchdogOfAnEndedSessionNeverActsOnTheNextOne.)
    press();
    partial(QStringLiteral("hello"));
    release();
    const int cleanups = speech->cleanupCount;
    advance(7.9);
    EXPECT_TRUE(input->commits.empty());
    advance(0.1);
    EXPECT_EQ(
        lines({"stage=stop_watchdog"}),
        QStringList{
            "stage=stop_watchdog_triggered session=1 reason=speech_completion_timeout accumulated_len=5"});
    EXPECT_EQ(speech->cleanupCount, cleanups + 1);
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("hello")});
    EXPECT_EQ(state->status(), AppStatus::idle());
    // The dropped recogniser answers late: nothing more is pasted.
    speech->completeText(QStringLiteral("hello again"));
    settle();
    EXPECT_EQ(input->commits.size(), 1u);

    // No text at all: error.
    press();
    release();
    advance(8);
    EXPECT_EQ(
        lines({"stage=stop_watchdog"}).mid(1),
        (QStringList{
            "stage=stop_watchdog_triggered session=2 reason=speech_completion_timeout accumulated_len=0",
            "stage=stop_watchdog_no_text session=2 reason=speech_completion_timeout"}));
    EXPECT_EQ(state->status(), AppStatus::error(L("error.commit_timeout")));
}

TEST_F(AppStateTest, ShortPressesEndWithoutLeavingTheMicrophoneOpen) {
    // Released before the attach task ran: no capture starts, the session ends at once.
    state->handleHotkeyPress();
    state->handleHotkeyRelease();
    EXPECT_EQ(state->status(), AppStatus::processing());
    settle();
    EXPECT_EQ(speech->startCount, 0);
    EXPECT_EQ(state->status(), AppStatus::idle());
    EXPECT_TRUE(lines({"stage=stop_watchdog"}).isEmpty());

    // Released while capture was starting: the audio is ended as soon as capture runs.
    speech->startDelay = seconds(1);
    press();
    release();
    EXPECT_EQ(state->status(), AppStatus::processing());
    advance(1);
    EXPECT_TRUE(state->speechCaptureReady());
    EXPECT_FALSE(speech->capturing());
    EXPECT_EQ(speech->stopCount, 3); // the first press's release, this release, and at once
    advance(7);
    EXPECT_EQ(state->status(), AppStatus::error(L("error.commit_timeout")));
}

TEST_F(AppStateTest, AWatchdogOfAnEndedSessionNeverActsOnTheNextOne) {
    // Session 1 stops; its final result comes after 3 s. Session 2 stops at 5 s and never gets
    // one: only its own watchdog (at 13 s) finalises it, not session 1's (which was due at 8 s).
    press();
    partial(QStringLiteral("first"));
    release();
    advance(3);
    finalText(QStringLiteral("first"));
    advance(2);
    press();
    partial(QStringLiteral("second"));
    release();
    advance(7.9);
    EXPECT_EQ(state->status(), AppStatus::processing());
    EXPECT_TRUE(lines({"stage=stop_watchdog"}).isEmpty());
    advance(0.1);
    EXPECT_EQ(
        lines({"stage=stop_watchdog"}),
        QStringList{
            "stage=stop_watchdog_triggered session=2 reason=speech_completion_timeout accumulated_len=6"});
    EXPECT_EQ(insertedTexts(), (QStringList{QStringLiteral("first"), QStringLiteral("second")}));
}

TEST_F(AppStateTest, CommitWatchdogDiscardsAHangingCommit) {
    state->setAiPolishEnabled(true);
    polish->delay = seconds(50);
    polish->honorCancel = false; // an engine that does not give up
    dictate({}, QStringLiteral("lost words"));
    advance(44.9);
    EXPECT_EQ(state->status(), AppStatus::processing());
    advance(0.1);
    EXPECT_EQ(state->status(), AppStatus::error(L("error.commit_timeout")));
    EXPECT_EQ(lines({"watchdog="}), QStringList{"watchdog=triggered session=1 total_ms=45000"});
    EXPECT_TRUE(state->userRequestedCommitStop());
    advance(10);
    EXPECT_TRUE(input->commits.empty()); // discarded, not pasted after the error
    EXPECT_EQ(state->status(), AppStatus::error(L("error.commit_timeout")));
    EXPECT_TRUE(lines().last().startsWith("stage=end session=1 result=abandoned"));
}

TEST_F(AppStateTest, AStaleCommitOfSessionFourNeverTouchesSessionFive) {
    for (int i = 0; i < 3; ++i) {
        dictate({}, QStringLiteral("warm up"));
    }
    input->delay = seconds(60);
    input->honorCancel = false; // an insertion that has started cannot be stopped
    dictate({}, QStringLiteral("slow"));
    advance(45);
    EXPECT_EQ(lines({"watchdog="}), QStringList{"watchdog=triggered session=4 total_ms=45000"});
    state->dismissError();
    input->delay = {};
    press();
    EXPECT_EQ(state->dictationSessionNonce(), 5u);
    partial(QStringLiteral("fresh"));
    advance(20); // session 4's insertion ends now
    EXPECT_TRUE(state->isRecording());
    EXPECT_EQ(state->partialText(), QStringLiteral("fresh"));
    release();
    finalText(QStringLiteral("fresh"));
    ASSERT_EQ(input->commits.size(), 5u);
    EXPECT_EQ(input->commits[3].session, 4u);
    EXPECT_EQ(input->commits[4].session, 5u);
    EXPECT_EQ(input->commits[4].text, QStringLiteral("fresh"));
    EXPECT_EQ(state->status(), AppStatus::idle());
}

// ---- premature ends, reconnects, circuit breaker ----

TEST_F(AppStateTest, PrematureSuccessClosesTheSegmentAndReattaches) {
    press();
    partial(u(u"こんに"));
    finalText(u(u"こんにちは"));
    EXPECT_TRUE(state->isRecording());
    EXPECT_EQ(state->dictationAccumulator().finalizedSegments, std::vector<QString>{u(u"こんにちは")});
    EXPECT_EQ(state->dictationAccumulator().currentHypothesis, QString());
    EXPECT_EQ(speech->startCount, 2);
    EXPECT_EQ(lines().first(), "stage=stop_complete_received session=1 status=recording accumulated_len=3 "
                               "result=success(len=5)");
    partial(u(u"元気です"));
    EXPECT_EQ(state->partialText(), u(u"こんにちは\n元気です"));
    release();
    finalText(u(u"元気です"));
    EXPECT_EQ(insertedTexts(), QStringList{u(u"こんにちは\n元気です")});
}

TEST_F(AppStateTest, CircuitBreakerTripsOnTheThirdFailureWithinFiveSecondsAfterCommittingTheWords) {
    press();
    partial(QStringLiteral("words"));
    const auto glitch = SpeechError::recognitionFailed(QStringLiteral("network glitch"));
    fail(glitch);
    advance(2);
    fail(glitch);
    EXPECT_EQ(speech->startCount, 3);
    EXPECT_TRUE(state->isRecording());
    advance(2);
    fail(glitch);
    EXPECT_EQ(state->status(), AppStatus::error(QStringLiteral("network glitch")));
    EXPECT_EQ(lines({"stage=stop_complete_received"}).first(),
              "stage=stop_complete_received session=1 status=recording accumulated_len=5 "
              "result=failure(network glitch)");
    EXPECT_EQ(
        lines({"recognition_failure"}),
        QStringList{
            "recognition_failure_circuit_breaker session=1 attempts=3 window_s=5.0 error=network glitch"});
    // What was said before the failures is pasted first; then the error is shown.
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("words")});
    EXPECT_EQ(lines({"stage=commit_before_error"}),
              QStringList{"stage=commit_before_error session=1 accumulated_len=5 error=network glitch"});
    EXPECT_EQ(state->partialText(), QString());
    EXPECT_TRUE(state->dictationAccumulator().isEmpty());

    // With nothing said, the breaker only shows the error.
    state->dismissError();
    settle();
    press();
    fail(glitch);
    fail(glitch);
    fail(glitch);
    EXPECT_EQ(state->status(), AppStatus::error(QStringLiteral("network glitch")));
    EXPECT_EQ(input->commits.size(), 1u);
}

TEST_F(AppStateTest, TheBreakerCountsOnlyFailuresWithinFiveSecondsAndSinceTheLastCleanEnd) {
    press();
    const auto glitch = SpeechError::recognitionFailed(QStringLiteral("network glitch"));
    fail(glitch);
    advance(2.5);
    fail(glitch);
    advance(2.5); // exactly 5.0 s after the first
    fail(glitch);
    EXPECT_TRUE(state->isRecording());
    EXPECT_EQ(state->recentRecognitionFailureCount(), 2u);
    EXPECT_EQ(speech->startCount, 4);

    finalText(QStringLiteral("a sentence")); // a clean end in between: the count starts again
    EXPECT_EQ(state->recentRecognitionFailureCount(), 0u);
    advance(1);
    fail(glitch);
    advance(1);
    fail(glitch); // four failures within 5 s, but only two since the success
    EXPECT_TRUE(state->isRecording());
    EXPECT_EQ(state->recentRecognitionFailureCount(), 2u);
    advance(1);
    fail(glitch);
    EXPECT_EQ(state->status(), AppStatus::error(QStringLiteral("network glitch")));
}

TEST_F(AppStateTest, UnrecoverableFailureCommitsWhatWasSettledThenShowsTheError) {
    press();
    partial(QStringLiteral("first"));
    finalText(QStringLiteral("first sentence.")); // a recogniser break: settled, reattached
    partial(QStringLiteral("second"));
    fail(SpeechError::recognitionFailed(QStringLiteral("Siri and Dictation are disabled")));
    EXPECT_EQ(state->status(), AppStatus::error(L("error.dictation_disabled")));
    EXPECT_EQ(lines({"recognition_unrecoverable"}),
              QStringList{"recognition_unrecoverable session=1 error=" + L("error.dictation_disabled")});
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("first sentence.\nsecond")});
    EXPECT_FALSE(speech->running());

    // Nothing said: the abort shows the error alone.
    state->dismissError();
    settle();
    press();
    fail(SpeechError::recognitionFailed(QStringLiteral("Siri and Dictation are disabled")));
    EXPECT_EQ(state->status(), AppStatus::error(L("error.dictation_disabled")));
    EXPECT_EQ(input->commits.size(), 1u);
}

TEST_F(AppStateTest, AudioEngineFailureCommitsWhatWasSaidThenShowsTheError) {
    press();
    partial(QStringLiteral("half a sentence"));
    fail(SpeechError::audioEngineFailed(QStringLiteral("device unplugged")));
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("half a sentence")});
    // The words are in, and the user learns why the dictation stopped.
    EXPECT_EQ(state->status(), AppStatus::error(QStringLiteral("device unplugged")));
    state->dismissError();
    settle();

    press();
    fail(SpeechError::audioEngineFailed(QStringLiteral("device unplugged")));
    EXPECT_EQ(state->status(), AppStatus::error(QStringLiteral("device unplugged")));
}

TEST_F(AppStateTest, FailedStartsShowTheirError) {
    speech->failStartWith = SpeechError::recognizerUnavailable();
    press();
    EXPECT_EQ(state->status(), AppStatus::error(L("speech.error.recognizer")));
    EXPECT_EQ(lines({"recognition_unrecoverable"}).size(), 1);
    state->dismissError();

    // A recoverable failure at every attach: reconnects until the breaker trips.
    speech->failStartWith = SpeechError::recognitionFailed(QStringLiteral("model crashed"));
    press();
    EXPECT_EQ(state->status(), AppStatus::error(QStringLiteral("model crashed")));
    EXPECT_EQ(speech->startCount, 4);
    state->dismissError();

    // A backend that throws.
    speech->failStartWith.reset();
    speech->startThrows = true;
    press();
    EXPECT_EQ(state->status(), AppStatus::error(QStringLiteral("capture backend crashed")));
    EXPECT_EQ(lines().last(), "stage=backend_error session=3 where=start reason=capture backend crashed");
}

// ---- late arrivals ----

TEST_F(AppStateTest, CallbacksOfAnEndedSessionNeverReachTheNextOne) {
    press();
    partial(QStringLiteral("first"));
    release();
    const auto old = speech->attaches.back();
    state->cancelCommitProcessing();
    settle();
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("first")});

    press();
    partial(QStringLiteral("second"));
    old.onComplete(SpeechResult::success(QStringLiteral("first, finally")));
    old.onPartial(QStringLiteral("stale words"));
    old.onVoice(true);
    settle();
    EXPECT_TRUE(state->isRecording());
    EXPECT_EQ(state->partialText(), QStringLiteral("second"));
    EXPECT_FALSE(state->voiceInputDetected());
    EXPECT_EQ(input->commits.size(), 1u);
    release();
    finalText(QStringLiteral("second"));
    EXPECT_EQ(insertedTexts(), (QStringList{QStringLiteral("first"), QStringLiteral("second")}));
}

TEST_F(AppStateTest, VoiceActivityFollowsTheRecogniserAndClearsOnStop) {
    press();
    speech->voice(true);
    settle();
    EXPECT_TRUE(state->voiceInputDetected());
    release();
    EXPECT_FALSE(state->voiceInputDetected());
    speech->voice(true); // the meter still ticks while the recogniser drains
    settle();
    EXPECT_FALSE(state->voiceInputDetected());
    advance(8); // forced finalisation
    EXPECT_FALSE(state->voiceInputDetected());
}

// ---- a slow final, a silent recogniser, and whose words are pasted ----

TEST_F(AppStateTest, AFinalThatTakesTwelveSecondsOfSteadyProgressKeepsEveryWord) {
    speech->wholeSessionPartials = true;
    press();
    partial(u(u"一文目。"));
    release();
    EXPECT_TRUE(state->awaitingRecognition());
    // The recogniser settles a segment every second for 12 s, far past the 8 s limit.
    QString confirmed = u(u"一文目。");
    for (int i = 1; i <= 12; ++i) {
        advance(1);
        confirmed += QString::number(i);
        speech->progress(confirmed);
        settle();
        ASSERT_EQ(state->status(), AppStatus::processing()) << i;
    }
    finalText(u(u"一文目。二文目。三文目。"));
    EXPECT_EQ(insertedTexts(), QStringList{u(u"一文目。二文目。三文目。")});
    EXPECT_TRUE(lines({"stage=stop_watchdog"}).isEmpty());
    EXPECT_EQ(state->status(), AppStatus::idle());
    EXPECT_FALSE(state->awaitingRecognition());
}

TEST_F(AppStateTest, ASilentRecogniserIsEndedEightSecondsAfterItsLastProgressWithTheTextItConfirmed) {
    speech->wholeSessionPartials = true;
    press();
    // The live text runs ahead of what the selected model has settled.
    speech->progress(u(u"一文目。"));
    partial(u(u"一文目。にぶんめ"));
    release();
    advance(4);
    speech->progress(u(u"一文目。二文目。")); // a decode step with a settled segment
    settle();
    advance(7.9); // 11.9 s after the stop, 7.9 s without progress
    EXPECT_EQ(state->status(), AppStatus::processing());
    EXPECT_TRUE(input->commits.empty());
    advance(0.1);
    EXPECT_EQ(lines({"stage=stop_watchdog_triggered"}).size(), 1u);
    // The selected model's words, never the live text in their place.
    EXPECT_EQ(insertedTexts(), QStringList{u(u"一文目。二文目。")});
    EXPECT_EQ(lines({"stage=live_text_dropped"}),
              QStringList{"stage=live_text_dropped session=1 live_len=8 reason=speech_completion_timeout"});

    // A selected model that confirmed nothing before it went silent: the live text is what there
    // is, and the log says so.
    press();
    partial(u(u"ライブ"));
    speech->progress(QString());
    settle();
    release();
    advance(8);
    EXPECT_EQ(insertedTexts().last(), u(u"ライブ"));
    EXPECT_EQ(lines({"stage=live_text_used"}),
              QStringList{"stage=live_text_used session=2 live_len=3 reason=speech_completion_timeout"});
}

TEST_F(AppStateTest, AnEncoderPassLongerThanTheLimitIsWaitedForButASilenceBeyondWhatItMayTakeIsNot) {
    using std::chrono::milliseconds;
    speech->wholeSessionPartials = true;
    // The release comes as a decode's encoder pass begins, which may take 40 s and reports
    // nothing meanwhile: the final after 30 s of silence is pasted whole.
    press();
    speech->progress(u(u"一文目。"));
    partial(u(u"一文目。にぶんめ"));
    speech->progress(std::nullopt, milliseconds(40000));
    settle();
    release();
    advance(30);
    EXPECT_EQ(state->status(), AppStatus::processing());
    EXPECT_TRUE(lines({"stage=stop_watchdog"}).isEmpty());
    finalText(u(u"一文目。二文目。"));
    EXPECT_EQ(insertedTexts(), QStringList{u(u"一文目。二文目。")});

    // An encoder pass announced for 20 s that never ends: the limit is the 20 s, counted from the
    // announcement.
    press();
    speech->progress(u(u"三文目。"));
    partial(u(u"三文目。"));
    release();
    advance(2);
    speech->progress(std::nullopt, milliseconds(20000));
    settle();
    advance(19.9);
    EXPECT_EQ(state->status(), AppStatus::processing());
    advance(0.1);
    EXPECT_EQ(lines({"stage=stop_watchdog_triggered"}).size(), 1u);
    EXPECT_EQ(insertedTexts().last(), u(u"三文目。"));

    // After the pass, the decoder's own steps bring back the usual limit.
    press();
    speech->progress(u(u"四文目。"));
    partial(u(u"四文目。"));
    release();
    speech->progress(std::nullopt, milliseconds(60000));
    settle();
    advance(1);
    speech->progress();
    settle();
    advance(7.9);
    EXPECT_EQ(state->status(), AppStatus::processing());
    advance(0.1);
    EXPECT_EQ(lines({"stage=stop_watchdog_triggered"}).size(), 2u);
}

TEST_F(AppStateTest, AnEmptyFinalPastesNothingOfTheLiveTextButAFailedOnePastesItLogged) {
    speech->wholeSessionPartials = true;
    // Noise: the live-text model guessed words, the selected model heard none.
    press();
    partial(u(u"ご視聴ありがとうございました"));
    release();
    finalText(QString());
    EXPECT_TRUE(input->commits.empty());
    EXPECT_EQ(state->status(), AppStatus::idle());
    EXPECT_EQ(lines({"stage=live_text_dropped"}),
              QStringList{"stage=live_text_dropped session=1 live_len=14 reason=final_empty"});

    // The same on a recogniser break while recording: the empty final closes nothing.
    press();
    partial(u(u"雑音"));
    finalText(QString());
    partial(u(u"本文"));
    release();
    finalText(u(u"本文"));
    EXPECT_EQ(insertedTexts(), QStringList{u(u"本文")});

    // The selected model failed outright: the live text is pasted, and logged as such.
    press();
    partial(u(u"途中まで"));
    release();
    fail(SpeechError::recognitionFailed(QStringLiteral("the decoder failed")));
    EXPECT_EQ(insertedTexts().last(), u(u"途中まで"));
    EXPECT_EQ(lines({"stage=live_text_used"}),
              QStringList{"stage=live_text_used session=3 live_len=4 reason=recognition_failed"});
}

} // namespace
} // namespace quillory::testing
