// The overlay on surfaces of its own (layer-shell on Wayland): the panels never become windows,
// the surfaces get the panels' pixels where the panels are and follow their changes, clicks on a
// surface reach the panel's buttons; and the choice falls back to the window, saying why.
#include "FakeOverlaySurfaces.h"
#include "OverlayTestSupport.h"

#include <QCoreApplication>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <QWindow>

namespace quillory::testing {
namespace {

class OverlaySurfaceTest : public OverlayTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        surfaces = std::make_shared<FakeOverlaySurfaces>();
        overlay = std::make_unique<InputStatusOverlayController>(*state, nullptr, nullptr, surfaces);
        overlay->startSyncingWithAppStateIfNeeded();
        stripLog = surfaces->log(InputStatusOverlayController::kInputStatusPanelIdentifier);
    }
    /// Runs the scheduler and Qt's posted events (the repaints the panels hand on).
    void settleAndPaint() {
        settle();
        QCoreApplication::sendPostedEvents();
        settle();
    }
    static bool hasOpaquePixels(const QImage& image) {
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                if (qAlpha(image.pixel(x, y)) > 0) return true;
            }
        }
        return false;
    }

    std::shared_ptr<FakeOverlaySurfaces> surfaces;
    std::shared_ptr<FakeOverlaySurfaceLog> stripLog;
};

TEST_F(OverlaySurfaceTest, PanelsAreNeverWindowsAndTheirSurfacesShowThemWhereTheyAreUntilTheyHide) {
    ASSERT_TRUE(stripLog);
    ASSERT_TRUE(surfaces->log(InputStatusOverlayController::kInputTranscriptPanelIdentifier));
    EXPECT_FALSE(stripLog->mapped);

    press();
    settleAndPaint();
    ASSERT_TRUE(strip()->isVisible());
    EXPECT_TRUE(strip()->testAttribute(Qt::WA_DontShowOnScreen));
    // Nothing of the panel reaches the window system: no native window is mapped.
    EXPECT_TRUE(!strip()->windowHandle() || !strip()->windowHandle()->isVisible());
    EXPECT_TRUE(stripLog->mapped);
    ASSERT_FALSE(stripLog->frames.empty());
    const auto& [first, at] = stripLog->frames.back();
    EXPECT_EQ(at, defaultStripRect().topLeft() - screenRect().topLeft());
    EXPECT_EQ(first.size(), defaultStripRect().size());
    EXPECT_TRUE(hasOpaquePixels(first)) << "the strip's pixels never reached its surface";

    // A change of the text is a new frame, a drag a new place.
    const size_t before = stripLog->frames.size();
    const QImage recording = stripLog->frames.back().first;
    release();
    settleAndPaint();
    ASSERT_GT(stripLog->frames.size(), before) << "processing never reached the surface";
    EXPECT_NE(stripLog->frames.back().first, recording);
    strip()->move(30, 40);
    EXPECT_EQ(stripLog->frames.back().second, QPoint(30, 40) - screenRect().topLeft());

    // Idle: the surface goes away.
    finalText(QStringLiteral("done"));
    settleAndPaint();
    EXPECT_FALSE(strip()->isVisible());
    EXPECT_FALSE(stripLog->mapped);
}

TEST_F(OverlaySurfaceTest, AClickOnTheSurfaceReachesTheStripsButton) {
    press();
    partial(QStringLiteral("half a sentence"));
    release();
    settleAndPaint();
    ASSERT_EQ(state->status(), AppStatus::processing());
    QToolButton* cancel = overlay->stripView()->cancelButton();
    ASSERT_TRUE(cancel->isVisibleTo(strip()));
    const QPoint centre = cancel->mapTo(strip(), cancel->rect().center());
    stripLog->click(centre);
    settle();
    EXPECT_EQ(insertedTexts(), QStringList{QStringLiteral("half a sentence")});
    EXPECT_EQ(state->status(), AppStatus::idle());
}

TEST_F(OverlaySurfaceTest, DraggingTheSurfaceMovesThePanel) {
    press();
    settleAndPaint();
    const QPoint start = strip()->pos();
    auto& send = *stripLog->pointer;
    using Kind = platform::OverlayPointerEvent::Kind;
    send({Kind::press, QPointF(4, 4), Qt::LeftButton, {}});
    send({Kind::motion, QPointF(4 + 50, 4 - 30), Qt::NoButton, {}});
    send({Kind::release, QPointF(4, 4), Qt::LeftButton, {}});
    EXPECT_EQ(strip()->pos(), start + QPoint(50, -30));
    EXPECT_EQ(stripLog->frames.back().second, start + QPoint(50, -30) - screenRect().topLeft());
}

TEST_F(OverlaySurfaceTest, TheWheelOnTheTranscriptSurfaceScrollsIt) {
    press();
    QString words;
    for (int i = 0; i < 80; ++i) {
        words += QStringLiteral("a long transcript line %1 ").arg(i);
    }
    partial(words);
    overlay->toggleTranscriptPanel();
    settleAndPaint();
    auto log = surfaces->log(InputStatusOverlayController::kInputTranscriptPanelIdentifier);
    ASSERT_TRUE(log && log->mapped);
    QScrollBar* bar = overlay->transcriptView()->scrollArea()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0) << "the transcript does not overflow";
    bar->setValue(bar->maximum());
    const int before = bar->value();
    const QPoint inside = overlay->transcriptView()->scrollArea()->viewport()->mapTo(
        transcript(), overlay->transcriptView()->scrollArea()->viewport()->rect().center());
    platform::OverlayPointerEvent wheel{platform::OverlayPointerEvent::Kind::wheel, QPointF(inside), Qt::NoButton, {}};
    wheel.angleDelta = QPoint(0, 120); // one notch away from the user: up
    (*log->pointer)(wheel);
    EXPECT_LT(bar->value(), before);
}

// ---- the choice ----

BackendChoice layerShellChoice() {
    return BackendChoice{DesktopPaths::layerShell, QStringLiteral("advertised"), {}, nullptr};
}

TEST(OverlayPresentationTest, LayerShellIsUsedWhenItOpensAndTheWindowOtherwiseWithTheReason) {
    auto opened = platform::chooseOverlayPresentation(layerShellChoice(), [](QString*) {
        return std::make_unique<FakeOverlaySurfaces>();
    });
    EXPECT_TRUE(opened.surfaces);
    EXPECT_EQ(opened.choice.path, DesktopPaths::layerShell);

    auto refused = platform::chooseOverlayPresentation(layerShellChoice(), [](QString* why) {
        *why = QStringLiteral("the compositor does not advertise zwlr_layer_shell_v1");
        return std::unique_ptr<platform::OverlaySurfaces>();
    });
    EXPECT_FALSE(refused.surfaces);
    EXPECT_EQ(refused.choice.path, DesktopPaths::xwaylandWindow);
    EXPECT_TRUE(refused.choice.reason.contains(QStringLiteral("zwlr_layer_shell_v1"))) << refused.choice.reason.toStdString();
    EXPECT_FALSE(refused.choice.limitation.isEmpty());

    // Any other path never opens surfaces.
    bool asked = false;
    auto window = platform::chooseOverlayPresentation(
        BackendChoice{DesktopPaths::xwaylandWindow, QStringLiteral("no layer-shell"), {}, nullptr}, [&](QString*) {
            asked = true;
            return std::make_unique<FakeOverlaySurfaces>();
        });
    EXPECT_FALSE(asked);
    EXPECT_FALSE(window.surfaces);
    EXPECT_EQ(window.choice.path, DesktopPaths::xwaylandWindow);
}

TEST(OverlayPresentationTest, WithoutSurfacesThePanelsAreWindowsAsBefore) {
    // The fallback: the controller made without surfaces shows native windows of its own.
    OverlayPanel panel(QStringLiteral("quillory.test"), new QWidget);
    EXPECT_FALSE(panel.surface());
    EXPECT_FALSE(panel.testAttribute(Qt::WA_DontShowOnScreen));
    panel.resize(100, 40);
    panel.orderFront();
    ASSERT_TRUE(panel.windowHandle());
    EXPECT_TRUE(panel.windowHandle()->isVisible());
    panel.orderOut();
}

} // namespace
} // namespace quillory::testing
