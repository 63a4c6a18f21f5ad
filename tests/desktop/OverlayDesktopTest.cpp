// The overlay on a real X server with a window manager: it appears when a session starts, stays on
// top of the other application, and never takes the keyboard away from it, even when clicked.
#include "InputTargetClient.h"
#include "RealTargets.h"
#include "InputTestKeys.h"
#include "SessionTestSupport.h"

#include "UI/Overlay/InputStatusOverlayController.h"
#include "UI/Overlay/OverlayPanel.h"
#include "UI/Overlay/OverlayViews.h"

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QTemporaryDir>

#include <algorithm>
#include <QToolButton>
#include <QWindow>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
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

/// The window's WM_WINDOW_ROLE, or empty.
QString roleOf(Window window) {
    XTextProperty text{};
    QString role;
    if (XGetTextProperty(display(), window, &text, XInternAtom(display(), "WM_WINDOW_ROLE", False)) && text.value) {
        role = QString::fromLatin1(reinterpret_cast<const char*>(text.value), int(text.nitems));
        XFree(text.value);
    }
    return role;
}

/// The screen's pixel at `global` as 0xRRGGBB (what is shown there, whatever window it belongs to).
quint32 screenPixel(QPoint global) {
    XImage* image = XGetImage(display(), DefaultRootWindow(display()), global.x(), global.y(), 1, 1, AllPlanes, ZPixmap);
    if (!image) {
        return 0xFFFFFFFFu;
    }
    const auto pixel = quint32(XGetPixel(image, 0, 0) & 0xFFFFFFu);
    XDestroyImage(image);
    return pixel;
}

/// The visible tooltip window's text, or empty when none shows.
QString visibleToolTip() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->inherits("QTipLabel")) {
            return static_cast<QLabel*>(w)->text();
        }
    }
    return {};
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
    // Not a task of its own: out of task bars and pagers, and named by its role.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            const QStringList states = atomNames(id, "_NET_WM_STATE");
            return states.contains("_NET_WM_STATE_SKIP_TASKBAR") && states.contains("_NET_WM_STATE_SKIP_PAGER");
        },
        2000))
        << atomNames(id, "_NET_WM_STATE").join(' ').toStdString();
    EXPECT_EQ(roleOf(id), QStringLiteral("quillory.inputStatusPanel"));

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

TEST_F(OverlayDesktop, TooltipsShowWhileAnotherApplicationKeepsTheKeyboard) {
    QTemporaryDir work;
    auto gtk = test::makeRealTarget(QStringLiteral("gtk3"), work.path());
    ASSERT_TRUE(gtk->start()) << gtk->why();
    const Window before = activeWindow();
    ASSERT_NE(before, Window(None));

    // Processing: the × carries its help.
    press();
    partial(QStringLiteral("spoken words"));
    release();
    OverlayPanel* strip = overlay->statusPanel();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(strip->windowHandle(), 5000));
    QToolButton* cancel = overlay->stripView()->cancelButton();
    ASSERT_TRUE(cancel->isVisible());
    const QPoint onCancel = cancel->mapToGlobal(cancel->rect().center());
    // Arrive from beside the button, as a hand would.
    XTestFakeMotionEvent(display(), -1, onCancel.x() - 6, onCancel.y(), CurrentTime);
    XTestFakeMotionEvent(display(), -1, onCancel.x(), onCancel.y(), CurrentTime);
    XFlush(display());
    EXPECT_TRUE(QTest::qWaitFor([&] { return visibleToolTip() == cancel->toolTip(); }, 10000))
        << "shown: " << visibleToolTip().toStdString();
    EXPECT_FALSE(cancel->toolTip().isEmpty());
    EXPECT_EQ(activeWindow(), before);
    EXPECT_EQ(QGuiApplication::focusWindow(), nullptr);
    EXPECT_TRUE(gtk->hasFocus());

    // An error whose caption is cut: the whole message shows on hover.
    const QString message = QStringLiteral("The speech recognizer stopped because the microphone went away while "
                                           "you were speaking; plug it in again and retry");
    finalText(QStringLiteral("spoken words"));
    press();
    fail(SpeechError::audioEngineFailed(message));
    ASSERT_TRUE(state->status().is(AppStatus::Kind::error)) << state->status().caseName().toStdString();
    OverlayElidedLabel* caption = overlay->stripView()->captionLabel();
    ASSERT_TRUE(QTest::qWaitFor([&] { return caption->isVisible() && caption->text().contains(message); }, 5000))
        << caption->text().toStdString();
    ASSERT_NE(caption->shownText(), caption->text()); // cut on the strip
    QTest::qWait(50);
    const QPoint onCaption = caption->mapToGlobal(QPoint(caption->width() / 2, caption->height() / 2));
    XTestFakeMotionEvent(display(), -1, onCaption.x() - 6, onCaption.y(), CurrentTime);
    XTestFakeMotionEvent(display(), -1, onCaption.x(), onCaption.y(), CurrentTime);
    XFlush(display());
    EXPECT_TRUE(QTest::qWaitFor([&] { return visibleToolTip().contains(message); }, 10000))
        << "shown: " << visibleToolTip().toStdString();
    EXPECT_EQ(activeWindow(), before);
    EXPECT_EQ(QGuiApplication::focusWindow(), nullptr);
    EXPECT_TRUE(gtk->hasFocus());
    gtk->stop();
}

/// The child of the root that holds `window` (its frame under a reparenting window manager).
Window topLevelOf(Window window) {
    Window root = None, parent = None, *children = nullptr;
    unsigned int count = 0;
    while (window != None && XQueryTree(display(), window, &root, &parent, &children, &count)) {
        if (children) {
            XFree(children);
        }
        if (parent == root) {
            return window;
        }
        window = parent;
    }
    return None;
}

/// Where the root's child `window` is in the stacking order, bottom first (-1: not a child).
int stackingIndex(Window window) {
    Window root = None, parent = None, *children = nullptr;
    unsigned int count = 0;
    int index = -1;
    if (XQueryTree(display(), DefaultRootWindow(display()), &root, &parent, &children, &count)) {
        for (unsigned int i = 0; i < count; ++i) {
            if (children[i] == window) {
                index = int(i);
            }
        }
        if (children) {
            XFree(children);
        }
    }
    return index;
}

TEST_F(OverlayDesktop, StripStaysAboveAFocusedFullScreenWindow) {
    QTemporaryDir work;
    auto gtk = test::makeRealTarget(QStringLiteral("gtk3"), work.path());
    ASSERT_TRUE(gtk->start()) << gtk->why();
    const Window app = activeWindow();
    ASSERT_NE(app, Window(None));
    // Full screen, as F11 would ask the window manager.
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = app;
    event.xclient.message_type = XInternAtom(display(), "_NET_WM_STATE", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 1; // add
    event.xclient.data.l[1] = long(XInternAtom(display(), "_NET_WM_STATE_FULLSCREEN", False));
    event.xclient.data.l[3] = 1;
    XSendEvent(display(), DefaultRootWindow(display()), False, SubstructureRedirectMask | SubstructureNotifyMask,
               &event);
    XFlush(display());
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            XWindowAttributes a{};
            return atomNames(app, "_NET_WM_STATE").contains("_NET_WM_STATE_FULLSCREEN") &&
                   XGetWindowAttributes(display(), app, &a) && QSize(a.width, a.height) == screen;
        },
        10000));
    ASSERT_TRUE(gtk->focus());

    press();
    OverlayPanel* strip = overlay->statusPanel();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(strip->windowHandle(), 5000));
    const Window stripTop = topLevelOf(Window(strip->winId()));
    const Window appTop = topLevelOf(app);
    EXPECT_TRUE(QTest::qWaitFor([&] { return stackingIndex(stripTop) > stackingIndex(appTop); }, 5000))
        << "strip " << stackingIndex(stripTop) << " app " << stackingIndex(appTop);
    // Still above after the full-screen window is raised again (as a click on it would).
    XRaiseWindow(display(), appTop);
    XFlush(display());
    press(); // a new session brings the strip to the front again
    release();
    finalText(QStringLiteral("x"));
    press();
    EXPECT_TRUE(QTest::qWaitFor([&] { return stackingIndex(stripTop) > stackingIndex(appTop); }, 5000))
        << "strip " << stackingIndex(stripTop) << " app " << stackingIndex(appTop);
    EXPECT_EQ(activeWindow(), app);
    EXPECT_TRUE(gtk->hasFocus());
    EXPECT_EQ(QGuiApplication::focusWindow(), nullptr);
    release();
    finalText(QStringLiteral("x"));
    gtk->stop();
}

TEST_F(OverlayDesktop, CornersShowTheDesktopWithoutACompositor) {
    // No compositing manager runs in this desktop (openbox alone).
    ASSERT_EQ(XGetSelectionOwner(display(), XInternAtom(display(), "_NET_WM_CM_S0", False)), Window(None));
    // A desktop of a known colour, so a black corner cannot pass for it.
    constexpr quint32 kDesktop = 0x3a7bd5;
    XSetWindowBackground(display(), DefaultRootWindow(display()), kDesktop);
    XClearWindow(display(), DefaultRootWindow(display()));
    XFlush(display());

    press();
    OverlayPanel* strip = overlay->statusPanel();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(strip->windowHandle(), 5000));
    EXPECT_TRUE(strip->isCutToOutline());
    const QRect frame = strip->frameGeometry();
    const QList<QPoint> corners = {frame.topLeft(), frame.topRight(), frame.bottomLeft(), frame.bottomRight()};
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return std::all_of(corners.begin(), corners.end(), [](QPoint c) { return screenPixel(c) == kDesktop; });
        },
        5000))
        << std::hex << screenPixel(frame.topLeft()) << " " << screenPixel(frame.bottomRight());
    // The strip itself is drawn there: its middle is not the desktop.
    EXPECT_NE(screenPixel(QPoint(frame.left() + 20, frame.center().y())), kDesktop);
    release();
    finalText(QStringLiteral("x"));
}

} // namespace
} // namespace quillory::testing
