#pragma once

#include <QString>

#include <set>

namespace quillory {

/// Labels of physical keys for the live key display. Key codes are X keycodes (the evdev scan
/// code plus 8), so the display does not depend on the keyboard layout.
namespace KeyboardKeyDisplay {

/// Control, Shift, Alt, Super and Caps Lock, left and right.
const std::set<int>& modifierKeycodes();
inline constexpr int kLeftControl = 37, kRightControl = 105, kLeftShift = 50, kRightShift = 62,
                     kLeftAlt = 64, kRightAlt = 108, kLeftSuper = 133, kRightSuper = 134, kCapsLock = 66;

/// The text shown for a keycode ("A", "↩", "F5", "変換"); keys without a label show their number.
QString label(int keycode);

} // namespace KeyboardKeyDisplay
} // namespace quillory
