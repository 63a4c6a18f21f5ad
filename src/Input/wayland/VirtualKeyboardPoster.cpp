#include "Input/wayland/VirtualKeyboardPoster.h"

#include "Input/TextInjector.h"
#include "Input/wayland/WaylandConnection.h"
#include "Runtime/Log.h"

#include "virtual-keyboard-unstable-v1-client-protocol.h"

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace quillory::input {

namespace {
// Evdev key codes (linux/input-event-codes.h) of a PC keyboard, for a keymap without such a key.
constexpr int kKeyLeftCtrl = 29;
constexpr int kKeyLeftShift = 42;
constexpr int kKeyV = 47;
constexpr int kKeyInsert = 110;
// xkbcommon's key codes are the evdev ones plus 8.
constexpr xkb_keycode_t kXkbEvdevOffset = 8;

constexpr quint32 kKeyPressed = 1;  // WL_KEYBOARD_KEY_STATE_PRESSED
constexpr quint32 kKeyReleased = 0; // WL_KEYBOARD_KEY_STATE_RELEASED
constexpr quint32 kKeymapFormatXkbV1 = 1; // WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1

struct XkbDeleter {
    void operator()(xkb_context* c) const { xkb_context_unref(c); }
    void operator()(xkb_keymap* k) const { xkb_keymap_unref(k); }
};

/// The evdev code of the first key whose unshifted symbol in the first layout is `sym`.
int evdevKeyFor(xkb_keymap* keymap, xkb_keysym_t sym, int fallback) {
    for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap); code <= xkb_keymap_max_keycode(keymap); ++code) {
        const xkb_keysym_t* syms = nullptr;
        const int count = xkb_keymap_key_get_syms_by_level(keymap, code, 0, 0, &syms);
        for (int i = 0; i < count; ++i) {
            if (syms[i] == sym && code >= kXkbEvdevOffset) {
                return int(code - kXkbEvdevOffset);
            }
        }
    }
    return fallback;
}
} // namespace

VirtualKeyboardPoster::VirtualKeyboardPoster(std::shared_ptr<WaylandConnection> connection,
                                             std::function<PasteKey()> keyForTarget)
    : connection_(std::move(connection)), keyForTarget_(std::move(keyForTarget)) {}

bool VirtualKeyboardPoster::pasteReadsPrimarySelection() {
    chosen_ = keyForTarget_ ? keyForTarget_() : PasteKey::ctrlV;
    return *chosen_ == PasteKey::shiftInsert;
}

VirtualKeyboardPoster::~VirtualKeyboardPoster() {
    if (keyboard_) {
        if (pressed_) {
            send(releaseSteps(lastKey_, keycodes_));
        }
        zwp_virtual_keyboard_v1_destroy(keyboard_);
        connection_->flush();
    }
}

std::vector<VirtualKeyboardPoster::Step> VirtualKeyboardPoster::pressSteps(PasteKey key, const PasteKeycodes& keys,
                                                                           quint32 controlMask, quint32 shiftMask) {
    const auto code = [](int keycode) { return quint32(keycode); };
    // Modifiers first (the compositor takes a virtual keyboard's modifier state from this request,
    // not from its keys), then the keys as a real keyboard would press them.
    switch (key) {
    case PasteKey::ctrlV:
        return {{Step::modifiers, controlMask, false}, {Step::key, code(keys.control), true}, {Step::key, code(keys.key), true}};
    case PasteKey::ctrlShiftV:
        return {{Step::modifiers, controlMask | shiftMask, false},
                {Step::key, code(keys.control), true},
                {Step::key, code(keys.shift), true},
                {Step::key, code(keys.key), true}};
    case PasteKey::shiftInsert:
        return {{Step::modifiers, shiftMask, false}, {Step::key, code(keys.shift), true}, {Step::key, code(keys.insert), true}};
    }
    return {};
}

std::vector<VirtualKeyboardPoster::Step> VirtualKeyboardPoster::releaseSteps(PasteKey key, const PasteKeycodes& keys) {
    const auto code = [](int keycode) { return quint32(keycode); };
    switch (key) {
    case PasteKey::ctrlV:
        return {{Step::key, code(keys.key), false}, {Step::key, code(keys.control), false}, {Step::modifiers, 0, false}};
    case PasteKey::ctrlShiftV:
        return {{Step::key, code(keys.key), false},
                {Step::key, code(keys.shift), false},
                {Step::key, code(keys.control), false},
                {Step::modifiers, 0, false}};
    case PasteKey::shiftInsert:
        return {{Step::key, code(keys.insert), false}, {Step::key, code(keys.shift), false}, {Step::modifiers, 0, false}};
    }
    return {};
}

bool VirtualKeyboardPoster::uploadKeymap() {
    std::unique_ptr<xkb_context, XkbDeleter> context(xkb_context_new(XKB_CONTEXT_NO_FLAGS));
    if (!context) {
        qCWarning(lcInput, "Virtual keyboard: xkbcommon has no context");
        return false;
    }
    // The user's layout when the environment names one (a Japanese keyboard keeps its symbols),
    // else "us"; NULL fields take xkbcommon's defaults and the XKB_DEFAULT_* variables.
    const xkb_rule_names names{nullptr, nullptr, nullptr, nullptr, nullptr};
    std::unique_ptr<xkb_keymap, XkbDeleter> keymap(
        xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap) {
        const xkb_rule_names us{"evdev", "pc105", "us", "", ""};
        keymap.reset(xkb_keymap_new_from_names(context.get(), &us, XKB_KEYMAP_COMPILE_NO_FLAGS));
    }
    if (!keymap) {
        qCWarning(lcInput, "Virtual keyboard: xkbcommon could not build a keymap (is xkb-data installed?)");
        return false;
    }
    const xkb_mod_index_t control = xkb_keymap_mod_get_index(keymap.get(), XKB_MOD_NAME_CTRL);
    const xkb_mod_index_t shift = xkb_keymap_mod_get_index(keymap.get(), XKB_MOD_NAME_SHIFT);
    controlMask_ = control == XKB_MOD_INVALID ? 0 : (1u << control);
    keycodes_.control = evdevKeyFor(keymap.get(), XKB_KEY_Control_L, kKeyLeftCtrl);
    keycodes_.shift = evdevKeyFor(keymap.get(), XKB_KEY_Shift_L, kKeyLeftShift);
    keycodes_.key = evdevKeyFor(keymap.get(), XKB_KEY_v, kKeyV);
    keycodes_.insert = evdevKeyFor(keymap.get(), XKB_KEY_Insert, kKeyInsert);
    shiftMask_ = shift == XKB_MOD_INVALID ? 0 : (1u << shift);

    char* text = xkb_keymap_get_as_string(keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1);
    if (!text) {
        return false;
    }
    const size_t size = std::strlen(text) + 1;
    const int fd = memfd_create("quillory-keymap", MFD_CLOEXEC);
    bool written = fd >= 0 && ftruncate(fd, off_t(size)) == 0;
    if (written) {
        void* map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        written = map != MAP_FAILED;
        if (written) {
            std::memcpy(map, text, size);
            munmap(map, size);
        }
    }
    std::free(text);
    if (!written) {
        qCWarning(lcInput, "Virtual keyboard: the keymap could not be shared (%s)", std::strerror(errno));
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    zwp_virtual_keyboard_v1_keymap(keyboard_, kKeymapFormatXkbV1, fd, quint32(size));
    ::close(fd);
    return controlMask_ != 0 && shiftMask_ != 0;
}

bool VirtualKeyboardPoster::createEventSource() {
    if (keyboard_) {
        return connection_->isAlive();
    }
    if (!connection_ || !connection_->virtualKeyboard() || !connection_->seat() || !connection_->isAlive()) {
        return false;
    }
    keyboard_ = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(connection_->virtualKeyboard(),
                                                                        connection_->seat());
    if (!uploadKeymap()) {
        zwp_virtual_keyboard_v1_destroy(keyboard_);
        keyboard_ = nullptr;
        return false;
    }
    // The compositor refuses an unauthorised client with a protocol error: learn it now.
    if (!connection_->roundtrip() || !connection_->isAlive()) {
        qCWarning(lcInput, "Virtual keyboard: the compositor refused the keyboard");
        keyboard_ = nullptr; // the connection is gone with it
        return false;
    }
    return true;
}

bool VirtualKeyboardPoster::createEvent(const KeyEvent& event) {
    // The core's vocabulary: only its paste key exists here.
    return event.virtualKey == ClipboardPasteInjector::kVirtualKeyV &&
           (event.flags & ClipboardPasteInjector::kCommandFlag) != 0;
}

void VirtualKeyboardPoster::send(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
        if (step.kind == Step::modifiers) {
            zwp_virtual_keyboard_v1_modifiers(keyboard_, step.value, 0, 0, 0);
        } else {
            zwp_virtual_keyboard_v1_key(keyboard_, WaylandConnection::timestamp(), step.value,
                                        step.down ? kKeyPressed : kKeyReleased);
        }
    }
    connection_->flush();
}

void VirtualKeyboardPoster::post(const KeyEvent& event) {
    if (!keyboard_ || !connection_->isAlive()) {
        return;
    }
    if (event.keyDown) {
        if (pressed_) {
            send(releaseSteps(lastKey_, keycodes_));
        }
        PasteKey key = chosen_ ? *chosen_ : keyForTarget_ ? keyForTarget_() : PasteKey::ctrlV;
        chosen_.reset();
        if ((event.flags & kShiftFlag) != 0 && key == PasteKey::ctrlV) {
            key = PasteKey::ctrlShiftV;
        }
        lastKey_ = key;
        send(pressSteps(lastKey_, keycodes_, controlMask_, shiftMask_));
        pressed_ = true;
    } else if (pressed_) {
        send(releaseSteps(lastKey_, keycodes_));
        pressed_ = false;
    }
}

} // namespace quillory::input
