#pragma once

#include "Permissions/Authorizations.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace quillory::platform {

/// What our own short X connection found.
struct XExtensionsReport {
    bool connected = false;
    QString error;        ///< why the display could not be opened
    bool xinput2 = false; ///< "XInputExtension" at version 2.2 or later (raw key events)
    bool xtest = false;   ///< "XTEST"
};
/// Opens the display named by DISPLAY, asks for the extensions and closes it again.
XExtensionsReport probeXExtensions();

/// Whether /dev/uinput opens for writing.
bool uinputWritable();
/// Opens each /dev/input/event* for reading (and asks whether it has letter keys).
QList<InputDeviceProbe> scanInputDevices(const QString& directory = QStringLiteral("/dev/input"));

/// What a short connection to the PulseAudio (or pipewire-pulse) server found.
struct PulseReport {
    bool reachable = false;
    QString error;
    QString serverName; ///< "pulseaudio", "PulseAudio (on PipeWire 1.0.5)"
    QString serverVersion;
    QString defaultSource;
    QStringList captureSources; ///< sources that are not monitors of an output
    QStringList monitorSources;
};
/// Connects without autospawning a server, lists the sources, disconnects. Bounded by `timeout`.
PulseReport probePulse(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

/// Whether the accessibility bus answers: the session bus's org.a11y.Bus hands out an address
/// (or AT_SPI_BUS_ADDRESS names one) and a connection to it opens.
struct AccessibilityBusReport {
    bool reachable = false;
    QString detail; ///< the bus address, or why it was not reachable
};
AccessibilityBusReport
probeAccessibilityBus(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

/// The probes of this desktop for the permission rules.
PermissionProbes linuxPermissionProbes();

} // namespace quillory::platform
