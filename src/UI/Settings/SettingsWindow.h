#pragma once

#include "UI/Settings/SettingsTabs.h"

#include <QWidget>

class QTabWidget;

namespace quillory {

class HotkeyTab;

/// The settings window: 420 × 560, five tabs in order, and every new window starts on the
/// permissions tab. Closing it returns the app to tray-only (no taskbar entry).
class SettingsWindow : public QWidget {
    Q_OBJECT

public:
    SettingsWindow(AppState& state, SettingsBackend& backend, QWidget* parent = nullptr);

    SettingsTabSelection settingsTab() const;
    void setSettingsTab(SettingsTabSelection tab);
    QTabWidget* tabs() const { return tabs_; }
    QWidget* tabWidget(SettingsTabSelection tab) const;

signals:
    void settingsTabChanged(SettingsTabSelection tab);
    /// The window's "Quit Quillory" button (the one way to quit where no tray shows a menu).
    void quitRequested();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void onTabChanged(int index);

    QTabWidget* tabs_ = nullptr;
};

} // namespace quillory
