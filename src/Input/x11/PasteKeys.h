#pragma once

#include <QString>

#include <vector>

namespace quillory::input {

/// The key press that pastes in a window, by the default bindings of its kind.
enum class PasteKey {
    ctrlV,       ///< ordinary applications (the clipboard)
    ctrlShiftV,  ///< most terminal emulators: VTE, Konsole, kitty, Alacritty, WezTerm, foot (the clipboard)
    shiftInsert, ///< xterm and the rxvt family, which have no Ctrl+Shift+V (the primary selection)
};

/// "Ctrl+V", "Ctrl+Shift+V" or "Shift+Insert".
QString pasteKeyName(PasteKey key);

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
    int insert = 0;
};

/// The paste key press as key strokes. The user's held modifier keys (`heldModifiers`, from the
/// server's key state) are released first, since any extra modifier (Alt, Super, AltGr, even
/// Shift in a terminal) turns the paste key into another shortcut. Nothing is pressed again
/// afterwards: the server cannot tell us which of those keys the user still holds once we
/// released them, and pressing one the user has let go of would leave it stuck.
std::vector<KeyStroke> pasteKeyDown(const std::vector<int>& heldModifiers, const PasteKeycodes& keys, PasteKey key);
/// Releases what `pasteKeyDown` pressed, in reverse order.
std::vector<KeyStroke> pasteKeyUp(const PasteKeycodes& keys, PasteKey key);

} // namespace quillory::input
