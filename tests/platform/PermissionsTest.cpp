// The permission rules over faked desktop queries, and the observable manager built on them.
#include "Permissions/Authorizations.h"
#include "Permissions/PermissionManager.h"
#include "Runtime/Localization.h"
#include "support/CoreTest.h"

#include <QSignalSpy>

#include <vector>

using namespace quillory;
using Session = PermissionProbes::Session;
using Devices = PermissionProbes::KeyboardDevices;

namespace {

/// A desktop whose answers the test sets; installed for the test's lifetime.
struct FakeDesktop {
    Session session = Session::x11;
    std::optional<bool> xtest = true;
    std::optional<bool> xinput2 = true;
    std::optional<DesktopBackends> backends;
    Devices devices = Devices::unknown;
    QStringList asked;

    PermissionProbes probes() {
        PermissionProbes p;
        p.session = [this] { return session; };
        p.xExtensionPresent = [this](const QString& name) -> std::optional<bool> {
            asked << name;
            return name == QLatin1String("XTEST") ? xtest : xinput2;
        };
        p.desktopBackends = [this] { return backends; };
        p.keyboardDevices = [this] { return devices; };
        return p;
    }
};

class PermissionsTest : public quillory::testing::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        previous_ = PermissionProbes::install(desktop_.probes());
    }
    void TearDown() override {
        PermissionProbes::install(previous_);
        CoreTest::TearDown();
    }
    FakeDesktop desktop_;
    PermissionProbes previous_;
};

} // namespace

TEST_F(PermissionsTest, InjectionTrustFollowsTheSessionsOwnMechanism) {
    // X11: the XTEST extension decides; no connection means not trusted.
    EXPECT_TRUE(AccessibilityAuthorization::isTrusted());
    desktop_.xtest = false;
    EXPECT_FALSE(AccessibilityAuthorization::isTrusted());
    desktop_.xtest = std::nullopt;
    EXPECT_FALSE(AccessibilityAuthorization::isTrusted());

    // Wayland (XWayland included): the paste path chosen for the desktop decides, whatever the X
    // server offers.
    desktop_.session = Session::wayland;
    desktop_.xtest = true;
    EXPECT_FALSE(AccessibilityAuthorization::isTrusted()); // cannot tell
    DesktopFacts sway;
    sway.session = DesktopFacts::Session::wayland;
    sway.currentDesktops = {"sway"};
    sway.xDisplay = sway.xtest = true;
    sway.uinputWritable = true;
    sway.waylandGlobals = {{"zwp_virtual_keyboard_manager_v1", 1}, {"zwlr_data_control_manager_v1", 2}};
    BuiltBackends uinputOnly;
    uinputOnly.uinput = true;
    // A writable /dev/uinput with no clipboard that reaches Wayland apps would paste the earlier
    // clipboard: not trusted, and the fix is this desktop's, not the input group.
    desktop_.backends = chooseDesktopBackends(sway, uinputOnly);
    EXPECT_FALSE(AccessibilityAuthorization::isTrusted());
    EXPECT_EQ(AccessibilityAuthorization::fix(PermissionProbes::current()), L("desktop.fix.wlroots_protocols"));
    EXPECT_FALSE(AccessibilityAuthorization::fix(PermissionProbes::current()).contains("usermod"));
    desktop_.backends = chooseDesktopBackends(sway, BuiltBackends::all());
    EXPECT_TRUE(AccessibilityAuthorization::isTrusted());
    EXPECT_TRUE(AccessibilityAuthorization::fix(PermissionProbes::current()).isEmpty());

    desktop_.session = Session::none;
    EXPECT_FALSE(AccessibilityAuthorization::isTrusted());
    // Nothing installed at all: cannot tell, so not trusted.
    EXPECT_FALSE(AccessibilityAuthorization::isTrusted(PermissionProbes{}));
}

TEST_F(PermissionsTest, KeyMonitoringUsesXInput2ElseTheKeyboardDevices) {
    EXPECT_EQ(InputMonitoringAuthorization::listenEventPermissionState(), PermissionState::authorized);
    EXPECT_TRUE(desktop_.asked.contains("XInputExtension"));

    // An X server without XInput2 falls back to the evdev keyboards.
    desktop_.xinput2 = false;
    EXPECT_EQ(InputMonitoringAuthorization::listenEventPermissionState(), PermissionState::notDetermined);
    desktop_.devices = Devices::readable;
    EXPECT_EQ(InputMonitoringAuthorization::listenEventPermissionState(), PermissionState::authorized);

    // Wayland never asks the X server, even when an XWayland display answers: the hotkey path
    // chosen for the desktop decides.
    desktop_.session = Session::wayland;
    desktop_.xinput2 = true;
    desktop_.asked.clear();
    desktop_.devices = Devices::readable;
    EXPECT_EQ(InputMonitoringAuthorization::listenEventPermissionState(), PermissionState::notDetermined);
    DesktopFacts gnome;
    gnome.session = DesktopFacts::Session::wayland;
    gnome.currentDesktops = {"GNOME"};
    gnome.xDisplay = gnome.xinput2 = true;
    desktop_.backends = chooseDesktopBackends(gnome, BuiltBackends{});
    EXPECT_EQ(InputMonitoringAuthorization::listenEventPermissionState(), PermissionState::denied);
    EXPECT_EQ(InputMonitoringAuthorization::fix(PermissionProbes::current()), L("desktop.fix.hotkeys.gnome"));
    gnome.portals = {{"org.freedesktop.portal.GlobalShortcuts", 1}};
    desktop_.backends = chooseDesktopBackends(gnome, BuiltBackends::all());
    EXPECT_EQ(InputMonitoringAuthorization::listenEventPermissionState(), PermissionState::authorized);
    EXPECT_TRUE(desktop_.asked.isEmpty());
    EXPECT_EQ(InputMonitoringAuthorization::listenEventPermissionState(PermissionProbes{}),
              PermissionState::notDetermined);
}

TEST(KeyboardDeviceScan, AReadableKeyboardWinsOverRefusedDevices) {
    const InputDeviceProbe refused{false, true, false};
    const InputDeviceProbe mouse{true, false, false};
    const InputDeviceProbe keyboard{true, false, true};
    const InputDeviceProbe vanished{false, false, false}; // ENOENT, ENODEV: says nothing

    EXPECT_EQ(classifyKeyboardDevices({refused, mouse, keyboard}), Devices::readable);
    // Only refusals and non-keyboards: the user is missing the input group.
    EXPECT_EQ(classifyKeyboardDevices({mouse, refused}), Devices::noneReadable);
    EXPECT_EQ(classifyKeyboardDevices({mouse, vanished}), Devices::unknown);
    EXPECT_EQ(classifyKeyboardDevices({}), Devices::unknown);
}

TEST(SpeechAuthorizationStates, RestrictedShowsAsDenied) {
    EXPECT_EQ(SpeechAuthorization::permissionState(SpeechAuthorizationStatus::restricted),
              PermissionState::denied);
    EXPECT_EQ(SpeechAuthorization::permissionState(SpeechAuthorizationStatus::denied),
              PermissionState::denied);
    EXPECT_EQ(SpeechAuthorization::permissionState(SpeechAuthorizationStatus::notDetermined),
              PermissionState::notDetermined);
    // Linux: both grants are simply there.
    EXPECT_EQ(SpeechAuthorization::status(), SpeechAuthorizationStatus::authorized);
    EXPECT_EQ(MicrophoneAuthorization::status(), PermissionState::authorized);
}

TEST_F(PermissionsTest, NewManagerShowsRealStatesAndNotifiesOnlyOnChange) {
    desktop_.xtest = false;
    SystemPermissionManager manager;
    EXPECT_EQ(manager.microphone(), PermissionState::authorized);
    EXPECT_EQ(manager.speech(), PermissionState::authorized);
    EXPECT_EQ(manager.accessibility(), PermissionState::denied);
    EXPECT_FALSE(manager.allGranted());

    QSignalSpy axChanged(&manager, &SystemPermissionManager::accessibilityChanged);
    QSignalSpy micChanged(&manager, &SystemPermissionManager::microphoneChanged);
    QSignalSpy speechChanged(&manager, &SystemPermissionManager::speechChanged);
    manager.refreshAll();
    manager.refreshAll();
    EXPECT_EQ(axChanged.count() + micChanged.count() + speechChanged.count(), 0);

    desktop_.xtest = true;
    manager.refreshAccessibility();
    manager.refreshAccessibility();
    EXPECT_EQ(axChanged.count(), 1);
    EXPECT_TRUE(manager.allGranted());
    EXPECT_TRUE(manager.accessibilityFix().isEmpty());

    // A Wayland desktop with no paste path: denied, and the manager offers the desktop's fix.
    desktop_.session = Session::wayland;
    DesktopFacts gnome;
    gnome.session = DesktopFacts::Session::wayland;
    gnome.currentDesktops = {"GNOME"};
    gnome.xDisplay = gnome.xtest = true;
    BuiltBackends uinputOnly;
    uinputOnly.uinput = true;
    desktop_.backends = chooseDesktopBackends(gnome, uinputOnly);
    manager.refreshAccessibility();
    EXPECT_EQ(manager.accessibility(), PermissionState::denied);
    EXPECT_EQ(manager.accessibilityFix(), L("desktop.fix.paste.uinput"));
}

TEST_F(PermissionsTest, RequestsBringWindowsForwardAroundTheQuestion) {
    std::vector<std::string> calls;
    SystemPermissionManager manager({[&] { calls.push_back("front"); }, [&] { calls.push_back("refocus"); }});

    const auto pump = [&] { clock_.runPending(); };
    EXPECT_TRUE(runUntilDone(manager.requestMicrophone(), pump));
    EXPECT_TRUE(runUntilDone(manager.requestSpeech(), pump));
    EXPECT_EQ(calls, (std::vector<std::string>{"front", "refocus", "front", "refocus"}));

    // The injection grant is made outside the app: asking does not refresh the state.
    desktop_.xtest = false;
    calls.clear();
    manager.requestAccessibility();
    EXPECT_EQ(calls, std::vector<std::string>{"front"});
    EXPECT_EQ(manager.accessibility(), PermissionState::authorized);
    manager.refreshAccessibility();
    EXPECT_EQ(manager.accessibility(), PermissionState::denied);
}
