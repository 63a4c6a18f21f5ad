#include "UI/Settings/AppSettingsBackend.h"

#include "App/AppState.h"
#include "UI/Settings/DiagnosticsSavePanel.h"
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

} // namespace quillory
