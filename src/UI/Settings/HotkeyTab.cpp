#include "UI/Settings/HotkeyTab.h"

#include "UI/Settings/SettingsTabs.h"

namespace quillory {

HotkeyTab::HotkeyTab(AppState&, SettingsBackend&, QWidget* parent) : QWidget(parent) {}

QWidget* makeHotkeyTab(AppState& state, SettingsBackend& backend, QWidget* parent) {
    return new HotkeyTab(state, backend, parent);
}

} // namespace quillory
