// Which paste key, clipboard, hotkey and overlay paths a desktop gets, and the fix when none works.
#include "Platform/DesktopBackends.h"
#include "Platform/linux/DesktopProbe.h"
#include "Runtime/Localization.h"

#include <gtest/gtest.h>

using namespace quillory;
using Session = DesktopFacts::Session;
using Keyboards = DesktopFacts::Keyboards;

namespace {

// Desktops as measured (globals and portals as their compositors and portal backends offer them).
DesktopFacts x11Desktop() {
    DesktopFacts f;
    f.session = Session::x11;
    f.currentDesktops = {"XFCE"};
    f.xDisplay = f.xtest = f.xinput2 = true;
    return f;
}
DesktopFacts waylandDesktop(QStringList desktops) {
    DesktopFacts f;
    f.session = Session::wayland;
    f.currentDesktops = std::move(desktops);
    f.xDisplay = f.xtest = f.xinput2 = true; // XWayland answers, and must not count
    f.waylandConnected = true;
    return f;
}
DesktopFacts gnome() {
    DesktopFacts f = waylandDesktop({"ubuntu", "GNOME"});
    f.portals = {{"org.freedesktop.portal.RemoteDesktop", 2}, {"org.freedesktop.portal.GlobalShortcuts", 1}};
    f.mutterRemoteDesktop = 1; // mutter's own service, as every GNOME session has it
    return f;
}
DesktopFacts kde() {
    DesktopFacts f = waylandDesktop({"KDE"});
    f.waylandGlobals = {{"zwlr_data_control_manager_v1", 2}, {"zwlr_layer_shell_v1", 4}};
    f.portals = {{"org.freedesktop.portal.RemoteDesktop", 2}, {"org.freedesktop.portal.GlobalShortcuts", 1}};
    return f;
}
DesktopFacts sway() {
    DesktopFacts f = waylandDesktop({"sway"});
    // sway 1.7 lists KWin's server-decoration manager among its globals.
    f.waylandGlobals = {{"zwp_virtual_keyboard_manager_v1", 1},
                        {"zwlr_data_control_manager_v1", 2},
                        {"zwlr_layer_shell_v1", 4},
                        {"org_kde_kwin_server_decoration_manager", 1}};
    return f;
}
DesktopFacts hyprland() {
    DesktopFacts f = sway();
    f.currentDesktops = {"Hyprland"};
    f.portals = {{"org.freedesktop.portal.GlobalShortcuts", 1}};
    return f;
}
DesktopFacts unknownWayland() {
    DesktopFacts f = waylandDesktop({"Weston"});
    f.xDisplay = f.xtest = f.xinput2 = false;
    return f;
}

BuiltBackends uinputOnly() {
    BuiltBackends b;
    b.uinput = true;
    return b;
}
/// What this program carries without the compositor-protocol backends: uinput and evdev.
BuiltBackends uinputAndEvdev() {
    BuiltBackends b = uinputOnly();
    b.evdev = true;
    return b;
}

struct Row {
    const char* name;
    DesktopFacts facts;
    BuiltBackends built;
    const char* paste;
    const char* clipboard;
    const char* hotkeys;
    const char* overlay;
    const char* pasteFix;   // nullptr: the paste path works
    const char* hotkeysFix; // nullptr: the hotkey path works
};

std::vector<Row> rows() {
    DesktopFacts writableUinput = gnome();
    writableUinput.uinputWritable = true;
    DesktopFacts kdeFakeInput = kde();
    kdeFakeInput.portals.clear();
    kdeFakeInput.waylandGlobals.insert("org_kde_kwin_fake_input", 5);
    kdeFakeInput.keyboards = Keyboards::readable;
    DesktopFacts kdeUnauthorised = kdeFakeInput;
    kdeUnauthorised.waylandGlobals.remove("org_kde_kwin_fake_input");
    kdeUnauthorised.keyboards = Keyboards::unknown;
    // KWin 5.27 with its portal: fake-input once KWin authorises this program, else the portal.
    DesktopFacts kdeAuthorisedWithPortal = kde();
    kdeAuthorisedWithPortal.waylandGlobals.insert("org_kde_kwin_fake_input", 4);
    // fake-input before version 4 has no keyboard keys.
    DesktopFacts kdeOldFakeInput = kdeUnauthorised;
    kdeOldFakeInput.waylandGlobals.insert("org_kde_kwin_fake_input", 3);
    DesktopFacts swayUinput = sway();
    swayUinput.uinputWritable = true;
    DesktopFacts swayKeyboards = sway();
    swayKeyboards.keyboards = Keyboards::noneReadable;
    DesktopFacts x11NoXTest = x11Desktop();
    x11NoXTest.xtest = false;
    DesktopFacts unnamedWlroots = sway();
    unnamedWlroots.currentDesktops.clear();
    const BuiltBackends all = BuiltBackends::all();
    const BuiltBackends x11Only = BuiltBackends{};
    DesktopFacts swayReadable = swayUinput;
    swayReadable.keyboards = Keyboards::readable;
    DesktopFacts gnomeReadable = writableUinput;
    gnomeReadable.keyboards = Keyboards::readable;
    DesktopFacts gnomeRefused = gnome();
    gnomeRefused.keyboards = Keyboards::noneReadable;
    DesktopFacts gnomeWithoutMutter = gnome();
    gnomeWithoutMutter.mutterRemoteDesktop = 0;
    // Debian 12: xdg-desktop-portal 1.16 has no GlobalShortcuts and no clipboard.
    DesktopFacts gnome43 = gnome();
    gnome43.portals = {{"org.freedesktop.portal.RemoteDesktop", 2}};
    // KWin serves org.kde.kglobalaccel on the session bus; a KDE program on another desktop may
    // start the service there too.
    DesktopFacts kdeService = kde();
    kdeService.kglobalaccel = true;
    DesktopFacts kdeServiceNoPortal = kdeService;
    kdeServiceNoPortal.portals.remove("org.freedesktop.portal.GlobalShortcuts");
    DesktopFacts gnomeWithKdeService = gnome();
    gnomeWithKdeService.kglobalaccel = true;
    BuiltBackends withoutKGlobalAccel = BuiltBackends::all();
    withoutKGlobalAccel.kglobalaccel = false;

    return {
        // Every backend built: the order of preference per desktop.
        {"X11", x11Desktop(), all, "xtest", "x11-selection", "xinput2", "x11-window", nullptr, nullptr},
        {"X11WithoutXTest", x11NoXTest, all, "none", "x11-selection", "xinput2", "x11-window",
         "desktop.fix.x11_extension", nullptr},
        {"GNOME", gnome(), all, "mutter-remote-desktop", "mutter-remote-desktop", "global-shortcuts-portal",
         "xwayland-window", nullptr, nullptr},
        {"GNOMEWithoutMutterService", gnomeWithoutMutter, all, "remote-desktop-portal", "xwayland-bridge",
         "global-shortcuts-portal", "xwayland-window", nullptr, nullptr},
        {"GNOME43", gnome43, all, "mutter-remote-desktop", "mutter-remote-desktop", "none", "xwayland-window",
         nullptr, "desktop.fix.hotkeys.gnome"},
        {"KDE", kde(), all, "remote-desktop-portal", "data-control", "global-shortcuts-portal", "layer-shell",
         nullptr, nullptr},
        {"KDEShortcutServiceAheadOfThePortal", kdeService, all, "remote-desktop-portal", "data-control",
         "kglobalaccel", "layer-shell", nullptr, nullptr},
        {"KDEShortcutServiceWithoutPortal", kdeServiceNoPortal, all, "remote-desktop-portal", "data-control",
         "kglobalaccel", "layer-shell", nullptr, nullptr},
        {"KDEShortcutServiceNotBuilt", kdeService, withoutKGlobalAccel, "remote-desktop-portal", "data-control",
         "global-shortcuts-portal", "layer-shell", nullptr, nullptr},
        {"GNOMEWithKDEsShortcutService", gnomeWithKdeService, all, "mutter-remote-desktop", "mutter-remote-desktop",
         "global-shortcuts-portal", "xwayland-window", nullptr, nullptr},
        {"KDEFakeInputWhereAuthorised", kdeFakeInput, all, "kde-fake-input", "data-control", "evdev",
         "layer-shell", nullptr, nullptr},
        {"KDEFakeInputAheadOfThePortal", kdeAuthorisedWithPortal, all, "kde-fake-input", "data-control",
         "global-shortcuts-portal", "layer-shell", nullptr, nullptr},
        {"KDENotAuthorised", kdeUnauthorised, all, "none", "data-control", "none", "layer-shell",
         "desktop.fix.paste.kde_fake_input", "desktop.fix.hotkeys.kde"},
        {"KDEFakeInputWithoutKeys", kdeOldFakeInput, all, "none", "data-control", "none", "layer-shell",
         "desktop.fix.paste.kde_fake_input", "desktop.fix.hotkeys.kde"},
        {"Sway", sway(), all, "virtual-keyboard", "data-control", "none", "layer-shell", nullptr,
         "desktop.fix.hotkeys.sway"},
        {"SwayKeyboardsRefused", swayKeyboards, all, "virtual-keyboard", "data-control", "none", "layer-shell",
         nullptr, "desktop.fix.hotkeys.input_group"},
        {"Hyprland", hyprland(), all, "virtual-keyboard", "data-control", "global-shortcuts-portal",
         "layer-shell", nullptr, nullptr},
        {"UnnamedWlroots", unnamedWlroots, all, "virtual-keyboard", "data-control", "none", "layer-shell",
         nullptr, "desktop.fix.hotkeys.other"},
        {"UnknownWithoutXWayland", unknownWayland(), all, "none", "none", "none", "none",
         "desktop.fix.x11_session", "desktop.fix.hotkeys.other"},
        // Without the protocol and portal backends: uinput where writable, evdev where readable.
        {"GNOMEUinputAndEvdev", gnomeReadable, uinputAndEvdev(), "uinput", "xwayland-bridge", "evdev",
         "xwayland-window", nullptr, nullptr},
        {"GNOMEKeyboardsRefused", gnomeRefused, uinputAndEvdev(), "none", "xwayland-bridge", "none",
         "xwayland-window", "desktop.fix.paste.uinput", "desktop.fix.hotkeys.input_group"},
        {"SwayUinputAndEvdev", swayReadable, uinputAndEvdev(), "none", "none", "evdev", "xwayland-window",
         "desktop.fix.wlroots_protocols", nullptr},
        // Nothing but the X11 backends.
        {"GNOMEX11BackendsOnly", gnome(), x11Only, "none", "xwayland-bridge", "none", "xwayland-window",
         "desktop.fix.x11_session", "desktop.fix.hotkeys.gnome"},
        {"GNOMEUinputNotWritable", gnome(), uinputOnly(), "none", "xwayland-bridge", "none",
         "xwayland-window", "desktop.fix.paste.uinput", "desktop.fix.hotkeys.gnome"},
        {"GNOMEUinputWritable", writableUinput, uinputOnly(), "uinput", "xwayland-bridge", "none",
         "xwayland-window", nullptr, "desktop.fix.hotkeys.gnome"},
        // sway without data-control in the build: XWayland's bridge needs an X11 window in focus,
        // so even a writable uinput must not paste (it would paste the earlier clipboard).
        {"SwayUinputWithoutDataControl", swayUinput, uinputOnly(), "none", "none", "none",
         "xwayland-window", "desktop.fix.wlroots_protocols", "desktop.fix.hotkeys.sway"},
        {"HyprlandX11BackendsOnly", hyprland(), x11Only, "none", "none", "none", "xwayland-window",
         "desktop.fix.wlroots_protocols", "desktop.fix.hotkeys.hyprland"},
        {"KDEUinputWithoutDataControl",
         [] {
             DesktopFacts f = kde();
             f.uinputWritable = true;
             return f;
         }(),
         uinputOnly(), "none", "none", "none", "xwayland-window", "desktop.fix.x11_session",
         "desktop.fix.hotkeys.kde"},
    };
}

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class DesktopChoice : public ::testing::TestWithParam<Row> {};

} // namespace

TEST_P(DesktopChoice, PicksThePathsAndTheFix) {
    const Row& row = GetParam();
    const DesktopBackends b = chooseDesktopBackends(row.facts, row.built);
    EXPECT_EQ(b.paste.path, row.paste) << b.paste.reason.toStdString();
    EXPECT_EQ(b.clipboard.path, row.clipboard) << b.clipboard.reason.toStdString();
    EXPECT_EQ(b.hotkeys.path, row.hotkeys) << b.hotkeys.reason.toStdString();
    EXPECT_EQ(b.overlay.path, row.overlay) << b.overlay.reason.toStdString();
    EXPECT_STREQ(b.paste.fixKey, row.pasteFix);
    EXPECT_STREQ(b.hotkeys.fixKey, row.hotkeysFix);
    for (const BackendChoice* c : {&b.paste, &b.clipboard, &b.hotkeys, &b.overlay}) {
        EXPECT_FALSE(c->reason.isEmpty()) << c->path.toStdString();
        if (c->fixKey) {
            EXPECT_TRUE(Localization::hasKey(c->fixKey)) << c->fixKey;
        }
    }
}

TEST(DesktopChoiceOnKDE, SaysWhyFakeInputIsNotUsedAndKeepsThePortalAsTheFallback) {
    // Not authorised: the portal, and the reason names what KWin looks for.
    const DesktopBackends portal = chooseDesktopBackends(kde(), BuiltBackends::all());
    EXPECT_EQ(portal.paste.path, "remote-desktop-portal");
    EXPECT_TRUE(portal.paste.reason.contains("KWin does not offer fake-input to this program")) << portal.paste.reason.toStdString();
    EXPECT_TRUE(portal.paste.reason.contains("X-KDE-Wayland-Interfaces")) << portal.paste.reason.toStdString();
    EXPECT_TRUE(portal.logLine().contains("KWin does not offer fake-input"));

    // Authorised: fake-input, with the portal as the path to fall back on.
    DesktopFacts authorised = kde();
    authorised.waylandGlobals.insert("org_kde_kwin_fake_input", 4);
    const DesktopBackends fakeInput = chooseDesktopBackends(authorised, BuiltBackends::all());
    EXPECT_EQ(fakeInput.paste.path, "kde-fake-input");
    EXPECT_EQ(fakeInput.pasteFallback, "remote-desktop-portal");
    EXPECT_EQ(fakeInput.summary(), "paste=kde-fake-input clipboard=data-control hotkeys=global-shortcuts-portal "
                                   "overlay=layer-shell");

    // Without the portal backend in the build, the fallback is what is left.
    BuiltBackends noPortal = BuiltBackends::all();
    noPortal.remoteDesktopPortal = false;
    EXPECT_EQ(chooseDesktopBackends(authorised, noPortal).pasteFallback, "");
}

TEST(DesktopChoiceOnKDE, KDEsShortcutServiceSaysWhereTheKeysAreAssigned) {
    DesktopFacts f = kde();
    f.kglobalaccel = true;
    const DesktopBackends b = chooseDesktopBackends(f, BuiltBackends::all());
    EXPECT_EQ(b.hotkeys.path, "kglobalaccel");
    EXPECT_TRUE(b.hotkeys.reason.contains("org.kde.kglobalaccel")) << b.hotkeys.reason.toStdString();
    EXPECT_TRUE(b.hotkeys.limitation.contains("System Settings \u2192 Shortcuts \u2192 Quillory"))
        << b.hotkeys.limitation.toStdString();
    EXPECT_TRUE(Localization::hasKey("desktop.fix.hotkeys.kglobalaccel"));
    // Without the service the portal is taken, and the reason says what was missing.
    const DesktopBackends portal = chooseDesktopBackends(kde(), BuiltBackends::all());
    EXPECT_EQ(portal.hotkeys.path, "global-shortcuts-portal");
    f.portals.clear();
    f.kglobalaccel = false;
    EXPECT_TRUE(chooseDesktopBackends(f, BuiltBackends::all()).hotkeys.reason.contains("no org.kde.kglobalaccel"));
}

// The hotkey paths with the backends this program carries: the GlobalShortcuts portal where the
// desktop's portal has it (GNOME 48, Hyprland), KDE's own service ahead of it on KDE, and where
// there is no portal, or the portal did not bind the shortcuts, the advice to bind `quillory toggle`.
TEST(DesktopChoiceOfThisBuild, ThePortalWhereOfferedKDEsServiceOnKDEAndTheBindingAdviceOtherwise) {
    const BuiltBackends built = platform::builtBackends();
    DesktopFacts gnome48 = gnome();
    EXPECT_EQ(chooseDesktopBackends(gnome48, built).hotkeys.path, "global-shortcuts-portal");
    EXPECT_EQ(chooseDesktopBackends(hyprland(), built).hotkeys.path, "global-shortcuts-portal");
    DesktopFacts plasma = kde();
    plasma.kglobalaccel = true; // KWin serves it
    EXPECT_EQ(chooseDesktopBackends(plasma, built).hotkeys.path, "kglobalaccel");

    DesktopFacts gnome43 = gnome();
    gnome43.portals.remove("org.freedesktop.portal.GlobalShortcuts");
    const BackendChoice noPortal = chooseDesktopBackends(gnome43, built).hotkeys;
    EXPECT_EQ(noPortal.path, "none");
    EXPECT_STREQ(noPortal.fixKey, "desktop.fix.hotkeys.gnome");

    // The app wrote down that the portal bound nothing: the same advice, and the reason says why
    // (also where the keyboards could be read: the running app does not switch to them).
    gnome48.shortcutsPortalFailure = "the GlobalShortcuts portal bound none of the shortcuts";
    gnome48.keyboards = Keyboards::readable;
    const BackendChoice failed = chooseDesktopBackends(gnome48, built).hotkeys;
    EXPECT_EQ(failed.path, "none");
    EXPECT_STREQ(failed.fixKey, "desktop.fix.hotkeys.gnome");
    EXPECT_TRUE(failed.reason.contains("did not bind the shortcuts (the GlobalShortcuts portal bound none"))
        << failed.reason.toStdString();
    DesktopFacts hyprlandFailed = hyprland();
    hyprlandFailed.shortcutsPortalFailure = "the shortcuts were declined in the desktop's dialog";
    EXPECT_STREQ(chooseDesktopBackends(hyprlandFailed, built).hotkeys.fixKey, "desktop.fix.hotkeys.hyprland");
}

TEST(DesktopChoiceOnKDE, TheOverlayIsADockSoThatAClickNeverDeactivatesTheTarget) {
    // KWin activates a clicked layer surface of any other type, keyboard or not.
    const DesktopBackends plasma = chooseDesktopBackends(kde(), BuiltBackends::all());
    EXPECT_EQ(plasma.overlay.path, "layer-shell");
    EXPECT_EQ(plasma.overlayLayerNamespace, "dock");
    EXPECT_TRUE(plasma.overlay.limitation.contains("full-screen")) << plasma.overlay.limitation.toStdString();
    // KWin under another desktop name is still KWin.
    DesktopFacts unnamed = kde();
    unnamed.currentDesktops = {};
    unnamed.waylandGlobals.insert("org_kde_kwin_shadow_manager", 1);
    EXPECT_EQ(chooseDesktopBackends(unnamed, BuiltBackends::all()).overlayLayerNamespace, "dock");
    // Elsewhere the overlay keeps its own name (compositors' layer rules match on it).
    const DesktopBackends onSway = chooseDesktopBackends(sway(), BuiltBackends::all());
    EXPECT_EQ(onSway.overlayLayerNamespace, "quillory-overlay");
    EXPECT_TRUE(onSway.overlay.limitation.isEmpty()) << onSway.overlay.limitation.toStdString();
    EXPECT_EQ(chooseDesktopBackends(hyprland(), BuiltBackends::all()).overlayLayerNamespace, "quillory-overlay");
}

INSTANTIATE_TEST_SUITE_P(Desktops, DesktopChoice, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

TEST(DesktopChoiceRules, XWaylandNeverCountsAndTheReasonSaysSo) {
    // XTest and XInput2 answer on XWayland, nothing else is there: no path, and the reason names why.
    const DesktopBackends b = chooseDesktopBackends(gnome(), BuiltBackends{});
    EXPECT_FALSE(b.paste.works());
    EXPECT_TRUE(b.paste.reason.contains("X11 windows only")) << b.paste.reason.toStdString();
    EXPECT_TRUE(b.hotkeys.reason.contains("X11 windows")) << b.hotkeys.reason.toStdString();
    // An advertised path this build lacks is named as such, not as missing from the desktop.
    EXPECT_TRUE(b.paste.reason.contains("remote-desktop-portal is offered, but this build has no backend"))
        << b.paste.reason.toStdString();
}

TEST(DesktopChoiceRules, FamiliesAndTheLogLine) {
    DesktopFacts f;
    f.currentDesktops = {"ubuntu", "GNOME"};
    EXPECT_EQ(desktopFamily(f), DesktopFamily::gnome);
    f.currentDesktops = {"KDE"};
    EXPECT_EQ(desktopFamily(f), DesktopFamily::kde);
    f.currentDesktops = {"Hyprland"};
    EXPECT_EQ(desktopFamily(f), DesktopFamily::hyprland);
    f.currentDesktops = {"river"};
    EXPECT_EQ(desktopFamily(f), DesktopFamily::wlroots);
    f.currentDesktops = {};
    EXPECT_EQ(desktopFamily(f), DesktopFamily::other);

    const DesktopBackends b = chooseDesktopBackends(sway(), BuiltBackends::all());
    EXPECT_EQ(b.summary(), "paste=virtual-keyboard clipboard=data-control hotkeys=none overlay=layer-shell");
    EXPECT_TRUE(b.logLine().startsWith("desktop backends (sway): paste=virtual-keyboard")) << b.logLine().toStdString();

    DesktopFacts none;
    const DesktopBackends nothing = chooseDesktopBackends(none, BuiltBackends::all());
    EXPECT_EQ(nothing.summary(), "paste=none clipboard=none hotkeys=none overlay=none");
    EXPECT_STREQ(nothing.paste.fixKey, "desktop.fix.no_session");
}
