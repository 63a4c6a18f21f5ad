#pragma once

#include <QMap>
#include <QString>

#include <chrono>

namespace quillory::platform {

/// What a short registry roundtrip on a Wayland connection of our own found.
struct WaylandGlobalsReport {
    bool connected = false;     ///< the compositor answered within the time limit
    QString error;              ///< why not
    QMap<QString, int> globals; ///< interface → advertised version
};

/// Connects to the compositor named by WAYLAND_DISPLAY (nothing when it is not set: libwayland
/// would try "wayland-0"), lists the globals it advertises and disconnects. Bounded by `timeout`:
/// a compositor that does not answer gives an error, never a hang. The default allows for KWin,
/// which hashes the executable of a program its desktop file authorises before it answers (over a
/// second for a large binary on a loaded machine).
WaylandGlobalsReport probeWaylandGlobals(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

} // namespace quillory::platform
