#include "UI/Settings/AppSettingsBackend.h"

#include "App/AppState.h"
#include "UI/Settings/DiagnosticsSavePanel.h"
#include "Platform/linux/DesktopProbe.h"
#include "Platform/linux/GnomeShortcuts.h"
#include "Runtime/Localization.h"
#include "Runtime/Log.h"

#include <QPointer>

namespace quillory {

AppSettingsBackend::AppSettingsBackend(AppState& state, std::shared_ptr<PermissionManager> permissions,
                                       std::function<void(const QString&)> reportError, QObject* parent)
    : SettingsBackend(parent), state_(state), permissions_(std::move(permissions)),
      reportError_(std::move(reportError)) {
    connect(&state_, &AppState::globalHotkeyRegisteredChanged, this, &SettingsBackend::changed);
    connect(&state_, &AppState::launchAtLoginEnabledCachedChanged, this, &SettingsBackend::changed);
    connect(&state_, &AppState::hotkeyConfigChanged, this, &SettingsBackend::changed);
}

bool AppSettingsBackend::globalHotkeyRegistered() const {
    return state_.globalHotkeyRegistered();
}

void AppSettingsBackend::applyHotkeyConfiguration() {
    state_.applyHotkeyConfiguration();
    emit changed();
}

PermissionState AppSettingsBackend::inputMonitoringPermissionState() const {
    return state_.inputMonitoringPermissionState();
}

void AppSettingsBackend::refreshPermissions() {
    permissions_->refreshAll();
    emit changed();
}

namespace {
Task<> requestThenNotify(Task<bool> request, QPointer<AppSettingsBackend> backend) {
    co_await std::move(request);
    if (backend) {
        emit backend->changed();
    }
}
} // namespace

void AppSettingsBackend::requestMicrophone() {
    requestThenNotify(permissions_->requestMicrophone(), QPointer<AppSettingsBackend>(this));
}

void AppSettingsBackend::requestSpeech() {
    requestThenNotify(permissions_->requestSpeech(), QPointer<AppSettingsBackend>(this));
}

void AppSettingsBackend::requestAccessibility() {
    permissions_->requestAccessibility();
    emit changed();
}

bool AppSettingsBackend::launchAtLoginEnabledCached() const {
    return state_.launchAtLoginEnabledCached();
}

void AppSettingsBackend::refreshLaunchAtLoginStatus() {
    state_.refreshLaunchAtLoginStatus();
}

void AppSettingsBackend::setLaunchAtLoginEnabled(bool enabled) {
    state_.setLaunchAtLoginEnabled(enabled); // throws LoginItemError; the state logs it
}

void AppSettingsBackend::openSystemSettingsLoginItems() {
    state_.openSystemSettingsLoginItems();
}

void AppSettingsBackend::reportError(const QString& message) {
    if (reportError_) {
        reportError_(message);
    } else {
        qCWarning(lcApp).noquote() << "settings:" << message;
    }
}

Task<std::optional<QString>> AppSettingsBackend::presentSavePanelAndExport(int lookbackMinutes) {
    return DiagnosticsSavePanel::presentSavePanelAndExport(lookbackMinutes);
}

namespace {
platform::GnomeCustomShortcut gnomeToggleShortcut() {
    return platform::GnomeCustomShortcut(platform::gsettingsProgram(), Localization::text("hotkey.gnome.binding_name"),
                                         platform::toggleCommandLine());
}
} // namespace

SettingsBackend::DesktopToggleBinding AppSettingsBackend::desktopToggleBinding() {
    DesktopToggleBinding binding;
    if (!platform::desktopToggleBindingOffered(platform::currentDesktopBackends())) {
        return binding;
    }
    const platform::GnomeCustomShortcut shortcut = gnomeToggleShortcut();
    const Expected<bool> available = shortcut.available();
    if (!available || !available.value()) {
        qCInfo(lcApp, "GNOME's shortcut settings are not there: %s",
               qUtf8Printable(available ? QStringLiteral("no schema") : available.error()));
        return binding;
    }
    binding.offered = true;
    binding.offeredKeys = platform::GnomeCustomShortcut::acceleratorLabel(platform::GnomeCustomShortcut::kDefaultAccelerator);
    const Expected<QString> bound = shortcut.installedAccelerator();
    if (bound && !bound.value().isEmpty()) {
        binding.boundKeys = platform::GnomeCustomShortcut::acceleratorLabel(bound.value());
    }
    return binding;
}

Expected<> AppSettingsBackend::bindToggleInDesktop(bool bound) {
    platform::GnomeCustomShortcut shortcut = gnomeToggleShortcut();
    const Expected<> done = bound ? shortcut.install() : shortcut.remove();
    if (done) {
        qCInfo(lcApp, "GNOME shortcut for the toggle %s", bound ? "bound" : "removed");
    } else {
        qCWarning(lcApp, "GNOME shortcut for the toggle: %s", qUtf8Printable(done.error()));
    }
    return done;
}

} // namespace quillory
