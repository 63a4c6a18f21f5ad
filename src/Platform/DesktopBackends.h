#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

namespace quillory {

/// What this desktop offers the paste key, clipboard, hotkey and overlay backends. The platform
/// side measures it (`platform::probeDesktopFacts`); `chooseDesktopBackends` decides from it alone.
struct DesktopFacts {
    enum class Session { x11, wayland, none };
    enum class Keyboards {
        readable,     ///< at least one keyboard under /dev/input can be read
        noneReadable, ///< keyboards exist, every one refused us
        unknown,      ///< none found, or nothing that tells
    };

    /// Wayland whenever the session is one, also when an XWayland display is reachable.
    Session session = Session::none;
    QStringList currentDesktops; ///< XDG_CURRENT_DESKTOP split at ':' ("ubuntu", "GNOME")
    bool xDisplay = false;       ///< our own X connection opened (XWayland under Wayland)
    bool xtest = false;
    bool xinput2 = false;        ///< XInput 2.2
    bool waylandConnected = false; ///< the compositor answered the registry roundtrip
    QMap<QString, int> waylandGlobals; ///< interface → version, as the compositor advertises them
    QMap<QString, int> portals;        ///< "org.freedesktop.portal.RemoteDesktop" → version
    /// The `Version` of GNOME's own org.gnome.Mutter.RemoteDesktop service on the session bus; 0
    /// when mutter is not there.
    int mutterRemoteDesktop = 0;
    /// KDE's global shortcut service (org.kde.kglobalaccel, served by KWin) is on the session bus.
    bool kglobalaccel = false;
    bool uinputWritable = false;
    Keyboards keyboards = Keyboards::unknown;
    /// Why the GlobalShortcuts portal did not bind Quillory's shortcuts in this session, as the app
    /// wrote it down ("" when it bound them or has not tried): the choice then gives the advice.
    QString shortcutsPortalFailure;

    /// The advertised version of a Wayland global; 0 when absent.
    int globalVersion(const char* interface) const;
    /// The version of a portal interface; 0 when absent.
    int portalVersion(const char* interface) const;
};

/// The backends this build carries: the choice never picks a path that has no code behind it.
struct BuiltBackends {
    bool xtest = true;
    bool remoteDesktopPortal = false;
    bool mutterRemoteDesktop = false;
    bool virtualKeyboard = false;
    bool kdeFakeInput = false;
    bool uinput = false;
    bool dataControl = false;
    bool portalClipboard = false;
    bool xinput2 = true;
    bool globalShortcutsPortal = false;
    bool kglobalaccel = false;
    bool evdev = false;
    bool layerShell = false;

    /// Every backend (what the rules aim at once all of them exist).
    static BuiltBackends all();
};

/// The desktops whose fixes differ.
enum class DesktopFamily { gnome, kde, sway, hyprland, wlroots, other };

/// One decision: the path in use, why, and — when nothing works — the one thing the user can do.
struct BackendChoice {
    /// "xtest", "remote-desktop-portal", "mutter-remote-desktop", "virtual-keyboard", "kde-fake-input", "uinput",
    /// "x11-selection", "data-control", "portal-clipboard", "xwayland-bridge", "xinput2",
    /// "kglobalaccel", "global-shortcuts-portal", "evdev", "x11-window", "layer-shell", "xwayland-window", "none".
    QString path;
    QString reason;     ///< one English sentence (logs, doctor)
    QString limitation; ///< what the path cannot do; empty when nothing is known
    const char* fixKey = nullptr; ///< localisation key of the one fix; null when the path works

    bool works() const { return path != QLatin1String("none"); }
    /// The localised fix; empty when there is none.
    QString fix() const;
};

/// The paths chosen for this desktop.
struct DesktopBackends {
    DesktopFamily family = DesktopFamily::other;
    BackendChoice paste;
    BackendChoice clipboard;
    BackendChoice hotkeys;
    BackendChoice overlay;
    /// The next paste path this desktop offers after `paste` (empty when none): what the input
    /// platform takes when the chosen one cannot be made after all (KWin took fake-input back).
    QString pasteFallback;
    /// The namespace of the overlay's layer-shell surfaces. KWin 5.27 makes any other layer surface
    /// the active window when it is clicked, even one that takes no keyboard, so a click on the
    /// overlay would leave the application being dictated into without the keyboard and the next
    /// paste would go nowhere; a surface named "dock" is a dock to KWin, which a click never
    /// activates.
    QString overlayLayerNamespace = QStringLiteral("quillory-overlay");

    /// "paste=uinput clipboard=data-control hotkeys=none overlay=xwayland-window".
    QString summary() const;
    /// The log line: the summary and every reason.
    QString logLine() const;
};

namespace DesktopPaths {
inline const QString none = QStringLiteral("none");
inline const QString xtest = QStringLiteral("xtest");
inline const QString remoteDesktopPortal = QStringLiteral("remote-desktop-portal");
/// GNOME's own remote desktop service (org.gnome.Mutter.RemoteDesktop): paste key and clipboard.
inline const QString mutterRemoteDesktop = QStringLiteral("mutter-remote-desktop");
inline const QString virtualKeyboard = QStringLiteral("virtual-keyboard");
inline const QString kdeFakeInput = QStringLiteral("kde-fake-input");
inline const QString uinput = QStringLiteral("uinput");
inline const QString x11Selection = QStringLiteral("x11-selection");
inline const QString dataControl = QStringLiteral("data-control");
inline const QString portalClipboard = QStringLiteral("portal-clipboard");
inline const QString xwaylandBridge = QStringLiteral("xwayland-bridge");
inline const QString xinput2 = QStringLiteral("xinput2");
inline const QString globalShortcutsPortal = QStringLiteral("global-shortcuts-portal");
/// KDE's global shortcut service (org.kde.kglobalaccel): the component "Quillory" in System Settings.
inline const QString kglobalaccel = QStringLiteral("kglobalaccel");
inline const QString evdev = QStringLiteral("evdev");
inline const QString x11Window = QStringLiteral("x11-window");
inline const QString layerShell = QStringLiteral("layer-shell");
inline const QString xwaylandWindow = QStringLiteral("xwayland-window");
} // namespace DesktopPaths

/// The family named by XDG_CURRENT_DESKTOP; an unnamed compositor that advertises the wlroots
/// protocols counts as wlroots.
DesktopFamily desktopFamily(const DesktopFacts& facts);
/// "GNOME", "KDE", "sway", "Hyprland", "wlroots", "other".
QString familyName(DesktopFamily family);

/// The localisation key of the fix "bind `quillory toggle` in the desktop's shortcut settings"
/// (also what is left when a shortcuts portal binds nothing).
const char* hotkeyBindingFixKey(DesktopFamily family);

/// The paths for paste key, clipboard, hotkeys and overlay. Pure.
///
/// An X11 session keeps the X11 backends. Under Wayland, XTest and XInput2 through XWayland never
/// count (they reach X11 windows only). Paste key, in order: mutter's own remote desktop session
/// (GNOME), the virtual-keyboard protocol (wlroots), KWin's fake-input (KDE; advertised only to
/// programs KWin authorises; ahead of the portal: no session, no consent, no process between),
/// the RemoteDesktop portal's keyboard (GNOME, KDE), a uinput virtual keyboard; a paste key needs a clipboard that reaches
/// Wayland apps. Clipboard: data-control, else the clipboard of mutter's remote desktop session,
/// else the portal clipboard, else XWayland's bridge where
/// the compositor serves it without focus (GNOME). Hotkeys: the GlobalShortcuts portal, the evdev
/// keyboards, else a binding of `quillory toggle` in the desktop's own shortcut settings; on
/// KDE, KDE's own global shortcut service comes before the portal (Plasma 5.27's portal binds
/// nothing for a program without an app id).
DesktopBackends chooseDesktopBackends(const DesktopFacts& facts, const BuiltBackends& built);

} // namespace quillory
