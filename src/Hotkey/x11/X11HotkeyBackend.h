#pragma once

#include "Hotkey/HotkeyBackend.h"
#include "Hotkey/ModifierKeyMap.h"
#include "Runtime/Lifetime.h"
#include "Runtime/NextTurn.h"

#include <QObject>
#include <QString>

#include <array>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

struct _XDisplay;
class QSocketNotifier;

namespace quillory::platform {

/// The hotkey platform on X11, over a display connection of its own (never the toolkit's):
/// - modifier changes: XInput2 raw key events selected on the root window, read through a socket
///   notifier on the main thread (the process sleeps until the server sends something);
/// - key states: XQueryKeymap;
/// - the registered hot key: XGrabKey on the root window, once per lock-mask combination
///   (none, CapsLock, NumLock, both), a grab conflict (BadAccess) being a failed registration.
/// Physical keys are identified by keycode through the `ModifierKeyMap`; keys of the map produce
/// modifier changes, presses of every other key "other key" events.
///
/// Synthesised keys are not the user's: raw events whose source is an XTEST device (the slave
/// that XTest input of each master goes through: our own paste, xdotool and the like) are
/// ignored, and keys such a device holds down count as up in the key states. Real keyboards are
/// never XTEST devices. The XTEST devices are found by their "XTEST Device" property (or their
/// name) and found again whenever the device hierarchy changes.
///
/// Events are handed on one per turn of the scheduler, and while later events wait, key states
/// are answered as of the event last handed on: a short tap that reached us together with its
/// release (the main thread was busy) is still a press followed by a release. With nothing
/// waiting, key states are the server's (XQueryKeymap), so a lost release never sticks.
/// Main thread only.
class X11HotkeyBackend final : public QObject,
                               public HotkeyPlatformOwner,
                               public ModifierEventStream,
                               public KeyStateQuery,
                               public HotKeyRegistrar {
    Q_OBJECT
public:
    /// Connects to `displayName` (null: $DISPLAY) and checks for XInput 2.2. Null with a
    /// description in `error` when there is no display or the extension is missing.
    static std::unique_ptr<X11HotkeyBackend> open(const ModifierKeyMap& keys, QString* error,
                                                  const char* displayName = nullptr);
    ~X11HotkeyBackend() override;

    HotkeyPlatform platform() override { return {this, this, this}; }
    const ModifierKeyMap& keyMap() const { return keys_; }
    void setKeyMap(const ModifierKeyMap& keys);

    // ModifierEventStream
    bool start(std::function<void(const ModifierChange&)> onChange,
               std::function<void(std::uint32_t)> onDisabled) override;
    void stop() override;
    // KeyStateQuery
    bool isKeyDown(KeyStateSource source, std::uint16_t keyCode) override;
    // HotKeyRegistrar: the core key code and modifier encoding are translated here; the status
    // is the X error of the grab (10, BadAccess, when another client holds the key), -1 when the
    // key has no X keycode, -2 when Command or Option is asked for but its keys carry no X
    // modifier.
    int registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers) override;
    void unregisterHotKey() override;
    int installHandler(std::function<void(EventKind)> handler) override;
    void removeHandler() override;

    /// The X keycode of a core key code (letters, digits, function keys, space...); nullopt for
    /// keys outside the table.
    static std::optional<int> keycodeForVirtualKey(std::uint32_t keyCode);
    /// Core modifier bits of the registration encoding.
    static constexpr std::uint32_t cmdKey = 0x0100, shiftKey = 0x0200, alphaLock = 0x0400,
                                   optionKey = 0x0800, controlKey = 0x1000;

    /// Events handled so far (raw key events of mapped keys and grabbed key events); for tests.
    int eventsHandled() const { return eventsHandled_; }

private:
    explicit X11HotkeyBackend(_XDisplay* display, int xiOpcode, const ModifierKeyMap& keys);
    using Keymap = std::array<char, 32>;

    enum class PendingKind {
        modifier, ///< a raw event of a key of the map
        otherKey, ///< a raw press of any other key
        grabbed,  ///< an event of the registered hot key
    };
    struct PendingKey {
        int keycode;
        bool down;
        PendingKind kind;
    };

    void processEvents();
    void readEvents();
    void deliverNext();
    void scheduleDelivery();
    void drainSoon();
    /// The server's key states without the keys only synthetic devices hold.
    Keymap liveKeymap();
    std::uint64_t flagsFor(const Keymap& keymap) const;
    bool anyDown(const Keymap& keymap, std::uint16_t virtualKey) const;
    unsigned modifierMaskOfKey(int keycode) const;
    bool selectRawEvents(bool on);
    void findSyntheticDevices();

    _XDisplay* display_;
    int xiOpcode_;
    unsigned long root_;
    ModifierKeyMap keys_;
    QSocketNotifier* notifier_ = nullptr;
    bool drainQueued_ = false;

    std::function<void(const ModifierChange&)> onChange_;
    bool streaming_ = false;
    std::deque<PendingKey> pending_;
    bool delivering_ = false;
    Keymap handedOn_{}; // key states as of the last event handed on
    Lifetime<X11HotkeyBackend> lifetime_{this};
    /// Hands the next queued event on, one per scheduler turn.
    NextTurn<X11HotkeyBackend> delivery_{lifetime_, &X11HotkeyBackend::deliverNext};
    std::vector<int> syntheticDevices_; ///< the XTEST slave devices
    std::vector<int> knownDevices_;     ///< every slave device at the last look
    Keymap syntheticDown_{};            ///< keys the XTEST devices hold down
    Keymap cachedKeymap_{};
    std::chrono::steady_clock::time_point cachedAt_{};
    bool cacheValid_ = false;

    struct Grab {
        int keycode;
        unsigned modifiers;
    };
    std::optional<Grab> grab_;
    std::function<void(EventKind)> hotKeyHandler_;
    int eventsHandled_ = 0;
};

/// The hotkey backend for this session, as the app and the command line choose it: X11 in an X11
/// session; under Wayland the path of the desktop choice (`currentDesktopBackends`: the evdev
/// keyboards; XInput2 on XWayland, which hears only keys typed into X11 windows, is never used),
/// and null with the reason and the desktop's fix while that path has no backend here. Logged on
/// the hotkey channel.
/// Without a backend the manager still runs and reports every registration as failed.
std::unique_ptr<HotkeyPlatformOwner> openHotkeyBackend(const ModifierKeyMap& keys, QString* reason);

} // namespace quillory::platform
