#pragma once

#include "UI/Settings/SettingsBackend.h"

#include <functional>
#include <memory>

namespace quillory {

class AppState;

/// The settings backend of the tray app: hotkey registration, the input monitoring state and the
/// login item from the application state, the grants and their requests from the permission
/// manager the state was built with, the export through the save dialog.
class AppSettingsBackend final : public SettingsBackend {
    Q_OBJECT

public:
    /// `reportError` shows a message as the application's error status (the overlay and the tray
    /// show it); empty: the message is only logged.
    AppSettingsBackend(AppState& state, std::shared_ptr<PermissionManager> permissions,
                       std::function<void(const QString&)> reportError = {}, QObject* parent = nullptr);

    bool globalHotkeyRegistered() const override;
    void applyHotkeyConfiguration() override;
    PermissionState microphone() const override { return permissions_->microphone(); }
    PermissionState speech() const override { return permissions_->speech(); }
    PermissionState accessibility() const override { return permissions_->accessibility(); }
    PermissionState inputMonitoringPermissionState() const override;
    void refreshPermissions() override;
    void requestMicrophone() override;
    void requestSpeech() override;
    void requestAccessibility() override;
    bool launchAtLoginEnabledCached() const override;
    void refreshLaunchAtLoginStatus() override;
    void setLaunchAtLoginEnabled(bool enabled) override;
    void openSystemSettingsLoginItems() override;
    void reportError(const QString& message) override;
    Task<std::optional<QString>> presentSavePanelAndExport(int lookbackMinutes) override;
    DesktopToggleBinding desktopToggleBinding() override;
    Expected<> bindToggleInDesktop(bool bound) override;

private:
    AppState& state_;
    std::shared_ptr<PermissionManager> permissions_;
    std::function<void(const QString&)> reportError_;
};

} // namespace quillory
