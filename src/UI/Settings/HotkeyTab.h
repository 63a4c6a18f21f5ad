#pragma once

#include <QWidget>

namespace quillory {

class AppState;
class SettingsBackend;

/// The hotkey tab (placeholder until the full tab lands).
class HotkeyTab : public QWidget {
    Q_OBJECT
public:
    HotkeyTab(AppState& state, SettingsBackend& backend, QWidget* parent = nullptr);
    void setKeyMonitorEnabled(bool enabled) { keyMonitorEnabled_ = enabled; }
    bool keyMonitorEnabled() const { return keyMonitorEnabled_; }

private:
    bool keyMonitorEnabled_ = false;
};

} // namespace quillory
