#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

#include <chrono>

namespace quillory::platform {

/// The desktop portal interfaces Quillory can use, with the versions the portal reports.
struct PortalReport {
    bool reachable = false;      ///< the portal answered
    QString error;               ///< why not
    QMap<QString, int> versions; ///< "org.freedesktop.portal.RemoteDesktop" → its `version` property
};

/// The interfaces asked for: RemoteDesktop, GlobalShortcuts and Clipboard.
QStringList portalInterfacesOfInterest();

/// Reads the `version` property of each interface of org.freedesktop.portal.Desktop on the session
/// bus (Qt D-Bus, a connection of its own), within `timeout` in all. The first call may start the
/// portal service. An interface the portal lacks is left out; no session bus gives an error.
PortalReport probePortals(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

} // namespace quillory::platform
