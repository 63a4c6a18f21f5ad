// The X11 hotkey backend against a real X server: a person's keys (typed through the server's own
// keyboard device, by exact keycode, on a second connection) reach the manager as presses,
// releases and toggles, while synthetic keys (plain XTest, as our paste and xdotool send them)
// never do; shortcuts are no gestures; a key another client grabbed first is a failed
// registration; `quillory hotkey monitor` as a process.
#include "Hotkey/GlobalHotKeyManager.h"
#include "Hotkey/x11/X11HotkeyBackend.h"
#include "Runtime/DefaultsStore.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

#include "support/X11UserKeyboard.h" // after Qt: Xlib defines None, KeyPress...

using namespace quillory;
using quillory::platform::X11HotkeyBackend;

namespace {

constexpr int kRightCtrl = 105;
constexpr int kRightShift = 62;
constexpr int kLeftCtrl = 37;
constexpr int kLeftShift = 50;
constexpr int kLeftAlt = 64;
constexpr int kSpace = 65;
constexpr int kCapsLock = 66;
constexpr int kMuhenkan = 102;
constexpr int kC = 54;
constexpr int kV = 55;
constexpr int kT = 28;

/// Another client of the display: types on the user's keyboard, sends synthetic keys with plain
/// XTest, and may grab keys.
class OtherClient {
public:
    OtherClient() = default;
    bool ok() const { return keyboard_.ok(); }
    void key(int keycode, bool down) {
        keyNow(keycode, down);
        QTest::qWait(15); // a person's keys are never closer together than this
    }
    /// The key event without letting the test's event loop run.
    void keyNow(int keycode, bool down) { keyboard_.key(keycode, down); }
    void tap(int keycode) {
        key(keycode, true);
        key(keycode, false);
    }
    /// Two taps sent at once: a double tap however late a loaded machine lets anyone run.
    void doubleTap(int keycode) {
        for (int i = 0; i < 2; ++i) {
            keyNow(keycode, true);
            keyNow(keycode, false);
        }
    }
    /// A synthetic key, through the XTEST device of the master this client's input goes to.
    void synthetic(int keycode, bool down) {
        XTestFakeKeyEvent(display(), keycode, down ? True : False, CurrentTime);
        XSync(display(), False);
        QTest::qWait(15);
    }
    Display* display() const { return keyboard_.display(); }

private:
    test::X11UserKeyboard keyboard_;
};

class HotkeyX11Test : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(other_.ok());
        QString error;
        backend_ = X11HotkeyBackend::open(ModifierKeyMap::defaults(), &error);
        ASSERT_TRUE(backend_) << error.toStdString();
        manager_ = std::make_unique<GlobalHotKeyManager>(backend_->platform());
    }
    void TearDown() override {
        manager_.reset();
        backend_.reset();
    }
    bool apply(const HotkeyConfig& config) {
        return manager_->update(
            config, [this] { events_ << QStringLiteral("toggle"); }, [this] { events_ << QStringLiteral("press"); },
            [this] { events_ << QStringLiteral("release"); });
    }
    bool waitForEvents(int n) {
        return QTest::qWaitFor([&] { return events_.size() >= n; }, 3000);
    }

    OtherClient other_;
    std::unique_ptr<X11HotkeyBackend> backend_;
    std::unique_ptr<GlobalHotKeyManager> manager_;
    QStringList events_;
};

TEST_F(HotkeyX11Test, DefaultKeysGiveTheDoubleTapAndTheHeldChord) {
    ASSERT_TRUE(apply(HotkeyConfig::factoryDefaults()));

    // Double tap of Right Ctrl (Command).
    other_.doubleTap(kRightCtrl);
    ASSERT_TRUE(waitForEvents(1));
    EXPECT_EQ(events_, QStringList{"toggle"});

    // Right Shift (fn) held, then Right Ctrl: push-to-talk, and no toggle from the Ctrl press.
    events_.clear();
    QTest::qWait(500); // out of the double-tap window
    other_.key(kRightShift, true);
    other_.key(kRightCtrl, true);
    ASSERT_TRUE(waitForEvents(1));
    EXPECT_EQ(events_, QStringList{"press"});
    EXPECT_TRUE(manager_->watchdogRunning());
    QTest::qWait(150); // held across several watchdog ticks
    EXPECT_EQ(events_, QStringList{"press"});
    other_.key(kRightCtrl, false);
    ASSERT_TRUE(waitForEvents(2));
    other_.key(kRightShift, false);
    other_.tap(kRightCtrl); // pairs with nothing: the chord's press did not arm the double tap
    QTest::qWait(100);
    EXPECT_EQ(events_, (QStringList{"press", "release"}));
    EXPECT_FALSE(manager_->watchdogRunning());

    // Keys outside the map are reported only as presses of other keys; the Ctrl of shortcuts
    // (Left Ctrl) is one of them.
    const int before = backend_->eventsHandled();
    other_.tap(kLeftCtrl);
    other_.tap(kLeftCtrl);
    other_.tap(kSpace);
    ASSERT_TRUE(QTest::qWaitFor([&] { return backend_->eventsHandled() == before + 3; }, 3000));
    QTest::qWait(100);
    EXPECT_EQ(backend_->eventsHandled(), before + 3);
    EXPECT_EQ(events_.size(), 2);

    // A double tap and a chord typed while the main thread was busy (all eight events reach us
    // at once) are still a toggle, a press and a release.
    events_.clear();
    QTest::qWait(500);
    for (int i = 0; i < 2; ++i) {
        other_.keyNow(kRightCtrl, true);
        other_.keyNow(kRightCtrl, false);
    }
    other_.keyNow(kRightShift, true);
    other_.keyNow(kRightCtrl, true);
    other_.keyNow(kRightCtrl, false);
    other_.keyNow(kRightShift, false);
    ASSERT_TRUE(waitForEvents(3)) << events_.join(' ').toStdString();
    QTest::qWait(100);
    EXPECT_EQ(events_, (QStringList{"toggle", "press", "release"}));
}

TEST_F(HotkeyX11Test, ShortcutsWithTheGestureKeysAreNoGestures) {
    ASSERT_TRUE(apply(HotkeyConfig::factoryDefaults()));
    // Sent at once, so that they are within the double-tap window however loaded the machine.
    const auto chord = [this](std::initializer_list<int> keys) {
        for (int k : keys) {
            other_.keyNow(k, true);
        }
        for (auto it = std::rbegin(keys); it != std::rend(keys); ++it) {
            other_.keyNow(*it, false);
        }
    };

    // Copy and paste with Right Ctrl (Command), within the double-tap window.
    chord({kRightCtrl, kC});
    chord({kRightCtrl, kV});
    // Ctrl+Shift+T (a new tab) with the push-to-talk keys: the chord starts and is cancelled by
    // the T; nothing happens while the keys are let go.
    QTest::qWait(500);
    other_.key(kRightCtrl, true);
    other_.key(kRightShift, true);
    ASSERT_TRUE(waitForEvents(1)) << events_.join(' ').toStdString();
    other_.key(kT, true);
    ASSERT_TRUE(waitForEvents(2)) << events_.join(' ').toStdString();
    other_.key(kT, false);
    other_.key(kRightShift, false);
    other_.key(kRightCtrl, false);
    QTest::qWait(200);
    EXPECT_EQ(events_, (QStringList{"press", "release"}));
    EXPECT_FALSE(manager_->watchdogRunning());

    // A plain double tap still toggles.
    QTest::qWait(500);
    other_.doubleTap(kRightCtrl);
    ASSERT_TRUE(waitForEvents(3));
    EXPECT_EQ(events_, (QStringList{"press", "release", "toggle"}));
}

TEST_F(HotkeyX11Test, SyntheticKeysNeverFireAGestureNorCountAsHeld) {
    // Command on Left Ctrl and fn on Left Shift: a terminal paste (Ctrl+Shift+V) holds both.
    ModifierKeyMap keys = ModifierKeyMap::defaults();
    keys.leftCommand = {kLeftCtrl};
    keys.fn = {kLeftShift};
    backend_->setKeyMap(keys);
    HotkeyConfig config;
    config.modifierChordFnOption = true;
    ASSERT_TRUE(apply(config));
    const int before = backend_->eventsHandled();

    const auto paste = [this] {
        other_.synthetic(kLeftCtrl, true);
        other_.synthetic(kLeftShift, true);
        other_.synthetic(kV, true);
        other_.synthetic(kV, false);
        other_.synthetic(kLeftShift, false);
        other_.synthetic(kLeftCtrl, false);
    };
    paste();
    paste(); // two within the double-tap window
    other_.synthetic(kRightCtrl, true); // the default Command key, tapped by a tool
    other_.synthetic(kRightCtrl, false);
    other_.synthetic(kRightCtrl, true);
    other_.synthetic(kRightCtrl, false);
    QTest::qWait(300);
    EXPECT_TRUE(events_.isEmpty()) << events_.join(' ').toStdString();
    EXPECT_EQ(backend_->eventsHandled(), before);

    // While a tool holds Ctrl and Shift, the user's keys see neither: Alt is no fn+Option chord,
    // and a double tap of Right Ctrl is a double tap of one Command key.
    other_.synthetic(kLeftCtrl, true);
    other_.synthetic(kLeftShift, true);
    EXPECT_FALSE(backend_->isKeyDown(KeyStateSource::devices, HotkeyKeys::fn));
    EXPECT_FALSE(backend_->isKeyDown(KeyStateSource::devices, HotkeyKeys::leftCommand));
    other_.tap(kLeftAlt);
    other_.doubleTap(kRightCtrl);
    ASSERT_TRUE(waitForEvents(1));
    QTest::qWait(100);
    EXPECT_EQ(events_, QStringList{"toggle"});
    other_.synthetic(kLeftShift, false);
    other_.synthetic(kLeftCtrl, false);

    // The user's own Left Ctrl and Left Shift are the chord.
    events_.clear();
    other_.key(kLeftShift, true);
    other_.key(kLeftCtrl, true);
    ASSERT_TRUE(waitForEvents(1));
    other_.key(kLeftCtrl, false);
    other_.key(kLeftShift, false);
    ASSERT_TRUE(waitForEvents(2));
    EXPECT_EQ(events_, (QStringList{"press", "release"}));
}

TEST_F(HotkeyX11Test, ASyntheticDeviceAddedLaterIsIgnoredToo) {
    ASSERT_TRUE(apply(HotkeyConfig::factoryDefaults()));
    // A second master brings its own XTEST keyboard; this client's XTest input goes through it.
    Display* d = other_.display();
    XIAddMasterInfo add{};
    add.type = XIAddMaster;
    add.name = const_cast<char*>("quillory test seat");
    add.send_core = True;
    add.enable = True;
    ASSERT_EQ(XIChangeHierarchy(d, reinterpret_cast<XIAnyHierarchyChangeInfo*>(&add), 1), Success);
    XSync(d, False);
    int count = 0;
    int pointer = 0, keyboard = 0;
    XIDeviceInfo* devices = XIQueryDevice(d, XIAllMasterDevices, &count);
    for (int i = 0; i < count; ++i) {
        if (QByteArray(devices[i].name).startsWith("quillory test seat")) {
            (devices[i].use == XIMasterPointer ? pointer : keyboard) = devices[i].deviceid;
        }
    }
    XIFreeDeviceInfo(devices);
    ASSERT_TRUE(pointer && keyboard);
    XISetClientPointer(d, None, pointer);
    XSync(d, False);

    const int before = backend_->eventsHandled();
    for (int i = 0; i < 2; ++i) {
        other_.synthetic(kRightCtrl, true);
        other_.synthetic(kRightCtrl, false);
    }
    QTest::qWait(300);
    EXPECT_TRUE(events_.isEmpty()) << events_.join(' ').toStdString();
    EXPECT_EQ(backend_->eventsHandled(), before);

    XIRemoveMasterInfo remove{};
    remove.type = XIRemoveMaster;
    remove.deviceid = pointer;
    remove.return_mode = XIFloating;
    XIChangeHierarchy(d, reinterpret_cast<XIAnyHierarchyChangeInfo*>(&remove), 1);
    XSync(d, False);

    // The user's keyboard still works after the hierarchy changed twice.
    other_.doubleTap(kRightCtrl);
    ASSERT_TRUE(waitForEvents(1));
    EXPECT_EQ(events_, QStringList{"toggle"});
}

TEST_F(HotkeyX11Test, KeysAreChosenByKeycodeAndTheOptionChordWorks) {
    ModifierKeyMap keys = ModifierKeyMap::defaults();
    keys.rightCommand = {kMuhenkan};
    backend_->setKeyMap(keys);
    HotkeyConfig config;
    config.modifierChordFnOption = true;
    ASSERT_TRUE(apply(config));

    other_.doubleTap(kMuhenkan);
    ASSERT_TRUE(waitForEvents(1));
    EXPECT_EQ(events_, QStringList{"toggle"});

    other_.key(kRightShift, true);
    other_.key(kLeftAlt, true);
    ASSERT_TRUE(waitForEvents(2));
    other_.key(kLeftAlt, false);
    ASSERT_TRUE(waitForEvents(3));
    other_.key(kRightShift, false);
    EXPECT_EQ(events_, (QStringList{"toggle", "press", "release"}));
}

TEST_F(HotkeyX11Test, RegisteredHotKeyFiresWithLocksAndAGrabConflictFailsTheRegistration) {
    HotkeyConfig combo;
    combo.pushToTalkShortcutEnabled = false;
    combo.toggleDoubleCommand = false;
    combo.keyCode = 0x31;              // space
    combo.modifiers = 0x1000;    // control
    const unsigned controlMask = ControlMask;

    // Another client holds Ctrl+Space: the registration fails and nothing of it stays.
    XGrabKey(other_.display(), kSpace, controlMask, DefaultRootWindow(other_.display()), False, GrabModeAsync,
             GrabModeAsync);
    XSync(other_.display(), False);
    EXPECT_FALSE(apply(combo));
    EXPECT_FALSE(manager_->hotKeyRegistered());

    XUngrabKey(other_.display(), kSpace, controlMask, DefaultRootWindow(other_.display()));
    XSync(other_.display(), False);
    ASSERT_TRUE(apply(combo));

    const auto ctrlSpace = [this] {
        other_.key(kLeftCtrl, true);
        other_.key(kSpace, true);
        other_.key(kSpace, false);
        other_.key(kLeftCtrl, false);
    };
    ctrlSpace();
    ASSERT_TRUE(waitForEvents(1));
    // With Caps Lock on, the lock-mask variant of the grab serves the key.
    other_.tap(kCapsLock);
    ctrlSpace();
    other_.tap(kCapsLock);
    ASSERT_TRUE(waitForEvents(2));
    EXPECT_EQ(events_, (QStringList{"toggle", "toggle"}));

    // Command held by a key that is no X modifier cannot be part of a grab: refused, rather than
    // grabbing the bare key.
    ModifierKeyMap keys = ModifierKeyMap::defaults();
    keys.rightCommand = {kMuhenkan};
    backend_->setKeyMap(keys);
    EXPECT_EQ(backend_->registerHotKey(0x31, X11HotkeyBackend::cmdKey), -2);
    EXPECT_EQ(backend_->registerHotKey(0x3F, 0), -1) << "a key code outside the table";
    backend_->setKeyMap(ModifierKeyMap::defaults());
    ASSERT_TRUE(apply(combo));

    // Our grab now blocks the other client's, and goes away with the manager.
    Display* d = other_.display();
    static int otherError = 0;
    otherError = 0;
    XSync(d, False);
    auto previous = XSetErrorHandler([](Display*, XErrorEvent* e) {
        otherError = e->error_code;
        return 0;
    });
    XGrabKey(d, kSpace, controlMask, DefaultRootWindow(d), False, GrabModeAsync, GrabModeAsync);
    XSync(d, False);
    EXPECT_EQ(otherError, BadAccess);
    manager_->unregisterAll();
    otherError = 0;
    XGrabKey(d, kSpace, controlMask, DefaultRootWindow(d), False, GrabModeAsync, GrabModeAsync);
    XSync(d, False);
    EXPECT_EQ(otherError, 0);
    XUngrabKey(d, kSpace, controlMask, DefaultRootWindow(d));
    XSync(d, False);
    XSetErrorHandler(previous);
}

TEST(HotkeyMonitorCommand, PrintsCallbacksForInjectedKeysAndExitsCleanlyOnSigterm) {
    OtherClient other;
    ASSERT_TRUE(other.ok());
    QProcess monitor;
    monitor.start(QStringLiteral(QUILLORY_BINARY), {"hotkey", "monitor"});
    ASSERT_TRUE(monitor.waitForStarted(5000));
    QByteArray err;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            err += monitor.readAllStandardError();
            return err.contains("Listening") || monitor.state() == QProcess::NotRunning;
        },
        5000))
        << err.toStdString();
    ASSERT_TRUE(err.contains("RCTL")) << "names the physical keys: " << err.toStdString();

    const auto chord = [&] {
        other.key(kRightShift, true);
        other.key(kRightCtrl, true);
        other.key(kRightCtrl, false);
        other.key(kRightShift, false);
    };
    // The listener is live once a first chord is heard (a loaded machine may start reading the
    // keys a moment after the command says it listens).
    QByteArray warmUp;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            chord();
            QTest::qWait(300);
            warmUp += monitor.readAllStandardOutput();
            return warmUp.contains("release");
        },
        20000))
        << warmUp.toStdString();
    QTest::qWait(500);

    // A double tap the monitor missed prints nothing, so on a loaded machine it is tried again
    // until the toggle is heard (a missed tap can only ever add a first tap, never a line).
    QByteArray out;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            other.doubleTap(kRightCtrl);
            QTest::qWait(700);
            out += monitor.readAllStandardOutput();
            return out.contains("toggle");
        },
        30000))
        << out.toStdString();
    QTest::qWait(500);
    chord();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            out += monitor.readAllStandardOutput();
            return out.count('\n') >= 3;
        },
        15000))
        << out.toStdString();
    const QList<QByteArray> lines = out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 3) << out.toStdString();
    QStringList kinds;
    qint64 previous = 0;
    for (const QByteArray& l : lines) {
        const QList<QByteArray> parts = l.split(' ');
        ASSERT_EQ(parts.size(), 2) << l.toStdString();
        bool ok = false;
        const qint64 ms = parts[0].toLongLong(&ok);
        EXPECT_TRUE(ok && ms >= previous) << l.toStdString();
        previous = ms;
        kinds << QString::fromLatin1(parts[1]);
    }
    EXPECT_EQ(kinds, (QStringList{"toggle", "press", "release"}));

    // The same keys sent by a tool (plain XTest) print nothing.
    QTest::qWait(500);
    other.synthetic(kRightCtrl, true);
    other.synthetic(kRightCtrl, false);
    other.synthetic(kRightCtrl, true);
    other.synthetic(kRightCtrl, false);
    other.synthetic(kRightShift, true);
    other.synthetic(kRightCtrl, true);
    other.synthetic(kRightCtrl, false);
    other.synthetic(kRightShift, false);
    QTest::qWait(500);
    out += monitor.readAllStandardOutput();
    EXPECT_EQ(out.trimmed().split('\n').size(), 3) << out.toStdString();

    monitor.terminate(); // SIGTERM
    ASSERT_TRUE(monitor.waitForFinished(5000));
    EXPECT_EQ(monitor.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(monitor.exitCode(), 0);
}

} // namespace
