#include "ui/app/AppShellTestSupport.h"

#include "Runtime/Localization.h"
#include "UI/Tray/TrayController.h"

#include <QFile>
#include <QSet>

#include <gtest/gtest.h>

namespace quillory::testing {
namespace {

using Kind = AppStatus::Kind;

QStringList visibleTexts(const ui::TrayController& tray) {
    QStringList texts;
    for (QAction* a : tray.menu()->actions()) {
        if (!a->isSeparator() && a->isVisible()) texts << a->text();
    }
    return texts;
}

QAction* action(const ui::TrayController& tray, const char* text) {
    for (QAction* a : tray.menu()->actions()) {
        if (a->isVisible() && a->text() == QString::fromUtf8(text)) return a;
    }
    return nullptr;
}

TEST(TrayControllerTest, EachStatusHasItsOwnIconAndText) {
    FakeAppWindows windows;
    ui::TrayController tray(windows);
    tray.installIfNeeded();
    const std::pair<AppStatus, QString> cases[] = {
        {AppStatus::idle(), QStringLiteral("Quillory: ready")},
        {AppStatus::recording(), QStringLiteral("Quillory: listening")},
        {AppStatus::processing(), QStringLiteral("Quillory: processing")},
        {AppStatus::error(QString()), QStringLiteral("Quillory: error")},
    };
    QSet<QString> icons;
    for (const auto& [status, text] : cases) {
        tray.applyStatus(status);
        EXPECT_EQ(tray.currentText(), text);
        EXPECT_EQ(tray.trayIcon()->toolTip(), text);
        EXPECT_TRUE(QFile::exists(tray.currentIconPath())) << tray.currentIconPath().toStdString();
        EXPECT_FALSE(tray.trayIcon()->icon().isNull());
        icons.insert(tray.currentIconPath());
    }
    EXPECT_EQ(icons.size(), 4);

    // An error names its message.
    tray.applyStatus(AppStatus::error(QStringLiteral("No audio capture device is available.")));
    EXPECT_EQ(tray.trayIcon()->toolTip(), QStringLiteral("Quillory: error — No audio capture device is available."));
}

TEST(TrayControllerTest, InstallsOnceWithItsMenu) {
    FakeAppWindows windows;
    ui::TrayController tray(windows);
    tray.applyStatus(AppStatus::recording()); // before installing: shown once installed
    tray.installIfNeeded();
    QSystemTrayIcon* first = tray.trayIcon();
    tray.installIfNeeded();
    EXPECT_EQ(tray.trayIcon(), first);
    EXPECT_EQ(first->toolTip(), QStringLiteral("Quillory: listening"));

    EXPECT_EQ(visibleTexts(tray), (QStringList{"Quillory: listening", "Stop Dictation", "Settings…",
                                               "Check for Updates…", "Quit Quillory"}));
    EXPECT_EQ(first->contextMenu(), tray.menu());
}

TEST(TrayControllerTest, MenuShowsTheStatusAndStartsDictation) {
    FakeAppWindows windows;
    ui::TrayController tray(windows);
    tray.installIfNeeded();
    QAction* status = action(tray, "Quillory: ready");
    ASSERT_NE(status, nullptr) << visibleTexts(tray).join(" | ").toStdString();
    EXPECT_FALSE(status->isEnabled()) << "the status line is not a command";
    int toggles = 0;
    QObject::connect(&tray, &ui::TrayController::toggleDictationRequested, [&] { ++toggles; });
    QAction* start = action(tray, "Start Dictation");
    ASSERT_NE(start, nullptr);
    start->trigger();
    EXPECT_EQ(toggles, 1);

    tray.applyStatus(AppStatus::recording());
    EXPECT_EQ(status->text(), QStringLiteral("Quillory: listening"));
    EXPECT_EQ(start->text(), QStringLiteral("Stop Dictation"));
    EXPECT_TRUE(start->isEnabled());
    tray.applyStatus(AppStatus::processing());
    EXPECT_FALSE(start->isEnabled()) << "nothing to start or stop while the words are processed";
    tray.applyStatus(AppStatus::error(QStringLiteral("No audio capture device is available.")));
    EXPECT_EQ(status->text(), QStringLiteral("Quillory: error — No audio capture device is available."));
    EXPECT_TRUE(start->isEnabled());
}

TEST(TrayControllerTest, UnfinishedSetupShowsInTheMenuAndTooltip) {
    FakeAppWindows windows;
    ui::TrayController tray(windows);
    tray.installIfNeeded();
    EXPECT_EQ(action(tray, "Finish Setup…"), nullptr);
    const QString reason = Localization::text("setup.speech_model_missing");
    tray.setSetupIncomplete(reason);
    EXPECT_TRUE(tray.trayIcon()->toolTip().startsWith(QStringLiteral("Quillory: setup unfinished")));
    EXPECT_TRUE(tray.trayIcon()->toolTip().contains(reason));
    QAction* finish = action(tray, "Finish Setup…");
    ASSERT_NE(finish, nullptr);
    int requests = 0;
    QObject::connect(&tray, &ui::TrayController::finishSetupRequested, [&] { ++requests; });
    finish->trigger();
    EXPECT_EQ(requests, 1);
    // A session's own state still shows while setup is unfinished; the item stays.
    tray.applyStatus(AppStatus::recording());
    EXPECT_EQ(tray.trayIcon()->toolTip(), QStringLiteral("Quillory: listening"));
    tray.applyStatus(AppStatus::idle());
    tray.setSetupIncomplete(QString());
    EXPECT_EQ(action(tray, "Finish Setup…"), nullptr);
    EXPECT_EQ(tray.trayIcon()->toolTip(), QStringLiteral("Quillory: ready"));
}

TEST(TrayControllerTest, UpdateItemOnlyWithAFeedAndSaysWhileChecking) {
    FakeAppWindows windows;
    ui::TrayController tray(windows);
    tray.installIfNeeded();
    tray.setUpdateFeed(false);
    EXPECT_FALSE(visibleTexts(tray).contains(QStringLiteral("Check for Updates…")));
    tray.setUpdateFeed(true);
    tray.setCanCheckForUpdates(true);
    QAction* updates = action(tray, "Check for Updates…");
    ASSERT_NE(updates, nullptr);
    EXPECT_TRUE(updates->isEnabled());
    tray.setCheckingForUpdates(true);
    EXPECT_EQ(updates->text(), QStringLiteral("Checking for Updates…"));
    EXPECT_FALSE(updates->isEnabled());
    tray.setCheckingForUpdates(false);
    EXPECT_EQ(updates->text(), QStringLiteral("Check for Updates…"));
}

TEST(TrayControllerTest, MenuActionsAndClicks) {
    FakeAppWindows windows;
    ui::TrayController tray(windows);
    tray.installIfNeeded();
    QAction* settings = action(tray, "Settings…");
    QAction* updates = action(tray, "Check for Updates…");
    QAction* quit = action(tray, "Quit Quillory");
    ASSERT_TRUE(settings && updates && quit);

    // "Check for Updates…" follows whether a check may start.
    EXPECT_FALSE(updates->isEnabled());
    tray.setCanCheckForUpdates(true);
    EXPECT_TRUE(updates->isEnabled());
    int checks = 0, quits = 0;
    QObject::connect(&tray, &ui::TrayController::checkForUpdatesRequested, [&] { ++checks; });
    QObject::connect(&tray, &ui::TrayController::quitRequested, [&] { ++quits; });
    updates->trigger();
    quit->trigger();
    EXPECT_EQ(checks, 1);
    EXPECT_EQ(quits, 1);
    tray.setCanCheckForUpdates(false);
    EXPECT_FALSE(updates->isEnabled());

    // The menu's Settings… always opens; a left click toggles.
    settings->trigger();
    EXPECT_EQ(windows.shown, 1);
    settings->trigger();
    EXPECT_EQ(windows.shown, 2);
    EXPECT_EQ(windows.closed, 0);
    tray.handleActivation(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(windows.visible);
    tray.handleActivation(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(windows.visible);
    // A minimised window is revealed, not closed.
    windows.minimized = true;
    tray.handleActivation(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(windows.visible && !windows.minimized);
    EXPECT_EQ(windows.closed, 1);
    // Opening the context menu is not a click.
    tray.handleActivation(QSystemTrayIcon::Context);
    EXPECT_TRUE(windows.visible);
}

TEST(TrayControllerTest, PlaceholderSettingsWindowTogglesAndReveals) {
    ui::PlaceholderAppWindows windows;
    ui::toggleSettings(windows);
    ASSERT_NE(windows.settingsWindow(), nullptr);
    EXPECT_TRUE(windows.settingsWindow()->isVisible());
    EXPECT_EQ(windows.settingsWindow()->size(), QSize(420, 560));
    ui::toggleSettings(windows);
    EXPECT_FALSE(windows.settingsWindow()->isVisible());
    ui::toggleSettings(windows);
    EXPECT_TRUE(windows.settingsWindow()->isVisible());
}

} // namespace
} // namespace quillory::testing
