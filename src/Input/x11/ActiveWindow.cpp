#include "Input/x11/ActiveWindow.h"

#include "Input/x11/X11Connection.h"
#include "Platform/x11/XDisplay.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace quillory::input {

namespace {

Window netActiveWindow(Display* display) {
    const Atom property = XInternAtom(display, "_NET_ACTIVE_WINDOW", True);
    if (property == None) {
        return None;
    }
    Atom type = None;
    int format = 0;
    unsigned long count = 0, remaining = 0;
    unsigned char* data = nullptr;
    Window window = None;
    if (XGetWindowProperty(display, DefaultRootWindow(display), property, 0, 1, False, XA_WINDOW, &type,
                           &format, &count, &remaining, &data) == Success &&
        type == XA_WINDOW && format == 32 && count == 1 && data) {
        window = static_cast<Window>(*reinterpret_cast<unsigned long*>(data));
    }
    if (data) {
        XFree(data);
    }
    return window;
}

std::optional<WindowClass> classOf(Display* display, Window window) {
    XClassHint hint{nullptr, nullptr};
    if (!XGetClassHint(display, window, &hint)) {
        return std::nullopt;
    }
    WindowClass result{QString::fromLocal8Bit(hint.res_name), QString::fromLocal8Bit(hint.res_class)};
    if (hint.res_name) {
        XFree(hint.res_name);
    }
    if (hint.res_class) {
        XFree(hint.res_class);
    }
    return result;
}

} // namespace

std::optional<WindowClass> activeWindowClass(X11Connection& connection) {
    Display* display = connection.display();
    if (!display) {
        return std::nullopt;
    }
    // A window that vanishes between the query and the read must not end the process.
    platform::x11::ErrorTrap trap(display);
    Window window = netActiveWindow(display);
    if (window == None) {
        int revert = 0;
        XGetInputFocus(display, &window, &revert);
    }
    std::optional<WindowClass> result;
    const Window root = DefaultRootWindow(display);
    // Walk up from the focus to the first named window (a toolkit's focus proxy has no class).
    for (int depth = 0; depth < 16 && window != None && window != PointerRoot && window != root; ++depth) {
        if ((result = classOf(display, window))) {
            break;
        }
        Window rootReturn = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (!XQueryTree(display, window, &rootReturn, &parent, &children, &count)) {
            break;
        }
        if (children) {
            XFree(children);
        }
        window = parent;
    }
    return result;
}

} // namespace quillory::input
