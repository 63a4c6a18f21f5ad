#include "Platform/DesktopBackends.h"

#include "Runtime/Localization.h"

#include <algorithm>

namespace quillory {

namespace {

constexpr const char* kVirtualKeyboard = "zwp_virtual_keyboard_manager_v1";
constexpr const char* kFakeInput = "org_kde_kwin_fake_input";
constexpr const char* kDataControl = "zwlr_data_control_manager_v1";
constexpr const char* kExtDataControl = "ext_data_control_manager_v1";
constexpr const char* kLayerShell = "zwlr_layer_shell_v1";
/// Advertised by KWin to every client, whatever XDG_CURRENT_DESKTOP says, and by no wlroots
/// compositor (sway lists KWin's server-decoration manager too: not that one).
constexpr const char* kKWinShadows = "org_kde_kwin_shadow_manager";
constexpr const char* kRemoteDesktop = "org.freedesktop.portal.RemoteDesktop";
constexpr const char* kGlobalShortcuts = "org.freedesktop.portal.GlobalShortcuts";
constexpr const char* kClipboardPortal = "org.freedesktop.portal.Clipboard";

using Session = DesktopFacts::Session;
namespace P = DesktopPaths;

BackendChoice choice(const QString& path, QString reason, QString limitation = {}) {
    return {path, std::move(reason), std::move(limitation), nullptr};
}
BackendChoice nothing(QString reason, const char* fixKey) {
    return {P::none, std::move(reason), {}, fixKey};
}

bool isWlroots(DesktopFamily f) {
    return f == DesktopFamily::sway || f == DesktopFamily::hyprland || f == DesktopFamily::wlroots;
}

// ---- X11 ----

DesktopBackends chooseX11(const DesktopFacts& f, const BuiltBackends& built) {
    DesktopBackends b;
    b.family = desktopFamily(f);
    if (!f.xDisplay) {
        const QString why = QStringLiteral("the X display cannot be opened");
        b.paste = nothing(why, "desktop.fix.x11_display");
        b.clipboard = nothing(why, "desktop.fix.x11_display");
        b.hotkeys = nothing(why, "desktop.fix.x11_display");
        b.overlay = nothing(why, nullptr);
        return b;
    }
    b.paste = f.xtest && built.xtest
                  ? choice(P::xtest, QStringLiteral("X11 session: XTest presses the paste key"))
                  : nothing(QStringLiteral("the X server has no XTEST extension"), "desktop.fix.x11_extension");
    b.clipboard = choice(P::x11Selection, QStringLiteral("X11 session: the CLIPBOARD selection"));
    b.hotkeys = f.xinput2 && built.xinput2
                    ? choice(P::xinput2, QStringLiteral("X11 session: XInput2 raw key events"))
                    : nothing(QStringLiteral("the X server has no XInput 2.2"), "desktop.fix.x11_extension");
    b.overlay = choice(P::x11Window, QStringLiteral("X11 session: a window that does not take focus"));
    return b;
}

// ---- Wayland ----

/// What a session without a working path can still do, per desktop.
const char* noClipboardFix(DesktopFamily family) {
    return isWlroots(family) ? "desktop.fix.wlroots_protocols" : "desktop.fix.x11_session";
}

BackendChoice waylandClipboard(const DesktopFacts& f, const BuiltBackends& built, DesktopFamily family) {
    const bool dataControl = f.globalVersion(kDataControl) > 0 || f.globalVersion(kExtDataControl) > 0;
    if (dataControl && built.dataControl) {
        return choice(P::dataControl,
                      QStringLiteral("the compositor's data-control protocol reads, sets and restores the "
                                     "clipboard without focus"));
    }
    if (f.mutterRemoteDesktop > 0 && built.mutterRemoteDesktop) {
        return choice(P::mutterRemoteDesktop,
                      QStringLiteral("GNOME's remote desktop session reads, sets and restores the clipboard "
                                     "without focus"),
                      QStringLiteral("the session lasts as long as this program's bus connection"));
    }
    const bool portalClipboard = f.portalVersion(kClipboardPortal) > 0 && f.portalVersion(kRemoteDesktop) > 0;
    if (portalClipboard && built.portalClipboard) {
        return choice(P::portalClipboard,
                      QStringLiteral("the RemoteDesktop portal's clipboard"),
                      QStringLiteral("only while the remote desktop session is held"));
    }
    QStringList missing;
    if (f.mutterRemoteDesktop > 0) {
        missing << QStringLiteral("mutter's remote desktop service is there, but this build has no backend for it");
    }
    if (dataControl) {
        missing << QStringLiteral("the compositor has data-control, but this build has no backend for it");
    }
    if (portalClipboard) {
        missing << QStringLiteral("the portal has a clipboard, but this build has no backend for it");
    }
    if (f.xDisplay && family == DesktopFamily::gnome) {
        // Mutter bridges the selections itself: an X11 owner is offered to Wayland apps whatever
        // has the focus.
        return choice(P::xwaylandBridge,
                      (missing.isEmpty() ? QString() : missing.join(QStringLiteral("; ")) + QStringLiteral("; ")) +
                          QStringLiteral("GNOME's compositor hands the X11 clipboard to Wayland apps"),
                      QStringLiteral("a target that asks for the clipboard after the restore pastes the "
                                     "earlier contents"));
    }
    if (missing.isEmpty()) {
        missing << QStringLiteral("the compositor offers no data-control protocol");
    }
    if (f.xDisplay) {
        missing << QStringLiteral("XWayland passes the clipboard to Wayland apps only while an X11 window has focus");
    } else {
        missing << QStringLiteral("there is no XWayland display");
    }
    return nothing(missing.join(QStringLiteral("; ")), noClipboardFix(family));
}

/// One candidate paste path: whether the desktop offers it and whether this build carries it.
struct Candidate {
    QString path;
    bool offered;
    bool builtHere;
    QString offeredReason;
    QString missingReason;
};

const char* pasteFix(DesktopFamily family, const BuiltBackends& built) {
    if (built.remoteDesktopPortal && family == DesktopFamily::gnome) {
        return "desktop.fix.paste.gnome_portal";
    }
    if (built.kdeFakeInput && family == DesktopFamily::kde) {
        return "desktop.fix.paste.kde_fake_input";
    }
    if (built.remoteDesktopPortal && family == DesktopFamily::kde) {
        return "desktop.fix.paste.kde_portal";
    }
    return built.uinput ? "desktop.fix.paste.uinput" : noClipboardFix(family);
}

BackendChoice waylandPaste(const DesktopFacts& f, const BuiltBackends& built, DesktopFamily family,
                           const BackendChoice& clipboard, QString* fallback) {
    const int remoteDesktop = f.portalVersion(kRemoteDesktop);
    const Candidate portal{P::remoteDesktopPortal, remoteDesktop > 0, built.remoteDesktopPortal,
                           remoteDesktop >= 2 ? QStringLiteral("the RemoteDesktop portal's keyboard (one consent, "
                                                               "kept with its restore token)")
                                              : QStringLiteral("the RemoteDesktop portal's keyboard"),
                           QStringLiteral("the RemoteDesktop portal is not on the session bus")};
    const Candidate mutter{P::mutterRemoteDesktop, f.mutterRemoteDesktop > 0, built.mutterRemoteDesktop,
                           QStringLiteral("GNOME's remote desktop session presses the key (no consent asked: "
                                          "mutter serves its own session bus)"),
                           QStringLiteral("mutter's remote desktop service is not on the session bus")};
    const Candidate virtualKeyboard{P::virtualKeyboard, f.globalVersion(kVirtualKeyboard) > 0,
                                    built.virtualKeyboard,
                                    QStringLiteral("the compositor's virtual-keyboard protocol"),
                                    QStringLiteral("the compositor has no virtual-keyboard protocol")};
    // KWin advertises fake-input only to a program it authorises (by its desktop file); v4 has keys.
    const Candidate fakeInput{P::kdeFakeInput, f.globalVersion(kFakeInput) >= 4, built.kdeFakeInput,
                              QStringLiteral("KWin offers its fake-input protocol to this program (no session or "
                                             "consent needed)"),
                              f.globalVersion(kFakeInput) > 0
                                  ? QStringLiteral("KWin's fake-input is older than version 4 (no keyboard keys)")
                                  : QStringLiteral("KWin does not offer fake-input to this program (no desktop file "
                                                   "lists org_kde_kwin_fake_input in X-KDE-Wayland-Interfaces "
                                                   "with this executable's absolute path in Exec)")};
    const Candidate uinput{P::uinput, f.uinputWritable, built.uinput,
                           QStringLiteral("a uinput virtual keyboard (/dev/uinput is writable) reaches every app"),
                           QStringLiteral("/dev/uinput is not writable")};

    std::vector<Candidate> order;
    switch (family) {
    case DesktopFamily::gnome:
        order = {mutter, portal, uinput};
        break;
    case DesktopFamily::kde:
        order = {fakeInput, portal, uinput};
        break;
    case DesktopFamily::sway:
    case DesktopFamily::hyprland:
    case DesktopFamily::wlroots:
        order = {virtualKeyboard, portal, uinput};
        break;
    case DesktopFamily::other:
        order = {virtualKeyboard, mutter, fakeInput, portal, uinput};
        break;
    }

    QStringList skipped;
    if (f.xtest) {
        skipped << QStringLiteral("XTest through XWayland reaches X11 windows only");
    }
    for (auto it = order.begin(); it != order.end(); ++it) {
        const Candidate& c = *it;
        if (c.offered && c.builtHere) {
            const auto next = std::find_if(it + 1, order.end(), [](const Candidate& n) { return n.offered && n.builtHere; });
            if (next != order.end() && clipboard.works()) {
                *fallback = next->path;
            }
            if (!clipboard.works()) {
                skipped << QStringLiteral("%1 is there, but no clipboard reaches Wayland apps (%2)")
                               .arg(c.path, clipboard.reason);
                return nothing(skipped.join(QStringLiteral("; ")), clipboard.fixKey);
            }
            QString reason = c.offeredReason;
            if (!skipped.isEmpty()) {
                reason += QStringLiteral(" (") + skipped.join(QStringLiteral("; ")) + QLatin1Char(')');
            }
            return choice(c.path, reason);
        }
        skipped << (c.offered ? QStringLiteral("%1 is offered, but this build has no backend for it").arg(c.path)
                              : c.missingReason);
    }
    // Nothing to press the key with: the fix of a missing clipboard comes first, fixing the key
    // alone would not help.
    return nothing(skipped.join(QStringLiteral("; ")), clipboard.works() ? pasteFix(family, built) : clipboard.fixKey);
}

} // namespace

const char* hotkeyBindingFixKey(DesktopFamily family) {
    switch (family) {
    case DesktopFamily::gnome:
        return "desktop.fix.hotkeys.gnome";
    case DesktopFamily::kde:
        return "desktop.fix.hotkeys.kde";
    case DesktopFamily::sway:
        return "desktop.fix.hotkeys.sway";
    case DesktopFamily::hyprland:
        return "desktop.fix.hotkeys.hyprland";
    case DesktopFamily::wlroots:
    case DesktopFamily::other:
        break;
    }
    return "desktop.fix.hotkeys.other";
}

namespace {

BackendChoice waylandHotkeys(const DesktopFacts& f, const BuiltBackends& built, DesktopFamily family) {
    QStringList skipped;
    if (f.xinput2) {
        skipped << QStringLiteral("XInput2 through XWayland hears only keys typed into X11 windows");
    }
    if (family == DesktopFamily::kde) {
        if (f.kglobalaccel && built.kglobalaccel) {
            return choice(P::kglobalaccel,
                          QStringLiteral("KDE's global shortcut service (org.kde.kglobalaccel) is on the session bus"),
                          QStringLiteral("it binds key combinations, not the modifier gestures; an action without a "
                                         "key gets one in System Settings \u2192 Shortcuts \u2192 Quillory"));
        }
        skipped << (f.kglobalaccel ? QStringLiteral("org.kde.kglobalaccel is there, but this build has no backend for it")
                                   : QStringLiteral("no org.kde.kglobalaccel on the session bus"));
    }
    const bool portal = f.portalVersion(kGlobalShortcuts) > 0;
    if (portal && built.globalShortcutsPortal && !f.shortcutsPortalFailure.isEmpty()) {
        // Tried and failed: what the user can do is what they can do without a portal.
        skipped << QStringLiteral("the GlobalShortcuts portal did not bind the shortcuts (%1)").arg(f.shortcutsPortalFailure);
        return nothing(skipped.join(QStringLiteral("; ")), hotkeyBindingFixKey(family));
    }
    if (portal && built.globalShortcutsPortal) {
        return choice(P::globalShortcutsPortal, QStringLiteral("the GlobalShortcuts portal"),
                      QStringLiteral("the portal binds ordinary shortcuts; the modifier gestures need the "
                                     "keyboards under /dev/input"));
    }
    skipped << (portal ? QStringLiteral("the GlobalShortcuts portal is there, but this build has no backend for it")
                       : QStringLiteral("no GlobalShortcuts portal"));
    if (built.evdev && f.keyboards == DesktopFacts::Keyboards::readable) {
        return choice(P::evdev, QStringLiteral("the keyboards under /dev/input are readable"));
    }
    if (!built.evdev) {
        skipped << QStringLiteral("this build does not read /dev/input");
    } else if (f.keyboards == DesktopFacts::Keyboards::noneReadable) {
        skipped << QStringLiteral("the keyboards under /dev/input refuse this user");
        return nothing(skipped.join(QStringLiteral("; ")), "desktop.fix.hotkeys.input_group");
    } else {
        skipped << QStringLiteral("no keyboard found under /dev/input");
    }
    return nothing(skipped.join(QStringLiteral("; ")), hotkeyBindingFixKey(family));
}

bool isKWin(const DesktopFacts& f, DesktopFamily family) {
    return family == DesktopFamily::kde || f.globalVersion(kKWinShadows) > 0;
}

BackendChoice waylandOverlay(const DesktopFacts& f, const BuiltBackends& built, DesktopFamily family) {
    if (f.globalVersion(kLayerShell) > 0 && built.layerShell) {
        if (isKWin(f, family)) {
            return choice(P::layerShell,
                          QStringLiteral("a layer-shell surface of the dock type: KWin gives it neither the keyboard "
                                         "nor, when it is clicked, the active window"),
                          QStringLiteral("KWin shows docks under full-screen windows"));
        }
        return choice(P::layerShell,
                      QStringLiteral("a layer-shell surface without keyboard interactivity never takes focus"));
    }
    if (f.xDisplay) {
        return choice(P::xwaylandWindow, QStringLiteral("a window on XWayland"),
                      QStringLiteral("some compositors give it the keyboard focus when it is shown"));
    }
    return nothing(QStringLiteral("no XWayland display for the overlay window"), nullptr);
}

} // namespace

int DesktopFacts::globalVersion(const char* interface) const {
    return waylandGlobals.value(QString::fromLatin1(interface), 0);
}

int DesktopFacts::portalVersion(const char* interface) const {
    return portals.value(QString::fromLatin1(interface), 0);
}

BuiltBackends BuiltBackends::all() {
    BuiltBackends b;
    b.remoteDesktopPortal = b.mutterRemoteDesktop = b.virtualKeyboard = b.kdeFakeInput = b.uinput = b.dataControl = true;
    b.portalClipboard = b.globalShortcutsPortal = b.kglobalaccel = b.evdev = b.layerShell = true;
    return b;
}

QString BackendChoice::fix() const {
    return fixKey ? Localization::text(fixKey) : QString();
}

QString DesktopBackends::summary() const {
    return QStringLiteral("paste=%1 clipboard=%2 hotkeys=%3 overlay=%4")
        .arg(paste.path, clipboard.path, hotkeys.path, overlay.path);
}

QString DesktopBackends::logLine() const {
    return QStringLiteral("desktop backends (%1): %2 (paste: %3; clipboard: %4; hotkeys: %5)")
        .arg(familyName(family), summary(), paste.reason, clipboard.reason, hotkeys.reason);
}

DesktopFamily desktopFamily(const DesktopFacts& facts) {
    for (const QString& part : facts.currentDesktops) {
        const QString name = part.trimmed().toLower();
        if (name == QLatin1String("gnome") || name == QLatin1String("gnome-classic") ||
            name == QLatin1String("gnome-flashback") || name == QLatin1String("unity")) {
            return DesktopFamily::gnome;
        }
        if (name == QLatin1String("kde")) {
            return DesktopFamily::kde;
        }
        if (name == QLatin1String("sway")) {
            return DesktopFamily::sway;
        }
        if (name == QLatin1String("hyprland")) {
            return DesktopFamily::hyprland;
        }
        if (name == QLatin1String("wlroots") || name == QLatin1String("river") ||
            name == QLatin1String("wayfire") || name == QLatin1String("labwc")) {
            return DesktopFamily::wlroots;
        }
    }
    // Unnamed: a compositor with the wlroots protocols takes their fixes.
    if (facts.globalVersion(kVirtualKeyboard) > 0 && facts.globalVersion(kDataControl) > 0) {
        return DesktopFamily::wlroots;
    }
    return DesktopFamily::other;
}

QString familyName(DesktopFamily family) {
    switch (family) {
    case DesktopFamily::gnome:
        return QStringLiteral("GNOME");
    case DesktopFamily::kde:
        return QStringLiteral("KDE");
    case DesktopFamily::sway:
        return QStringLiteral("sway");
    case DesktopFamily::hyprland:
        return QStringLiteral("Hyprland");
    case DesktopFamily::wlroots:
        return QStringLiteral("wlroots");
    case DesktopFamily::other:
        break;
    }
    return QStringLiteral("other");
}

DesktopBackends chooseDesktopBackends(const DesktopFacts& facts, const BuiltBackends& built) {
    switch (facts.session) {
    case Session::x11:
        return chooseX11(facts, built);
    case Session::wayland: {
        DesktopBackends b;
        b.family = desktopFamily(facts);
        b.clipboard = waylandClipboard(facts, built, b.family);
        b.paste = waylandPaste(facts, built, b.family, b.clipboard, &b.pasteFallback);
        b.hotkeys = waylandHotkeys(facts, built, b.family);
        b.overlay = waylandOverlay(facts, built, b.family);
        if (b.overlay.path == P::layerShell && isKWin(facts, b.family)) {
            b.overlayLayerNamespace = QStringLiteral("dock");
        }
        return b;
    }
    case Session::none:
        break;
    }
    DesktopBackends b;
    b.family = desktopFamily(facts);
    const QString why = QStringLiteral("no graphical session");
    b.paste = nothing(why, "desktop.fix.no_session");
    b.clipboard = nothing(why, "desktop.fix.no_session");
    b.hotkeys = nothing(why, "desktop.fix.no_session");
    b.overlay = nothing(why, nullptr);
    return b;
}

} // namespace quillory
