#pragma once

#include <QProcessEnvironment>
#include <QString>

namespace quillory::platform {

/// The kind of graphical session this process runs in, as the backends need to know it.
enum class SessionType {
    x11,     ///< An X server is reachable through DISPLAY (also XWayland inside Wayland, see below).
    wayland, ///< A Wayland compositor without an X display we may use.
    none,    ///< No display at all (a console, ssh, CI without Xvfb).
};

struct DisplayServerInfo {
    SessionType type = SessionType::none;
    /// True when WAYLAND_DISPLAY is set or XDG_SESSION_TYPE says "wayland", even if an X display
    /// (XWayland) is reachable: global keys and synthetic input of X11 then only reach X clients.
    bool waylandSession = false;
    QString display;        ///< DISPLAY, or empty.
    QString waylandDisplay; ///< WAYLAND_DISPLAY, or empty.
};

/// Reads the session type from the environment only (no connection is made).
DisplayServerInfo displayServerFrom(const QProcessEnvironment& env);
/// The session type of this process.
DisplayServerInfo currentDisplayServer();
/// A short human name for logs and `doctor` ("X11", "Wayland (XWayland available)", "none").
QString describe(const DisplayServerInfo& info);

} // namespace quillory::platform
