// Quillory on KDE Plasma's compositor: headless KWin with xdg-desktop-portal and its KDE backend
// (scripts/kwin-session.sh). The desktop choice (unauthorised: the RemoteDesktop portal's keyboard
// beside KWin's data-control clipboard, and why; authorised by our desktop entry: KWin's
// fake-input) and what `doctor` says of it, the clipboard without focus, the GlobalShortcuts
// portal binding our shortcuts (with and without an app id) and their keys typed through
// fake-input arriving, the overlay's layer surface shown, updated and moved while a Qt field keeps the
// keyboard, and clicked (fake-input's pointer on its panel's button, after which a paste still lands), and `quillory paste` landing once through either paste key in native Wayland GTK 3 and
// Qt fields that keep the keyboard, with the user's clipboard put back.
#include "Hotkey/kde/KGlobalAccelBackend.h"
#include "Hotkey/portal/GlobalShortcutsBackend.h"
#include "Input/InputEngine.h"
#include "Input/kde/FakeInputKeyPoster.h"
#include "Input/portal/RemoteDesktopKeyPoster.h"
#include "Input/wayland/DataControlClipboard.h"
#include "Input/wayland/WaylandConnection.h"
#include "Input/wayland/WaylandInputPlatform.h"
#include "Platform/linux/DesktopProbe.h"
#include "Platform/qt/OverlaySurface.h"

#include "KGlobalAccelChords.h"
#include "OverlayClickSupport.h"
#include "WaylandTestSupport.h"

#include "fake-input-client-protocol.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QKeySequence>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <gmock/gmock.h>

#include <functional>

#include <linux/input-event-codes.h>
#include <unistd.h>
#include <wayland-client.h>

using namespace quillory;
using namespace quillory::input;

namespace {

constexpr int kWaitMs = quillory::test::kDesktopWaitMs;

bool waitFor(const std::function<bool()>& done, int timeoutMs = kWaitMs) {
    return quillory::test::pollUntil(done, timeoutMs);
}
using quillory::test::wlCopy;
using quillory::test::wlPaste;

/// `quillory doctor --json` (its exit status says whether everything works: only the paths count here).
QJsonObject doctorJson() {
    QProcess doctor;
    doctor.start(QStringLiteral(QUILLORY_EXECUTABLE), {QStringLiteral("doctor"), QStringLiteral("--json")});
    if (!doctor.waitForFinished(kWaitMs)) {
        return {};
    }
    return QJsonDocument::fromJson(doctor.readAllStandardOutput()).object();
}

/// What the KDE portal asked xdg-open to open (scripts/kwin-session.sh).
QStringList openedUrls() {
    QFile file(qEnvironmentVariable("QUILLORY_TEST_PORTAL_OPENED_URLS"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)
                                          : QStringList();
}

/// `quillory paste` into `target`: lands once, the field keeps the keyboard, the clipboard comes back.
void expectQuilloryPasteLandsOnce(quillory::test::WaylandTarget& target) {
    quillory::test::expectQuilloryPasteLandsOnce(QStringLiteral(QUILLORY_EXECUTABLE), target);
}

/// The engine in this process over `createLinuxInputPlatform()` pastes into `target` once and puts
/// the user's clipboard back.
void expectEnginePasteLandsOnce(quillory::test::WaylandTarget& target, const LinuxInputPlatform& platform) {
    const QByteArray users = QStringLiteral("前の内容").toUtf8();
    ASSERT_TRUE(wlCopy(users));
    InputEngine engine(platform.platform);
    const QString dictated = QStringLiteral("二回目の音声入力");
    engine.insert(dictated);
    ASSERT_TRUE(waitFor([&] { return target.text() == dictated; })) << target.transcript();
    ASSERT_TRUE(waitFor([&] { return !engine.clipboardRestorePending(); }));
    EXPECT_EQ(wlPaste(), std::optional<QByteArray>(users));
    EXPECT_EQ(target.text(), dictated);
    EXPECT_EQ(target.focusLosses(), 0) << target.transcript();
}

TEST(KWinDesktop, ThePortalKeyboardAndTheDataControlClipboardAreChosenAndDoctorNamesThem) {
    // No desktop file authorises this program: KWin keeps fake-input from it, and the choice says so.
    const DesktopBackends choice = platform::currentDesktopBackends();
    EXPECT_EQ(choice.family, DesktopFamily::kde);
    EXPECT_EQ(choice.paste.path, DesktopPaths::remoteDesktopPortal) << choice.logLine().toStdString();
    EXPECT_THAT(choice.paste.reason.toStdString(), ::testing::HasSubstr("KWin does not offer fake-input"));
    EXPECT_EQ(choice.clipboard.path, DesktopPaths::dataControl) << choice.logLine().toStdString();
    EXPECT_EQ(choice.overlay.path, DesktopPaths::layerShell) << choice.logLine().toStdString();

    const QJsonObject doctor = doctorJson();
    const QJsonObject paths = doctor.value(QStringLiteral("paths")).toObject();
    EXPECT_EQ(paths.value(QStringLiteral("desktop")).toString(), QStringLiteral("KDE"));
    EXPECT_EQ(paths.value(QStringLiteral("paste")).toString(), DesktopPaths::remoteDesktopPortal);
    EXPECT_EQ(paths.value(QStringLiteral("clipboard")).toString(), DesktopPaths::dataControl);
    const QString reason = doctor.value(QStringLiteral("pathDetails")).toObject().value(QStringLiteral("paste")).toObject()
                               .value(QStringLiteral("reason")).toString();
    EXPECT_THAT(reason.toStdString(), ::testing::HasSubstr("X-KDE-Wayland-Interfaces"));
    EXPECT_EQ(paths.value(QStringLiteral("overlay")).toString(), DesktopPaths::layerShell);
}

TEST(KWinClipboard, DataControlReadsAndSetsTheClipboardWithoutAFocusedWindow) {
    // KWin has data-control but no virtual-keyboard: the clipboard alone.
    const LinuxInputPlatform platform = createWaylandInputPlatform(false);
    ASSERT_TRUE(platform.unavailableReason.isEmpty()) << platform.unavailableReason.toStdString();
    auto* clipboard = dynamic_cast<DataControlClipboard*>(platform.platform.clipboard.get());
    ASSERT_TRUE(clipboard);
    EXPECT_FALSE(platform.platform.keys);

    const qint64 before = clipboard->changeCount();
    const QByteArray users = QStringLiteral("ユーザーがコピーした文章").toUtf8();
    ASSERT_TRUE(wlCopy(users));
    ASSERT_TRUE(waitFor([&] { return clipboard->changeCount() > before; })) << "another client's copy is a change";
    const auto items = clipboard->items();
    ASSERT_TRUE(items && items->size() == 1);
    EXPECT_EQ(items->front()->data(QStringLiteral("text/plain;charset=utf-8")), std::optional<QByteArray>(users));

    ASSERT_TRUE(clipboard->setString(QStringLiteral("クリップボードに置いた文章"), Clipboard::stringType));
    EXPECT_EQ(wlPaste(), std::optional<QByteArray>(QStringLiteral("クリップボードに置いた文章").toUtf8()));
}

TEST(KWinShortcuts, WithoutAnAppIdPlasmasPortalBindsUnderTheSessionTokenOnTheProgramsPortalConnection) {
    // A program started from a terminal has no app id on xdg-desktop-portal 1.16. Plasma 5.27's
    // portal binds the shortcuts it was given at CreateSession all the same, in a kglobalaccel
    // component named by the session token alone. (The backend on the connection the app uses.)
    GlobalShortcutsBackend backend(GlobalShortcutsBackend::Options{});
    int toggles = 0;
    backend.bind({[&] { ++toggles; }, {}, {}}, true, true);
    ASSERT_TRUE(waitFor([&] { return backend.state() != GlobalShortcutsBackend::State::opening; }));
    ASSERT_EQ(backend.state(), GlobalShortcutsBackend::State::bound) << backend.lastError().toStdString();
    EXPECT_EQ(backend.bound().keys(), QStringList({"push-to-talk", "toggle"}));
    const QString page = QStringLiteral("systemsettings://kcm_keys/") + backend.sessionPath().section(QLatin1Char('/'), -1);
    EXPECT_TRUE(waitFor([&] { return openedUrls().contains(page); })) << openedUrls().join(' ').toStdString();
    EXPECT_EQ(toggles, 0);
}

struct TargetKind {
    const char* name;
    std::function<std::unique_ptr<quillory::test::WaylandTarget>()> make;
};
void PrintTo(const TargetKind& kind, std::ostream* os) {
    *os << kind.name;
}

class KWinPaste : public ::testing::TestWithParam<TargetKind> {};

TEST_P(KWinPaste, QuilloryPasteLandsOnceThroughThePortalAndTheUsersClipboardComesBack) {
    auto target = GetParam().make();
    expectQuilloryPasteLandsOnce(*target);
}

TEST_P(KWinPaste, TheEngineInThisProcessPastesThroughItsPortalSession) {
    auto target = GetParam().make();
    ASSERT_TRUE(target->waitReady()) << "the field never got the keyboard:\n" << target->transcript();
    LinuxInputPlatform platform = createLinuxInputPlatform();
    ASSERT_TRUE(platform.unavailableReason.isEmpty()) << platform.unavailableReason.toStdString();
    auto* portal = dynamic_cast<RemoteDesktopKeyPoster*>(platform.platform.keys.get());
    ASSERT_TRUE(portal) << "the paste key is the portal's keyboard";
    ASSERT_TRUE(waitFor([&] { return portal->state() != RemoteDesktopKeyPoster::State::opening; }));
    ASSERT_EQ(portal->state(), RemoteDesktopKeyPoster::State::started) << portal->lastError().toStdString();
    expectEnginePasteLandsOnce(*target, platform);
}

// A frameless WindowDoesNotAcceptFocus window of Qt 6.4 became active on KWin; the layer surface
// without keyboard interactivity never does.
TEST(KWinOverlay, ALayerSurfaceShowsUpdatesAndMovesWhileTheFieldKeepsTheKeyboard) {
    quillory::test::WaylandTarget target(QStringLiteral(QUILLORY_INPUT_TARGET_WINDOW),
                                         {QStringLiteral("-platform"), QStringLiteral("wayland")}, {});
    ASSERT_TRUE(target.waitReady()) << "the field never got the keyboard:\n" << target.transcript();
    QString why;
    auto surfaces = platform::openLayerShellSurfaces(&why, platform::currentDesktopBackends().overlayLayerNamespace);
    ASSERT_TRUE(surfaces) << why.toStdString();
    auto surface = surfaces->createSurface(QStringLiteral("quillory.test.strip"));
    QImage frame(308, 48, QImage::Format_ARGB32_Premultiplied);
    for (int i = 0; i < 30; ++i) {
        frame.fill(QColor::fromHsv((i * 12) % 360, 200, 200, 230));
        surface->present(frame, QPoint(400 + i, 700 - i));
        ASSERT_TRUE(surface->isMapped()) << "KWin did not configure the layer surface";
        QElapsedTimer gap;
        gap.start();
        (void)waitFor([&] { return gap.elapsed() > 40; }); // about the waveform's rate
    }
    surface->withdraw();
    surface->present(frame, QPoint(10, 10)); // shown again after a withdrawal
    EXPECT_TRUE(surface->isMapped());
    QElapsedTimer settle;
    settle.start();
    (void)waitFor([&] { return settle.elapsed() > 1000; });
    EXPECT_EQ(target.focusLosses(), 0) << "the field lost the keyboard:\n" << target.transcript();
    surface.reset();
}

// ---- KWin's fake-input, authorised by the desktop entry we ship (ctest test_desktop_kwin_fake_input) ----

/// Installs our desktop entry for `executable` in this session's private data home, as the package
/// installs it for /usr/bin/quillory: KWin offers fake-input to the programs whose entry runs them by
/// absolute path and lists it in X-KDE-Wayland-Interfaces.
bool installDesktopEntry(const QString& fileName, const QString& executable) {
    QFile shipped(QStringLiteral(QUILLORY_DESKTOP_ENTRY));
    if (!shipped.open(QIODevice::ReadOnly)) {
        return false;
    }
    QByteArray entry = shipped.readAll();
    entry.replace("Exec=quillory", "Exec=" + executable.toUtf8());
    const QString folder = qEnvironmentVariable("XDG_DATA_HOME") + QStringLiteral("/applications");
    QDir().mkpath(folder);
    // Written aside and renamed in: KWin's application database notices a folder that changed.
    QFile file(folder + QLatin1Char('/') + fileName + QStringLiteral(".tmp"));
    return file.open(QIODevice::WriteOnly) && file.write(entry) == entry.size() && file.flush() &&
           (file.close(), QFile::rename(file.fileName(), folder + QLatin1Char('/') + fileName));
}

/// This program and `quillory` authorised, once KWin offers fake-input to a new connection.
bool authoriseFakeInput() {
    static const bool authorised = [] {
        if (!installDesktopEntry(QStringLiteral("app.quillory.Quillory.desktop"), QStringLiteral(QUILLORY_EXECUTABLE)) ||
            !installDesktopEntry(QStringLiteral("quillory-kwin-test.desktop"), QCoreApplication::applicationFilePath())) {
            return false;
        }
        return waitFor([] {
            QString why;
            const auto connection = WaylandConnection::open(&why);
            return connection && connection->offersFakeInput();
        });
    }();
    return authorised;
}

TEST(KWinFakeInput, OurDesktopEntryAuthorisesItAheadOfThePortalAndDoctorNamesIt) {
    ASSERT_TRUE(authoriseFakeInput()) << "KWin never offered fake-input after the desktop entry was installed";
    const DesktopBackends choice = platform::currentDesktopBackends();
    EXPECT_EQ(choice.paste.path, DesktopPaths::kdeFakeInput) << choice.logLine().toStdString();
    EXPECT_EQ(choice.pasteFallback, DesktopPaths::remoteDesktopPortal);
    EXPECT_EQ(choice.clipboard.path, DesktopPaths::dataControl);

    // The desktop entry lists fake-input only: data-control stays offered beside it.
    QString why;
    const auto connection = WaylandConnection::open(&why);
    ASSERT_TRUE(connection) << why.toStdString();
    EXPECT_TRUE(connection->dataControl());

    const QJsonObject paths = doctorJson().value(QStringLiteral("paths")).toObject();
    EXPECT_EQ(paths.value(QStringLiteral("paste")).toString(), DesktopPaths::kdeFakeInput);
    EXPECT_EQ(paths.value(QStringLiteral("clipboard")).toString(), DesktopPaths::dataControl);
    QProcess doctor;
    doctor.start(QStringLiteral(QUILLORY_EXECUTABLE), {QStringLiteral("doctor")});
    ASSERT_TRUE(doctor.waitForFinished(kWaitMs));
    EXPECT_THAT(doctor.readAllStandardOutput().toStdString(), ::testing::HasSubstr("kde-fake-input"));
}

// The overlay's layer surface takes no keyboard, but its buttons take clicks: a press and release
// of fake-input's pointer on the panel's button reach the button once, and neither pointing at the
// surface nor clicking it takes the field's keyboard, so a paste after the click lands. (KWin 5.27
// activates a clicked layer surface unless it is a dock, keyboard interactivity or not: with the
// overlay's former namespace the field lost the keyboard on every run and the paste went nowhere.)
TEST(KWinFakeInput, AClickOnTheOverlaysLayerSurfaceReachesItsButtonAndTheFieldKeepsTheKeyboard) {
    ASSERT_TRUE(authoriseFakeInput()) << "KWin never offered fake-input after the desktop entry was installed";
    quillory::test::WaylandTarget target(QStringLiteral(QUILLORY_INPUT_TARGET_WINDOW),
                                         {QStringLiteral("-platform"), QStringLiteral("wayland")}, {});
    ASSERT_TRUE(target.waitReady()) << "the field never got the keyboard:\n" << target.transcript();

    // The headless seat has no pointer of its own: fake-input's device is one.
    QString why;
    const auto connection = WaylandConnection::open(&why);
    ASSERT_TRUE(connection) << why.toStdString();
    org_kde_kwin_fake_input* pointer = connection->bindFakeInput();
    ASSERT_TRUE(pointer);
    org_kde_kwin_fake_input_authenticate(pointer, "Quillory test", "clicks the overlay");
    ASSERT_TRUE(connection->roundtrip());

    const DesktopBackends choice = platform::currentDesktopBackends();
    EXPECT_EQ(choice.overlayLayerNamespace, QStringLiteral("dock"));
    auto surfaces = platform::openLayerShellSurfaces(&why, choice.overlayLayerNamespace);
    ASSERT_TRUE(surfaces) << why.toStdString();
    quillory::test::OverlayClickPanel panel(*surfaces);
    ASSERT_TRUE(waitFor([&] { return panel.isMapped(); })) << "KWin did not map the layer surface";

    const QPoint centre = panel.buttonCentre();
    org_kde_kwin_fake_input_pointer_motion_absolute(pointer, wl_fixed_from_int(centre.x()),
                                                    wl_fixed_from_int(centre.y()));
    ASSERT_TRUE(connection->roundtrip());
    QElapsedTimer hover;
    hover.start();
    (void)waitFor([&] { return hover.elapsed() > 1000; });
    EXPECT_EQ(target.focusLosses(), 0) << "the pointer on the surface took the keyboard:\n" << target.transcript();
    org_kde_kwin_fake_input_button(pointer, BTN_LEFT, WL_POINTER_BUTTON_STATE_PRESSED);
    org_kde_kwin_fake_input_button(pointer, BTN_LEFT, WL_POINTER_BUTTON_STATE_RELEASED);
    ASSERT_TRUE(connection->roundtrip());
    EXPECT_TRUE(waitFor([&] { return panel.clicks() > 0; })) << "the click never reached the button";

    QElapsedTimer settle;
    settle.start();
    (void)waitFor([&] { return settle.elapsed() > 1000; });
    EXPECT_EQ(panel.clicks(), 1);
    EXPECT_EQ(target.focusLosses(), 0) << "the click took the field's keyboard:\n" << target.transcript();
    // What the user does next (an undo, a new dictation) pastes into the field, not nowhere.
    expectQuilloryPasteLandsOnce(target);
}

class KWinFakeInputPaste : public ::testing::TestWithParam<TargetKind> {};

// ---- KDE's global shortcut service (ctest test_desktop_kwin_kglobalaccel) ----

/// Types `keys` (evdev codes, pressed in order, released in reverse) through KWin's fake-input,
/// holding them `holdMs` (KWin repeats a held key).
bool typeChord(FakeInputChannel& channel, const std::vector<quint32>& keys, int holdMs) {
    for (quint32 key : keys) channel.key(key, true);
    if (!channel.sync()) return false;
    QElapsedTimer held;
    held.start();
    (void)waitFor([&] { return held.elapsed() > holdMs; });
    for (auto it = keys.rbegin(); it != keys.rend(); ++it) channel.key(*it, false);
    return channel.sync();
}

/// fake-input on a connection of its own, authenticated to type the shortcuts (KWin offers it once
/// our desktop entry is there); null with the reason.
std::shared_ptr<FakeInputChannel> shortcutTypist(QString* why) {
    const auto connection = WaylandConnection::open(why);
    if (!connection) return nullptr;
    auto channel = makeFakeInputChannel(connection);
    if (!channel->offered()) {
        *why = QStringLiteral("KWin does not offer fake-input to this program");
        return nullptr;
    }
    channel->authenticate(QStringLiteral("Quillory test"), QStringLiteral("types the shortcuts"));
    if (!channel->sync()) {
        *why = QStringLiteral("the Wayland connection failed after authenticate");
        return nullptr;
    }
    return channel;
}

TEST(KWinKGlobalAccel, OurActionsRegisterAndKeysTypedThroughFakeInputToggleOnceAndHoldToTalk) {
    const DesktopBackends choice = platform::currentDesktopBackends();
    EXPECT_EQ(choice.hotkeys.path, DesktopPaths::kglobalaccel) << choice.logLine().toStdString();
    const QJsonObject paths = doctorJson().value(QStringLiteral("paths")).toObject();
    EXPECT_EQ(paths.value(QStringLiteral("hotkeys")).toString(), DesktopPaths::kglobalaccel);

    // The keys are typed through fake-input, which KWin offers once our desktop entry is there.
    ASSERT_TRUE(authoriseFakeInput()) << "KWin never offered fake-input after the desktop entry was installed";
    QString why;
    const auto channel = shortcutTypist(&why);
    ASSERT_TRUE(channel) << why.toStdString();

    // Meta+Alt+F12 for the toggle.
    const auto [config, keys] = quillory::test::metaAltF12Toggle();
    using namespace quillory::test::chordKeys;
    QStringList events;
    const KGlobalAccelBackend::Actions actions{[&] { events << "toggle"; }, [&] { events << "press"; },
                                               [&] { events << "release"; }};
    auto backend = std::make_unique<KGlobalAccelBackend>();
    backend->bind(actions, config, keys);
    ASSERT_TRUE(waitFor([&] { return backend->state() != KGlobalAccelBackend::State::registering; }));
    ASSERT_EQ(backend->state(), KGlobalAccelBackend::State::registered) << backend->lastError().toStdString();
    EXPECT_EQ(backend->assigned().value("toggle"), QList<int>{quillory::test::metaAltF12()});
    EXPECT_EQ(backend->actionsWithoutKey(), QStringList{"push-to-talk"});

    // Held for a second (KWin repeats the key): one toggle.
    ASSERT_TRUE(typeChord(*channel, {meta, alt, f12}, 1000));
    ASSERT_TRUE(waitFor([&] { return !events.isEmpty(); })) << "no shortcut arrived";
    QElapsedTimer settle;
    settle.start();
    (void)waitFor([&] { return settle.elapsed() > 1000; });
    EXPECT_EQ(events, QStringList{"toggle"});

    // The user gives push-to-talk Meta+Alt+F11 in System Settings.
    QString assignError;
    ASSERT_TRUE(quillory::test::assignPushToTalkInSystemSettings(kWaitMs, &assignError)) << assignError.toStdString();

    events.clear();
    ASSERT_TRUE(typeChord(*channel, {meta, alt, f11}, 1000));
    ASSERT_TRUE(waitFor([&] { return events.size() >= 2; })) << events.join(' ').toStdString();
    settle.restart();
    (void)waitFor([&] { return settle.elapsed() > 1000; });
    EXPECT_EQ(events, QStringList({"press", "release"}));

    // Started again, the program keeps the key the user gave push-to-talk.
    backend.reset();
    backend = std::make_unique<KGlobalAccelBackend>();
    backend->bind(actions, config, keys);
    ASSERT_TRUE(waitFor([&] { return backend->state() == KGlobalAccelBackend::State::registered; }))
        << backend->lastError().toStdString();
    EXPECT_EQ(backend->assigned().value("push-to-talk"), QList<int>{quillory::test::metaAltF11()});
    EXPECT_TRUE(backend->actionsWithoutKey().isEmpty());
}

// ---- The GlobalShortcuts portal with an app id (ctest test_desktop_kwin_shortcuts) ----

/// This process in a systemd user unit named as a desktop names what its menu starts,
/// `app-app.quillory.Quillory-<pid>.scope`, for as long as it lives: xdg-desktop-portal 1.16 reads a
/// host program's app id from that name (libsystemd's sd_pid_get_user_unit, which on a hybrid
/// cgroup layout reads the unified hierarchy). The process goes back where it was afterwards.
class AppIdScope {
public:
    AppIdScope() {
        QFile own(QStringLiteral("/proc/self/cgroup"));
        if (!own.open(QIODevice::ReadOnly)) {
            why_ = QStringLiteral("/proc/self/cgroup: %1").arg(own.errorString());
            return;
        }
        for (const QByteArray& line : own.readAll().split('\n')) {
            if (line.startsWith("0::")) was_ = QString::fromUtf8(line.mid(3));
        }
        const QString root = QStringLiteral("/sys/fs/cgroup/unified");
        const QString base = QDir(root).exists(QStringLiteral("cgroup.procs")) ? root : QStringLiteral("/sys/fs/cgroup");
        const uint uid = ::getuid();
        const QString scope = QStringLiteral("%1/user.slice/user-%2.slice/user@%2.service/app.slice/app-%3-%4.scope")
                                  .arg(base)
                                  .arg(uid)
                                  .arg(platform::PortalNames::appId)
                                  .arg(QCoreApplication::applicationPid());
        for (QString dir = scope; !QDir(dir).exists(); dir = dir.section(QLatin1Char('/'), 0, -2)) {
            made_.prepend(dir); // removed again, innermost first
        }
        if (was_.isNull() || !QDir().mkpath(scope)) {
            why_ = QStringLiteral("no cgroup2 hierarchy to make %1 in (/proc/self/cgroup has no 0:: line, or it "
                                  "is read-only)")
                       .arg(scope);
            return;
        }
        if (!movePid(scope)) {
            why_ = QStringLiteral("the kernel refused to move this process into %1").arg(scope);
            removeMade();
            return;
        }
        scope_ = scope;
        base_ = base;
    }
    ~AppIdScope() {
        if (!scope_.isEmpty()) {
            movePid(base_ + was_);
            removeMade();
        }
    }
    bool ok() const { return !scope_.isEmpty(); }
    const QString& why() const { return why_; }

private:
    static bool movePid(const QString& cgroup) {
        QFile procs(cgroup + QStringLiteral("/cgroup.procs"));
        return procs.open(QIODevice::WriteOnly) && procs.write(QByteArray::number(QCoreApplication::applicationPid())) > 0 &&
               procs.flush();
    }
    void removeMade() {
        for (auto it = made_.crbegin(); it != made_.crend(); ++it) QDir().rmdir(*it);
    }
    QString was_, scope_, base_, why_;
    QStringList made_; ///< the folders made for the scope, outermost first
};

/// The portal's shortcuts session on a connection of its own, as a new run of the program makes it.
struct PortalShortcuts {
    explicit PortalShortcuts(const QString& connection, GlobalShortcutsBackend::Actions actions)
        : name(connection) {
        GlobalShortcutsBackend::Options options;
        options.bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
        backend = std::make_unique<GlobalShortcutsBackend>(options);
        backend->bind(std::move(actions), true, true);
    }
    ~PortalShortcuts() {
        backend.reset();
        QDBusConnection::disconnectFromBus(name);
    }
    QString name;
    std::unique_ptr<GlobalShortcutsBackend> backend;
};

TEST(KWinShortcuts, WithAnAppIdThePortalBindsBothShortcutsAndTheirKeysToggleAndHoldToTalkWhileTheFieldKeepsTheKeyboard) {
    AppIdScope scope;
    ASSERT_TRUE(scope.ok()) << scope.why().toStdString();
    ASSERT_TRUE(authoriseFakeInput()) << "KWin never offered fake-input after the desktop entry was installed";
    quillory::test::WaylandTarget target(QStringLiteral(QUILLORY_INPUT_TARGET_WINDOW),
                                         {QStringLiteral("-platform"), QStringLiteral("wayland")}, {});
    ASSERT_TRUE(target.waitReady()) << "the field never got the keyboard:\n" << target.transcript();

    QStringList events;
    const GlobalShortcutsBackend::Actions actions{[&] { events << "toggle"; }, [&] { events << "press"; },
                                                  [&] { events << "release"; }};
    using State = GlobalShortcutsBackend::State;
    QString component;
    {
        // The first run: Plasma's portal makes the kglobalaccel component, both actions without keys.
        PortalShortcuts first(QStringLiteral("quillory-kwin-shortcuts-1"), actions);
        ASSERT_TRUE(waitFor([&] { return first.backend->state() != State::opening; }));
        ASSERT_EQ(first.backend->state(), State::bound) << first.backend->lastError().toStdString();
        EXPECT_EQ(first.backend->bound().keys(), QStringList({"push-to-talk", "toggle"}));
        component = platform::PortalNames::appId + first.backend->sessionPath().section(QLatin1Char('/'), -1);
        // Plasma asks to show the component's page in System Settings, where the user gives keys
        // (on a real desktop that window takes the keyboard at every bind; kwin-session.sh writes
        // the address down instead of starting a browser for it).
        const QString page = QStringLiteral("systemsettings://kcm_keys/") + component;
        EXPECT_TRUE(waitFor([&] { return openedUrls().contains(page); })) << openedUrls().join(' ').toStdString();
    }
    // The user gives them keys in System Settings (the page the portal asks to open).
    QString why;
    ASSERT_TRUE(quillory::test::assignInSystemSettings(component, component, ShortcutActions::kToggleId,
                                                       quillory::test::metaAltF12(), kWaitMs, &why))
        << why.toStdString();
    ASSERT_TRUE(quillory::test::assignInSystemSettings(component, component, ShortcutActions::kPushToTalkId,
                                                       quillory::test::metaAltF11(), kWaitMs, &why))
        << why.toStdString();

    // The next run binds them with those keys, and the keys typed through fake-input arrive.
    PortalShortcuts second(QStringLiteral("quillory-kwin-shortcuts-2"), actions);
    ASSERT_TRUE(waitFor([&] { return second.backend->state() != State::opening; }));
    ASSERT_EQ(second.backend->state(), State::bound) << second.backend->lastError().toStdString();
    EXPECT_EQ(second.backend->bound().value("toggle"), QKeySequence(quillory::test::metaAltF12()).toString(QKeySequence::NativeText));

    const auto channel = shortcutTypist(&why);
    ASSERT_TRUE(channel) << why.toStdString();
    using namespace quillory::test::chordKeys;
    ASSERT_TRUE(typeChord(*channel, {meta, alt, f12}, 1000));
    ASSERT_TRUE(waitFor([&] { return !events.isEmpty(); })) << "no shortcut arrived";
    ASSERT_TRUE(typeChord(*channel, {meta, alt, f11}, 1000));
    ASSERT_TRUE(waitFor([&] { return events.size() >= 3; })) << events.join(' ').toStdString();
    QElapsedTimer settle;
    settle.start();
    (void)waitFor([&] { return settle.elapsed() > 1000; });
    EXPECT_EQ(events, QStringList({"toggle", "press", "release"}));
    EXPECT_EQ(target.focusLosses(), 0) << "the field lost the keyboard:\n" << target.transcript();
}

TEST_P(KWinFakeInputPaste, QuilloryPasteLandsOnceAndTheUsersClipboardComesBack) {
    ASSERT_TRUE(authoriseFakeInput());
    auto target = GetParam().make();
    expectQuilloryPasteLandsOnce(*target);
}

TEST_P(KWinFakeInputPaste, TheEngineInThisProcessPastesThroughFakeInput) {
    ASSERT_TRUE(authoriseFakeInput());
    auto target = GetParam().make();
    ASSERT_TRUE(target->waitReady()) << "the field never got the keyboard:\n" << target->transcript();
    LinuxInputPlatform platform = createLinuxInputPlatform();
    ASSERT_TRUE(platform.unavailableReason.isEmpty()) << platform.unavailableReason.toStdString();
    auto* keys = dynamic_cast<FakeInputKeyPoster*>(platform.platform.keys.get());
    ASSERT_TRUE(keys) << "the paste key is KWin's fake-input";
    EXPECT_TRUE(keys->isAuthorised());
    expectEnginePasteLandsOnce(*target, platform);
}

std::vector<TargetKind> targets() {
    return {TargetKind{"gtk3", [] { return quillory::test::gtk3Target(QStringLiteral(QUILLORY_REAL_TARGET_SCRIPT)); }},
            TargetKind{"qt", [] { return quillory::test::qtTarget(QStringLiteral(QUILLORY_INPUT_TARGET_WINDOW)); }}};
}
std::string targetName(const ::testing::TestParamInfo<TargetKind>& info) {
    return info.param.name;
}
INSTANTIATE_TEST_SUITE_P(Targets, KWinPaste, ::testing::ValuesIn(targets()), targetName);
INSTANTIATE_TEST_SUITE_P(Targets, KWinFakeInputPaste, ::testing::ValuesIn(targets()), targetName);

} // namespace

// Runs only inside scripts/kwin-session.sh: the tests take over the clipboard of the compositor
// they find and open portal sessions on its bus.
int main(int argc, char** argv) {
    return quillory::test::runOverlayClickTests(argc, argv, "KDE", "scripts/kwin-session.sh");
}
