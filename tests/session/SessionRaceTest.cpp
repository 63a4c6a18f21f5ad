// Races between recogniser starts that suspend, reconnects, the user's controls and the commit.

#include "SessionTestSupport.h"

#include <deque>

namespace quillory::testing {
namespace {

using StartPlan = FakeSpeechService::StartPlan;

class SessionRaceTest : public SessionTest {
protected:
    /// The plans of the next attaches, in order; later attaches start at once and succeed.
    void planAttaches(std::vector<StartPlan> plans) {
        queued_.assign(plans.begin(), plans.end());
        speech->plan = [this] {
            if (queued_.empty()) {
                return StartPlan{};
            }
            StartPlan p = queued_.front();
            queued_.pop_front();
            return p;
        };
    }
    static StartPlan failing(Duration delay = {}) {
        return StartPlan{delay, SpeechError::recognitionFailed(QStringLiteral("model reloading")), false};
    }
    static StartPlan slow(Duration delay) { return StartPlan{delay, std::nullopt, false}; }

private:
    std::deque<StartPlan> queued_;
};

// ---- reconnects ----

TEST_F(SessionRaceTest, AFailedReattachThatIsFollowedByAGoodOneKeepsRecording) {
    for (const Duration secondDelay : {Duration{}, seconds(1)}) {
        SCOPED_TRACE(wholeMilliseconds(secondDelay));
        press();
        partial(QStringLiteral("before"));
        // The recogniser ends on its own; the first reattach fails, the next one works (at once,
        // or after loading for a second).
        planAttaches({failing(), slow(secondDelay)});
        finalText(QStringLiteral("before"));
        advance(1);
        EXPECT_TRUE(state->isRecording());
        EXPECT_TRUE(speech->capturing());
        EXPECT_TRUE(input->commits.empty()) << "pasted in the middle of the dictation";
        partial(QStringLiteral("after"));
        EXPECT_EQ(state->partialText(), QStringLiteral("before\nafter"));
        release();
        finalText(QStringLiteral("after"));
        ASSERT_EQ(input->commits.size(), 1u);
        EXPECT_EQ(input->commits[0].text, QStringLiteral("before\nafter"));
        EXPECT_EQ(state->status(), AppStatus::idle());
        input->commits.clear();
    }
}

TEST_F(SessionRaceTest, RecordingOriginsSurviveAReconnect) {
    // The first attach fails and the reconnect works: the voice test's push-to-talk still stops
    // its session.
    planAttaches({failing()});
    state->voiceTestPushDown();
    settle();
    EXPECT_TRUE(state->isRecording());
    EXPECT_EQ(speech->startCount, 2);
    EXPECT_EQ(state->voiceTestRecordingOrigin(), VoiceTestRecordingOrigin::pushToTalk);
    partial(QStringLiteral("test words"));
    state->voiceTestPushUp();
    EXPECT_EQ(state->status(), AppStatus::processing());
    finalText(QString());
    EXPECT_EQ(state->voiceTestFieldText(), QStringLiteral("test words"));
    EXPECT_EQ(state->voiceTestRecordingOrigin(), std::nullopt);

    // The voice test toggle still cannot stop a push-to-talk hotkey recording after a reconnect.
    planAttaches({failing()});
    press();
    EXPECT_EQ(state->focusedAppRecordingOrigin(), FocusedAppVoiceRecordingOrigin::pushToTalkHotkey);
    state->toggleVoiceTestRecording();
    EXPECT_TRUE(state->isRecording());
    release();
    EXPECT_EQ(state->status(), AppStatus::processing());
}

// ---- a session that ends while its recogniser is starting ----

TEST_F(SessionRaceTest, AnAttachThatReturnsAfterItsSessionEndedTearsItsCaptureDown) {
    // The completion watchdog ends the session while the recogniser still loads.
    planAttaches({slow(seconds(10))});
    press();
    release();
    advance(8);
    EXPECT_EQ(state->status(), AppStatus::error(L("error.commit_timeout")));
    // Dismissed, and a new session is asked for, while the first recogniser still loads.
    state->dismissError();
    press();
    EXPECT_EQ(speech->startCount, 1) << "a second start overlapped the first";
    advance(2);
    EXPECT_EQ(lines({"stage=attach_abandoned"}), QStringList{"stage=attach_abandoned session=1"});
    EXPECT_EQ(speech->startCount, 2);
    EXPECT_EQ(speech->overlappingStarts, 0);
    EXPECT_TRUE(state->isRecording());
    EXPECT_TRUE(speech->capturing()); // the new session's own capture
    release();
    EXPECT_FALSE(speech->capturing());
}

TEST_F(SessionRaceTest, CancelDuringAReattachCommitsAndLeavesNoCapture) {
    press();
    partial(QStringLiteral("kept"));
    planAttaches({slow(seconds(3))});
    finalText(QStringLiteral("kept")); // a recogniser break; the reattach loads for 3 s
    release();
    state->cancelCommitProcessing();
    settle();
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("kept")});
    EXPECT_EQ(state->status(), AppStatus::idle());
    advance(3);
    EXPECT_FALSE(speech->capturing());
    EXPECT_EQ(state->status(), AppStatus::idle());
    EXPECT_FALSE(state->speechCaptureReady());
}

TEST_F(SessionRaceTest, ABackendFailureEndsTheRecognitionWithTheSession) {
    press();
    partial(QStringLiteral("said so far"));
    const int cleanups = speech->cleanupCount;
    planAttaches({StartPlan{{}, std::nullopt, true}}); // the reattach throws
    finalText(QStringLiteral("said so far"));
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("said so far")});
    EXPECT_GT(speech->cleanupCount, cleanups);
    EXPECT_FALSE(input->commits[0].whileRecording);
    EXPECT_EQ(state->status(), AppStatus::idle());

    // Nothing said: the failure shows, and the recognition is torn down as well.
    planAttaches({StartPlan{seconds(1), std::nullopt, true}});
    press();
    advance(1);
    EXPECT_EQ(state->status(), AppStatus::error(QStringLiteral("capture backend crashed")));
    EXPECT_FALSE(speech->capturing());
    EXPECT_EQ(state->focusedAppRecordingOrigin(), std::nullopt);
}

TEST_F(SessionRaceTest, AnAudioFailureLeavesRecordingBeforeItsWordsArePasted) {
    press();
    partial(QStringLiteral("half"));
    speech->voice(true);
    settle();
    fail(SpeechError::audioEngineFailed(QStringLiteral("unplugged")));
    ASSERT_EQ(input->commits.size(), 1u);
    EXPECT_FALSE(input->commits[0].whileRecording);
    EXPECT_FALSE(state->voiceInputDetected());
    EXPECT_EQ(state->focusedAppRecordingOrigin(), std::nullopt);
}

TEST_F(SessionRaceTest, AStartThatFailsWithoutSayingWhyEndsTheSession) {
    StartPlan silent;
    silent.silent = true;
    planAttaches({silent});
    press();
    EXPECT_EQ(state->status(), AppStatus::idle());

    // After a recogniser break, the words so far are committed.
    press();
    partial(QStringLiteral("so far"));
    planAttaches({silent});
    finalText(QStringLiteral("so far"));
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("so far")});
    EXPECT_EQ(state->status(), AppStatus::idle());
}

// ---- errors the user sees ----

TEST_F(SessionRaceTest, ACancelledCommitShowsALocalisedMessageAndKeepsTheWatchdogs) {
    Localization::setLanguage(Localization::Language::Japanese);
    // The user cancels while a slow paste runs.
    input->delay = seconds(5);
    dictate({}, QStringLiteral("one"));
    advance(1);
    state->cancelCommitProcessing();
    settle();
    EXPECT_EQ(state->status(), AppStatus::error(L("error.cancelled")));
    EXPECT_NE(L("error.cancelled"), QStringLiteral("cancelled"));
    state->dismissError();
    settle();

    // The commit watchdog ends a paste that hangs: its message stays.
    state->setAiPolishEnabled(true);
    polish->delay = seconds(40); // an engine that gives up late: the paste starts at 40 s
    polish->honorCancel = false;
    input->delay = seconds(60); // and hangs
    input->honorCancel = false;
    dictate({}, QStringLiteral("two"));
    advance(45);
    EXPECT_EQ(state->status(), AppStatus::error(L("error.commit_timeout")));
    advance(60);
    EXPECT_EQ(state->status(), AppStatus::error(L("error.commit_timeout")));
}

TEST_F(SessionRaceTest, AFallbackStopsTheServerOnlyAfterTheOtherRacersWereCancelled) {
    state->setAiPolishEnabled(true);
    polish->delay = seconds(100);
    std::optional<bool> polishCancelledAtStop;
    polish->onStop = [&] { polishCancelledAtStop = polish->lastToken.isCancelled(); };
    dictate({}, QStringLiteral("words"));
    advance(35);
    EXPECT_EQ(polish->stopCount, 1);
    EXPECT_EQ(polishCancelledAtStop, true);
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("words")});
}

} // namespace
} // namespace quillory::testing
