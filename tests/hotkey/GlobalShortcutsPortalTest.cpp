// The dictation shortcuts through the GlobalShortcuts portal, against a fake portal served on a
// private dbus-daemon: the two shortcuts bound, Activated / Deactivated turned into toggle and
// push-to-talk, a portal that binds nothing, a session the desktop closes while push-to-talk is
// held, no portal at all.
#include "Hotkey/portal/GlobalShortcutsBackend.h"
#include "Hotkey/portal/PortalHotkeyService.h"
#include "Platform/linux/DesktopProbe.h"
#include "hotkey/ShortcutServiceTest.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QTemporaryDir>

namespace {

using quillory::GlobalShortcutsBackend;
using quillory::PortalShortcut;
using quillory::testing::pumpUntil;
using State = GlobalShortcutsBackend::State;

class FakeShortcutsPortal final : public QDBusVirtualObject {
public:
    bool bindsAnything = true; ///< false: answers with no shortcut
    bool hasRegistry = false;  ///< true: org.freedesktop.host.portal.Registry (xdg-desktop-portal 1.19+)
    QStringList calls;         ///< "Register app.quillory.Quillory", "CreateSession"…, in order
    QList<PortalShortcut> asked;
    QList<PortalShortcut> askedAtCreation; ///< CreateSession's "shortcuts" (what Plasma 5.27 binds)
    QString session;
    int closes = 0;
    std::mutex mutex;

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        std::lock_guard lock(mutex);
        const QVariantList args = message.arguments();
        QString sender = message.service().mid(1);
        sender.replace('.', '_');
        auto reply = [&](const QVariantMap& options, const QVariantMap& results) {
            const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                                     .arg(sender, options.value("handle_token").toString());
            connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(path))));
            QDBusMessage signal = QDBusMessage::createSignal(path, "org.freedesktop.portal.Request", "Response");
            signal << 0u << results;
            connection.send(signal);
        };
        if (message.interface() == "org.freedesktop.host.portal.Registry") {
            if (!hasRegistry) return false; // no such interface
            calls << "Register " + args.value(0).toString();
            connection.send(message.createReply());
            return true;
        }
        calls << message.member();
        if (message.interface() == "org.freedesktop.portal.Session" && message.member() == "Close") {
            ++closes;
            connection.send(message.createReply());
            return true;
        }
        if (message.member() == "CreateSession") {
            const QVariantMap options = qdbus_cast<QVariantMap>(args.value(0));
            askedAtCreation = qdbus_cast<QList<PortalShortcut>>(options.value("shortcuts"));
            session = QStringLiteral("/org/freedesktop/portal/desktop/session/%1/%2")
                          .arg(sender, options.value("session_handle_token").toString());
            reply(options, {{"session_handle", session}});
            return true;
        }
        if (message.member() == "BindShortcuts") {
            asked = qdbus_cast<QList<PortalShortcut>>(args.value(1));
            QList<PortalShortcut> bound;
            if (bindsAnything) {
                for (PortalShortcut s : asked) {
                    s.properties.insert("trigger_description", s.id == "toggle" ? "Ctrl+Alt+D" : "Ctrl+Alt+Space");
                    bound << s;
                }
            }
            reply(qdbus_cast<QVariantMap>(args.value(3)), {{"shortcuts", QVariant::fromValue(bound)}});
            return true;
        }
        return false;
    }
};

class GlobalShortcutsPortal
    : public quillory::testing::ShortcutServiceTest<GlobalShortcutsBackend, FakeShortcutsPortal> {
protected:
    void SetUp() override {
        ShortcutServiceTest::SetUp();
        quillory::registerPortalShortcutTypes(); // the fake reads them before a backend is made
    }
    void servePortal(bool bindsAnything = true) {
        fake_->bindsAnything = bindsAnything;
        ASSERT_TRUE(serveAs("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop"));
    }
    void makeBackend(bool toggle = true, bool pushToTalk = true) {
        backend_ = std::make_unique<GlobalShortcutsBackend>(options());
        backend_->bind(recordedActions(), toggle, pushToTalk);
        ASSERT_TRUE(pumpUntil([&] { return backend_->state() != State::opening; }));
    }
    QString session() {
        return withFake([](FakeShortcutsPortal& fake) { return fake.session; });
    }
    /// The portal's signal for one shortcut of `session` (the fake's by default).
    void emitShortcut(const char* member, const QString& id, QString session = {}) {
        if (session.isEmpty()) session = this->session();
        QDBusMessage signal = QDBusMessage::createSignal("/org/freedesktop/portal/desktop",
                                                         "org.freedesktop.portal.GlobalShortcuts", member);
        signal << QVariant::fromValue(QDBusObjectPath(session)) << id << qulonglong(1) << QVariantMap();
        send(signal);
    }
};

TEST_F(GlobalShortcutsPortal, BothShortcutsAreBoundAndTheirSignalsToggleAndHoldToTalk) {
    servePortal();
    makeBackend();
    ASSERT_EQ(backend_->state(), State::bound) << backend_->lastError().toStdString();
    const QList<PortalShortcut> asked = withFake([](FakeShortcutsPortal& fake) { return fake.asked; });
    ASSERT_EQ(asked.size(), 2);
    EXPECT_EQ(asked[0].id, "toggle");
    EXPECT_EQ(asked[1].id, "push-to-talk");
    EXPECT_FALSE(asked[0].properties.value("description").toString().isEmpty());
    EXPECT_EQ(backend_->bound().value("toggle"), "Ctrl+Alt+D");
    // Plasma 5.27's portal binds what CreateSession names, not what BindShortcuts does.
    const auto created = withFake([](FakeShortcutsPortal& fake) { return fake.askedAtCreation; });
    ASSERT_EQ(created.size(), 2);
    EXPECT_EQ(created[0].id, "toggle");
    EXPECT_EQ(created[1].id, "push-to-talk");

    // A toggle per press (a repeated Activated before the release does not toggle back), and
    // push-to-talk from press to release. Another session's signals are not ours.
    emitShortcut("Activated", "toggle");
    emitShortcut("Activated", "toggle");
    emitShortcut("Deactivated", "toggle");
    emitShortcut("Activated", "toggle", "/org/freedesktop/portal/desktop/session/1_99/someone_else");
    emitShortcut("Activated", "push-to-talk");
    emitShortcut("Deactivated", "push-to-talk");
    emitShortcut("Activated", "toggle");
    ASSERT_TRUE(eventsReach(4)) << events_.join(" ").toStdString();
    settle(); // nothing more arrives
    EXPECT_EQ(events_, QStringList({"toggle", "press", "release", "toggle"}));
}

TEST_F(GlobalShortcutsPortal, APortalThatBindsNothingIsAFailureNotASilentRegistration) {
    servePortal(false);
    makeBackend();
    EXPECT_EQ(backend_->state(), State::failed);
    EXPECT_TRUE(backend_->lastError().contains("bound none")) << backend_->lastError().toStdString();
    emitShortcut("Activated", "toggle");
    settle();
    EXPECT_TRUE(events_.isEmpty());
}

TEST_F(GlobalShortcutsPortal, ASessionClosedWhilePushToTalkIsHeldReleasesIt) {
    servePortal();
    makeBackend();
    ASSERT_EQ(backend_->state(), State::bound);
    emitShortcut("Activated", "push-to-talk");
    ASSERT_TRUE(eventsReach(1));
    QDBusMessage closed = QDBusMessage::createSignal(session(), "org.freedesktop.portal.Session", "Closed");
    closed << QVariantMap();
    send(closed);
    ASSERT_TRUE(pumpUntil([&] { return backend_->state() == State::closed; }));
    EXPECT_EQ(events_, QStringList({"press", "release"}));
    // Binding again (the settings changed, the app re-registers) opens a new session.
    backend_->bind({[this] { events_ << "toggle"; }, {}, {}}, true, false);
    ASSERT_TRUE(pumpUntil([&] { return backend_->state() == State::bound; }));
    emitShortcut("Activated", "toggle");
    ASSERT_TRUE(eventsReach(3));
    EXPECT_EQ(events_.last(), "toggle");
}

// A portal that binds nothing takes the registration back from the state once it answers, and the
// failure written down turns the desktop choice (doctor, the settings' advice) to the binding
// advice of a desktop without the portal; a later bind that works clears it.
TEST_F(GlobalShortcutsPortal, AFailedBindIsReportedToTheStateAndTheChoiceFallsBackToTheBindingAdvice) {
    QTemporaryDir runtime;
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    const auto restore = qScopeGuard([&] {
        savedRuntime.isNull() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", savedRuntime);
    });

    servePortal(false);
    auto backend = std::make_shared<GlobalShortcutsBackend>(options());
    quillory::PortalHotkeyService service(backend, quillory::platform::setShortcutsPortalFailure, "bind it yourself");
    std::vector<bool> settled;
    service.onRegistrationSettled([&](bool registered) { settled.push_back(registered); });
    quillory::HotkeyConfig config;
    config.toggleShortcutEnabled = config.pushToTalkShortcutEnabled = true;
    EXPECT_TRUE(service.update(config, [] {}, [] {}, [] {})) << "binding, not failed yet";
    ASSERT_TRUE(pumpUntil([&] { return !settled.empty(); }));
    EXPECT_EQ(settled, std::vector<bool>{false});
    EXPECT_EQ(quillory::platform::shortcutsPortalFailure(), "the GlobalShortcuts portal bound none of the shortcuts");

    quillory::DesktopFacts gnome48;
    gnome48.session = quillory::DesktopFacts::Session::wayland;
    gnome48.currentDesktops = {"GNOME"};
    gnome48.portals = {{"org.freedesktop.portal.GlobalShortcuts", 1}};
    gnome48.shortcutsPortalFailure = quillory::platform::shortcutsPortalFailure();
    const quillory::BackendChoice hotkeys =
        quillory::chooseDesktopBackends(gnome48, quillory::platform::builtBackends()).hotkeys;
    EXPECT_EQ(hotkeys.path, "none");
    EXPECT_STREQ(hotkeys.fixKey, "desktop.fix.hotkeys.gnome");

    // The settings apply the shortcuts again, and this time the portal binds them.
    withFake([](FakeShortcutsPortal& fake) { fake.bindsAnything = true; return 0; });
    service.update(config, [] {}, [] {}, [] {});
    ASSERT_TRUE(pumpUntil([&] { return settled.size() == 2; }));
    EXPECT_TRUE(settled.back());
    EXPECT_TRUE(quillory::platform::shortcutsPortalFailure().isEmpty());
}

// The app id goes to the portal's host registry as the connection's first call, where there is
// one; without it (xdg-desktop-portal 1.18 and older) the shortcuts bind as before.
TEST_F(GlobalShortcutsPortal, TheAppIdIsRegisteredFirstWhereThePortalHasARegistryAndNothingChangesWithoutOne) {
    for (const bool registry : {true, false}) {
        SCOPED_TRACE(registry ? "registry" : "no registry");
        if (!registry) {
            TearDown(); // a new bus: the announcement is once per connection
            SetUp();
        }
        fake_->hasRegistry = registry;
        servePortal();
        QDBusConnection bus = bus_->client();
        quillory::platform::announceAppId(bus, "org.freedesktop.portal.Desktop");
        makeBackend();
        ASSERT_EQ(backend_->state(), State::bound) << backend_->lastError().toStdString();
        QStringList expected{"CreateSession", "BindShortcuts"};
        if (registry) expected.prepend("Register app.quillory.Quillory");
        EXPECT_EQ(withFake([](FakeShortcutsPortal& fake) { return fake.calls; }), expected);
    }
}

TEST_F(GlobalShortcutsPortal, NoPortalIsAClearFailure) {
    makeBackend();
    EXPECT_EQ(backend_->state(), State::failed);
    EXPECT_TRUE(backend_->lastError().contains("CreateSession")) << backend_->lastError().toStdString();
}

} // namespace
