#pragma once

#include <cstdint>
#include <functional>

namespace quillory {

/// The core's key vocabulary. The platform backends translate physical keys into these virtual
/// key codes and flag bits at the edge, so the gesture logic never sees a platform key code.
namespace HotkeyKeys {
inline constexpr std::uint16_t fn = 63;
inline constexpr std::uint16_t leftCommand = 55;
inline constexpr std::uint16_t rightCommand = 54;
inline constexpr std::uint16_t leftOption = 58;
inline constexpr std::uint16_t rightOption = 61;

inline constexpr std::uint64_t commandFlag = 0x100000;     ///< a Command key is down
inline constexpr std::uint64_t optionFlag = 0x080000;      ///< an Option key is down
inline constexpr std::uint64_t secondaryFnFlag = 0x800000; ///< fn is down

/// Whether `key` is one of the modifiers above.
inline constexpr bool isModifier(std::uint16_t key) {
    return key == leftCommand || key == rightCommand || key == leftOption || key == rightOption || key == fn;
}

/// The flags of the modifiers held, from whether each virtual key is down.
template <typename IsDown> std::uint64_t flagsOf(IsDown isDown) {
    std::uint64_t flags = 0;
    if (isDown(leftCommand) || isDown(rightCommand)) {
        flags |= commandFlag;
    }
    if (isDown(leftOption) || isDown(rightOption)) {
        flags |= optionFlag;
    }
    if (isDown(fn)) {
        flags |= secondaryFnFlag;
    }
    return flags;
}
} // namespace HotkeyKeys

/// One event of the modifier stream: a modifier key changed (`keyCode`, with the modifier flags
/// after the change), or, with `otherKey` set, a key that is none of the modifiers was pressed
/// (`keyCode` is then 0 and `flags` the modifiers held). The other keys tell a modifier that is
/// part of a shortcut (Ctrl+C) from one that is tapped or held on its own; their releases and
/// auto-repeats are not reported.
struct ModifierChange {
    std::uint16_t keyCode = 0;
    std::uint64_t flags = 0;
    bool otherKey = false;
};

/// Where a key state is read. A key counts as down when either source reports it down.
enum class KeyStateSource : int {
    session = 0, ///< the state of the whole session
    devices = 1, ///< the state of the input devices
};

/// The live key-state query.
class KeyStateQuery {
public:
    virtual ~KeyStateQuery() = default;
    virtual bool isKeyDown(KeyStateSource source, std::uint16_t keyCode) = 0;
};

/// The system-wide stream of modifier changes (the modifier monitor).
class ModifierEventStream {
public:
    virtual ~ModifierEventStream() = default;
    /// Installs the monitor. `onChange` runs on the main thread for every modifier change and every
    /// press of another key, in event order. Keys that software synthesised (our own paste, other
    /// tools' fake input) are never reported; `onDisabled` when the system switched the monitor off (with the system's reason code),
    /// after which `reenable()` switches it on again. False when the monitor cannot be installed.
    virtual bool start(std::function<void(const ModifierChange&)> onChange,
                       std::function<void(std::uint32_t reason)> onDisabled) = 0;
    virtual void reenable() {}
    /// Removes the monitor; no callback runs after this returns. Harmless when not started.
    virtual void stop() = 0;
};

/// A registered system-wide hot key (a key code with modifiers) with pressed and released events.
class HotKeyRegistrar {
public:
    enum class EventKind : std::uint32_t { pressed = 5, released = 6 };

    virtual ~HotKeyRegistrar() = default;
    /// Registers the key combination (core key code, modifiers in the registration encoding).
    /// 0 on success, else a nonzero status.
    virtual int registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers) = 0;
    virtual void unregisterHotKey() = 0;
    /// Installs the handler that receives the registered key's events on the main thread.
    /// 0 on success, else a nonzero status.
    virtual int installHandler(std::function<void(EventKind)> handler) = 0;
    virtual void removeHandler() = 0;
};

/// The platform pieces the hotkey manager runs on. Not owned; they outlive the manager.
struct HotkeyPlatform {
    ModifierEventStream* modifierEvents = nullptr;
    KeyStateQuery* keyState = nullptr;
    HotKeyRegistrar* hotKeys = nullptr;
};

/// A backend that owns the pieces of a `HotkeyPlatform` (X11, evdev).
class HotkeyPlatformOwner {
public:
    virtual ~HotkeyPlatformOwner() = default;
    virtual HotkeyPlatform platform() = 0;
};

} // namespace quillory
