#pragma once

#include "Input/x11/LinuxInputPlatform.h"

#include <QString>

namespace quillory::input {

/// Whether the compositor of WAYLAND_DISPLAY advertises both protocols the wlroots backends need
/// (wlr-data-control and virtual-keyboard); when not, `why` says what is missing. Connects for a
/// moment (at most about a second when the compositor does not answer).
bool waylandInputAvailable(QString* why = nullptr);

/// Builds the wlroots-protocol backends on a Wayland connection of their own: the clipboard over
/// wlr-data-control (`DataControlClipboard`), the paste key over virtual-keyboard
/// (`VirtualKeyboardPoster`, Ctrl+V), a trust that holds while both protocols are there, and the
/// AT-SPI focused element. Without a compositor or without either protocol the platform is
/// untrusted and `unavailableReason` says why (not logged: the caller decides what comes next).
LinuxInputPlatform createWaylandInputPlatform();

} // namespace quillory::input
