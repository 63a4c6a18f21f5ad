#pragma once

#include <span>
#include <vector>

namespace quillory::Localization {

struct LocalizedString {
    const char* key;
    const char* en;
    const char* ja;
};

/// Every display text of the program. Formats carry one "%1" placeholder.
/// Each subsystem keeps its own table (next to its code); this joins them.
std::vector<LocalizedString> localizedStrings();

// The tables of the subsystems.
std::span<const LocalizedString> coreStrings();    // Runtime/LocalizedStrings.cpp
std::span<const LocalizedString> sessionStrings(); // App/SessionStrings.cpp
std::span<const LocalizedString> polishStrings();  // AI/PolishStrings.cpp
std::span<const LocalizedString> systemStrings();  // Permissions/SystemStrings.cpp
std::span<const LocalizedString> hotkeyStrings();  // Hotkey/HotkeyStrings.cpp
std::span<const LocalizedString> audioStrings();   // Speech/AudioStrings.cpp
std::span<const LocalizedString> overlayStrings(); // UI/Overlay/OverlayStrings.cpp
std::span<const LocalizedString> appShellStrings(); // UI/App/AppShellStrings.cpp
std::span<const LocalizedString> speechStrings();  // Speech/SpeechStrings.cpp
std::span<const LocalizedString> modelTabStrings(); // UI/Settings/ModelTabStrings.cpp

} // namespace quillory::Localization
