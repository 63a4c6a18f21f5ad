#include "Input/x11/X11Connection.h"

#include "Platform/x11/XDisplay.h"

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
    platform::x11::DisplayPtr display = platform::x11::openDisplay(why);
    if (!display) {
        return nullptr;
    }
    return std::shared_ptr<X11Connection>(new X11Connection(display.release()));
}

} // namespace quillory::input
