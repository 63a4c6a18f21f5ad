#pragma once

#include <span>
#include <vector>

namespace quillory::Localization {

struct LocalizedString {
    const char* key;
    const char* en;
    const char* ja;
};

/// Makes `table` the texts `Localization` reads. Each program's main installs the tables of every
/// subsystem first (`installAllStrings`, Strings/StringTables.h); until then every key shows itself.
void installStrings(std::vector<LocalizedString> table);

// The display texts of the subsystems, one table each (formats carry one "%1" placeholder).
std::span<const LocalizedString> coreStrings();    // Runtime/LocalizedStrings.cpp
std::span<const LocalizedString> sessionStrings(); // App/SessionStrings.cpp
std::span<const LocalizedString> polishStrings();  // AI/PolishStrings.cpp
std::span<const LocalizedString> systemStrings();  // Permissions/SystemStrings.cpp
std::span<const LocalizedString> hotkeyStrings();  // Hotkey/HotkeyStrings.cpp
std::span<const LocalizedString> audioStrings();   // Speech/AudioStrings.cpp
std::span<const LocalizedString> speechStrings();  // Speech/SpeechStrings.cpp
// The views' tables, in the core so that the command line shares them.
std::span<const LocalizedString> overlayStrings(); // Strings/OverlayStrings.cpp
std::span<const LocalizedString> appShellStrings(); // Strings/AppShellStrings.cpp
/// The texts of the settings window and its permissions, hotkey and dictionary tabs.
std::span<const LocalizedString> settingsStrings(); // Strings/SettingsStrings.cpp
std::span<const LocalizedString> modelTabStrings(); // Strings/ModelTabStrings.cpp

} // namespace quillory::Localization
