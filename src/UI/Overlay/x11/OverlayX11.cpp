#include "UI/Overlay/OverlayPanel.h"

#include <QGuiApplication>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace quillory {

namespace {
void sendNetWmMessage(Display* display, Window window, const char* type, long d0, long d1 = 0, long d2 = 0) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, type, False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = d0;
    event.xclient.data.l[1] = d1;
    event.xclient.data.l[2] = d2;
    event.xclient.data.l[3] = 1; // source: an application
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
}
/// The application's own X connection; null off X11.
Display* applicationDisplay() {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        return nullptr;
    }
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->display() : nullptr;
}
} // namespace

void keepOnAllWorkspaces(QWidget* window) {
    Display* display = applicationDisplay();
    if (!display) {
        return;
    }
    const auto id = Window(window->winId());
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display, id, &attributes) && attributes.override_redirect) {
        // No window manager acts on an unmanaged window, which is on every workspace and in no
        // task bar anyway: state it on the window itself for pagers and tools that read it.
        const char* names[] = {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_STICKY", "_NET_WM_STATE_SKIP_TASKBAR",
                               "_NET_WM_STATE_SKIP_PAGER"};
        Atom states[4];
        for (int i = 0; i < 4; ++i) {
            states[i] = XInternAtom(display, names[i], False);
        }
        XChangeProperty(display, id, XInternAtom(display, "_NET_WM_STATE", False), XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(states), 4);
        const unsigned long everyDesktop = 0xFFFFFFFFul;
        XChangeProperty(display, id, XInternAtom(display, "_NET_WM_DESKTOP", False), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&everyDesktop), 1);
        XRaiseWindow(display, id);
        XFlush(display);
        return;
    }
    constexpr long kAdd = 1;
    sendNetWmMessage(display, id, "_NET_WM_STATE", kAdd, long(XInternAtom(display, "_NET_WM_STATE_STICKY", False)));
    sendNetWmMessage(display, id, "_NET_WM_STATE", kAdd, long(XInternAtom(display, "_NET_WM_STATE_SKIP_TASKBAR", False)),
                     long(XInternAtom(display, "_NET_WM_STATE_SKIP_PAGER", False)));
    sendNetWmMessage(display, id, "_NET_WM_DESKTOP", long(0xFFFFFFFF));
    XFlush(display);
}

void declareNeverFocusedType(QWidget* window) {
    Display* display = applicationDisplay();
    if (!display) {
        return;
    }
    // Not left to Qt's choice for the window flags: without one of these types sway hands an
    // override-redirect window the keyboard for as long as it is mapped.
    const Atom types[] = {XInternAtom(display, "_NET_WM_WINDOW_TYPE_NOTIFICATION", False),
                          XInternAtom(display, "_NET_WM_WINDOW_TYPE_UTILITY", False)};
    XChangeProperty(display, Window(window->winId()), XInternAtom(display, "_NET_WM_WINDOW_TYPE", False), XA_ATOM,
                    32, PropModeReplace, reinterpret_cast<const unsigned char*>(types), 2);
    XFlush(display);
}

bool compositorRunning() {
    Display* display = applicationDisplay();
    if (!display) {
        return true;
    }
    const QByteArray selection = "_NET_WM_CM_S" + QByteArray::number(DefaultScreen(display));
    return XGetSelectionOwner(display, XInternAtom(display, selection.constData(), False)) != None;
}

} // namespace quillory
