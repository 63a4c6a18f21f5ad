#include "UI/App/FirstLaunch.h"

#include "Runtime/DefaultsStore.h"
#include "Runtime/Scheduler.h"

namespace quillory::ui {

bool handleFirstLaunch(DefaultsStore& store, std::function<void()> openSettings) {
    if (store.value(QString::fromLatin1(kFirstLaunchSettingsOpenedKey)).isValid()) {
        return false;
    }
    const bool onboarded = store.boolValue(QString::fromLatin1(kOnboardingCompletedKey)).value_or(false);
    store.setBool(QString::fromLatin1(kFirstLaunchSettingsOpenedKey), true);
    if (onboarded) {
        return false;
    }
    Scheduler::current().post(std::move(openSettings));
    return true;
}

} // namespace quillory::ui
