#include "ModelTabTestSupport.h"
#include "support/ScreenshotLanguages.h"
#include "UI/Settings/SettingsWidgets.h"

#include "AI/PolishSettings.h"
#include "Runtime/Localization.h"
#include "UI/Settings/ChatTab.h"
#include "UI/Settings/ChatTabModel.h"
#include "UI/Settings/PolishTab.h"
#include "UI/Settings/PolishTabModel.h"

#include <QPlainTextEdit>
#include <QPushButton>

#include <memory>

namespace quillory::testing {
namespace {

// Review screenshots of both tabs in both languages (build/screenshots), with some content.
TEST_F(CoreTest, PolishAndChatTabScreenshotsInJapaneseAndEnglish) {
    auto engine = std::make_shared<FakeModelEngine>();
    engine->present.insert(PolishSettings::selectedModel());
    auto speech = std::make_shared<FakeSpeechCatalogue>();
    applyPreferredUiFont();
    for (auto [language, suffix] : screenshotLanguages()) {
        Localization::setLanguage(language);
        auto* polishModel = new PolishTabModel(engine);
        auto* speechModel = new SpeechModelSectionModel(speech);
        PolishTab polish(polishModel, speechModel);
        polishModel->setParent(&polish);
        speechModel->setParent(&polish);
        polish.resize(400, 1500);
        polish.show();
        polish.findChild<QPlainTextEdit*>(QStringLiteral("polishTestInput"))->setPlainText(QStringLiteral("えーと今日はですね晴れです"));
        polish.findChild<QPushButton*>(QStringLiteral("polishTestRun"))->click();
        clock_.advance(3s);
        const QString polishPath = screenshotDirectory() + QStringLiteral("/settings-polish-%1.png").arg(QLatin1String(suffix));
        EXPECT_TRUE(polish.grab().save(polishPath)) << polishPath.toStdString();

        auto* chatModel = new ChatTabModel(engine);
        ChatTab chat(chatModel);
        chatModel->setParent(&chat);
        chat.resize(400, 500);
        chat.show();
        chatModel->setDraft(language == Localization::Language::Japanese ? QStringLiteral("句読点の付け方を教えて")
                                                                         : QStringLiteral("How should I punctuate this?"));
        chatModel->send();
        clock_.advance(1s);
        chatModel->setDraft(QStringLiteral("ありがとう"));
        const QString chatPath = screenshotDirectory() + QStringLiteral("/settings-chat-%1.png").arg(QLatin1String(suffix));
        EXPECT_TRUE(chat.grab().save(chatPath)) << chatPath.toStdString();
    }
    Localization::resetLanguage();
}

} // namespace
} // namespace quillory::testing
