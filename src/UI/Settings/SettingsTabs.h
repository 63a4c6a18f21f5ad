#pragma once

// The factories the settings window calls for its five tabs, in display order. Each returns a
// new widget owned by `parent`; the tabs read the application state's observed fields and call
// its operations (no session logic in the widgets).

#include <array>

class QWidget;

namespace quillory {

class AppState;
class SettingsBackend;

/// The tabs of the settings window, in display order.
enum class SettingsTabSelection { permissions, hotkey, dictionary, polish, localLLM };

inline constexpr std::array<SettingsTabSelection, 5> kSettingsTabOrder = {
    SettingsTabSelection::permissions, SettingsTabSelection::hotkey, SettingsTabSelection::dictionary,
    SettingsTabSelection::polish, SettingsTabSelection::localLLM};

/// The tab's label key ("settings.tab.permissions", ...).
const char* labelKey(SettingsTabSelection tab);
/// The resource path of the tab's icon (":/quillory/icons/settings-permissions.svg", ...).
const char* iconPath(SettingsTabSelection tab);

/// Permissions and diagnostics: the grants, the environment rows, autostart, the export.
QWidget* makePermissionsTab(AppState& state, SettingsBackend& backend, QWidget* parent);
/// Hotkeys: the shortcuts, the voice test field and pills, the live key monitor, the physical keys.
QWidget* makeHotkeyTab(AppState& state, SettingsBackend& backend, QWidget* parent);
/// The user dictionary (at most 100 entries).
QWidget* makeDictionaryTab(AppState& state, QWidget* parent);
/// Polishing: the model catalogue with downloads, the prompt editor, the test bench, and the
/// speech model section.
QWidget* makePolishTab(AppState& state, QWidget* parent);
/// The chat with the local model.
QWidget* makeChatTab(AppState& state, QWidget* parent);

} // namespace quillory
