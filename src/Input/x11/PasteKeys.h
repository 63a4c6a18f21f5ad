#pragma once

#include <QString>

#include <vector>

namespace quillory::input {

/// One synthesised key transition, by X keycode.
struct KeyStroke {
    int keycode = 0;
    bool down = true;
    bool operator==(const KeyStroke&) const = default;
};

/// The physical keys a paste press is made of, by keycode in the current keymap.
struct PasteKeycodes {
    int control = 0;
    int shift = 0;
    int key = 0; ///< the V key
};

/// The paste key press as key strokes. The user's held modifier keys (`heldModifiers`, from the
/// server's key state) are released first, since any extra modifier (Alt, Super, AltGr, even
/// Shift in a terminal) turns Ctrl+V into another shortcut. Nothing is pressed again afterwards:
/// the server cannot tell us which of those keys the user still holds once we released them, and
/// pressing one the user has let go of would leave it stuck.
std::vector<KeyStroke> pasteKeyDown(const std::vector<int>& heldModifiers, const PasteKeycodes& keys,
                                    bool withShift);
/// Releases what `pasteKeyDown` pressed, in reverse order.
std::vector<KeyStroke> pasteKeyUp(const PasteKeycodes& keys, bool withShift);

} // namespace quillory::input
