#include "Platform/x11/XDisplay.h"

#include <QByteArray>

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

namespace quillory::platform::x11 {

void DisplayCloser::operator()(_XDisplay* display) const {
    if (display) {
        XCloseDisplay(display);
    }
}

DisplayPtr openDisplay(QString* why, const char* name) {
    const QByteArray displayName = name ? QByteArray(name) : qgetenv("DISPLAY");
    const auto fail = [why](const QString& reason) {
        if (why) {
            *why = reason;
        }
        return DisplayPtr();
    };
    if (displayName.isEmpty()) {
        return fail(QStringLiteral("no X display (DISPLAY is not set)"));
    }
    DisplayPtr display(XOpenDisplay(displayName.constData()));
    if (!display) {
        return fail(QStringLiteral("cannot open the X display %1").arg(QString::fromLocal8Bit(displayName)));
    }
    return display;
}

bool hasXInput(_XDisplay* display, int major, int minor, int* opcode) {
    int xiOpcode = 0, firstEvent = 0, firstError = 0;
    if (!display || !XQueryExtension(display, "XInputExtension", &xiOpcode, &firstEvent, &firstError)) {
        return false;
    }
    // The server answers with the version it supports, at most the one asked for.
    int serverMajor = major, serverMinor = minor;
    if (XIQueryVersion(display, &serverMajor, &serverMinor) != Success || serverMajor < major ||
        (serverMajor == major && serverMinor < minor)) {
        return false;
    }
    if (opcode) {
        *opcode = xiOpcode;
    }
    return true;
}

namespace {
ErrorTrap* g_innermost = nullptr;
XErrorHandler g_previousHandler = nullptr;
} // namespace

struct ErrorTrapAccess {
    static int handler(Display* display, XErrorEvent* event) {
        for (ErrorTrap* trap = g_innermost; trap; trap = trap->outer_) {
            if (trap->display_ == display) {
                if (trap->error_ == 0) {
                    trap->error_ = event->error_code;
                }
                return 0;
            }
        }
        return g_previousHandler ? g_previousHandler(display, event) : 0;
    }
};

ErrorTrap::ErrorTrap(_XDisplay* display) : display_(display), outer_(g_innermost) {
    XSync(display_, False);
    if (!outer_) {
        g_previousHandler = XSetErrorHandler(&ErrorTrapAccess::handler);
    }
    g_innermost = this;
}

int ErrorTrap::finish() {
    if (finished_) {
        return error_;
    }
    XSync(display_, False);
    finished_ = true;
    // Traps end in the reverse order of their start (they are scoped objects).
    g_innermost = outer_;
    if (!outer_) {
        XSetErrorHandler(g_previousHandler);
        g_previousHandler = nullptr;
    }
    return error_;
}

ErrorTrap::~ErrorTrap() {
    finish();
}

} // namespace quillory::platform::x11
