#include "Hotkey/GlobalHotKeyManager.h"

#include "Runtime/Log.h"

namespace quillory {

using namespace HotkeyKeys;

GlobalHotKeyManager::GlobalHotKeyManager(HotkeyPlatform platform)
    : platform_(platform) {}

GlobalHotKeyManager::~GlobalHotKeyManager() {
    lifetime_.end();
    unregisterAll();
}

bool GlobalHotKeyManager::update(const HotkeyConfig& config, Callback onToggle, Callback onPress,
                                 Callback onRelease) {
    config_ = config;
    onToggle_ = onToggle ? std::move(onToggle) : Callback([] {});
    onPress_ = onPress ? std::move(onPress) : Callback([] {});
    onRelease_ = onRelease ? std::move(onRelease) : Callback([] {});
    hotKeyAwaitingRelease_ = false;
    firstCommandDownForDoubleToggle_.reset();
    secondCommandTapHeld_ = false;
    leftCommandWasDown_ = false;
    rightCommandWasDown_ = false;
    fnCmdChordPttEngaged_ = false;
    fnOptionChordPttEngaged_ = false;
    fnCmdChordCancelled_ = false;
    fnOptionChordCancelled_ = false;
    fnDownStickyForChord_ = false;
    fnStickySeenInKeyState_ = false;
    stopWatchdog();
    unregisterAll();
    return registerNeeded();
}

void GlobalHotKeyManager::unregisterAll() {
    if (hotKeyRegistered_ && platform_.hotKeys) {
        platform_.hotKeys->unregisterHotKey();
    }
    hotKeyRegistered_ = false;
    if (handlerInstalled_ && platform_.hotKeys) {
        platform_.hotKeys->removeHandler();
    }
    handlerInstalled_ = false;
    if (monitorStarted_ && platform_.modifierEvents) {
        platform_.modifierEvents->stop();
    }
    monitorStarted_ = false;
    stopWatchdog();
}

// ---- registration ----

bool GlobalHotKeyManager::registerNeeded() {
    const bool needsMonitor = config_.needsModifierMonitor();
    const bool needsHotKey = config_.needsHotKeyGrab();
    bool ok = true;
    if (needsMonitor && !startModifierMonitor()) {
        ok = false;
    }
    if (needsHotKey && !grabHotKey()) {
        ok = false;
    }
    return ok;
}

bool GlobalHotKeyManager::startModifierMonitor() {
    const LifetimeRef<GlobalHotKeyManager> weak = lifetime_.ref();
    const bool started = platform_.modifierEvents && platform_.keyState &&
                         platform_.modifierEvents->start(
                             [weak](const ModifierChange& change) {
                                 if (auto* self = weak.get()) {
                                     self->onModifierChange(change);
                                 }
                             },
                             [weak](std::uint32_t reason) {
                                 auto* self = weak.get();
                                 if (!self) {
                                     return;
                                 }
                                 if (self->monitorStarted_) {
                                     self->platform_.modifierEvents->reenable();
                                 }
                                 qCCritical(lcHotkey, "CGEvent tap was disabled; re-enabled (%u)", reason);
                             });
    if (!started) {
        qCCritical(lcHotkey, "CGEvent.tapCreate failed for flagsChanged (fn / Right Option)");
        return false;
    }
    monitorStarted_ = true;
    return true;
}

bool GlobalHotKeyManager::grabHotKey() {
    if (!platform_.hotKeys) {
        qCCritical(lcHotkey, "RegisterEventHotKey failed: %d", -1);
        return false;
    }
    const int status = platform_.hotKeys->registerHotKey(config_.keyCode, config_.modifiers);
    if (status != 0) {
        qCCritical(lcHotkey, "RegisterEventHotKey failed: %d", status);
        return false;
    }
    hotKeyRegistered_ = true;
    const LifetimeRef<GlobalHotKeyManager> weak = lifetime_.ref();
    const int handlerStatus = platform_.hotKeys->installHandler([weak](HotKeyRegistrar::EventKind kind) {
        if (auto* self = weak.get()) {
            self->onHotKeyEvent(kind);
        }
    });
    if (handlerStatus != 0) {
        qCCritical(lcHotkey, "InstallEventHandler failed: %d", handlerStatus);
        platform_.hotKeys->unregisterHotKey();
        hotKeyRegistered_ = false;
        return false;
    }
    handlerInstalled_ = true;
    return true;
}

// ---- events ----

void GlobalHotKeyManager::onModifierChange(const ModifierChange& change) {
    const LifetimeRef<GlobalHotKeyManager> weak = lifetime_.ref();
    if (change.otherKey) {
        Scheduler::current().post([weak] {
            if (auto* self = weak.get()) {
                self->handleOtherKeyPressed();
            }
        });
        return;
    }
    // Key states are read now, as the event is seen; the handling runs on the next turn.
    ModifierSnapshot s;
    s.keyCode = change.keyCode;
    s.flags = change.flags;
    s.fnDownInKeyState = keyDownIn(KeyStateSource::devices, fn) || keyDownIn(KeyStateSource::session, fn);
    s.fnOrGlobeDown = s.fnDownInKeyState || (change.flags & secondaryFnFlag) != 0;
    s.leftOptionDown = keyDown(leftOption);
    s.rightOptionDown = keyDown(rightOption);
    Scheduler::current().post([weak, s] {
        if (auto* self = weak.get()) {
            self->handleModifierChange(s);
        }
    });
}

void GlobalHotKeyManager::onHotKeyEvent(HotKeyRegistrar::EventKind kind) {
    const LifetimeRef<GlobalHotKeyManager> weak = lifetime_.ref();
    Scheduler::current().post([weak, kind] {
        auto* self = weak.get();
        if (!self) {
            return;
        }
        GlobalHotKeyManager& m = *self;
        if (!m.config_.toggleShortcutEnabled) {
            return;
        }
        if (kind == HotKeyRegistrar::EventKind::released) {
            m.hotKeyAwaitingRelease_ = false;
        } else if (kind == HotKeyRegistrar::EventKind::pressed && !m.hotKeyAwaitingRelease_) {
            m.hotKeyAwaitingRelease_ = true;
            m.call(m.onToggle_);
        }
    });
}

void GlobalHotKeyManager::handleModifierChange(const ModifierSnapshot& s) {
    // fn or an Option key going down is another key for a Command tap in progress.
    const bool otherModifierPressed = (s.keyCode == fn && s.fnOrGlobeDown) ||
                                      (s.keyCode == leftOption && s.leftOptionDown) ||
                                      (s.keyCode == rightOption && s.rightOptionDown);
    if (otherModifierPressed) {
        forgetDoubleTap();
    }
    if (config_.pushToTalkShortcutEnabled) {
        bool optionDispatch = true;
        if (config_.modifierChordFnCommand) {
            dispatchFnBuiltinChordPTT(s);
            // A callback may have reconfigured the manager.
            optionDispatch = config_.pushToTalkShortcutEnabled;
        }
        if (optionDispatch && config_.modifierChordFnOption) {
            dispatchFnOptionChordPTT(s);
        }
    }
    if (config_.toggleShortcutEnabled && config_.toggleDoubleCommand) {
        processDoubleCommandToggle(s);
    }
}

void GlobalHotKeyManager::handleOtherKeyPressed() {
    // Whatever gesture was forming is a shortcut: no tap, and an engaged chord is cancelled.
    forgetDoubleTap();
    if (!config_.pushToTalkShortcutEnabled) {
        return;
    }
    const auto cancel = [this](bool& engaged, bool& cancelled) {
        if (engaged) {
            engaged = false;
            cancelled = true;
            call(onRelease_);
        }
    };
    if (config_.modifierChordFnCommand) {
        cancel(fnCmdChordPttEngaged_, fnCmdChordCancelled_);
    }
    // A callback may have reconfigured the manager.
    if (config_.pushToTalkShortcutEnabled && config_.modifierChordFnOption) {
        cancel(fnOptionChordPttEngaged_, fnOptionChordCancelled_);
    }
    syncPTTWatchdogTimerWithEngagement();
}

void GlobalHotKeyManager::forgetDoubleTap() {
    firstCommandDownForDoubleToggle_.reset();
    secondCommandTapHeld_ = false;
}

// ---- push-to-talk chords ----

void GlobalHotKeyManager::updateStickyFn(const ModifierSnapshot& s) {
    if (s.keyCode == fn) {
        fnDownStickyForChord_ = s.fnOrGlobeDown;
    } else if (s.fnOrGlobeDown) {
        fnDownStickyForChord_ = true;
    }
    if (s.fnOrGlobeDown) {
        fnStickySeenInKeyState_ = s.fnDownInKeyState;
    }
}

bool GlobalHotKeyManager::fnActive(const ModifierSnapshot& s) const {
    return s.fnOrGlobeDown || (s.keyCode != fn && fnDownStickyForChord_);
}

bool GlobalHotKeyManager::commandDown(const ModifierSnapshot& s) {
    return keyDown(leftCommand) || keyDown(rightCommand) || (s.flags & commandFlag) != 0;
}

bool GlobalHotKeyManager::fnChordCommandPTTDown(const ModifierSnapshot& s) {
    return fnActive(s) && commandDown(s);
}

void GlobalHotKeyManager::dispatchFnBuiltinChordPTT(const ModifierSnapshot& s) {
    updateStickyFn(s);
    driveChord(fnChordCommandPTTDown(s), fnCmdChordPttEngaged_, fnCmdChordCancelled_, s);
}

void GlobalHotKeyManager::dispatchFnOptionChordPTT(const ModifierSnapshot& s) {
    updateStickyFn(s);
    driveChord(fnActive(s) && (s.leftOptionDown || s.rightOptionDown), fnOptionChordPttEngaged_,
               fnOptionChordCancelled_, s);
}

void GlobalHotKeyManager::driveChord(bool down, bool& engaged, bool& cancelled, const ModifierSnapshot& s) {
    if (down && !engaged && !cancelled) {
        engaged = true;
        forgetDoubleTap(); // the chord's Command or Option key is no tap
        call(onPress_);
    } else if (!down) {
        cancelled = false;
        if (engaged) {
            engaged = false;
            call(onRelease_);
        }
        if (!keyDownIn(KeyStateSource::devices, fn) && !keyDownIn(KeyStateSource::session, fn) &&
            (s.flags & secondaryFnFlag) == 0) {
            fnDownStickyForChord_ = false;
        }
    }
    syncPTTWatchdogTimerWithEngagement();
}

// ---- double Command ----

bool GlobalHotKeyManager::shouldSuppressDoubleCommandToggle(const ModifierSnapshot& s) {
    if (!config_.pushToTalkShortcutEnabled) {
        return false;
    }
    if (!fnActive(s)) {
        return false;
    }
    if (config_.modifierChordFnCommand && commandDown(s)) {
        return true;
    }
    return config_.modifierChordFnOption && (s.leftOptionDown || s.rightOptionDown);
}

void GlobalHotKeyManager::processDoubleCommandToggle(const ModifierSnapshot& s) {
    const Duration now = Scheduler::current().monotonicNow();
    if (firstCommandDownForDoubleToggle_ && now - *firstCommandDownForDoubleToggle_ > doubleCommandWindow) {
        firstCommandDownForDoubleToggle_.reset();
    }
    const bool left = keyDown(leftCommand);
    const bool right = keyDown(rightCommand);
    bool newPress = false;
    if (!left && !right) {
        leftCommandWasDown_ = false;
        rightCommandWasDown_ = false;
        if (secondCommandTapHeld_) {
            // The second tap ended with no other key pressed while it was held.
            secondCommandTapHeld_ = false;
            call(onToggle_);
        }
        return;
    }
    if (left && right) {
        newPress = !leftCommandWasDown_ || !rightCommandWasDown_;
        leftCommandWasDown_ = true;
        rightCommandWasDown_ = true;
    } else if (left) {
        newPress = !leftCommandWasDown_;
        leftCommandWasDown_ = true;
        rightCommandWasDown_ = false;
    } else {
        newPress = !rightCommandWasDown_;
        rightCommandWasDown_ = true;
        leftCommandWasDown_ = false;
    }
    if (!newPress) {
        return;
    }
    if (shouldSuppressDoubleCommandToggle(s)) {
        forgetDoubleTap(); // part of a push-to-talk chord: not even a first press
        return;
    }
    if (secondCommandTapHeld_) {
        return; // the other Command key joined the second tap
    }
    if (firstCommandDownForDoubleToggle_ && now - *firstCommandDownForDoubleToggle_ <= doubleCommandWindow) {
        // Toggles at its release, unless another key is pressed first.
        firstCommandDownForDoubleToggle_.reset();
        secondCommandTapHeld_ = true;
    } else {
        firstCommandDownForDoubleToggle_ = now;
    }
}

// ---- release watchdog ----

void GlobalHotKeyManager::syncPTTWatchdogTimerWithEngagement() {
    const bool engaged = config_.pushToTalkShortcutEnabled &&
                         ((config_.modifierChordFnCommand && fnCmdChordPttEngaged_) ||
                          (config_.modifierChordFnOption && fnOptionChordPttEngaged_));
    if (engaged) {
        if (!pttWatchdogTimer_.isActive()) {
            const LifetimeRef<GlobalHotKeyManager> weak = lifetime_.ref();
            pttWatchdogTimer_ = Timer::repeating(watchdogInterval, [weak] {
                if (auto* self = weak.get()) {
                    self->pttWatchdogTick();
                }
            });
        }
    } else {
        stopWatchdog();
    }
}

void GlobalHotKeyManager::stopWatchdog() {
    pttWatchdogTimer_.stop();
    chordWatchdogMissTicks_ = 0;
    fnOptionChordWatchdogMissTicks_ = 0;
}

void GlobalHotKeyManager::pttWatchdogTick() {
    if (!config_.pushToTalkShortcutEnabled) {
        stopWatchdog();
        return;
    }
    // The sticky flag stands for fn only where the key state cannot show fn (keyboards that
    // report it in the flags alone); where it can, a lost fn release is caught here too.
    const auto fnHeld = [this] {
        return keyDownIn(KeyStateSource::devices, fn) || (fnDownStickyForChord_ && !fnStickySeenInKeyState_) ||
               keyDownIn(KeyStateSource::session, fn);
    };
    if (config_.modifierChordFnCommand && fnCmdChordPttEngaged_) {
        const bool held = (keyDown(leftCommand) || keyDown(rightCommand)) && fnHeld();
        if (held) {
            chordWatchdogMissTicks_ = 0;
        } else if (++chordWatchdogMissTicks_ >= watchdogMissesBeforeRelease) {
            chordWatchdogMissTicks_ = 0;
            fnCmdChordPttEngaged_ = false;
            fnDownStickyForChord_ = false;
            call(onRelease_);
            syncPTTWatchdogTimerWithEngagement();
        }
    }
    if (config_.modifierChordFnOption && fnOptionChordPttEngaged_) {
        const bool held = (keyDown(leftOption) || keyDown(rightOption)) && fnHeld();
        if (held) {
            fnOptionChordWatchdogMissTicks_ = 0;
        } else if (++fnOptionChordWatchdogMissTicks_ >= watchdogMissesBeforeRelease) {
            fnOptionChordWatchdogMissTicks_ = 0;
            fnOptionChordPttEngaged_ = false;
            fnDownStickyForChord_ = false;
            call(onRelease_);
            syncPTTWatchdogTimerWithEngagement();
        }
    }
}

// ---- helpers ----

bool GlobalHotKeyManager::keyDownIn(KeyStateSource source, std::uint16_t keyCode) {
    return platform_.keyState && platform_.keyState->isKeyDown(source, keyCode);
}

bool GlobalHotKeyManager::keyDown(std::uint16_t keyCode) {
    return keyDownIn(KeyStateSource::devices, keyCode) || keyDownIn(KeyStateSource::session, keyCode);
}

void GlobalHotKeyManager::call(const Callback& callback) {
    // A copy: the callback may call update(), which replaces the stored callbacks.
    const Callback copy = callback;
    copy();
}

} // namespace quillory
