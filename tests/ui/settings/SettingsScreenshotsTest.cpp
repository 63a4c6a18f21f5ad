// Screenshots of the settings window's tabs in Japanese and English, for review (written under
// the build folder's screenshots/). They assert only what is laid out, never pixels.
#include "SettingsTestSupport.h"

#include "UI/Settings/SettingsWindow.h"

#include <QTabWidget>

using namespace quillory;
using namespace quillory::testing;

namespace {

class SettingsScreenshotsTest : public SettingsTest {};

TEST_F(SettingsScreenshotsTest, EachTabInJapaneseAndEnglish) {
    const std::pair<Localization::Language, const char*> languages[] = {
        {Localization::Language::Japanese, "ja"}, {Localization::Language::English, "en"}};
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
        for (const auto& [tab, name] : tabs) {
            window->setSettingsTab(tab);
            QApplication::processEvents();
            QWidget* content = window->tabWidget(tab);
            EXPECT_TRUE(content->isVisible());
            EXPECT_LE(content->width(), 420);
            screenshot(window.get(), QStringLiteral("settings-%1-%2").arg(QLatin1String(name), QLatin1String(code)));
        }
        window->close();
    }
    Localization::setLanguage(Localization::Language::English);
}

} // namespace
