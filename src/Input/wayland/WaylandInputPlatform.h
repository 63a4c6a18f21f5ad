#pragma once

#include "Input/x11/LinuxInputPlatform.h"

#include <QString>

namespace quillory::input {

/// What the compositor of WAYLAND_DISPLAY offers the input backends (for logs and `doctor`).
struct WaylandProtocolSupport {
    bool connected = false;        ///< a compositor answered
    quint32 dataControl = 0;       ///< wlr-data-control version bound (0: absent; 2 has the primary selection)
    bool virtualKeyboard = false;  ///< zwp_virtual_keyboard_manager_v1
    bool toplevelList = false;     ///< wlr-foreign-toplevel-management (the active window's app id)
    QString why;                   ///< why the backends cannot be used (empty when they can)
};
/// Connects for a moment and lists what the compositor offers.
WaylandProtocolSupport probeWaylandProtocols();

/// Whether the compositor of WAYLAND_DISPLAY advertises both protocols the wlroots backends need
/// (wlr-data-control and virtual-keyboard); when not, `why` says what is missing. Connects for a
/// moment (at most about a second when the compositor does not answer).
bool waylandInputAvailable(QString* why = nullptr);

/// Builds the wlroots-protocol backends on a Wayland connection of their own: the clipboard over
/// wlr-data-control (`DataControlClipboard`), the paste key over virtual-keyboard
/// (`VirtualKeyboardPoster`, Ctrl+V), a trust that holds while both protocols are there, and the
/// AT-SPI focused element. Without a compositor or without either protocol the platform is
/// untrusted and `unavailableReason` says why (not logged: the caller decides what comes next).
/// Without `withPasteKey` only the clipboards are made (virtual-keyboard is not needed, no keys,
/// untrusted): the clipboard beside another path's paste key (KWin has data-control only).
LinuxInputPlatform createWaylandInputPlatform(bool withPasteKey = true);

} // namespace quillory::input
