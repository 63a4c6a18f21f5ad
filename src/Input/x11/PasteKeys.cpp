#include "Input/x11/PasteKeys.h"

namespace quillory::input {

namespace {
/// The modifiers and the main key of a paste key, in press order.
std::vector<int> keysOf(const PasteKeycodes& keys, PasteKey key) {
    switch (key) {
    case PasteKey::ctrlV:
        return {keys.control, keys.key};
    case PasteKey::ctrlShiftV:
        return {keys.control, keys.shift, keys.key};
    case PasteKey::shiftInsert:
        return {keys.shift, keys.insert};
    }
    return {};
}
} // namespace

QString pasteKeyName(PasteKey key) {
    switch (key) {
    case PasteKey::ctrlV:
        return QStringLiteral("Ctrl+V");
    case PasteKey::ctrlShiftV:
        return QStringLiteral("Ctrl+Shift+V");
    case PasteKey::shiftInsert:
        return QStringLiteral("Shift+Insert");
    }
    return {};
}

std::vector<KeyStroke> pasteKeyDown(const std::vector<int>& heldModifiers, const PasteKeycodes& keys, PasteKey key) {
    std::vector<KeyStroke> strokes;
    for (int keycode : heldModifiers) {
        strokes.push_back({keycode, false});
    }
    for (int keycode : keysOf(keys, key)) {
        strokes.push_back({keycode, true});
    }
    return strokes;
}

std::vector<KeyStroke> pasteKeyUp(const PasteKeycodes& keys, PasteKey key) {
    std::vector<KeyStroke> strokes;
    const std::vector<int> pressed = keysOf(keys, key);
    for (auto it = pressed.rbegin(); it != pressed.rend(); ++it) {
        strokes.push_back({*it, false});
    }
    return strokes;
}

} // namespace quillory::input
