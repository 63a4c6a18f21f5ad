#pragma once

#include "Input/InputPlatform.h"
#include "Input/x11/PasteKeys.h"

#include <functional>
#include <memory>
#include <optional>

namespace quillory::input {

class X11Connection;

/// Posts the core's paste key (virtual key 9 with the Command mask) through XTest, by the exact
/// keycodes of the current keymap, as the key `keyForTarget` chooses for the focused window:
/// Ctrl+V, or Ctrl+Shift+V / Shift+Insert in terminal emulators. Modifier keys the user still
/// holds are released first (see `pasteKeyDown`). Every press is flushed to the server at once.
class XTestKeyPoster final : public KeyEventPoster {
public:
    static constexpr quint64 kShiftFlag = 0x20000;

    XTestKeyPoster(std::shared_ptr<X11Connection> connection, std::function<PasteKey()> keyForTarget);

    bool createEventSource() override;
    bool createEvent(const KeyEvent& event) override;
    void post(const KeyEvent& event) override;
    /// Chooses the key for the focused window now (Shift+Insert reads the primary selection);
    /// the next key-down presses that key.
    bool pasteReadsPrimarySelection() override;

    /// What the last key-down did (for logs and tests).
    struct LastPress {
        std::vector<int> releasedModifiers;
        PasteKey key = PasteKey::ctrlV;
    };
    const LastPress& lastPress() const { return lastPress_; }

private:
    bool resolveKeycodes();
    std::vector<int> heldModifierKeys() const;
    void send(const std::vector<KeyStroke>& strokes);

    std::shared_ptr<X11Connection> connection_;
    std::function<PasteKey()> keyForTarget_;
    std::optional<PasteKey> chosen_;
    PasteKeycodes keycodes_;
    bool pressed_ = false;
    PasteKey pressedKey_ = PasteKey::ctrlV;
    LastPress lastPress_;
};

} // namespace quillory::input
