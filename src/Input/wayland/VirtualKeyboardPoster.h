#pragma once

#include "Input/InputPlatform.h"
#include "Input/x11/PasteKeys.h"

#include <QByteArray>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct zwp_virtual_keyboard_v1;

namespace quillory::input {

class WaylandConnection;

/// Posts the core's paste key (virtual key 9 with the Command mask) as a keyboard of its own
/// through the compositor's virtual-keyboard protocol (wlroots compositors such as sway).
///
/// The keyboard carries a full keymap (xkbcommon's, for the layout XKB_DEFAULT_LAYOUT names, "us"
/// by default), so toolkits see real Ctrl+V with its key symbols. The compositor applies the
/// modifier state each keyboard declares: the paste key declares exactly Control (and Shift for
/// Ctrl+Shift+V), so modifiers the user still holds on a real keyboard play no part, and
/// everything pressed is released and the modifiers cleared afterwards.
///
/// The key is the one `keyForTarget` chooses for the active window (Ctrl+V, or Ctrl+Shift+V /
/// Shift+Insert in terminals, by the app id the compositor's window list gives); without it,
/// Ctrl+V. The Shift flag of the event turns Ctrl+V into Ctrl+Shift+V. Main thread only.
class VirtualKeyboardPoster final : public KeyEventPoster {
public:
    static constexpr quint64 kShiftFlag = 0x20000;

    explicit VirtualKeyboardPoster(std::shared_ptr<WaylandConnection> connection,
                                   std::function<PasteKey()> keyForTarget = {});
    ~VirtualKeyboardPoster() override;

    /// Creates the keyboard and uploads its keymap (once); false when the compositor refuses.
    bool createEventSource() override;
    bool createEvent(const KeyEvent& event) override;
    void post(const KeyEvent& event) override;
    /// Chooses the key for the active window now (Shift+Insert reads the primary selection); the
    /// next key-down presses that key.
    bool pasteReadsPrimarySelection() override;

    /// The key of the last press (for the command line's report).
    PasteKey lastKey() const { return lastKey_; }
    /// Whether the keyboard is plugged in.
    bool isReady() const { return keyboard_ != nullptr; }

    /// One key transition or modifier state, in the order it is sent (for tests).
    struct Step {
        enum Kind { key, modifiers } kind = key;
        quint32 value = 0; ///< the evdev key code, or the depressed modifier mask
        bool down = false;
        bool operator==(const Step&) const = default;
    };
    /// The steps of a paste key press and of its release, by evdev key code, for a keymap's
    /// control and shift masks.
    static std::vector<Step> pressSteps(PasteKey key, const PasteKeycodes& keys, quint32 controlMask,
                                        quint32 shiftMask);
    static std::vector<Step> releaseSteps(PasteKey key, const PasteKeycodes& keys);

private:
    bool uploadKeymap();
    void send(const std::vector<Step>& steps);

    std::shared_ptr<WaylandConnection> connection_;
    std::function<PasteKey()> keyForTarget_;
    std::optional<PasteKey> chosen_;
    zwp_virtual_keyboard_v1* keyboard_ = nullptr;
    PasteKeycodes keycodes_;
    quint32 controlMask_ = 0;
    quint32 shiftMask_ = 0;
    bool pressed_ = false;
    PasteKey lastKey_ = PasteKey::ctrlV;
};

} // namespace quillory::input
