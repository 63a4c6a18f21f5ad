// Screenshots of the settings window's tabs, for review (written under the build folder's
// screenshots/): English in the plain run, Japanese in the screenshots_ja_settings run under a
// Japanese locale. They assert only what is laid out, never pixels.
#include "SettingsTestSupport.h"
#include "ModelTabTestSupport.h"

#include "UI/Settings/SettingsWindow.h"
#include "support/ScreenshotLanguages.h"
#include "UI/Settings/SettingsWidgets.h"
#include "UI/Settings/SpeechModelSetupRow.h"

#include <QPushButton>
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
        {SettingsTabSelection::dictionary, "dictionary"},
        {SettingsTabSelection::polish, "window-polish"},
        {SettingsTabSelection::localLLM, "window-chat"}};
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

// What a new user sees first: the permissions tab of a machine without any speech model, whose
// speech model row offers the download.
TEST_F(SettingsScreenshotsTest, FirstLaunchPermissionsWithTheSpeechModelRow) {
    applyPreferredUiFont();
    auto catalogue = std::make_shared<FakeSpeechCatalogue>();
    catalogue->entries = {
        {QStringLiteral("whisper-small-q5_1"), QStringLiteral("Whisper small Q5_1"), QStringLiteral("Fast."),
         QStringLiteral("190 MB")},
        {QStringLiteral("kotoba-whisper-v2.0-q5_0"), QStringLiteral("Kotoba-Whisper v2.0 Q5_0"),
         QStringLiteral("Accurate."), QStringLiteral("538 MB")},
    };
    catalogue->present.clear();
    catalogue->selected = QStringLiteral("kotoba-whisper-v2.0-q5_0");
    catalogue->recommended = QStringLiteral("whisper-small-q5_1");
    setSpeechModelCatalogueForSettings(catalogue);
    for (const auto& [language, code] : screenshotLanguages()) {
        Localization::setLanguage(language);
        auto window = std::make_unique<SettingsWindow>(*state, *backend);
        window->setSettingsTab(SettingsTabSelection::permissions);
        window->show();
        QApplication::processEvents();
        QWidget* content = window->tabWidget(SettingsTabSelection::permissions);
        auto* row = content->findChild<SpeechModelSetupRow*>(QStringLiteral("permissionsSpeechModel"));
        ASSERT_NE(row, nullptr) << code;
        EXPECT_TRUE(row->isVisible()) << code;
        EXPECT_EQ(row->pill()->text(), L("permission.speech_model.missing")) << code;
        EXPECT_TRUE(row->downloadButton()->isVisible()) << code;
        // The row sits in the first screenful, where a new user looks.
        const QPoint bottom = row->mapTo(window.get(), QPoint(0, row->height()));
        EXPECT_LE(bottom.y(), window->height()) << code;
        screenshot(window.get(), QStringLiteral("settings-first-launch-%1").arg(QLatin1String(code)));
        window->close();
    }
    setSpeechModelCatalogueForSettings(nullptr);
    Localization::setLanguage(Localization::Language::English);
}

} // namespace
