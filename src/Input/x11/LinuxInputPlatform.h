#pragma once

#include "Input/InputPlatform.h"

#include <QString>

namespace quillory::input {

class X11Connection;
class WaylandConnection;

/// The input backends of this desktop, chosen at run time.
struct LinuxInputPlatform {
    InputPlatform platform;
    /// Why text cannot be inserted (empty when it can): no X display, no XTEST, a Wayland-only
    /// session, no graphical application for the clipboard.
    QString unavailableReason;
    std::shared_ptr<X11Connection> connection;
    /// The Wayland connection when the backends are the wlroots-protocol ones (then `connection`
    /// is null).
    std::shared_ptr<WaylandConnection> wayland;
};

/// Under Wayland, when the compositor has wlr-data-control and virtual-keyboard, builds the
/// wlroots-protocol backends (createWaylandInputPlatform). Otherwise builds the X11 backends: XTEST trust and paste key (Ctrl+Shift+V or Shift+Insert for the
/// terminal classes of the settings store), the Qt clipboard and primary selection (needs a
/// QGuiApplication on the xcb platform) and the AT-SPI focused element. Without them the platform is untrusted, and the reason is logged on
/// the input channel.
LinuxInputPlatform createLinuxInputPlatform();

} // namespace quillory::input
