#include "UI/Settings/AppSettingsBackend.h"

#include "UI/Settings/DiagnosticsSavePanel.h"
#include "Utilities/Log.h"

#include <QPointer>

namespace quillory {

AppSettingsBackend::AppSettingsBackend(std::shared_ptr<PermissionManager> permissions,
                                       std::shared_ptr<LoginItemService> loginItem, Hooks hooks, QObject* parent)
    : SettingsBackend(parent), permissions_(std::move(permissions)), loginItem_(std::move(loginItem)),
      hooks_(std::move(hooks)) {
    launchAtLogin_ = countsAsEnabled(loginItem_->status());
}

bool AppSettingsBackend::globalHotkeyRegistered() const {
    return hooks_.globalHotkeyRegistered ? hooks_.globalHotkeyRegistered() : true;
}

void AppSettingsBackend::applyHotkeyConfiguration() {
    if (hooks_.applyHotkeyConfiguration) {
        hooks_.applyHotkeyConfiguration();
    }
    emit changed();
}

PermissionState AppSettingsBackend::inputMonitoringPermissionState() const {
    return hooks_.inputMonitoringPermissionState ? hooks_.inputMonitoringPermissionState()
                                                 : PermissionState::notDetermined;
}

void AppSettingsBackend::refreshPermissions() {
    permissions_->refreshAll();
    emit changed();
}

namespace {
Task<> requestThenNotify(Task<bool> request, QPointer<AppSettingsBackend> backend,
                         std::function<void()> notify) {
    co_await std::move(request);
    if (backend) {
        notify();
    }
}
} // namespace

void AppSettingsBackend::requestMicrophone() {
    QPointer<AppSettingsBackend> self(this);
    requestThenNotify(permissions_->requestMicrophone(), self, [self] { emit self->changed(); });
}

void AppSettingsBackend::requestSpeech() {
    QPointer<AppSettingsBackend> self(this);
    requestThenNotify(permissions_->requestSpeech(), self, [self] { emit self->changed(); });
}

void AppSettingsBackend::requestAccessibility() {
    permissions_->requestAccessibility();
    emit changed();
}

void AppSettingsBackend::refreshLaunchAtLoginStatus() {
    launchAtLogin_ = countsAsEnabled(loginItem_->status());
    emit changed();
}

void AppSettingsBackend::setLaunchAtLoginEnabled(bool enabled) {
    try {
        if (enabled) {
            loginItem_->registerItem();
        } else {
            loginItem_->unregisterItem();
        }
    } catch (const LoginItemError& e) {
        if (enabled) {
            qCCritical(lcLoginItem, "SMAppService.mainApp.register failed: %s", qUtf8Printable(e.description()));
        }
        refreshLaunchAtLoginStatus();
        throw;
    }
    refreshLaunchAtLoginStatus();
}

void AppSettingsBackend::reportError(const QString& message) {
    if (hooks_.reportError) {
        hooks_.reportError(message);
    }
}

Task<std::optional<QString>> AppSettingsBackend::presentSavePanelAndExport(int lookbackMinutes) {
    return DiagnosticsSavePanel::presentSavePanelAndExport(lookbackMinutes);
}

} // namespace quillory
