#include "OverlayTestSupport.h"

#include "UI/Overlay/OverlayGeometry.h"

#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>

namespace quillory::testing {
namespace {

// ---- the one coordinate conversion ----

TEST(OverlayGeometryTest, ConvertsUpwardCoordinatesOnAnOffsetScreen) {
    // A second screen right of a first one, with a 32 px panel at its bottom.
    const ScreenSpace space(QRect(1920, 100, 1280, 1024), QRect(1920, 100, 1280, 992));
    const UpRect visible = space.visibleFrame();
    EXPECT_EQ(visible, (UpRect{0, 32, 1280, 992}));
    const UpRect strip = OverlayLayout::stripDefault(visible);
    EXPECT_EQ(strip, (UpRect{640 - 154, 52, 308, 48}));
    // Qt: bottom edge 52 above the screen's bottom (100 + 1024).
    EXPECT_EQ(space.toQt(strip), QRect(1920 + 486, 100 + 1024 - 52 - 48, 308, 48));
    EXPECT_EQ(space.fromQt(space.toQt(strip)), strip);
    // Growing a frame upward keeps its Qt bottom edge.
    const QRect small = space.toQt(UpRect{10, 84, 420, 160});
    const QRect tall = space.toQt(UpRect{10, 84, 420, 300});
    EXPECT_EQ(small.y() + small.height(), tall.y() + tall.height());
    EXPECT_LT(tall.y(), small.y());
}

TEST(OverlayGeometryTest, TranscriptClampAndSanityBounds) {
    EXPECT_EQ(OverlayLayout::clampTranscriptHeight(10), 160);
    EXPECT_EQ(OverlayLayout::clampTranscriptHeight(333), 333);
    EXPECT_EQ(OverlayLayout::clampTranscriptHeight(5000), 460);
    EXPECT_EQ(OverlayLayout::clampTranscriptHeight(std::nan("")), 160);
    EXPECT_TRUE(OverlayLayout::stripIsSane(UpRect{0, 0, 308, 48}));    // midX 154
    EXPECT_FALSE(OverlayLayout::stripIsSane(UpRect{-74, 0, 308, 48})); // midX 80: not strictly above
    EXPECT_FALSE(OverlayLayout::stripIsSane(UpRect{100, 0, 39, 48}));  // too narrow
    EXPECT_FALSE(OverlayLayout::stripIsSane(UpRect{49900, 0, 308, 48}));
    EXPECT_EQ(OverlayLayout::transcriptAbove(UpRect{100, 20, 308, 48}, 200), (UpRect{254 - 210, 76, 420, 200}));
}

// ---- sync per status ----

class OverlayControllerTest : public OverlayTest {};

TEST_F(OverlayControllerTest, FollowsASessionThroughRecordingProcessingAndIdle) {
    EXPECT_FALSE(strip()->isVisible());
    EXPECT_FALSE(transcript()->isVisible());
    EXPECT_EQ(overlay->lastOverlayLayoutToken(), "idle-trfalse");

    press();
    EXPECT_TRUE(strip()->isVisible());
    EXPECT_EQ(strip()->geometry(), defaultStripRect());
    EXPECT_EQ(model().primaryTitle(), L("overlay.inputting"));
    EXPECT_TRUE(model().showsWaveformSlot());
    EXPECT_FALSE(model().waveformInputActive());
    EXPECT_FALSE(overlay->stripView()->cancelButton()->isVisibleTo(strip()));
    EXPECT_EQ(overlay->lastOverlayLayoutToken(), "rec-1-trfalse");

    speech->voice(true);
    settle();
    EXPECT_TRUE(model().waveformInputActive());
    EXPECT_TRUE(model().isLiveVoice());

    // The user drags the strip; a phase change re-fronts it where it is.
    strip()->move(30, 40);
    release();
    EXPECT_EQ(overlay->lastOverlayLayoutToken(), "proc-1-trfalse");
    EXPECT_EQ(model().primaryTitle(), L("overlay.processing_short"));
    // Until the recogniser's final arrives, the strip says what is awaited.
    EXPECT_EQ(model().pipelineCaption(), L("overlay.caption.recognising"));
    EXPECT_TRUE(model().isProcessingPhase());
    EXPECT_FALSE(model().showsWaveformSlot());
    EXPECT_FALSE(model().waveformInputActive());
    EXPECT_TRUE(overlay->stripView()->cancelButton()->isVisibleTo(strip()));
    EXPECT_TRUE(strip()->isVisible());
    EXPECT_EQ(strip()->pos(), QPoint(30, 40));

    finalText(QStringLiteral("done"));
    EXPECT_EQ(state->status(), AppStatus::idle());
    EXPECT_FALSE(strip()->isVisible());
    EXPECT_EQ(overlay->lastOverlayLayoutToken(), "idle-trfalse");
    EXPECT_TRUE(model().primaryTitle().isEmpty());
    EXPECT_FALSE(model().isProcessingPhase());

    // The next cycle starts from the default place again.
    press();
    EXPECT_EQ(overlay->lastOverlayLayoutToken(), "rec-2-trfalse");
    EXPECT_EQ(strip()->geometry(), defaultStripRect());
}

TEST_F(OverlayControllerTest, ErrorShowsTheMessageAndItsDismissReturnsToIdle) {
    permissions->mic = PermissionState::denied;
    press();
    ASSERT_EQ(state->status(), AppStatus::error(L("error.permissions")));
    EXPECT_EQ(overlay->lastOverlayLayoutToken(), "err-trfalse");
    EXPECT_TRUE(strip()->isVisible());
    EXPECT_EQ(model().primaryTitle(), L("overlay.error_banner"));
    EXPECT_EQ(model().pipelineCaption(), L("error.permissions"));
    EXPECT_FALSE(model().showsWaveformSlot());
    auto* strip = overlay->stripView();
    EXPECT_TRUE(strip->dismissButton()->isVisibleTo(overlay->statusPanel()));
    EXPECT_FALSE(strip->cancelButton()->isVisibleTo(overlay->statusPanel()));
    EXPECT_EQ(strip->captionLabel()->text(), L("error.permissions"));
    // A message longer than the strip is cut at the tail, on one line.
    overlay->statusPanel()->show();
    QCoreApplication::processEvents();
    EXPECT_TRUE(strip->captionLabel()->shownText().endsWith(QChar(0x2026)));
    EXPECT_LE(strip->captionLabel()->geometry().right(), strip->waveform()->parentWidget()->width());
    EXPECT_EQ(strip->accessibleName(), L("overlay.error_banner") + " " + L("error.permissions"));

    strip->dismissButton()->click();
    EXPECT_EQ(state->status(), AppStatus::idle());
    settle();
    EXPECT_FALSE(overlay->statusPanel()->isVisible());
    EXPECT_FALSE(overlay->transcriptPanel()->isVisible());
    EXPECT_TRUE(model().pipelineCaption().isEmpty());
    EXPECT_FALSE(model().showsErrorDismiss());
}

TEST_F(OverlayControllerTest, CancelButtonCommitsWhatWasRecognisedNow) {
    press();
    partial(QStringLiteral("half a sentence"));
    release();
    ASSERT_EQ(state->status(), AppStatus::processing());
    overlay->stripView()->cancelButton()->click();
    settle();
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("half a sentence")});
    EXPECT_EQ(state->status(), AppStatus::idle());
    EXPECT_FALSE(strip()->isVisible());
}

TEST_F(OverlayControllerTest, TheXWhileRecordingDiscardsAndTheStripOffersUndoForThreeSeconds) {
    press();
    partial(QStringLiteral("oops"));
    auto* view = overlay->stripView();
    ASSERT_TRUE(view->discardButton()->isVisibleTo(strip()));
    EXPECT_FALSE(view->cancelButton()->isVisibleTo(strip()));
    view->discardButton()->click();
    settle();
    EXPECT_EQ(state->status(), AppStatus::idle());
    EXPECT_TRUE(strip()->isVisible()) << "Discarded · Undo";
    EXPECT_EQ(model().primaryTitle(), L("overlay.discarded"));
    EXPECT_TRUE(view->undoButton()->isVisibleTo(strip()));
    EXPECT_FALSE(view->discardButton()->isVisibleTo(strip()));
    EXPECT_TRUE(insertedTexts().isEmpty());

    view->undoButton()->click();
    settle();
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("oops")});
    EXPECT_FALSE(strip()->isVisible());

    // Left alone, the offer goes away with its three seconds.
    press();
    partial(QStringLiteral("really gone"));
    view->discardButton()->click();
    settle();
    EXPECT_TRUE(strip()->isVisible());
    advance(3);
    settle();
    EXPECT_FALSE(strip()->isVisible());
    EXPECT_FALSE(model().showsUndo());
    EXPECT_EQ(insertedTexts().size(), 1);
}

TEST_F(OverlayControllerTest, AiBadgesFollowThePolishSettingAndTheRunningPolish) {
    state->setAiPolishEnabled(true);
    polish->delay = seconds(2);
    press();
    EXPECT_TRUE(model().aiPolishEnabled());
    EXPECT_TRUE(model().showAiFeatureBadge());
    EXPECT_TRUE(overlay->stripView()->aiBadge()->isVisibleTo(strip()));
    partial(QStringLiteral("polish me"));
    release();
    finalText(QStringLiteral("polish me"));
    ASSERT_TRUE(state->aiPolishInProgress());
    EXPECT_TRUE(model().showAiPolishPolishingBadge());
    EXPECT_TRUE(model().pipelineCaption().isEmpty()) << "the recogniser has answered";
    EXPECT_FALSE(model().showAiFeatureBadge()); // never both
    EXPECT_TRUE(overlay->stripView()->polishingBadge()->isVisibleTo(strip()));
    EXPECT_FALSE(overlay->stripView()->aiBadge()->isVisibleTo(strip()));
    EXPECT_EQ(overlay->stripView()->accessibleName(),
              L("overlay.processing_short") + " " + L("overlay.badge.polishing"));
    advance(2.5);
    EXPECT_EQ(state->status(), AppStatus::idle());
    EXPECT_FALSE(model().showAiPolishPolishingBadge());

    state->setAiPolishEnabled(false);
    settle();
    press();
    EXPECT_FALSE(model().showAiFeatureBadge());
}

TEST_F(OverlayControllerTest, StripComesToTheFrontOnlyWhenTheLayoutTokenChanges) {
    press();
    EXPECT_EQ(strip()->timesOrderedFront(), 1);
    partial(QStringLiteral("one"));
    speech->voice(true);
    settle();
    partial(QStringLiteral("one two"));
    EXPECT_EQ(strip()->timesOrderedFront(), 1); // same session, same token
    overlay->toggleTranscriptPanel();
    EXPECT_EQ(strip()->timesOrderedFront(), 1); // the toggle itself only fronts the transcript
    EXPECT_EQ(transcript()->timesOrderedFront(), 1);
    partial(QStringLiteral("one two three"));
    EXPECT_EQ(overlay->lastOverlayLayoutToken(), "rec-1-trtrue");
    EXPECT_EQ(strip()->timesOrderedFront(), 2); // the open state changed since the last token
    EXPECT_EQ(transcript()->timesOrderedFront(), 2);
    partial(QStringLiteral("one two three four"));
    EXPECT_EQ(strip()->timesOrderedFront(), 2);
    EXPECT_EQ(transcript()->timesOrderedFront(), 2); // only resized
    release();
    EXPECT_EQ(strip()->timesOrderedFront(), 3);
}

TEST_F(OverlayControllerTest, ChangesArrivingTogetherSyncOnce) {
    int titles = 0;
    QObject::connect(&model(), &InputStatusOverlayModel::changed, [&] { ++titles; });
    state->handleHotkeyPress();
    EXPECT_FALSE(strip()->isVisible()); // nothing until the main loop turns
    settle();
    EXPECT_TRUE(strip()->isVisible());
    const int afterPress = titles;
    overlay->sync(); // an equal projection notifies nobody
    EXPECT_EQ(titles, afterPress);
}

// ---- the transcript: scratchpad, docking and sizing ----

TEST_F(OverlayControllerTest, ScratchpadKeepsTheLastNonBlankTextAndANewSessionClearsIt) {
    press();
    partial(u(u"今日は"));
    partial(QStringLiteral("   \n"));
    partial(QString());
    EXPECT_EQ(overlay->transcriptScratchpad(), u(u"今日は"));
    overlay->toggleTranscriptPanel();
    EXPECT_EQ(model().transcriptBody(), u(u"今日は"));
    partial(u(u" 今日はいい天気"));
    EXPECT_EQ(model().transcriptBody(), u(u" 今日はいい天気")); // untrimmed
    overlay->sync(); // a repeated sync within the session keeps it
    EXPECT_EQ(model().transcriptBody(), u(u" 今日はいい天気"));

    // Closing empties the view; opening shows the scratchpad again.
    overlay->toggleTranscriptPanel();
    EXPECT_TRUE(model().transcriptBody().isEmpty());
    EXPECT_FALSE(transcript()->isVisible());
    overlay->toggleTranscriptPanel();
    EXPECT_EQ(model().transcriptBody(), u(u" 今日はいい天気"));
    EXPECT_TRUE(transcript()->isVisible());

    // Stop and start again while the first commit still runs? Not possible; a fresh session after
    // idle starts empty and the transcript is closed again.
    release();
    finalText(QStringLiteral("x"));
    EXPECT_FALSE(model().transcriptPanelOpen());
    EXPECT_FALSE(transcript()->isVisible());
    press();
    EXPECT_TRUE(overlay->transcriptScratchpad().isEmpty());
    overlay->toggleTranscriptPanel();
    EXPECT_TRUE(model().transcriptBody().isEmpty());
}

TEST_F(OverlayControllerTest, NewNonceWhileRecordingClearsTheTranscript) {
    // A controller that syncs only when told, so it never sees the idle state between sessions:
    // the new nonce alone must clear the old text.
    InputStatusOverlayController manual(*state);
    press();
    partial(QStringLiteral("first session"));
    manual.sync();
    manual.toggleTranscriptPanel();
    manual.sync();
    EXPECT_EQ(manual.model().transcriptBody(), "first session");
    release();
    finalText(QStringLiteral("first session"));
    press();
    ASSERT_EQ(state->dictationSessionNonce(), 2u);
    manual.sync();
    EXPECT_TRUE(manual.transcriptScratchpad().isEmpty());
    EXPECT_TRUE(manual.model().transcriptBody().isEmpty());
    EXPECT_EQ(manual.lastOverlayLayoutToken(), "rec-2-trtrue");
    partial(QStringLiteral("second"));
    manual.sync();
    EXPECT_EQ(manual.model().transcriptBody(), "second");
}

TEST_F(OverlayControllerTest, TranscriptDocksAboveTheStripAndGrowsUpwardWithinBounds) {
    press();
    partial(QStringLiteral("short"));
    overlay->toggleTranscriptPanel();
    ASSERT_TRUE(transcript()->isVisible());
    const QRect s = strip()->geometry();
    QRect t = transcript()->geometry();
    EXPECT_EQ(t.width(), 420);
    // A short text: the view's fitting height (its scroll area at the 120 minimum), within 160 … 460.
    const int shortHeight = overlay->transcriptView()->fittingHeight();
    EXPECT_EQ(t.height(), shortHeight);
    EXPECT_GE(shortHeight, 160);
    EXPECT_LT(shortHeight, 200);
    EXPECT_EQ(t.center().x(), s.center().x());
    EXPECT_EQ(t.y() + t.height() + 8, s.y()); // 8 above the strip
    EXPECT_EQ(overlay->lastOverlayLayoutToken(), "rec-1-trfalse"); // applied on the next sync
    settle();

    // The user drags the transcript; growing text keeps its bottom-left corner.
    transcript()->move(t.x() - 50, t.y() - 30);
    const QRect dragged = transcript()->geometry();
    QString longText;
    for (int i = 0; i < 12; ++i) {
        longText += QStringLiteral("A sentence that wraps in the transcript panel, number %1. ").arg(i);
    }
    partial(longText);
    t = transcript()->geometry();
    EXPECT_GT(t.height(), 160);
    EXPECT_EQ(t.x(), dragged.x());
    EXPECT_EQ(t.y() + t.height(), dragged.y() + dragged.height());

    // Far more text: the panel stops growing and the text scrolls inside.
    partial(longText.repeated(20));
    t = transcript()->geometry();
    EXPECT_LE(t.height(), 460);
    EXPECT_EQ(overlay->transcriptView()->scrollArea()->height(), 300);
    EXPECT_GT(overlay->transcriptView()->scrollArea()->verticalScrollBar()->maximum(), 0);
    EXPECT_EQ(t.y() + t.height(), dragged.y() + dragged.height());
    EXPECT_EQ(strip()->geometry(), s); // the strip never moved

    // Reopening docks it above the strip again.
    overlay->toggleTranscriptPanel();
    overlay->toggleTranscriptPanel();
    t = transcript()->geometry();
    EXPECT_EQ(t.y() + t.height() + 8, s.y());
    EXPECT_EQ(t.center().x(), s.center().x());
}

TEST_F(OverlayControllerTest, TranscriptFallsBackToTheBottomCentreWhenTheStripIsOffToTheLeft) {
    press();
    partial(QStringLiteral("text"));
    const QRect scr = screenRect();
    strip()->move(scr.x() + 80 - 154, strip()->y()); // centre exactly at 80: not accepted
    overlay->toggleTranscriptPanel();
    const QRect a = available();
    const QRect t = transcript()->geometry();
    EXPECT_EQ(t.size(), QSize(420, overlay->transcriptView()->fittingHeight()));
    EXPECT_EQ(t.x(), int(std::lround(a.x() + a.width() / 2.0 - 210)));
    EXPECT_EQ(t.y() + t.height(), a.y() + a.height() - 84);
}

} // namespace
} // namespace quillory::testing
