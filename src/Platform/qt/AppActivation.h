#pragma once

#include <QList>

#include <functional>

class QWindow;

namespace quillory {

/// Bringing the program's own windows forward when the user must act on them (the settings
/// window, a permission step, a save dialog), over Qt's top-level windows. The floating overlay
/// panels are never raised or activated here. Main thread only.
///
/// Linux has no Dock: the "regular" activation policy means the settings window is shown with a
/// taskbar entry, "accessory" that the app lives in the tray only. The window code that owns
/// the taskbar entry follows the policy through `setActivationPolicyHandler`.
namespace AppActivation {

/// Identifiers the overlay panels carry (as their object name, or the property below).
inline constexpr char kInputStatusPanelIdentifier[] = "quillory.inputStatusPanel";
inline constexpr char kInputTranscriptPanelIdentifier[] = "quillory.inputTranscriptPanel";
/// A window's identifier when it is set as this property (on the widget or its QWindow).
inline constexpr char kIdentifierProperty[] = "quillory.windowIdentifier";
/// A non-sheet window counts as settings-sized when its width (logical pixels) is in this band.
inline constexpr int kSettingsMinimumWidth = 400;
inline constexpr int kSettingsMaximumWidth = 540;

enum class ActivationPolicy { accessory, regular };

/// `activateRegularAndRaiseWindows()`.
void bringAppToFrontForPermissions();
/// `scheduleSettingsWindowReveal()`.
void bringSettingsToFront();
/// Activates and raises at once, and again 0.12 s later.
void scheduleSettingsWindowReveal();
/// Activates and raises on the next turn of the event loop, and again 0.2 s later.
void refocusWindowsAfterPermissionSheet();
/// When the primary settings window exists, is visible and is not minimised: closes it,
/// switches to the accessory policy and returns true; otherwise changes nothing.
bool closePrimarySettingsWindowIfVisibleForMenuToggle();
/// Switches to the accessory policy.
void restoreMenuBarOnlyAppearance();

ActivationPolicy activationPolicy();
/// Called on every policy switch (also when it stays the same); returns the previous handler.
std::function<void(ActivationPolicy)>
setActivationPolicyHandler(std::function<void(ActivationPolicy)> handler);

// ---- the window rules ----

/// What is done to a window; empty members use Qt (raise, raise + activate, close).
struct WindowActions {
    std::function<void(QWindow*)> orderFront;
    std::function<void(QWindow*)> makeKeyAndOrderFront;
    std::function<void(QWindow*)> close;
};
/// Installs `actions` (tests observe with them); returns the previous ones.
WindowActions setWindowActions(WindowActions actions);

/// The application's top-level windows in the order Qt lists them (creation order: a later
/// window has a higher "window number").
QList<QWindow*> applicationWindows();
/// False for a class name containing "StatusBar", an overlay identifier, a window that never
/// takes focus (a non-activating panel), and menus, tooltips and splash screens.
bool participatesInSettingsReveal(QWindow* window);
/// A modal dialog attached to a parent window (the Linux form of a sheet).
bool isSheet(QWindow* window);
/// Not a sheet, and 400 ≤ width ≤ 540.
bool isSettingsSized(QWindow* window);
/// The newest participating, non-sheet, settings-sized window; nullptr when none.
QWindow* primarySettingsHostWindow();
/// The window `activateRegularAndRaiseWindows` makes key: the newest visible sheet among the
/// candidates, else the newest visible settings-sized one; nullptr when none.
QWindow* keyEligibleWindowPreferringSheet();

} // namespace AppActivation
} // namespace quillory
