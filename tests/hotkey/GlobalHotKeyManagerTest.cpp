#include "Hotkey/GlobalHotKeyManager.h"

#include "FakeHotkeyPlatform.h"
#include "support/CoreTest.h"

using namespace quillory;
using namespace quillory::HotkeyKeys;
using quillory::testing::CoreTest;
using quillory::testing::FakeHotkeyPlatform;
using quillory::testing::LogCapture;

namespace {

HotkeyConfig toggleOnly() {
    HotkeyConfig c;
    c.pushToTalkShortcutEnabled = false;
    return c;
}

class GlobalHotKeyManagerTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        manager_ = std::make_unique<GlobalHotKeyManager>(keys_.platform());
    }
    void TearDown() override {
        manager_.reset();
        CoreTest::TearDown();
    }

    bool apply(const HotkeyConfig& config) {
        return manager_->update(
            config, [this] { events_ << QStringLiteral("toggle"); }, [this] { events_ << QStringLiteral("press"); },
            [this] { events_ << QStringLiteral("release"); });
    }
    // One key event, handled as the main loop would right after it.
    void press(std::uint16_t key) {
        keys_.press(key);
        clock_.runPending();
    }
    void release(std::uint16_t key) {
        keys_.release(key);
        clock_.runPending();
    }
    void tap(std::uint16_t key) {
        press(key);
        release(key);
    }
    void wait(double s) { clock_.advance(seconds(s)); }

    FakeHotkeyPlatform keys_;
    std::unique_ptr<GlobalHotKeyManager> manager_;
    QStringList events_;
};

// ---- double Command ----

TEST_F(GlobalHotKeyManagerTest, DoubleCommandTogglesWithinTheWindowInclusiveAndEachPairStartsAfresh) {
    ASSERT_TRUE(apply(HotkeyConfig::factoryDefaults()));

    tap(leftCommand);
    wait(0.3);
    tap(leftCommand);
    EXPECT_EQ(events_, QStringList{"toggle"}) << "0.3 s apart";

    // 0.5 s apart: no toggle, and the second press starts a new pair.
    events_.clear();
    wait(2);
    tap(leftCommand);
    wait(0.5);
    tap(leftCommand);
    EXPECT_TRUE(events_.isEmpty()) << "0.5 s apart";
    wait(0.2);
    tap(leftCommand);
    EXPECT_EQ(events_, QStringList{"toggle"}) << "the late press was a new first press";

    // Exactly 0.45 s still counts; just past it does not.
    events_.clear();
    wait(2);
    tap(rightCommand);
    wait(0.45);
    tap(rightCommand);
    EXPECT_EQ(events_, QStringList{"toggle"}) << "exactly 0.45 s";
    events_.clear();
    wait(2);
    tap(rightCommand);
    clock_.advance(seconds(0.45) + 1ns);
    tap(rightCommand);
    EXPECT_TRUE(events_.isEmpty()) << "0.45 s + 1 ns";

    // Three quick presses toggle once; the third starts a new pair.
    wait(2);
    tap(leftCommand);
    wait(0.1);
    tap(leftCommand);
    wait(0.1);
    tap(leftCommand);
    EXPECT_EQ(events_, QStringList{"toggle"});
    wait(0.1);
    tap(leftCommand); // pairs with the third
    EXPECT_EQ(events_, (QStringList{"toggle", "toggle"}));
}

TEST_F(GlobalHotKeyManagerTest, RightCommandWhileLeftIsHeldIsANewPress) {
    ASSERT_TRUE(apply(HotkeyConfig::factoryDefaults()));
    press(leftCommand);
    wait(0.1);
    press(rightCommand);
    // Letting go of one of two held keys is no press; nor is an event of another key while held.
    release(rightCommand);
    keys_.report(leftOption);
    clock_.runPending();
    EXPECT_TRUE(events_.isEmpty()) << "the second tap toggles when it ends";
    wait(0.1);
    release(leftCommand);
    EXPECT_EQ(events_, QStringList{"toggle"});
    wait(0.1);
    tap(leftCommand);
    EXPECT_EQ(events_, QStringList{"toggle"});
}

TEST_F(GlobalHotKeyManagerTest, CommandInAShortcutIsNoTap) {
    ASSERT_TRUE(apply(toggleOnly()));
    const auto shortcut = [this](std::uint16_t command) {
        press(command);
        keys_.pressOther();
        clock_.runPending();
        release(command);
    };
    // Copy then paste 0.2 s apart.
    shortcut(rightCommand);
    wait(0.2);
    shortcut(rightCommand);
    EXPECT_TRUE(events_.isEmpty());

    // A tap followed by a shortcut: the second press was no tap.
    wait(1);
    tap(rightCommand);
    wait(0.2);
    shortcut(rightCommand);
    EXPECT_TRUE(events_.isEmpty());
    // A shortcut followed by a tap: the first press was no tap, the tap is a new first one.
    wait(1);
    shortcut(leftCommand);
    wait(0.2);
    tap(leftCommand);
    EXPECT_TRUE(events_.isEmpty());
    wait(0.2);
    tap(leftCommand);
    EXPECT_EQ(events_, QStringList{"toggle"});

    // A key typed between two taps breaks the pair; so does fn or Option as the other key.
    events_.clear();
    wait(1);
    tap(leftCommand);
    keys_.pressOther();
    clock_.runPending();
    tap(leftCommand);
    EXPECT_TRUE(events_.isEmpty());
    wait(1);
    tap(leftCommand);
    wait(0.1);
    press(leftCommand);
    tap(fn);
    tap(rightOption);
    release(leftCommand);
    EXPECT_TRUE(events_.isEmpty());

    // Timing is unchanged: two clean taps at exactly 0.45 s toggle, once the second ends.
    wait(1);
    tap(rightCommand);
    wait(0.45);
    press(rightCommand);
    EXPECT_TRUE(events_.isEmpty());
    wait(2); // however long the second tap is held
    release(rightCommand);
    EXPECT_EQ(events_, QStringList{"toggle"});
}

// ---- push-to-talk chords ----

TEST_F(GlobalHotKeyManagerTest, FnWithCommandIsPushToTalkAndNeverArmsTheDoubleTap) {
    ASSERT_TRUE(apply(HotkeyConfig::factoryDefaults()));
    press(fn);
    press(leftCommand);
    EXPECT_EQ(events_, QStringList{"press"});
    EXPECT_TRUE(manager_->watchdogRunning());
    release(leftCommand);
    EXPECT_EQ(events_, (QStringList{"press", "release"}));
    EXPECT_FALSE(manager_->watchdogRunning());
    release(fn);

    // The Command press of the chord was no first press: a lone press 0.1 s later does not toggle.
    wait(0.1);
    tap(leftCommand);
    EXPECT_EQ(events_, (QStringList{"press", "release"}));
    wait(0.1);
    tap(leftCommand);
    EXPECT_EQ(events_, (QStringList{"press", "release", "toggle"}));

    // Command first, then fn: the chord engages too (Command read live).
    events_.clear();
    wait(1);
    press(rightCommand);
    press(fn);
    release(fn);
    release(rightCommand);
    EXPECT_EQ(events_, (QStringList{"press", "release"}));
}

TEST_F(GlobalHotKeyManagerTest, AChordThatGetsAFurtherKeyIsCancelledUntilLetGo) {
    ASSERT_TRUE(apply(HotkeyConfig::factoryDefaults()));
    // Ctrl+Shift+T with the push-to-talk keys: pressed, then ended at once by the T.
    press(leftCommand);
    press(fn);
    EXPECT_EQ(events_, QStringList{"press"});
    keys_.pressOther();
    clock_.runPending();
    EXPECT_EQ(events_, (QStringList{"press", "release"}));
    EXPECT_FALSE(manager_->watchdogRunning());
    // Still held: further changes do not engage it again.
    keys_.report(leftOption);
    clock_.runPending();
    press(rightCommand);
    release(rightCommand);
    wait(1);
    release(fn);
    release(leftCommand);
    EXPECT_EQ(events_, (QStringList{"press", "release"}));

    // Let go, the chord works again; and the Option chord is cancelled the same way.
    HotkeyConfig both;
    both.modifierChordFnOption = true;
    ASSERT_TRUE(apply(both));
    events_.clear();
    press(fn);
    press(leftCommand);
    press(leftOption);
    EXPECT_EQ(events_, (QStringList{"press", "press"}));
    keys_.pressOther();
    clock_.runPending();
    EXPECT_EQ(events_, (QStringList{"press", "press", "release", "release"}));
    release(leftOption);
    release(leftCommand);
    release(fn);
    press(fn);
    press(leftOption);
    release(leftOption);
    release(fn);
    EXPECT_EQ(events_, (QStringList{"press", "press", "release", "release", "press", "release"}));
}

TEST_F(GlobalHotKeyManagerTest, FnReleasedWhileCommandStaysEndsTheChordAtTheNextChange) {
    ASSERT_TRUE(apply(HotkeyConfig::factoryDefaults()));
    press(fn);
    press(leftCommand);
    release(fn);
    EXPECT_EQ(events_, (QStringList{"press", "release"}));
    // Command still held: another change does not press again (fn is no longer sticky).
    keys_.report(leftOption);
    clock_.runPending();
    release(leftCommand);
    EXPECT_EQ(events_, (QStringList{"press", "release"}));
}

TEST_F(GlobalHotKeyManagerTest, StickyFnCarriesAChordWhoseFnStateReadsUp) {
    // Some keyboards report fn only in the event flags: the key state never shows it down.
    ASSERT_TRUE(apply(HotkeyConfig::factoryDefaults()));
    keys_.report(fn, secondaryFnFlag); // fn down, seen through the flag only
    clock_.runPending();
    keys_.deviceDown.insert(leftCommand);
    keys_.report(leftCommand, commandFlag); // flags without the fn bit
    clock_.runPending();
    EXPECT_EQ(events_, QStringList{"press"});
    // The watchdog counts the sticky flag as fn held.
    wait(0.5);
    EXPECT_EQ(events_, QStringList{"press"});
    keys_.report(fn, commandFlag); // fn up
    clock_.runPending();
    EXPECT_EQ(events_, (QStringList{"press", "release"}));
}

TEST_F(GlobalHotKeyManagerTest, WatchdogReleasesWithinTwoTicksWhenTheReleaseIsLost) {
    ASSERT_TRUE(apply(HotkeyConfig::factoryDefaults()));
    press(fn);
    press(leftCommand);
    // Held keys keep the chord, however long.
    wait(1.0);
    EXPECT_EQ(events_, QStringList{"press"});

    keys_.releaseUnreported(leftCommand);
    keys_.releaseUnreported(fn);
    const Duration letGo = clock_.monotonicNow();
    while (events_.size() < 2 && clock_.monotonicNow() - letGo < seconds(1) && clock_.runNext()) {
    }
    EXPECT_EQ(events_, (QStringList{"press", "release"}));
    EXPECT_LE(clock_.monotonicNow() - letGo, 2 * GlobalHotKeyManager::watchdogInterval);
    EXPECT_GT(clock_.monotonicNow() - letGo, GlobalHotKeyManager::watchdogInterval);
    EXPECT_FALSE(manager_->watchdogRunning());

    // fn let go without an event while Command stays down: fn's key state shows the release.
    events_.clear();
    press(fn);
    press(leftCommand);
    keys_.releaseUnreported(fn);
    wait(2.0 / 30);
    EXPECT_EQ(events_, (QStringList{"press", "release"}));
    release(leftCommand);

    // One missed tick followed by a held one starts the count again.
    events_.clear();
    press(fn);
    press(leftCommand);
    keys_.releaseUnreported(leftCommand);
    wait(1.0 / 30);
    keys_.deviceDown.insert(leftCommand);
    wait(1.0 / 30);
    keys_.releaseUnreported(leftCommand);
    wait(1.0 / 30);
    EXPECT_EQ(events_, QStringList{"press"});
    wait(1.0 / 30);
    EXPECT_EQ(events_, (QStringList{"press", "release"}));
}

TEST_F(GlobalHotKeyManagerTest, FnWithOptionAndBothChordsTogether) {
    HotkeyConfig c;
    c.modifierChordFnOption = true;
    ASSERT_TRUE(apply(c));
    press(fn);
    press(rightOption);
    EXPECT_EQ(events_, QStringList{"press"});
    press(leftCommand); // both chords held: two presses
    EXPECT_EQ(events_, (QStringList{"press", "press"}));
    release(fn); // both end at this change
    EXPECT_EQ(events_, (QStringList{"press", "press", "release", "release"}));
    release(leftCommand);
    release(rightOption);

    // A lost Option release is caught by the watchdog too.
    events_.clear();
    press(fn);
    press(leftOption);
    keys_.releaseUnreported(leftOption);
    wait(3.0 / 30);
    EXPECT_EQ(events_, (QStringList{"press", "release"}));

    // fn with Option alone: a Command chord is no gesture.
    c.modifierChordFnCommand = false;
    ASSERT_TRUE(apply(c));
    events_.clear();
    press(leftCommand);
    release(leftCommand);
    release(fn);
    EXPECT_TRUE(events_.isEmpty());
}

TEST_F(GlobalHotKeyManagerTest, CallbackThatTurnsPushToTalkOffSkipsTheOptionChord) {
    HotkeyConfig c;
    c.modifierChordFnOption = true;
    HotkeyConfig off = c; // the Option chord stays chosen, push-to-talk goes off
    off.pushToTalkShortcutEnabled = false;
    int presses = 0;
    manager_->update(c, [] {}, [&] {
        ++presses;
        manager_->update(off, [] {}, [&] { ++presses; }, [] {});
    }, [] {});
    keys_.deviceDown.insert(fn);
    keys_.deviceDown.insert(leftOption);
    press(leftCommand); // both chords down at one change: only the Command one may press
    EXPECT_EQ(presses, 1);
    EXPECT_FALSE(manager_->watchdogRunning());
}

// ---- registration ----

TEST_F(GlobalHotKeyManagerTest, UpdateInstallsOnlyWhatTheConfigurationNeeds) {
    HotkeyConfig nothing;
    nothing.pushToTalkShortcutEnabled = false;
    nothing.toggleDoubleCommand = false; // toggle on, key code 0: nothing to install
    EXPECT_TRUE(apply(nothing));
    EXPECT_FALSE(keys_.streaming);
    EXPECT_EQ(keys_.registered, 0);

    // Applying the same configuration twice leaves one monitor and no hot key.
    EXPECT_TRUE(apply(HotkeyConfig::factoryDefaults()));
    EXPECT_TRUE(apply(HotkeyConfig::factoryDefaults()));
    EXPECT_TRUE(keys_.streaming);
    EXPECT_EQ(keys_.starts - keys_.stops, 1);
    EXPECT_EQ(keys_.registered, 0);
    tap(leftCommand);
    tap(leftCommand);
    EXPECT_EQ(events_, QStringList{"toggle"}) << "one monitor, one toggle";

    // A registered key combination: twice gives one hot key, one handler, and no monitor.
    HotkeyConfig combo = nothing;
    combo.keyCode = 49;
    combo.modifiers = 0x100;
    EXPECT_TRUE(apply(combo));
    EXPECT_TRUE(apply(combo));
    EXPECT_EQ(keys_.registered, 1);
    EXPECT_EQ(keys_.handlers, 1);
    EXPECT_EQ(keys_.keyCode, 49u);
    EXPECT_EQ(keys_.modifiers, 0x100u);
    EXPECT_FALSE(keys_.streaming);

    manager_->unregisterAll();
    EXPECT_EQ(keys_.registered, 0);
    EXPECT_EQ(keys_.handlers, 0);
}

TEST_F(GlobalHotKeyManagerTest, UpdateDropsAnEngagedChordWithoutRelease) {
    ASSERT_TRUE(apply(HotkeyConfig::factoryDefaults()));
    press(fn);
    press(leftCommand);
    ASSERT_EQ(events_, QStringList{"press"});
    ASSERT_TRUE(apply(HotkeyConfig::factoryDefaults()));
    EXPECT_FALSE(manager_->watchdogRunning());
    wait(1);
    release(leftCommand);
    release(fn);
    EXPECT_EQ(events_, QStringList{"press"});

    // A first Command press is forgotten too.
    events_.clear();
    tap(leftCommand);
    ASSERT_TRUE(apply(HotkeyConfig::factoryDefaults()));
    wait(0.1);
    tap(leftCommand);
    EXPECT_TRUE(events_.isEmpty());
}

TEST_F(GlobalHotKeyManagerTest, FailuresAreLoggedAndReportedButTheRestStillInstalls) {
    LogCapture log("app.quillory.quillory.hotkey");
    HotkeyConfig both;
    both.toggleDoubleCommand = false;
    both.keyCode = 49; // the hot key serves the toggle, the monitor push-to-talk

    keys_.startSucceeds = false;
    EXPECT_FALSE(apply(both));
    EXPECT_EQ(keys_.registered, 1) << "the hot key still registers";
    EXPECT_EQ(log.lines, QStringList{"CGEvent.tapCreate failed for flagsChanged (fn / Right Option)"});

    keys_.startSucceeds = true;
    keys_.registerStatus = 10;
    log.lines.clear();
    EXPECT_FALSE(apply(both));
    EXPECT_TRUE(keys_.streaming);
    EXPECT_EQ(keys_.registered, 0);
    EXPECT_EQ(keys_.handlers, 0);
    EXPECT_EQ(log.lines, QStringList{"RegisterEventHotKey failed: 10"});

    keys_.registerStatus = 0;
    keys_.handlerStatus = -50;
    log.lines.clear();
    EXPECT_FALSE(apply(both));
    EXPECT_EQ(keys_.registered, 0) << "the hot key is given back when its handler fails";
    EXPECT_EQ(log.lines, QStringList{"InstallEventHandler failed: -50"});

    keys_.handlerStatus = 0;
    EXPECT_TRUE(apply(both));

    // A monitor switched off by the system is switched on again at once.
    log.lines.clear();
    keys_.onDisabled(0xFFFFFFFE);
    EXPECT_EQ(keys_.reenables, 1);
    EXPECT_EQ(log.lines, QStringList{"CGEvent tap was disabled; re-enabled (4294967294)"});
}

TEST_F(GlobalHotKeyManagerTest, WithoutABackendEveryNeededRegistrationFails) {
    GlobalHotKeyManager bare(HotkeyPlatform{});
    HotkeyConfig combo = toggleOnly();
    combo.toggleDoubleCommand = false;
    combo.keyCode = 49;
    EXPECT_FALSE(bare.update(HotkeyConfig::factoryDefaults(), {}, {}, {}));
    EXPECT_FALSE(bare.update(combo, {}, {}, {}));
    combo.keyCode = 0;
    EXPECT_TRUE(bare.update(combo, {}, {}, {})) << "nothing needed";
}

TEST_F(GlobalHotKeyManagerTest, HeldHotKeyTogglesOnceUntilReleased) {
    HotkeyConfig combo = toggleOnly();
    combo.toggleDoubleCommand = false;
    combo.keyCode = 49;
    ASSERT_TRUE(apply(combo));
    using Kind = HotKeyRegistrar::EventKind;
    keys_.hotKey(Kind::pressed);
    keys_.hotKey(Kind::pressed); // key repeat
    keys_.hotKey(Kind::pressed);
    clock_.runPending();
    EXPECT_EQ(events_, QStringList{"toggle"});
    keys_.hotKey(Kind::released);
    keys_.hotKey(Kind::pressed);
    clock_.runPending();
    EXPECT_EQ(events_, (QStringList{"toggle", "toggle"}));
}

TEST_F(GlobalHotKeyManagerTest, NothingRunsAfterTheManagerIsGone) {
    ASSERT_TRUE(apply(HotkeyConfig::factoryDefaults()));
    press(fn);
    press(leftCommand);
    keys_.release(leftCommand); // queued, not yet handled
    manager_.reset();
    EXPECT_FALSE(keys_.streaming) << "destruction removes the monitor";
    clock_.advance(seconds(1));
    EXPECT_EQ(events_, QStringList{"press"});
}

} // namespace
