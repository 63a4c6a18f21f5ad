#include "UI/Overlay/OverlayPanel.h"

#include <QGuiApplication>

#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace quillory {

namespace {
void sendNetWmMessage(Display* display, Window window, const char* type, long d0, long d1 = 0) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, type, False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = d0;
    event.xclient.data.l[1] = d1;
    event.xclient.data.l[3] = 1; // source: an application
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
}
} // namespace

void keepOnAllWorkspaces(QWidget* window) {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        return;
    }
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    Display* display = x11 ? x11->display() : nullptr;
    if (!display) {
        return;
    }
    const auto id = Window(window->winId());
    constexpr long kAdd = 1;
    sendNetWmMessage(display, id, "_NET_WM_STATE", kAdd, long(XInternAtom(display, "_NET_WM_STATE_STICKY", False)));
    sendNetWmMessage(display, id, "_NET_WM_DESKTOP", long(0xFFFFFFFF));
    XFlush(display);
}

} // namespace quillory
