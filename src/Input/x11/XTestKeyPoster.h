#pragma once

#include "Input/InputPlatform.h"
#include "Input/x11/PasteKeys.h"

#include <functional>
#include <memory>

namespace quillory::input {

class X11Connection;

/// Posts the core's paste key (virtual key 9 with the Command mask) as Ctrl+V through XTest, by
/// the exact keycodes of the current keymap, or as Ctrl+Shift+V when `targetIsTerminal` says the
/// focused window is a terminal emulator. Modifier keys the user still holds are released first
/// (see `pasteKeyDown`). Every press is flushed to the server at once.
class XTestKeyPoster final : public KeyEventPoster {
public:
    static constexpr quint64 kShiftFlag = 0x20000;

    XTestKeyPoster(std::shared_ptr<X11Connection> connection, std::function<bool()> targetIsTerminal);

    bool createEventSource() override;
    bool createEvent(const KeyEvent& event) override;
    void post(const KeyEvent& event) override;

    /// What the last key-down did (for logs and tests).
    struct LastPress {
        std::vector<int> releasedModifiers;
        bool withShift = false;
    };
    const LastPress& lastPress() const { return lastPress_; }

private:
    bool resolveKeycodes();
    std::vector<int> heldModifierKeys() const;
    void send(const std::vector<KeyStroke>& strokes);

    std::shared_ptr<X11Connection> connection_;
    std::function<bool()> targetIsTerminal_;
    PasteKeycodes keycodes_;
    bool pressed_ = false;
    bool pressedWithShift_ = false;
    LastPress lastPress_;
};

} // namespace quillory::input
