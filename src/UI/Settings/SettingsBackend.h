#pragma once

#include "Hotkey/ModifierKeyMap.h"
#include "Permissions/PermissionManager.h"
#include "Permissions/SystemSettingsLink.h"
#include "Runtime/Async.h"
#include "Runtime/Expected.h"

#include <QObject>
#include <QString>

#include <optional>

namespace quillory {

/// What the hotkey and permissions tabs need beyond the session state: hotkey registration, the
/// grants and their requests, the login item, the diagnostics export and the settings links.
/// The app's implementation forwards to the application state and the platform services; tests
/// pass a fake. Main thread only. `changed` fires whenever something a tab shows may differ.
class SettingsBackend : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // ---- hotkeys ----
    virtual bool globalHotkeyRegistered() const = 0;
    /// (Re)registers the global hotkeys for the current configuration.
    virtual void applyHotkeyConfiguration() = 0;
    /// The physical keys behind Command, Option and fn ("quillory.linux.modifierKeys").
    virtual ModifierKeyMap modifierKeys() const { return ModifierKeyStorage::load(); }
    /// Stores the map and re-registers the hotkeys so the new keys take effect.
    virtual void setModifierKeys(const ModifierKeyMap& map) {
        ModifierKeyStorage::save(map);
        applyHotkeyConfiguration();
    }

    // ---- grants ----
    virtual PermissionState microphone() const = 0;
    virtual PermissionState speech() const = 0;
    virtual PermissionState accessibility() const = 0;
    /// Whether the configured hotkeys need the keyboard monitor and whether it is granted.
    virtual PermissionState inputMonitoringPermissionState() const = 0;
    virtual bool allPermissionsGranted() const {
        return microphone() == PermissionState::authorized && speech() == PermissionState::authorized &&
               accessibility() == PermissionState::authorized;
    }
    /// Refreshes the three grants.
    virtual void refreshPermissions() = 0;
    virtual void requestMicrophone() = 0;
    virtual void requestSpeech() = 0;
    virtual void requestAccessibility() = 0;
    /// Opens the settings panel of `link`; false when there is none (the tab shows the help text).
    virtual bool openSettingsLink(SystemSettingsLink::Link link) { return SystemSettingsLink::open(link); }

    // ---- the login item ----
    virtual bool launchAtLoginEnabledCached() const = 0;
    /// Re-reads the login item's status into the cached value.
    virtual void refreshLaunchAtLoginStatus() = 0;
    /// Throws `LoginItemError` when the change fails (the cached value is refreshed first).
    virtual void setLaunchAtLoginEnabled(bool enabled) = 0;
    virtual void openSystemSettingsLoginItems() = 0;
    /// Shows `message` as the application's error status (overlay and tray).
    virtual void reportError(const QString& message) = 0;

    /// The toggle bound in the desktop's own shortcut settings (GNOME's custom shortcuts),
    /// offered where nothing else hears hotkeys.
    struct DesktopToggleBinding {
        bool offered = false;
        QString boundKeys;   ///< the keys while bound ("Ctrl+Alt+D"); empty otherwise
        QString offeredKeys; ///< what binding adds
    };
    /// Asks the desktop's settings (a few short calls).
    virtual DesktopToggleBinding desktopToggleBinding() { return {}; }
    /// Adds (true) or removes (false) the binding; the reason when that failed.
    virtual Expected<> bindToggleInDesktop(bool bound) {
        (void)bound;
        return Failure{QStringLiteral("not offered on this desktop")};
    }

    // ---- diagnostics ----
    /// Asks for the destination, exports the last `lookbackMinutes` of the log and reveals the
    /// file; the written path, or nullopt when the user cancelled. Throws `ExportError`.
    virtual Task<std::optional<QString>> presentSavePanelAndExport(int lookbackMinutes) = 0;

signals:
    void changed();
};

} // namespace quillory
