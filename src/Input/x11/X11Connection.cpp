#include "Input/x11/X11Connection.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

namespace quillory::input {

X11Connection::X11Connection(_XDisplay* display) : display_(display) {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    hasXTest_ = XTestQueryExtension(display_, &eventBase, &errorBase, &major, &minor) == True;
}

X11Connection::~X11Connection() {
    if (display_) {
        XCloseDisplay(display_);
    }
}

bool X11Connection::clipboardManagerRuns() const {
    const Atom manager = XInternAtom(display_, "CLIPBOARD_MANAGER", False);
    return XGetSelectionOwner(display_, manager) != None;
}

std::shared_ptr<X11Connection> X11Connection::open(QString* why) {
    const QByteArray name = qgetenv("DISPLAY");
    if (name.isEmpty()) {
        if (why) {
            *why = QStringLiteral("no X display (DISPLAY is not set)");
        }
        return nullptr;
    }
    Display* display = XOpenDisplay(name.constData());
    if (!display) {
        if (why) {
            *why = QStringLiteral("cannot open the X display %1").arg(QString::fromLocal8Bit(name));
        }
        return nullptr;
    }
    return std::shared_ptr<X11Connection>(new X11Connection(display));
}

} // namespace quillory::input
