// The overlay on a real X server with a window manager: it appears when a session starts, stays on
// top of the other application, and never takes the keyboard away from it, even when clicked.
#include "InputTargetClient.h"
#include "InputTestKeys.h"
#include "SessionTestSupport.h"

#include "UI/Overlay/InputStatusOverlayController.h"
#include "UI/Overlay/OverlayPanel.h"
#include "UI/Overlay/OverlayViews.h"

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QToolButton>
#include <QWindow>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace quillory::testing {
namespace {

Display* display() {
    return qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->display();
}

/// The atoms of a window's property (or the root's), as names.
QStringList atomNames(Window window, const char* property) {
    QStringList names;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display(), window, XInternAtom(display(), property, False), 0, 64, False, XA_ATOM, &type,
                           &format, &count, &after, &data) == Success &&
        data) {
        const auto* atoms = reinterpret_cast<const Atom*>(data);
        for (unsigned long i = 0; i < count; ++i) {
            char* name = XGetAtomName(display(), atoms[i]);
            names << QString::fromLatin1(name);
            XFree(name);
        }
        XFree(data);
    }
    return names;
}

/// The window's _NET_WM_DESKTOP (0xFFFFFFFF: every workspace), or -1 when unset.
long long desktopOf(Window window) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    long long desktop = -1;
    if (XGetWindowProperty(display(), window, XInternAtom(display(), "_NET_WM_DESKTOP", False), 0, 1, False,
                           XA_CARDINAL, &type, &format, &count, &after, &data) == Success &&
        data) {
        if (count == 1) {
            desktop = (long long)(*reinterpret_cast<const unsigned long*>(data) & 0xFFFFFFFFul);
        }
        XFree(data);
    }
    return desktop;
}

Window activeWindow() {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    Window active = None;
    if (XGetWindowProperty(display(), DefaultRootWindow(display()), XInternAtom(display(), "_NET_ACTIVE_WINDOW", False),
                           0, 1, False, XA_WINDOW, &type, &format, &count, &after, &data) == Success &&
        data) {
        if (count == 1) {
            active = *reinterpret_cast<const Window*>(data);
        }
        XFree(data);
    }
    return active;
}

void click(QPoint global) {
    XTestFakeMotionEvent(display(), -1, global.x(), global.y(), CurrentTime);
    XTestFakeButtonEvent(display(), 1, True, CurrentTime);
    XTestFakeButtonEvent(display(), 1, False, CurrentTime);
    XFlush(display());
}

class OverlayDesktop : public SessionTest {
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
    std::unique_ptr<InputStatusOverlayController> overlay;
};

TEST_F(OverlayDesktop, AppearsOnRecordingWithoutTakingTheKeyboardFromTheFocusedApplication) {
    test::TargetWindow target;
    ASSERT_TRUE(target.ready()) << target.transcript();
    const Window before = activeWindow();
    ASSERT_NE(before, Window(None));

    press(); // the status changes; the overlay syncs on the next turn
    OverlayPanel* strip = overlay->statusPanel();
    ASSERT_TRUE(strip->isVisible());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(strip->windowHandle(), 3000));

    // Placed centred 20 above the bottom of the usable area, marked above others and sticky.
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_TRUE(QTest::qWaitFor([&] { return strip->geometry().bottom() + 1 == available.bottom() + 1 - 20; }, 2000))
        << strip->geometry().y();
    EXPECT_LE(std::abs(strip->geometry().center().x() - available.center().x()), 1);
    const auto id = Window(strip->winId());
    // On every workspace: the sticky state, or (window managers without it) the all-desktops value.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return atomNames(id, "_NET_WM_STATE").contains("_NET_WM_STATE_STICKY") || desktopOf(id) == 0xFFFFFFFFll;
        },
        2000))
        << atomNames(id, "_NET_WM_STATE").join(' ').toStdString() << " desktop " << desktopOf(id);
    EXPECT_TRUE(atomNames(id, "_NET_WM_STATE").contains("_NET_WM_STATE_ABOVE"));

    // The other application keeps the keyboard: no focus-out there, no focus here.
    EXPECT_FALSE(target.waitForLine([](const QByteArray& l) { return l == "inactive"; }, 400)) << target.transcript();
    EXPECT_EQ(activeWindow(), before);
    EXPECT_EQ(QGuiApplication::focusWindow(), nullptr);

    // A click on the transcript button opens the transcript; the keyboard still stays put.
    partial(QStringLiteral("spoken words"));
    QToolButton* toggle = overlay->stripView()->transcriptButton();
    click(toggle->mapToGlobal(toggle->rect().center()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return overlay->transcriptPanel()->isVisible(); }, 3000));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(overlay->transcriptPanel()->windowHandle(), 3000));
    EXPECT_EQ(overlay->model().transcriptBody(), "spoken words");
    EXPECT_FALSE(target.waitForLine([](const QByteArray& l) { return l == "inactive"; }, 400)) << target.transcript();
    EXPECT_EQ(activeWindow(), before);
    EXPECT_EQ(QGuiApplication::focusWindow(), nullptr);

    // Dragging the strip by its background moves it and does not take the keyboard either.
    QWidget* title = overlay->stripView()->titleLabel();
    const QPoint grab = title->mapToGlobal(title->rect().center());
    const QPoint startPos = strip->pos();
    XTestFakeMotionEvent(display(), -1, grab.x(), grab.y(), CurrentTime);
    XTestFakeButtonEvent(display(), 1, True, CurrentTime);
    XFlush(display());
    QTest::qWait(50);
    for (int step = 1; step <= 5; ++step) {
        XTestFakeMotionEvent(display(), -1, grab.x() - 12 * step, grab.y() - 8 * step, CurrentTime);
        XFlush(display());
        QTest::qWait(20);
    }
    XTestFakeButtonEvent(display(), 1, False, CurrentTime);
    XFlush(display());
    EXPECT_TRUE(QTest::qWaitFor([&] { return strip->pos() == startPos + QPoint(-60, -40); }, 2000))
        << strip->pos().x() << "," << strip->pos().y();
    EXPECT_FALSE(target.waitForLine([](const QByteArray& l) { return l == "inactive"; }, 400)) << target.transcript();
    EXPECT_EQ(activeWindow(), before);

    // Typing still reaches the other application.
    test::fakeKey("a", true);
    test::fakeKey("a", false);
    EXPECT_TRUE(target.waitForText(QStringLiteral("a"))) << target.transcript();

    // Back to idle: both panels go away.
    release();
    finalText(QStringLiteral("spoken words"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !strip->isVisible() && !overlay->transcriptPanel()->isVisible(); }, 2000));
}

} // namespace
} // namespace quillory::testing
