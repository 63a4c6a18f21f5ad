#include "UI/Settings/SettingsLaunchBridge.h"

#include "Platform/qt/AppActivation.h"

namespace quillory::SettingsLaunchBridge {

std::function<void()>& openSettings() {
    static std::function<void()> action;
    return action;
}

std::function<void()>& fallbackOpen() {
    static std::function<void()> action;
    return action;
}

void invoke() {
    // A shown settings window owns a taskbar entry: the regular policy.
    AppActivation::bringAppToFrontForPermissions();
    if (openSettings()) {
        openSettings()();
    } else if (fallbackOpen()) {
        fallbackOpen()();
    }
    AppActivation::scheduleSettingsWindowReveal();
}

void invokeWhenReady(int maxAttempts, Duration interval) {
    if (openSettings() || maxAttempts < 1) {
        invoke();
        return;
    }
    Scheduler::current().postDelayed(interval, [maxAttempts, interval] {
        invokeWhenReady(maxAttempts - 1, interval);
    });
}

} // namespace quillory::SettingsLaunchBridge
