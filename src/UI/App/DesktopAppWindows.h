#pragma once

#include "UI/App/AppWindows.h"

#include <memory>

namespace quillory {
class AppState;
class InputStatusOverlayController;
class SettingsBackend;
class SettingsWindow;
} // namespace quillory

namespace quillory::ui {

/// The tray app's windows: the real settings window (built on first use over the application
/// state and its settings backend, opened through `SettingsLaunchBridge`) and the overlay that
/// follows the session status. Nothing can be shown before `attach`.
class DesktopAppWindows : public AppWindows {
public:
    DesktopAppWindows();
    ~DesktopAppWindows() override;

    /// Binds the windows to the session core once it exists and installs the bridge's open action.
    void attach(AppState& state, std::unique_ptr<SettingsBackend> backend);
    /// Destroys the windows and forgets the state (before the state goes away).
    void detach();

    void showSettings() override;
    void showSpeechModelSetup() override;
    bool closeSettingsIfVisible() override;
    bool settingsReady() const override { return state_ != nullptr; }
    void startOverlaySync() override;
    QWidget* settingsWindow() const override;

    InputStatusOverlayController* overlay() const { return overlay_.get(); }

private:
    void openSettingsNow();

    AppState* state_ = nullptr;
    std::unique_ptr<SettingsBackend> backend_;
    std::unique_ptr<SettingsWindow> window_;
    std::unique_ptr<InputStatusOverlayController> overlay_;
};

} // namespace quillory::ui
