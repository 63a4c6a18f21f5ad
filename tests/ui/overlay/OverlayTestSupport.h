#pragma once

#include "SessionTestSupport.h"

#include "UI/Overlay/InputStatusOverlayController.h"
#include "UI/Overlay/OverlayPanel.h"
#include "UI/Overlay/OverlayViews.h"

#include <QGuiApplication>
#include <QScreen>

namespace quillory::testing {

/// The session core on fakes and virtual time, with the overlay observing it.
class OverlayTest : public SessionTest {
protected:
    void SetUp() override {
        SessionTest::SetUp();
        overlay = std::make_unique<InputStatusOverlayController>(*state);
        overlay->startSyncingWithAppStateIfNeeded();
    }
    void TearDown() override {
        overlay.reset();
        SessionTest::TearDown();
    }

    QRect available() const { return QGuiApplication::primaryScreen()->availableGeometry(); }
    QRect screenRect() const { return QGuiApplication::primaryScreen()->geometry(); }
    OverlayPanel* strip() const { return overlay->statusPanel(); }
    OverlayPanel* transcript() const { return overlay->transcriptPanel(); }
    InputStatusOverlayModel& model() const { return overlay->model(); }
    /// The strip's default place: centred on the visible area, its bottom 20 above the area's bottom.
    QRect defaultStripRect() const {
        const QRect a = available();
        const int x = int(std::lround(a.x() + a.width() / 2.0 - 154));
        return QRect(x, a.y() + a.height() - 20 - 48, 308, 48);
    }

    std::unique_ptr<InputStatusOverlayController> overlay;
};

} // namespace quillory::testing
