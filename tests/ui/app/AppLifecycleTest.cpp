#include "ui/app/AppShellTestSupport.h"
#include "session/SessionFakes.h"
#include "support/CoreTest.h"

#include "AI/LocalPolishError.h"
#include "UI/App/FirstLaunch.h"
#include "UI/App/TrayApp.h"
#include "UI/Tray/TrayController.h"

#include "Cli/RemoteChannel.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QTest>

#include <future>
#include <QLoggingCategory>
#include <QMenu>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace quillory::testing {
namespace {

using namespace std::chrono_literals;

class AppLifecycleTest : public CoreTest {};

TEST_F(AppLifecycleTest, FirstLaunchOpensSettingsOnceAndLaterLaunchesNothing) {
    int opened = 0;
    EXPECT_TRUE(ui::handleFirstLaunch(*store_, [&] { ++opened; }));
    // The flag is written before the window is requested (a failed opening is not retried).
    EXPECT_EQ(store_->boolValue(ui::kFirstLaunchSettingsOpenedKey), true);
    EXPECT_EQ(opened, 0);
    clock_.advance(0ms);
    EXPECT_EQ(opened, 1);

    EXPECT_FALSE(ui::handleFirstLaunch(*store_, [&] { ++opened; }));
    clock_.advance(1s);
    EXPECT_EQ(opened, 1);

    // Any stored value counts as "handled", even false.
    store_->setBool(ui::kFirstLaunchSettingsOpenedKey, false);
    EXPECT_FALSE(ui::handleFirstLaunch(*store_, [&] { ++opened; }));
    clock_.advance(1s);
    EXPECT_EQ(opened, 1);
}

TEST_F(AppLifecycleTest, FirstLaunchAfterOnboardingWritesTheFlagAndOpensNothing) {
    store_->setBool(ui::kOnboardingCompletedKey, true);
    int opened = 0;
    EXPECT_FALSE(ui::handleFirstLaunch(*store_, [&] { ++opened; }));
    clock_.advance(1s);
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(store_->boolValue(ui::kFirstLaunchSettingsOpenedKey), true);
}

TEST_F(AppLifecycleTest, SettingsOpenAsSoonAsReadyOrAfterTheLastAttempt) {
    FakeAppWindows windows;
    windows.ready = false;
    ui::showSettingsWhenReady(windows, 60, 50ms);
    clock_.advance(149ms);
    EXPECT_EQ(windows.shown, 0);
    windows.ready = true;
    clock_.advance(1ms); // the third retry finds it ready
    EXPECT_EQ(windows.shown, 1);
    clock_.advance(10s);
    EXPECT_EQ(windows.shown, 1);

    // Never ready: opened anyway once the 60 attempts (3 s) are used up, exactly once.
    FakeAppWindows never;
    never.ready = false;
    ui::showSettingsWhenReady(never, 60, 50ms);
    clock_.advance(2999ms);
    EXPECT_EQ(never.shown, 0);
    clock_.advance(1ms);
    EXPECT_EQ(never.shown, 1);
    clock_.advance(10s);
    EXPECT_EQ(never.shown, 1);

    // No attempts left: at once.
    ui::showSettingsWhenReady(never, 0, 50ms);
    EXPECT_EQ(never.shown, 2);
}

struct CapturedLog {
    static inline QStringList lines;
    static void handler(QtMsgType, const QMessageLogContext& context, const QString& message) {
        lines << QStringLiteral("%1: %2").arg(QString::fromLatin1(context.category), message);
    }
};

class TrayAppTest : public AppLifecycleTest {
protected:
    void SetUp() override {
        AppLifecycleTest::SetUp();
        ASSERT_TRUE(runtime_.isValid());
        socket_ = runtime_.path() + QStringLiteral("/quillory/app.socket");
        CapturedLog::lines.clear();
        QLoggingCategory::setFilterRules(QStringLiteral("app.quillory.*=true"));
        previous_ = qInstallMessageHandler(&CapturedLog::handler);
    }
    void TearDown() override {
        qInstallMessageHandler(previous_);
        QLoggingCategory::setFilterRules(QString());
        AppLifecycleTest::TearDown();
    }
    QTemporaryDir runtime_;
    QString socket_;
    QtMessageHandler previous_ = nullptr;
    FakeAppWindows windows_;
    FakeSessionControl session_;
};

TEST_F(TrayAppTest, LaunchSequenceRunsInOrderAndCleanUpRunsOnceWithItsLogLine) {
    QStringList order;
    int cleanups = 0;
    ui::TrayAppHooks hooks;
    hooks.refreshOnLaunch = [&] {
        order << QStringLiteral("refresh");
        EXPECT_EQ(windows_.overlaySyncs, 1) << "the overlay follows the status before the refresh";
    };
    hooks.loadSpeechModelInBackground = [&] { order << QStringLiteral("speech"); };
    hooks.cleanupInferenceServers = [&] {
        ++cleanups;
        throw LocalPolishError(LocalPolishError::Kind::cleanupFailed, QStringLiteral("pgrep is missing"));
    };
    ui::TrayApp app(windows_, session_, hooks);
    ASSERT_EQ(app.start(socket_), ui::TrayApp::Start::running);
    EXPECT_EQ(order, (QStringList{QStringLiteral("refresh"), QStringLiteral("speech")}));
    ASSERT_NE(app.tray(), nullptr);
    EXPECT_TRUE(app.tray()->installed());
    EXPECT_TRUE(diagnosticsMessages().join('\n').contains(QStringLiteral("boot ")));

    // First launch: the settings window is requested once the loop runs.
    clock_.advance(0ms);
    EXPECT_EQ(windows_.shown, 1);

    app.cleanUpOnQuit();
    app.cleanUpOnQuit();
    EXPECT_EQ(cleanups, 1);
    const QString log = CapturedLog::lines.join('\n');
    EXPECT_TRUE(log.contains(QStringLiteral("Failed to clean up llama-server on termination: ")) &&
                log.contains(QStringLiteral("pgrep is missing")))
        << log.toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("input"))) << "written to the input channel";
}

TEST_F(TrayAppTest, EveryActivationRefreshesAndALaterLaunchOpensNothing) {
    store_->setBool(ui::kFirstLaunchSettingsOpenedKey, true);
    int refreshes = 0;
    ui::TrayAppHooks hooks;
    hooks.refreshOnActivation = [&] { ++refreshes; };
    hooks.cleanupInferenceServers = [] {};
    ui::TrayApp app(windows_, session_, hooks);
    ASSERT_EQ(app.start(socket_), ui::TrayApp::Start::running);
    EXPECT_EQ(refreshes, 0) << "start-up is not an activation";
    emit qApp->applicationStateChanged(Qt::ApplicationActive);
    emit qApp->applicationStateChanged(Qt::ApplicationInactive);
    emit qApp->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_EQ(refreshes, 2);
    clock_.advance(5s);
    EXPECT_EQ(windows_.shown, 0);
}

/// Counts the hotkey registrations of the state.
class CountingHotkeys final : public HotkeyService {
public:
    bool update(const HotkeyConfig&, Callback, Callback, Callback) override {
        ++updates;
        return true;
    }
    int updates = 0;
};

TEST_F(TrayAppTest, TheSessionCoreIsBuiltAfterTheBootLineAndRefreshedWheneverTheUserTurnsToIt) {
    store_->setBool(ui::kFirstLaunchSettingsOpenedKey, true);
    auto hotkeys = std::make_shared<CountingHotkeys>();
    auto permissions = std::make_shared<FakePermissions>();
    std::unique_ptr<AppState> state;
    QStringList diagnosticsWhenBuilt;
    ui::TrayAppHooks hooks = ui::sessionCoreHooks([&] {
        diagnosticsWhenBuilt = diagnosticsMessages();
        AppStateServices services;
        services.speech = std::make_shared<FakeSpeechService>();
        services.input = std::make_shared<FakeInsertion>();
        services.permissions = permissions;
        services.environment = std::make_shared<FakeEnvironment>();
        services.polish = std::make_shared<FakePolish>();
        services.hotkeys = hotkeys;
        state = std::make_unique<AppState>(services);
        return state.get();
    });
    hooks.cleanupInferenceServers = [] {};
    ui::TrayApp app(windows_, session_, hooks);
    ASSERT_EQ(app.start(socket_), ui::TrayApp::Start::running);
    ASSERT_TRUE(state);
    ASSERT_FALSE(diagnosticsWhenBuilt.isEmpty()) << "the boot line comes before the session core";
    EXPECT_TRUE(diagnosticsWhenBuilt.last().contains(QStringLiteral("boot "))) << diagnosticsWhenBuilt.join('\n').toStdString();
    EXPECT_EQ(hotkeys->updates, 1) << "the hotkeys are registered once at launch";

    // No window of ours takes focus on a tray desktop: opening the tray menu refreshes as an
    // activation does.
    permissions->refreshes = 0;
    ASSERT_NE(app.tray()->menu(), nullptr);
    emit app.tray()->menu()->aboutToShow();
    EXPECT_EQ(permissions->refreshes, 3);
    EXPECT_EQ(hotkeys->updates, 2);
    emit qApp->applicationStateChanged(Qt::ApplicationActive);
    EXPECT_EQ(permissions->refreshes, 6);
    EXPECT_EQ(hotkeys->updates, 3);
    app.cleanUpOnQuit();
}

TEST_F(TrayAppTest, QuitOverTheSocketEndsTheAppAfterReplying) {
    store_->setBool(ui::kFirstLaunchSettingsOpenedKey, true);
    ui::TrayApp app(windows_, session_, ui::TrayAppHooks{.cleanupInferenceServers = [] {}});
    ASSERT_EQ(app.start(socket_), ui::TrayApp::Start::running);
    int quits = 0;
    QObject::connect(&app, &ui::TrayApp::quitRequested, [&] { ++quits; });
    auto reply = std::async(std::launch::async, [&] { return remote::send(QStringLiteral("quit"), socket_, 2000); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return quits == 1; }, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return reply.wait_for(0s) == std::future_status::ready; }, 5000));
    EXPECT_EQ(reply.get().kind, remote::Reply::Kind::ok) << "the reply went out before the quit";
    EXPECT_TRUE(session_.calls.isEmpty());
    app.cleanUpOnQuit();
}

TEST_F(TrayAppTest, WithoutATrayHostTheFirstStartSaysSoInAWindowOnce) {
    store_->setBool(ui::kFirstLaunchSettingsOpenedKey, true);
    {
        ui::TrayApp app(windows_, session_,
                        ui::TrayAppHooks{.cleanupInferenceServers = [] {}, .trayAvailable = [] { return false; }});
        ASSERT_EQ(app.start(socket_), ui::TrayApp::Start::running);
        ASSERT_NE(app.noTrayNotice(), nullptr);
        EXPECT_TRUE(app.noTrayNotice()->isVisible());
        const QString text = qobject_cast<QMessageBox*>(app.noTrayNotice())->text();
        EXPECT_TRUE(text.contains(QStringLiteral("quillory settings")) && text.contains(QStringLiteral("quillory quit")))
            << text.toStdString();
        app.noTrayNotice()->close();
        app.cleanUpOnQuit();
    }
    QTest::qWait(0);
    ui::TrayApp again(windows_, session_,
                      ui::TrayAppHooks{.cleanupInferenceServers = [] {}, .trayAvailable = [] { return false; }});
    ASSERT_EQ(again.start(socket_), ui::TrayApp::Start::running);
    EXPECT_EQ(again.noTrayNotice(), nullptr) << "said once, not at every login";
    again.cleanUpOnQuit();

    ui::TrayApp withTray(windows_, session_,
                         ui::TrayAppHooks{.cleanupInferenceServers = [] {}, .trayAvailable = [] { return true; }});
    store_->remove(QStringLiteral("quillory.firstLaunch.noTrayNoticeShown"));
    ASSERT_EQ(withTray.start(socket_), ui::TrayApp::Start::running);
    EXPECT_EQ(withTray.noTrayNotice(), nullptr);
    withTray.cleanUpOnQuit();
}

TEST_F(TrayAppTest, TrayMenuStartsDictationAndShowsUnfinishedSetupUntilAModelArrives) {
    store_->setBool(ui::kFirstLaunchSettingsOpenedKey, true);
    QString reason = QStringLiteral("No speech model is installed yet.");
    ui::TrayAppHooks hooks{.cleanupInferenceServers = [] {}};
    hooks.setupIncompleteReason = [&] { return reason; };
    ui::TrayApp app(windows_, session_, hooks);
    ASSERT_EQ(app.start(socket_), ui::TrayApp::Start::running);
    EXPECT_EQ(app.tray()->setupIncompleteReason(), reason);
    EXPECT_TRUE(app.tray()->trayIcon()->toolTip().contains(reason));
    emit app.tray()->finishSetupRequested();
    EXPECT_EQ(windows_.speechSetups, 1);
    emit app.tray()->toggleDictationRequested();
    EXPECT_EQ(session_.calls, QStringList{QStringLiteral("toggle")});
    // The model arrived: the next time the user turns to the app the item is gone.
    reason.clear();
    emit app.tray()->menu()->aboutToShow();
    EXPECT_TRUE(app.tray()->setupIncompleteReason().isEmpty());
    EXPECT_EQ(app.tray()->trayIcon()->toolTip(), QStringLiteral("Quillory: ready"));
    // A build without a feed has no update item.
    for (QAction* a : app.tray()->menu()->actions()) {
        EXPECT_FALSE(a->isVisible() && a->text() == QStringLiteral("Check for Updates…"));
    }
    app.cleanUpOnQuit();
}

TEST_F(TrayAppTest, BackgroundUpdateChecksAreScheduledAndRefused) {
    ui::TrayApp app(windows_, session_, ui::TrayAppHooks{.cleanupInferenceServers = [] {}});
    ASSERT_EQ(app.start(socket_), ui::TrayApp::Start::running);
    clock_.advance(25h);
    const QString log = CapturedLog::lines.join('\n');
    EXPECT_EQ(log.count(QStringLiteral("Skipping Sparkle background update check (manual menu check still allowed)")), 2)
        << log.toStdString();
}

} // namespace
} // namespace quillory::testing
