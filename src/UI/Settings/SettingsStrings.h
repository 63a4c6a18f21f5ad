#pragma once

#include "Runtime/LocalizedStrings.h"

namespace quillory::Localization {
/// The texts of the settings window and its permissions, hotkey and dictionary tabs.
std::span<const LocalizedString> settingsStrings();
} // namespace quillory::Localization
