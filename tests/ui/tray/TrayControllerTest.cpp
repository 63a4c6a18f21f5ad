#include "ui/app/AppShellTestSupport.h"

#include "Runtime/Localization.h"
#include "UI/Tray/TrayController.h"

#include <QDir>
#include <QFile>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <functional>

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

double luminance(QColor c) {
    const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
}

double contrast(QColor a, QColor b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

/// The 16 px icon as a tray shows it on a panel of colour `panel`.
QImage onPanel(const QString& path, QColor panel) {
    QImage image(16, 16, QImage::Format_RGB32);
    image.fill(panel);
    QPainter p(&image);
    p.drawPixmap(0, 0, QIcon(path).pixmap(QSize(16, 16), 1.0));
    return image;
}

int pixelsWhere(const QImage& image, const std::function<bool(QColor)>& test) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            n += test(image.pixelColor(x, y));
        }
    }
    return n;
}

TEST(TrayControllerTest, IconsReadOnLightAndDarkPanelsAndTellTheStatesApart) {
    const Kind kinds[] = {Kind::idle, Kind::recording, Kind::processing, Kind::error};
    // Light and dark panel colours of common desktop themes.
    const QColor panels[] = {QColor(0xdcdad5), QColor(0xf6f5f4), QColor(0x2e3436), QColor(0x1e1e1e)};
    for (const QColor& panel : panels) {
        QList<QImage> shown;
        for (Kind kind : kinds) {
            const QString path = ui::trayLook(kind).iconPath;
            const QImage image = onPanel(path, panel);
            // A glyph, not a smudge: a good part of the icon stands out at least 3:1 from the panel.
            const int readable = pixelsWhere(image, [&](QColor c) { return contrast(c, panel) >= 3.0; });
            EXPECT_GE(readable, 20) << path.toStdString() << " on " << panel.name().toStdString();
            shown << image;
        }
        // Every two states differ visibly, not by a few pixels.
        for (int a = 0; a < shown.size(); ++a) {
            for (int b = a + 1; b < shown.size(); ++b) {
                int differing = 0;
                for (int y = 0; y < 16; ++y) {
                    for (int x = 0; x < 16; ++x) {
                        const QColor ca = shown[a].pixelColor(x, y), cb = shown[b].pixelColor(x, y);
                        differing += std::abs(ca.red() - cb.red()) + std::abs(ca.green() - cb.green()) +
                                         std::abs(ca.blue() - cb.blue()) >
                                     150;
                    }
                }
                EXPECT_GE(differing, 24) << "states " << a << " and " << b << " on " << panel.name().toStdString();
            }
        }
        // For review: the four states side by side at 16 px and at 4× on this panel.
        QImage strip(4 * 20 + 4, 20, QImage::Format_RGB32);
        strip.fill(panel);
        QPainter p(&strip);
        for (int i = 0; i < shown.size(); ++i) {
            p.drawImage(QPoint(4 + 20 * i, 2), shown[i]);
        }
        p.end();
        const QString dir = QStringLiteral(QUILLORY_SCREENSHOT_DIR);
        QDir().mkpath(dir);
        strip.scaled(strip.size() * 4, Qt::IgnoreAspectRatio, Qt::FastTransformation)
            .save(dir + "/tray-icons-on-" + panel.name().mid(1) + ".png");
        // The error says so in colour, not as one more grey shape.
        const int alarming = pixelsWhere(shown[3], [](QColor c) { return c.red() - std::max(c.green(), c.blue()) >= 100; });
        EXPECT_GE(alarming, 20) << "on " << panel.name().toStdString();
    }
}

} // namespace
} // namespace quillory::testing
