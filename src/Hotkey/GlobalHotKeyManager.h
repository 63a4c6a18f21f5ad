#pragma once

#include "Hotkey/HotkeyBackend.h"
#include "Hotkey/HotkeyConfig.h"
#include "Runtime/Lifetime.h"
#include "Runtime/Scheduler.h"

#include <functional>
#include <memory>
#include <optional>

namespace quillory {

/// Turns system-wide key activity into the three hotkey actions of the application state:
/// `onToggle` (double tap of Command, or the registered hot key), `onPress` and `onRelease`
/// (push-to-talk while fn and a Command key, or fn and an Option key, are held).
///
/// Modifiers that are part of a shortcut are no gesture. A Command press counts as a tap only when
/// no other key (any key outside the Command keys, fn and Option included) is pressed before it is
/// released; the double tap toggles when the second of two taps whose presses lie at most 0.45 s
/// apart is released, and any other key pressed in between forgets the first tap. A push-to-talk
/// chord that gets a further key (Ctrl+Shift+T) is cancelled: it ends at once with `onRelease`, as
/// if let go, and does not engage again until its keys are let go.
///
/// Main thread only. Modifier changes arrive from the platform's stream, are captured as a
/// snapshot at once and handled on the next turn of the scheduler, in event order. While a chord
/// is held a 1/30 s watchdog polls the keys, so a release whose event was lost still ends the
/// chord after two missed ticks. All timing goes through `Scheduler::current()`.
class GlobalHotKeyManager {
public:
    using Callback = std::function<void()>;

    static constexpr Duration doubleCommandWindow = seconds(0.45);
    static constexpr Duration watchdogInterval = seconds(1.0 / 30.0);
    static constexpr int watchdogMissesBeforeRelease = 2;

    explicit GlobalHotKeyManager(HotkeyPlatform platform);
    ~GlobalHotKeyManager();
    GlobalHotKeyManager(const GlobalHotKeyManager&) = delete;
    GlobalHotKeyManager& operator=(const GlobalHotKeyManager&) = delete;

    /// Stores the configuration and callbacks, resets every gesture state (an engaged chord is
    /// dropped without `onRelease`), removes what was installed and installs what the
    /// configuration needs. True when everything needed was installed (also when nothing is).
    bool update(const HotkeyConfig& config, Callback onToggle, Callback onPress, Callback onRelease);
    /// Removes the modifier monitor and the registered hot key and stops the watchdog.
    void unregisterAll();

    const HotkeyConfig& config() const { return config_; }
    bool modifierMonitorInstalled() const { return monitorStarted_; }
    bool hotKeyRegistered() const { return hotKeyRegistered_; }
    bool watchdogRunning() const { return pttWatchdogTimer_.isActive(); }

private:
    struct ModifierSnapshot {
        std::uint16_t keyCode = 0;
        std::uint64_t flags = 0;
        bool fnOrGlobeDown = false;
        bool fnDownInKeyState = false; ///< fn seen through the key state, not only the flags
        bool leftOptionDown = false;
        bool rightOptionDown = false;
    };

    bool registerNeeded();
    bool startModifierMonitor();
    bool grabHotKey();

    void onModifierChange(const ModifierChange& change);
    void onHotKeyEvent(HotKeyRegistrar::EventKind kind);
    void handleModifierChange(const ModifierSnapshot& s);
    void handleOtherKeyPressed();
    void forgetDoubleTap();
    void dispatchFnBuiltinChordPTT(const ModifierSnapshot& s);
    void dispatchFnOptionChordPTT(const ModifierSnapshot& s);
    /// One push-to-talk chord: engages (`onPress`) when its keys go down unless it was cancelled;
    /// when they are up, clears the cancel, releases an engaged chord (`onRelease`) and drops a
    /// sticky fn that is down nowhere.
    void driveChord(bool down, bool& engaged, bool& cancelled, const ModifierSnapshot& s);
    void processDoubleCommandToggle(const ModifierSnapshot& s);

    void updateStickyFn(const ModifierSnapshot& s);
    bool fnActive(const ModifierSnapshot& s) const;
    bool commandDown(const ModifierSnapshot& s);
    bool fnChordCommandPTTDown(const ModifierSnapshot& s);
    bool shouldSuppressDoubleCommandToggle(const ModifierSnapshot& s);

    void syncPTTWatchdogTimerWithEngagement();
    void pttWatchdogTick();
    void stopWatchdog();

    /// Down in the device state, or else in the session state.
    bool keyDown(std::uint16_t keyCode);
    bool keyDownIn(KeyStateSource source, std::uint16_t keyCode);
    void call(const Callback& callback);

    HotkeyPlatform platform_;
    bool monitorStarted_ = false;
    bool hotKeyRegistered_ = false;
    bool handlerInstalled_ = false;

    HotkeyConfig config_ = HotkeyConfig::factoryDefaults();
    Callback onToggle_ = [] {};
    Callback onPress_ = [] {};
    Callback onRelease_ = [] {};

    bool hotKeyAwaitingRelease_ = false;
    std::optional<Duration> firstCommandDownForDoubleToggle_;
    /// The second press of a double tap is held; it toggles when every Command key is up.
    bool secondCommandTapHeld_ = false;
    bool leftCommandWasDown_ = false;
    bool rightCommandWasDown_ = false;
    bool fnCmdChordPttEngaged_ = false;
    bool fnOptionChordPttEngaged_ = false;
    /// The chord got a further key: it stays off until its keys are let go.
    bool fnCmdChordCancelled_ = false;
    bool fnOptionChordCancelled_ = false;
    bool fnDownStickyForChord_ = false;
    /// The sticky fn was last seen down in the key state, so the key state can tell its release.
    bool fnStickySeenInKeyState_ = false;
    Timer pttWatchdogTimer_;
    int chordWatchdogMissTicks_ = 0;
    int fnOptionChordWatchdogMissTicks_ = 0;

    /// Work queued to the scheduler holds this weakly, so nothing runs after destruction.
    Lifetime<GlobalHotKeyManager> lifetime_{this};
};

} // namespace quillory
