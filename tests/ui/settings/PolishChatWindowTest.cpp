// The polish and chat tabs inside the settings window, over a real application state on fakes:
// the factories build the real tabs, follow the session status, and fit the window, in both
// languages.
#include "SettingsTestSupport.h"

#include "UI/Settings/ChatTab.h"
#include "UI/Settings/PolishTab.h"
#include "UI/Settings/SettingsWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>

namespace quillory::testing {
namespace {

class PolishChatWindowTest : public SettingsTest {};

/// The tab's widget of type W: the page itself or inside it.
template <typename W> W* tabOf(const SettingsWindow& window, SettingsTabSelection tab) {
    QWidget* page = window.tabWidget(tab);
    if (auto* direct = qobject_cast<W*>(page)) {
        return direct;
    }
    return page ? page->findChild<W*>() : nullptr;
}

// (Their screenshots are taken with the other tabs', SettingsScreenshotsTest.)
TEST_F(PolishChatWindowTest, TabsFollowTheSessionAndFitTheWindow) {
    for (auto [language, code] : {std::pair{Localization::Language::Japanese, "ja"},
                                  std::pair{Localization::Language::English, "en"}}) {
        Localization::setLanguage(language);
        auto window = std::make_unique<SettingsWindow>(*state, *backend);
        window->show();
        QApplication::processEvents();
        window->setSettingsTab(SettingsTabSelection::polish);
        QApplication::processEvents();
        auto* polish = tabOf<PolishTab>(*window, SettingsTabSelection::polish);
        ASSERT_NE(polish, nullptr) << "the real polish tab, not a placeholder";
        EXPECT_TRUE(polish->isVisible());
        EXPECT_LE(polish->width(), 420);
        window->setSettingsTab(SettingsTabSelection::localLLM);
        QApplication::processEvents();
        auto* chat = tabOf<ChatTab>(*window, SettingsTabSelection::localLLM);
        ASSERT_NE(chat, nullptr) << "the real chat tab, not a placeholder";
        EXPECT_TRUE(chat->isVisible());
        window->close();
    }
    Localization::setLanguage(Localization::Language::English);

    auto window = std::make_unique<SettingsWindow>(*state, *backend);
    window->show();
    window->setSettingsTab(SettingsTabSelection::polish);
    QWidget* polish = window->tabWidget(SettingsTabSelection::polish);
    auto* picker = polish->findChild<QComboBox*>(QStringLiteral("polishModelPicker"));
    ASSERT_NE(picker, nullptr);
    EXPECT_TRUE(picker->isEnabled());
    startRecordingByHotkey();
    EXPECT_FALSE(picker->isEnabled()) << "the tab follows the application status";
    EXPECT_FALSE(polish->findChild<QPushButton*>(QStringLiteral("polishDownload"))->isEnabled());

    auto* toggle = polish->findChild<QCheckBox*>(QStringLiteral("polishEnable"));
    const bool before = state->aiPolishEnabled();
    toggle->click();
    EXPECT_NE(state->aiPolishEnabled(), before) << "the switch writes the application state";
}

} // namespace
} // namespace quillory::testing
