#include "Input/x11/PasteKeys.h"

namespace quillory::input {

std::vector<KeyStroke> pasteKeyDown(const std::vector<int>& heldModifiers, const PasteKeycodes& keys,
                                    bool withShift) {
    std::vector<KeyStroke> strokes;
    for (int keycode : heldModifiers) {
        strokes.push_back({keycode, false});
    }
    strokes.push_back({keys.control, true});
    if (withShift) {
        strokes.push_back({keys.shift, true});
    }
    strokes.push_back({keys.key, true});
    return strokes;
}

std::vector<KeyStroke> pasteKeyUp(const PasteKeycodes& keys, bool withShift) {
    std::vector<KeyStroke> strokes{{keys.key, false}};
    if (withShift) {
        strokes.push_back({keys.shift, false});
    }
    strokes.push_back({keys.control, false});
    return strokes;
}

} // namespace quillory::input
