// Screenshots of the settings window's tabs in Japanese and English, for review (written under
// the build folder's screenshots/). They assert only what is laid out, never pixels.
#include "SettingsTestSupport.h"

#include "UI/Settings/SettingsWindow.h"
#include "support/ScreenshotLanguages.h"
#include "UI/Settings/SettingsWidgets.h"

#include <QTabBar>
#include <QTabWidget>

using namespace quillory;
using namespace quillory::testing;

namespace {

class SettingsScreenshotsTest : public SettingsTest {};

TEST_F(SettingsScreenshotsTest, EachTabInJapaneseAndEnglish) {
    applyPreferredUiFont();
    const auto languages = screenshotLanguages();
    const std::pair<SettingsTabSelection, const char*> tabs[] = {
        {SettingsTabSelection::permissions, "permissions"},
        {SettingsTabSelection::hotkey, "hotkey"},
        {SettingsTabSelection::dictionary, "dictionary"}};
    addDictionaryEntry(QStringLiteral("くいろりー"), QStringLiteral("Quillory"));
    addDictionaryEntry(QStringLiteral("ぎっとはぶ"), QStringLiteral("GitHub"));
    state->setVoiceTestFieldText(QStringLiteral("今日は良い天気です。"));
    for (const auto& [language, code] : languages) {
        Localization::setLanguage(language);
        auto window = std::make_unique<SettingsWindow>(*state, *backend);
        window->show();
        QApplication::processEvents();
        EXPECT_EQ(window->tabs()->tabText(0), L("settings.tab.permissions"));
        // Every tab label fits in the window.
        const QRect last = window->tabs()->tabBar()->tabRect(4);
        EXPECT_LE(window->tabs()->tabBar()->mapTo(window.get(), last.topRight()).x(), 420) << code;
        for (const auto& [tab, name] : tabs) {
            window->setSettingsTab(tab);
            QApplication::processEvents();
            QWidget* content = window->tabWidget(tab);
            EXPECT_TRUE(content->isVisible());
            EXPECT_LE(content->width(), 420);
            // Nothing wider than the window: the page scrolls only vertically.
            auto* page = content->findChild<QWidget*>(QStringLiteral("quillory.settings.pageContent"));
            ASSERT_NE(page, nullptr);
            EXPECT_LE(page->minimumSizeHint().width(), page->parentWidget()->width()) << name << " " << code;
            screenshot(window.get(), QStringLiteral("settings-%1-%2").arg(QLatin1String(name), QLatin1String(code)));
            // The whole scrolling page too, for review of what lies below the fold.
            page->resize(page->width(), page->sizeHint().height());
            screenshot(page, QStringLiteral("settings-%1-%2-full").arg(QLatin1String(name), QLatin1String(code)));
        }
        window->close();
    }
    Localization::setLanguage(Localization::Language::English);
}

} // namespace
