#pragma once

#include "Platform/LoginItem.h"
#include "UI/Settings/SettingsBackend.h"

#include <functional>
#include <memory>

namespace quillory {

/// The settings backend of the tray app: the grants from the permission manager, the login item
/// as an XDG autostart entry, the export through the save dialog. What belongs to the session
/// state (hotkey registration, the error status) comes through `Hooks`, which the app fills in
/// from its `AppState`.
class AppSettingsBackend final : public SettingsBackend {
    Q_OBJECT

public:
    struct Hooks {
        std::function<bool()> globalHotkeyRegistered;
        std::function<void()> applyHotkeyConfiguration;
        std::function<PermissionState()> inputMonitoringPermissionState;
        /// Shows a message as the application's error status.
        std::function<void(const QString&)> reportError;
    };

    AppSettingsBackend(std::shared_ptr<PermissionManager> permissions, std::shared_ptr<LoginItemService> loginItem,
                       Hooks hooks, QObject* parent = nullptr);

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
    bool launchAtLoginEnabledCached() const override { return launchAtLogin_; }
    void refreshLaunchAtLoginStatus() override;
    void setLaunchAtLoginEnabled(bool enabled) override;
    void openSystemSettingsLoginItems() override { loginItem_->openSettings(); }
    void reportError(const QString& message) override;
    Task<std::optional<QString>> presentSavePanelAndExport(int lookbackMinutes) override;

private:
    std::shared_ptr<PermissionManager> permissions_;
    std::shared_ptr<LoginItemService> loginItem_;
    Hooks hooks_;
    bool launchAtLogin_ = false;
};

} // namespace quillory
