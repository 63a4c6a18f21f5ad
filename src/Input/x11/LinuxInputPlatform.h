#pragma once

#include "Input/InputPlatform.h"
#include "Platform/DesktopBackends.h"

#include <QString>

#include <functional>
#include <optional>

namespace quillory::input {

class X11Connection;
class WaylandConnection;
class MutterRemoteDesktop;

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
    /// The desktop choice the platform was built from (Wayland sessions).
    std::optional<DesktopBackends> backends;
};

/// How the Wayland paths' backends are made (tests pass fakes).
struct LinuxInputFactories {
    /// The wlroots-protocol backends: virtual-keyboard paste key (when asked for), data-control
    /// clipboard and primary selection (`createWaylandInputPlatform`); a platform with
    /// `unavailableReason` when the compositor lacks them.
    std::function<LinuxInputPlatform(bool withPasteKey)> protocols;
    /// The uinput virtual keyboard; null with the reason when it cannot be made.
    std::function<std::shared_ptr<KeyEventPoster>(QString* reason)> uinput;
    /// The RemoteDesktop portal's keyboard, its session being opened (the consent asked for now).
    std::function<std::shared_ptr<KeyEventPoster>(QString* reason)> remoteDesktop;
    /// KWin's fake-input on the connection of the data-control clipboard (null in tests),
    /// authenticated; null with the reason when KWin does not offer it to this program.
    std::function<std::shared_ptr<KeyEventPoster>(std::shared_ptr<WaylandConnection> connection, QString* reason)>
        kdeFakeInput;
    /// GNOME's remote desktop session (paste key and clipboard in one); null with the reason when
    /// it cannot be opened.
    std::function<std::shared_ptr<MutterRemoteDesktop>(QString* reason)> mutter;

    /// The backends compiled into this program.
    static LinuxInputFactories thisBuild();
};

/// The input backends of a Wayland session as `choice` says. A paste path that works gives a
/// trusted platform; otherwise it is untrusted with the reason (logged with the desktop's fix),
/// and a clipboard that reaches the apps is kept as the fallback for the user's words.
LinuxInputPlatform createLinuxInputPlatform(const DesktopBackends& choice, const LinuxInputFactories& factories);

/// Builds the backends of this session: under Wayland those of the desktop choice (above);
/// otherwise the X11 backends: XTEST trust and paste key (Ctrl+Shift+V or Shift+Insert for the
/// terminal classes of the settings store), the Qt clipboard and primary selection (needs a
/// QGuiApplication on the xcb platform) and the AT-SPI focused element. Without them the platform is untrusted, and the reason is logged on
/// the input channel.
LinuxInputPlatform createLinuxInputPlatform();

} // namespace quillory::input
