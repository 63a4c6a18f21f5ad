#include "OverlayTestSupport.h"
#include "support/ScreenshotLanguages.h"
#include "UI/Settings/SettingsWidgets.h"

#include <QApplication>
#include <QDir>
#include <QMouseEvent>
#include <QTest>
#include <QLabel>
#include <QScrollArea>

namespace quillory::testing {
namespace {

class OverlayViewsTest : public OverlayTest {};

TEST_F(OverlayViewsTest, WaveformAnimatesOnlyWhileVoiceIsLiveAtMost24FramesASecond) {
    OverlayWaveform* wave = overlay->stripView()->waveform();
    press();
    EXPECT_FALSE(wave->isAnimating());
    const int still = wave->frameCount();
    advance(1.0);
    EXPECT_EQ(wave->frameCount(), still); // recording without voice: no frames at all
    EXPECT_EQ(wave->opacity(), 0.72);

    speech->voice(true);
    settle();
    ASSERT_TRUE(wave->isAnimating());
    const int start = wave->frameCount();
    std::set<double> scales;
    for (int i = 0; i < 40; ++i) {
        advance(0.05);
        scales.insert(wave->verticalScale());
        EXPECT_GE(wave->verticalScale(), 0.82);
        EXPECT_LE(wave->verticalScale(), 1.24);
        EXPECT_GE(wave->opacity(), 0.82);
        EXPECT_LE(wave->opacity(), 1.0);
    }
    const int frames = wave->frameCount() - start; // over 2 s
    EXPECT_LE(frames, 48);
    EXPECT_GE(frames, 46);
    EXPECT_GT(scales.size(), 10u); // it actually moves

    speech->voice(false);
    settle();
    EXPECT_FALSE(wave->isAnimating());
    const int stopped = wave->frameCount();
    advance(1.0);
    EXPECT_EQ(wave->frameCount(), stopped);

    // Processing never animates, even if the recogniser still reports voice.
    speech->voice(true);
    release();
    EXPECT_FALSE(wave->isAnimating());
    EXPECT_FALSE(wave->isVisibleTo(strip()));
}

TEST_F(OverlayViewsTest, PanelsNeverTakeFocusAndCarryTheirIdentifiers) {
    for (OverlayPanel* panel : {strip(), transcript()}) {
        const Qt::WindowFlags flags = panel->windowFlags();
        EXPECT_TRUE(flags.testFlag(Qt::Tool));
        EXPECT_TRUE(flags.testFlag(Qt::FramelessWindowHint));
        EXPECT_TRUE(flags.testFlag(Qt::WindowStaysOnTopHint));
        EXPECT_TRUE(flags.testFlag(Qt::WindowDoesNotAcceptFocus));
        EXPECT_TRUE(panel->testAttribute(Qt::WA_ShowWithoutActivating));
        EXPECT_TRUE(panel->testAttribute(Qt::WA_TranslucentBackground));
        for (QWidget* child : panel->findChildren<QWidget*>()) {
            EXPECT_EQ(child->focusPolicy(), Qt::NoFocus) << child->metaObject()->className();
        }
    }
    EXPECT_EQ(strip()->objectName(), "quillory.inputStatusPanel");
    EXPECT_EQ(transcript()->objectName(), "quillory.inputTranscriptPanel");
    press();
    overlay->toggleTranscriptPanel();
    EXPECT_EQ(QGuiApplication::focusWindow(), nullptr);
    EXPECT_EQ(QApplication::activeWindow(), nullptr);
}

TEST_F(OverlayViewsTest, DraggingTheBackgroundMovesTheStrip) {
    press();
    const QPoint start = strip()->pos();
    QWidget* text = overlay->stripView()->titleLabel();
    const QPoint inside = text->mapTo(strip(), text->rect().center());
    QTest::mousePress(strip(), Qt::LeftButton, {}, inside);
    QMouseEvent move(QEvent::MouseMove, QPointF(inside + QPoint(40, -25)),
                     QPointF(strip()->mapToGlobal(inside + QPoint(40, -25))), Qt::NoButton, Qt::LeftButton, {});
    QApplication::sendEvent(strip(), &move);
    QTest::mouseRelease(strip(), Qt::LeftButton, {}, inside + QPoint(40, -25));
    EXPECT_EQ(strip()->pos(), start + QPoint(40, -25));
    // A partial result afterwards leaves it where the user put it.
    partial(QStringLiteral("moved"));
    EXPECT_EQ(strip()->pos(), start + QPoint(40, -25));
}

TEST_F(OverlayViewsTest, TranscriptViewWrapsSelectableTextAndNamesItself) {
    press();
    partial(QStringLiteral("selectable words"));
    overlay->toggleTranscriptPanel();
    InputTranscriptPanelView* view = overlay->transcriptView();
    EXPECT_TRUE(view->bodyLabel()->wordWrap());
    EXPECT_TRUE(view->bodyLabel()->textInteractionFlags().testFlag(Qt::TextSelectableByMouse));
    EXPECT_EQ(view->scrollArea()->height(), 120);
    EXPECT_EQ(view->accessibleName(), L("overlay.transcript_title") + ": selectable words");
}

// Screenshots for review (not compared): the strip in each phase and the transcript panel, in
// both languages, under <build>/screenshots.
TEST_F(OverlayViewsTest, WritesScreenshotsInBothLanguages) {
    const QString dir = QStringLiteral(QUILLORY_SCREENSHOT_DIR);
    ASSERT_TRUE(QDir().mkpath(dir));
    applyPreferredUiFont();
    for (auto [language, suffix] : screenshotLanguages()) {
        Localization::setLanguage(language);
        const QString tag = QString::fromLatin1(suffix);
        auto save = [&](QWidget* w, const QString& name) {
            const QString file = dir + "/overlay-" + name + "-" + tag + ".png";
            EXPECT_TRUE(w->grab().save(file)) << file.toStdString();
        };
        state->setAiPolishEnabled(true);
        press();
        speech->voice(true);
        settle();
        save(strip(), "strip-recording");
        partial(language == Localization::Language::Japanese
                    ? u(u"今日は良い天気なので、午後から散歩に出かけようと思います。帰りに本屋に寄るつもりです。")
                    : QStringLiteral("The weather is lovely today, so I think I'll go for a walk this "
                                     "afternoon and stop at the bookshop on the way back."));
        overlay->toggleTranscriptPanel();
        settle();
        save(transcript(), "transcript");
        polish->delay = seconds(1);
        release();
        finalText(state->partialText());
        save(strip(), "strip-processing");
        advance(1.5);
        state->setAiPolishEnabled(false);
        permissions->mic = PermissionState::denied;
        press();
        save(strip(), "strip-error");
        state->dismissError();
        permissions->mic = PermissionState::authorized;
        settle();
    }
    Localization::setLanguage(Localization::Language::English);
}

} // namespace
} // namespace quillory::testing
