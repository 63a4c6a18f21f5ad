// The dictation shortcuts through KDE's global shortcut service, against a fake
// org.kde.kglobalaccel served on a private dbus-daemon that keeps keys the way the real one does
// (a stored action's keys win over a registration's unless it asks otherwise): pressed/released
// turned into toggle and push-to-talk with key repeats ignored, a key assigned in System Settings
// kept, a combination changed in Quillory applied, no service, a service that leaves and comes back.
#include "Hotkey/kde/KGlobalAccelBackend.h"
#include "hotkey/ShortcutServiceTest.h"

#include <QDBusMetaType>
#include <QDBusObjectPath>

namespace {

using quillory::HotkeyConfig;
using quillory::KGlobalAccelBackend;
using quillory::ModifierKeyMap;
using quillory::testing::pumpUntil;
using State = KGlobalAccelBackend::State;

constexpr int kCtrlAltD = (Qt::ControlModifier | Qt::AltModifier | Qt::Key_D).toCombined();
constexpr int kMetaF9 = (Qt::MetaModifier | Qt::Key_F9).toCombined();

class FakeKGlobalAccel final : public QDBusVirtualObject {
public:
    struct Action {
        QList<int> keys;
        QList<int> defaults;
        bool fresh = true;
        bool present = false;
    };
    QMap<QString, Action> actions; ///< by action id ("toggle")
    QList<int> takenKeys;          ///< keys another program holds
    QStringList calls;             ///< "setShortcut toggle 6"
    bool refuse = false;
    std::mutex mutex;

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        std::lock_guard lock(mutex);
        const QVariantList args = message.arguments();
        const QString member = message.member();
        if (refuse) {
            connection.send(message.createErrorReply("org.kde.kglobalaccel.NoSuchComponent", "refused"));
            return true;
        }
        const QStringList id = args.value(0).toStringList();
        const QString action = id.value(1);
        if (member == "doRegister") {
            calls << "doRegister " + action;
            if (!actions.contains(action)) actions.insert(action, {});
            connection.send(message.createReply());
        } else if (member == "defaultShortcut") {
            connection.send(message.createReply(QVariant::fromValue(actions.value(action).defaults)));
        } else if (member == "setShortcut") {
            const QList<int> keys = qdbus_cast<QList<int>>(args.value(1));
            const uint flags = args.value(2).toUInt();
            calls << QStringLiteral("setShortcut %1 %2").arg(action).arg(flags);
            Action& a = actions[action];
            QList<int> answer;
            if (flags & 1) {
                a.defaults = keys;
                answer = keys;
            } else if (!(flags & 4) && !a.fresh) {
                a.present = a.present || (flags & 2);
                answer = a.keys;
            } else {
                a.keys.clear();
                for (int key : keys) a.keys << (takenKeys.contains(key) ? 0 : key);
                a.present = a.present || (flags & 2);
                a.fresh = false;
                answer = a.keys;
            }
            connection.send(message.createReply(QVariant::fromValue(answer)));
        } else if (member == "setInactive") {
            calls << "setInactive " + action;
            actions[action].present = false;
            connection.send(message.createReply());
        } else if (member == "getComponent") {
            if (actions.isEmpty()) { // a component exists once it registered an action
                connection.send(message.createErrorReply("org.kde.kglobalaccel.NoSuchComponent", "no such component"));
                return true;
            }
            connection.send(message.createReply(
                QVariant::fromValue(QDBusObjectPath("/component/" + args.value(0).toString()))));
        } else {
            return false;
        }
        return true;
    }
};

class KGlobalAccel : public quillory::testing::ShortcutServiceTest<KGlobalAccelBackend, FakeKGlobalAccel> {
protected:
    void serve() { ASSERT_TRUE(serveAs("org.kde.kglobalaccel", "/kglobalaccel")); }
    /// Ctrl+Alt+D for the toggle (Option is the Alt keys by default), push-to-talk on.
    static HotkeyConfig ctrlAltD() {
        HotkeyConfig config;
        config.toggleDoubleCommand = false;
        config.keyCode = 0x02;               // D
        config.modifiers = 0x1000 | 0x0800; // Control, Option
        return config;
    }
    void makeBackend(const HotkeyConfig& config = ctrlAltD()) {
        backend_ = std::make_unique<KGlobalAccelBackend>(options());
        bind(config);
    }
    void bind(const HotkeyConfig& config) {
        backend_->bind(recordedActions(), config, ModifierKeyMap::defaults());
        ASSERT_TRUE(pumpUntil([&] { return backend_->state() != State::registering; }));
    }
    void emitShortcut(const char* member, const QString& action, const QString& component = "quillory") {
        QDBusMessage signal = QDBusMessage::createSignal("/component/quillory", "org.kde.kglobalaccel.Component", member);
        signal << component << action << qlonglong(1);
        send(signal);
    }
    FakeKGlobalAccel::Action stored(const QString& action) {
        return withFake([&](FakeKGlobalAccel& fake) { return fake.actions.value(action); });
    }
};

TEST_F(KGlobalAccel, PressAndReleaseToggleAndHoldToTalkOncePerPress) {
    serve();
    makeBackend();
    ASSERT_EQ(backend_->state(), State::registered) << backend_->lastError().toStdString();
    EXPECT_EQ(backend_->assigned().value("toggle"), QList<int>{kCtrlAltD});
    EXPECT_TRUE(stored("toggle").present);
    // Push-to-talk is a modifier gesture: registered, without a key, and said so.
    EXPECT_EQ(backend_->actionsWithoutKey(), QStringList{"push-to-talk"});
    EXPECT_TRUE(backend_->keyNote("push-to-talk").contains("modifier gesture"));

    // The service repeats pressed while a key is held (auto-repeat): one toggle, one press.
    emitShortcut("globalShortcutPressed", "toggle");
    emitShortcut("globalShortcutPressed", "toggle");
    emitShortcut("globalShortcutReleased", "toggle");
    emitShortcut("globalShortcutPressed", "toggle", "someone-else");
    emitShortcut("globalShortcutPressed", "push-to-talk");
    emitShortcut("globalShortcutPressed", "push-to-talk");
    emitShortcut("globalShortcutReleased", "push-to-talk");
    emitShortcut("globalShortcutReleased", "push-to-talk");
    emitShortcut("globalShortcutPressed", "toggle");
    ASSERT_TRUE(eventsReach(4)) << events_.join(" ").toStdString();
    settle(); // nothing more arrives
    EXPECT_EQ(events_, QStringList({"toggle", "press", "release", "toggle"}));

    // Going away, the program leaves its actions inactive; their keys stay assigned.
    backend_.reset();
    ASSERT_TRUE(pumpUntil([&] { return !stored("toggle").present && !stored("push-to-talk").present; }));
    EXPECT_EQ(stored("toggle").keys, QList<int>{kCtrlAltD});
}

TEST_F(KGlobalAccel, AKeyAssignedInSystemSettingsIsKeptUntilTheCombinationChangesInQuillory) {
    // The user gave the toggle Meta+F9 in System Settings; Ctrl+Alt+D was registered before.
    fake_->actions.insert("toggle", {{kMetaF9}, {kCtrlAltD}, false, false});
    serve();
    makeBackend();
    ASSERT_EQ(backend_->state(), State::registered) << backend_->lastError().toStdString();
    EXPECT_EQ(backend_->assigned().value("toggle"), QList<int>{kMetaF9});
    EXPECT_EQ(stored("toggle").keys, QList<int>{kMetaF9});
    EXPECT_TRUE(stored("toggle").present);

    // Ctrl+Alt+F in Quillory's settings now: the new combination replaces it.
    HotkeyConfig changed = ctrlAltD();
    changed.keyCode = 0x03; // F
    bind(changed);
    ASSERT_EQ(backend_->state(), State::registered);
    const int ctrlAltF = (Qt::ControlModifier | Qt::AltModifier | Qt::Key_F).toCombined();
    EXPECT_EQ(backend_->assigned().value("toggle"), QList<int>{ctrlAltF});
    EXPECT_EQ(stored("toggle").defaults, QList<int>{ctrlAltF});
}

TEST_F(KGlobalAccel, BothShortcutsSwitchedOffAskNothingAndLeaveTheirActionsInactive) {
    serve();
    HotkeyConfig off = ctrlAltD();
    off.toggleShortcutEnabled = off.pushToTalkShortcutEnabled = false;
    makeBackend(off); // nothing registered yet: the service has no such component
    EXPECT_EQ(backend_->state(), State::registered) << backend_->lastError().toStdString();
    bind(ctrlAltD());
    ASSERT_EQ(backend_->state(), State::registered);
    bind(off);
    EXPECT_EQ(backend_->state(), State::registered) << backend_->lastError().toStdString();
    EXPECT_TRUE(backend_->assigned().isEmpty());
    ASSERT_TRUE(pumpUntil([&] { return !stored("toggle").present && !stored("push-to-talk").present; }));
    emitShortcut("globalShortcutPressed", "toggle");
    settle();
    EXPECT_TRUE(events_.isEmpty());
}

TEST_F(KGlobalAccel, ACombinationAnotherProgramHoldsLeavesTheActionWithoutAKeyAndSaysWhy) {
    fake_->takenKeys << kCtrlAltD;
    serve();
    makeBackend();
    ASSERT_EQ(backend_->state(), State::registered);
    EXPECT_EQ(backend_->actionsWithoutKey(), QStringList({"push-to-talk", "toggle"}));
    EXPECT_TRUE(backend_->keyNote("toggle").contains("taken")) << backend_->keyNote("toggle").toStdString();
}

TEST_F(KGlobalAccel, NoServiceOrARefusalIsAClearFailure) {
    makeBackend();
    EXPECT_EQ(backend_->state(), State::failed);
    EXPECT_EQ(backend_->lastError().toStdString(),
              "KDE's global shortcut service (org.kde.kglobalaccel) is not on the session bus");

    backend_.reset();
    fake_->refuse = true;
    serve();
    makeBackend();
    EXPECT_EQ(backend_->state(), State::failed);
    EXPECT_TRUE(backend_->lastError().startsWith("KDE's global shortcut service refused doRegister"))
        << backend_->lastError().toStdString();
}

TEST_F(KGlobalAccel, AServiceThatLeavesReleasesAHeldPushToTalkAndOneThatComesBackIsRegisteredAgain) {
    serve();
    makeBackend();
    ASSERT_EQ(backend_->state(), State::registered);
    emitShortcut("globalShortcutPressed", "push-to-talk");
    ASSERT_TRUE(pumpUntil([&] { return events_.size() == 1; }));
    bus_->onServiceThread([] { quillory::testing::PrivateBus::serviceConnection().unregisterService("org.kde.kglobalaccel"); });
    ASSERT_TRUE(pumpUntil([&] { return backend_->state() == State::failed; }));
    EXPECT_EQ(events_, QStringList({"press", "release"}));
    EXPECT_TRUE(backend_->lastError().contains("left the session bus"));

    withFake([](FakeKGlobalAccel& fake) { fake.calls.clear(); });
    bus_->onServiceThread([] { quillory::testing::PrivateBus::serviceConnection().registerService("org.kde.kglobalaccel"); });
    ASSERT_TRUE(pumpUntil([&] { return backend_->state() == State::registered; }));
    const QStringList calls = withFake([](FakeKGlobalAccel& fake) { return fake.calls; });
    EXPECT_TRUE(calls.contains("doRegister toggle")) << calls.join(", ").toStdString();
    emitShortcut("globalShortcutPressed", "toggle");
    ASSERT_TRUE(pumpUntil([&] { return events_.size() == 3; }));
    EXPECT_EQ(events_.last(), "toggle");
}

TEST(KGlobalAccelKeys, TheToggleKeyComesFromTheCombinationAndThePhysicalModifierKeys) {
    const ModifierKeyMap keys = ModifierKeyMap::defaults(); // Command = Right Ctrl, Option = Alt
    HotkeyConfig config;
    QString why;
    EXPECT_FALSE(KGlobalAccelBackend::toggleKey(config, keys, &why)); // double Command by default
    EXPECT_TRUE(why.contains("double press")) << why.toStdString();

    config.toggleDoubleCommand = false;
    config.keyCode = 0x31;                // Space
    config.modifiers = 0x0100 | 0x0200;   // Command, Shift
    EXPECT_EQ(KGlobalAccelBackend::toggleKey(config, keys),
              std::optional<int>((Qt::ControlModifier | Qt::ShiftModifier | Qt::Key_Space).toCombined()));

    ModifierKeyMap muhenkan = keys;
    muhenkan.rightCommand = {*ModifierKeyMap::keycodeForName("MUHE")};
    EXPECT_FALSE(KGlobalAccelBackend::toggleKey(config, muhenkan, &why));
    EXPECT_TRUE(why.contains("Command")) << why.toStdString();

    config.keyCode = 0x6F; // F12, no modifier
    config.modifiers = 0;
    EXPECT_EQ(KGlobalAccelBackend::toggleKey(config, keys), std::optional<int>(Qt::Key_F12));
}

} // namespace
