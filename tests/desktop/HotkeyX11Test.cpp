// The X11 hotkey backend against a real X server: keys synthesised with XTest by exact keycode on
// a second connection reach the manager as presses, releases and toggles; a key another client
// grabbed first is a failed registration; `quillory hotkey monitor` as a process.
#include "Hotkey/GlobalHotKeyManager.h"
#include "Hotkey/x11/X11HotkeyBackend.h"
#include "Runtime/DefaultsStore.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

using namespace quillory;
using quillory::platform::X11HotkeyBackend;

namespace {

constexpr int kRightCtrl = 105;
constexpr int kRightShift = 62;
constexpr int kLeftCtrl = 37;
constexpr int kLeftAlt = 64;
constexpr int kSpace = 65;
constexpr int kCapsLock = 66;
constexpr int kMuhenkan = 102;

/// Another client of the display: types with XTest and may grab keys.
class OtherClient {
public:
    OtherClient() : display_(XOpenDisplay(nullptr)) {}
    ~OtherClient() {
        if (display_) {
            XCloseDisplay(display_);
        }
    }
    bool ok() const { return display_ != nullptr; }
    void key(int keycode, bool down) {
        keyNow(keycode, down);
        QTest::qWait(15); // a person's keys are never closer together than this
    }
    /// The key event without letting the test's event loop run.
    void keyNow(int keycode, bool down) {
        XTestFakeKeyEvent(display_, keycode, down ? True : False, CurrentTime);
        XSync(display_, False);
    }
    void tap(int keycode) {
        key(keycode, true);
        key(keycode, false);
    }
    Display* display() const { return display_; }

private:
    Display* display_;
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
    other_.tap(kRightCtrl);
    other_.tap(kRightCtrl);
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

    // Keys outside the map are never reported; the Ctrl of shortcuts (Left Ctrl) is one of them.
    const int before = backend_->eventsHandled();
    other_.tap(kLeftCtrl);
    other_.tap(kLeftCtrl);
    other_.tap(kSpace);
    QTest::qWait(100);
    EXPECT_EQ(backend_->eventsHandled(), before);
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

TEST_F(HotkeyX11Test, KeysAreChosenByKeycodeAndTheOptionChordWorks) {
    ModifierKeyMap keys = ModifierKeyMap::defaults();
    keys.rightCommand = {kMuhenkan};
    backend_->setKeyMap(keys);
    HotkeyConfig config;
    config.modifierChordFnOption = true;
    ASSERT_TRUE(apply(config));

    other_.tap(kMuhenkan);
    other_.tap(kMuhenkan);
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
    combo.carbonModifiers = 0x1000;    // control
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

    other.tap(kRightCtrl);
    other.tap(kRightCtrl);
    QTest::qWait(500);
    other.key(kRightShift, true);
    other.key(kRightCtrl, true);
    other.key(kRightCtrl, false);
    other.key(kRightShift, false);

    QByteArray out;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            out += monitor.readAllStandardOutput();
            return out.count('\n') >= 3;
        },
        5000))
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

    monitor.terminate(); // SIGTERM
    ASSERT_TRUE(monitor.waitForFinished(5000));
    EXPECT_EQ(monitor.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(monitor.exitCode(), 0);
}

} // namespace
