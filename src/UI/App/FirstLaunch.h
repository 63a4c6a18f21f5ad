#pragma once

#include <functional>

namespace quillory {
class DefaultsStore;
}

namespace quillory::ui {

inline constexpr char kFirstLaunchSettingsOpenedKey[] = "quillory.firstLaunch.settingsOpened";
inline constexpr char kOnboardingCompletedKey[] = "quillory.onboarding.completed";

/// The first launch: when the store holds nothing under "quillory.firstLaunch.settingsOpened",
/// writes true there (before anything is opened, so a failed opening is not retried next time) and,
/// unless onboarding was completed, posts `openSettings` to the current scheduler. Later launches do
/// nothing. Returns whether the settings window was requested.
bool handleFirstLaunch(DefaultsStore& store, std::function<void()> openSettings);

} // namespace quillory::ui
