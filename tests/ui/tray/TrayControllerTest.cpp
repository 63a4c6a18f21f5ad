#include "ui/app/AppShellTestSupport.h"

#include "UI/Tray/TrayController.h"

#include <QFile>
#include <QSet>

#include <gtest/gtest.h>

namespace quillory::testing {
namespace {

using Kind = AppStatus::Kind;

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

    QStringList texts;
    for (QAction* a : tray.menu()->actions()) {
        if (!a->isSeparator()) texts << a->text();
    }
    EXPECT_EQ(texts, (QStringList{"Settings…", "Check for Updates…", "Quit Quillory"}));
    EXPECT_EQ(first->contextMenu(), tray.menu());
}

TEST(TrayControllerTest, MenuActionsAndClicks) {
    FakeAppWindows windows;
    ui::TrayController tray(windows);
    tray.installIfNeeded();
    QAction* settings = tray.menu()->actions().at(0);
    QAction* updates = tray.menu()->actions().at(1);
    QAction* quit = tray.menu()->actions().at(3);

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
