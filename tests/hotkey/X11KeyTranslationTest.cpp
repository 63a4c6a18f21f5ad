#include "Hotkey/x11/X11HotkeyBackend.h"

#include <gtest/gtest.h>

using quillory::platform::X11HotkeyBackend;

// Core key codes of a registered hot key become X keycodes (evdev + 8) whatever the layout.
TEST(X11KeyTranslation, CoreKeyCodesMapToEvdevKeycodes) {
    const std::pair<std::uint32_t, int> cases[] = {
        {0x00, 38},  // A
        {0x0C, 24},  // Q
        {0x12, 10},  // 1
        {0x1D, 19},  // 0
        {0x24, 36},  // Return
        {0x31, 65},  // Space
        {0x35, 9},   // Escape
        {0x7A, 67},  // F1
        {0x6F, 96},  // F12
        {0x7E, 111}, // Up
        {0x66, 102}, // the left JIS key (Eisu) → Muhenkan
        {0x68, 100}, // the right JIS key (Kana) → Henkan
    };
    for (const auto& [core, x] : cases) {
        EXPECT_EQ(X11HotkeyBackend::keycodeForVirtualKey(core), x) << core;
    }
    EXPECT_FALSE(X11HotkeyBackend::keycodeForVirtualKey(0x3F)) << "fn has no X keycode";
    EXPECT_FALSE(X11HotkeyBackend::keycodeForVirtualKey(0x37)) << "nor do the modifiers";
}
