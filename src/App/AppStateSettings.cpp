#include "AI/PolishSettings.h"
#include "App/AppState.h"
#include "App/AppStateInternal.h"
#include "Permissions/Authorizations.h"
#include "Platform/HostCPU.h"
#include "Runtime/Localization.h"
#include "Runtime/Log.h"

// The settings the state holds (hotkeys, polishing, login item): loading, what each assignment
// does, the hotkey wiring and the refreshes at launch.

namespace quillory {

// ---- loading ----

void AppState::loadSettings() {
    // Straight into the fields: nothing is saved, no server is started or stopped. The one
    // write is the forced "off" of polishing on a host that cannot run it.
    hotkeyConfig_ = HotkeyStorage::load();
    aiPolishEnabled_ = PolishSettings::isEnabled();
    if (aiPolishEnabled_ && !isLocalRuntimeSupported()) {
        aiPolishEnabled_ = false;
        PolishSettings::setEnabled(false);
    }
    selectedPolishModel_ = PolishSettings::selectedModel();
    polishPrompt_ = PolishSettings::storedPromptForEditing();
    launchAtLoginEnabledCached_ = countsAsEnabled(loginItemStatus());
    applyHotkeyConfiguration();
}

bool AppState::isLocalRuntimeSupported() const {
    return services_.localRuntimeSupported ? services_.localRuntimeSupported()
                                           : HostCPU::isLocalLlamaRuntimeSupported();
}

// ---- assignments ----

void AppState::setHotkeyConfig(const HotkeyConfig& config) {
    assign(hotkeyConfig_, config, &AppState::hotkeyConfigChanged);
    HotkeyStorage::save(hotkeyConfig_);
    applyHotkeyConfiguration();
}

void AppState::setAiPolishEnabled(bool enabled) {
    if (enabled && !isLocalRuntimeSupported()) {
        setAiPolishEnabled(false);
        return;
    }
    assign(aiPolishEnabled_, enabled, &AppState::aiPolishEnabledChanged);
    PolishSettings::setEnabled(enabled);
    if (enabled) {
        services_.polish->warmUp();
    } else {
        services_.polish->stopServer();
    }
}

void AppState::setSelectedPolishModel(PolishModel model) {
    assign(selectedPolishModel_, model, &AppState::selectedPolishModelChanged);
    PolishSettings::setSelectedModel(model);
    services_.polish->stopServer();
    if (aiPolishEnabled_ && isLocalRuntimeSupported()) {
        services_.polish->warmUp();
    }
}

void AppState::setPolishPrompt(const QString& prompt) {
    assign(polishPrompt_, prompt, &AppState::polishPromptChanged);
    PolishSettings::setPrompt(prompt);
}

void AppState::resetPolishPrompt() {
    PolishSettings::resetPrompt();
    setPolishPrompt(PolishSettings::defaultPrompt());
}

// ---- hotkeys ----

void AppState::applyHotkeyConfiguration() {
    bool registered = false;
    if (services_.hotkeys) {
        // The callbacks hold the state weakly; the operations check the configuration themselves.
        const LifetimeRef<AppState> weak = lifetime_.ref();
        auto forward = [weak](void (AppState::*operation)()) {
            return [weak, operation] {
                if (AppState* state = weak.get()) {
                    (state->*operation)();
                }
            };
        };
        try {
            registered = services_.hotkeys->update(hotkeyConfig_, forward(&AppState::handleHotkeyToggle),
                                                   forward(&AppState::handleHotkeyPress),
                                                   forward(&AppState::handleHotkeyRelease));
        } catch (const std::exception& e) {
            qCWarning(lcHotkey, "Hotkey registration failed: %s", e.what());
        }
    }
    assign(globalHotkeyRegistered_, registered, &AppState::globalHotkeyRegisteredChanged);
}

PermissionState AppState::inputMonitoringPermissionState() const {
    const HotkeyConfig& c = hotkeyConfig_;
    const bool needed =
        (c.toggleShortcutEnabled && c.toggleDoubleCommand) ||
        (c.pushToTalkShortcutEnabled && (c.modifierChordFnOption || c.modifierChordFnCommand));
    if (!needed) {
        return PermissionState::authorized;
    }
    return services_.inputMonitoringAccess ? services_.inputMonitoringAccess()
                                           : InputMonitoringAuthorization::listenEventPermissionState();
}

// ---- polish servers ----

int AppState::cleanupLocalPolishServers() {
    return services_.cleanupPolishServers ? services_.cleanupPolishServers() : 0;
}

// ---- login item ----

LoginItemStatus AppState::loginItemStatus() const {
    return services_.loginItem ? services_.loginItem->status() : LoginItemStatus::notRegistered;
}

void AppState::refreshLaunchAtLoginStatus() {
    assign(launchAtLoginEnabledCached_, countsAsEnabled(loginItemStatus()),
           &AppState::launchAtLoginEnabledCachedChanged);
}

void AppState::setLaunchAtLoginEnabled(bool enabled) {
    if (!services_.loginItem) {
        throw LoginItemError(L("loginItem.unavailable").toStdString());
    }
    if (enabled) {
        try {
            services_.loginItem->registerItem();
        } catch (const std::exception& e) {
            qCCritical(lcLoginItem, "SMAppService.mainApp.register failed: %s", e.what());
            refreshLaunchAtLoginStatus();
            scheduleDeferredLaunchAtLoginRefresh();
            throw;
        }
        assign(launchAtLoginEnabledCached_, true, &AppState::launchAtLoginEnabledCachedChanged);
        scheduleDeferredLaunchAtLoginRefresh();
    } else {
        services_.loginItem->unregisterItem(); // a failure passes through: no log, no refresh
        refreshLaunchAtLoginStatus();
        scheduleDeferredLaunchAtLoginRefresh();
    }
}

void AppState::scheduleDeferredLaunchAtLoginRefresh() {
    const LifetimeRef<AppState> weak = lifetime_.ref();
    for (const Duration delay : kLaunchAtLoginRefreshDelays) {
        Scheduler::current().postDelayed(delay, [weak] {
            if (AppState* state = weak.get()) {
                state->refreshLaunchAtLoginStatus();
            }
        });
    }
}

void AppState::openSystemSettingsLoginItems() {
    if (services_.loginItem) {
        services_.loginItem->openSettings();
    }
}

// ---- launch ----

void AppState::refreshPermissions() {
    try {
        services_.permissions->refreshMicrophone();
        services_.permissions->refreshSpeech();
        services_.permissions->refreshAccessibility();
    } catch (const std::exception& e) {
        qCWarning(lcApp, "Permission refresh failed: %s", e.what());
    }
}

void AppState::refreshOnActivation() {
    refreshPermissions();
    refreshLaunchAtLoginStatus();
    applyHotkeyConfiguration();
}

void AppState::refreshOnLaunch() {
    services_.permissions->refreshMicrophone();
    services_.permissions->refreshSpeech();
    services_.permissions->refreshAccessibility();
    refreshLaunchAtLoginStatus();
    if (!isLocalRuntimeSupported()) {
        if (aiPolishEnabled_) {
            setAiPolishEnabled(false);
        }
    } else if (aiPolishEnabled_) {
        services_.polish->warmUp();
    }
}

} // namespace quillory
