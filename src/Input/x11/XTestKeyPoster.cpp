#include "Input/x11/XTestKeyPoster.h"

#include "Input/TextInjector.h"
#include "Input/x11/X11Connection.h"
#include "Runtime/Log.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>

namespace quillory::input {

namespace {
// Evdev keycodes of a standard PC keyboard, used only when the keymap has no such keysym.
constexpr int kFallbackControl = 37;
constexpr int kFallbackShift = 50;
constexpr int kFallbackV = 55;
constexpr int kFallbackInsert = 118;

int keycodeFor(Display* display, KeySym sym, int fallback) {
    const KeyCode code = XKeysymToKeycode(display, sym);
    return code != 0 ? code : fallback;
}

bool isLockKey(Display* display, int keycode) {
    const KeySym sym = XkbKeycodeToKeysym(display, static_cast<KeyCode>(keycode), 0, 0);
    return sym == XK_Caps_Lock || sym == XK_Shift_Lock || sym == XK_Num_Lock || sym == XK_Scroll_Lock;
}
} // namespace

XTestKeyPoster::XTestKeyPoster(std::shared_ptr<X11Connection> connection, std::function<PasteKey()> keyForTarget)
    : connection_(std::move(connection)), keyForTarget_(std::move(keyForTarget)) {}

bool XTestKeyPoster::pasteReadsPrimarySelection() {
    chosen_ = keyForTarget_ ? keyForTarget_() : PasteKey::ctrlV;
    return *chosen_ == PasteKey::shiftInsert;
}

bool XTestKeyPoster::createEventSource() {
    return connection_ && connection_->display() && connection_->hasXTest() && resolveKeycodes();
}

bool XTestKeyPoster::resolveKeycodes() {
    Display* display = connection_->display();
    // Looked up each time: the user may switch layouts between two pastes.
    keycodes_.control = keycodeFor(display, XK_Control_L, kFallbackControl);
    keycodes_.shift = keycodeFor(display, XK_Shift_L, kFallbackShift);
    keycodes_.key = keycodeFor(display, XK_v, kFallbackV);
    keycodes_.insert = keycodeFor(display, XK_Insert, kFallbackInsert);
    return keycodes_.control > 0 && keycodes_.shift > 0 && keycodes_.key > 0 && keycodes_.insert > 0;
}

bool XTestKeyPoster::createEvent(const KeyEvent& event) {
    // The core's vocabulary: only its paste key exists here.
    return event.virtualKey == ClipboardPasteInjector::kVirtualKeyV &&
           (event.flags & ClipboardPasteInjector::kCommandFlag) != 0;
}

std::vector<int> XTestKeyPoster::heldModifierKeys() const {
    Display* display = connection_->display();
    char keymap[32] = {};
    XQueryKeymap(display, keymap);
    std::vector<int> held;
    XModifierKeymap* modifiers = XGetModifierMapping(display);
    if (!modifiers) {
        return held;
    }
    for (int i = 0; i < 8 * modifiers->max_keypermod; ++i) {
        const int keycode = modifiers->modifiermap[i];
        if (keycode == 0 || !(keymap[keycode / 8] & (1 << (keycode % 8)))) {
            continue;
        }
        if (isLockKey(display, keycode) || std::find(held.begin(), held.end(), keycode) != held.end()) {
            continue;
        }
        held.push_back(keycode);
    }
    XFreeModifiermap(modifiers);
    return held;
}

void XTestKeyPoster::send(const std::vector<KeyStroke>& strokes) {
    Display* display = connection_->display();
    for (const KeyStroke& s : strokes) {
        XTestFakeKeyEvent(display, static_cast<unsigned int>(s.keycode), s.down ? True : False, CurrentTime);
    }
    XSync(display, False);
}

void XTestKeyPoster::post(const KeyEvent& event) {
    if (!connection_ || !connection_->display()) {
        return;
    }
    if (event.keyDown) {
        PasteKey key = chosen_ ? *chosen_ : keyForTarget_ ? keyForTarget_() : PasteKey::ctrlV;
        chosen_.reset();
        if ((event.flags & kShiftFlag) != 0 && key == PasteKey::ctrlV) {
            key = PasteKey::ctrlShiftV;
        }
        lastPress_ = {heldModifierKeys(), key};
        if (!lastPress_.releasedModifiers.empty()) {
            qCDebug(lcInput, "Releasing %d held modifier key(s) before the paste key",
                    int(lastPress_.releasedModifiers.size()));
        }
        send(pasteKeyDown(lastPress_.releasedModifiers, keycodes_, key));
        pressed_ = true;
        pressedKey_ = key;
    } else if (pressed_) {
        send(pasteKeyUp(keycodes_, pressedKey_));
        pressed_ = false;
    }
}

} // namespace quillory::input
