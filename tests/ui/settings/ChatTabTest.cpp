#include "ModelTabTestSupport.h"

#include "AI/PolishSettings.h"
#include "Runtime/Localization.h"
#include "UI/Settings/ChatTab.h"
#include "UI/Settings/ChatTabModel.h"
#include "UI/Settings/MultilineDraftTextView.h"

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <memory>

namespace quillory::testing {
namespace {

// The key rules of the draft editor on their own.
TEST(MultilineDraftTextViewTest, ReturnSubmitsOnlyWhenAllowedAndShiftReturnAlwaysBreaksTheLine) {
    MultilineDraftTextView view;
    bool allowed = false;
    int submits = 0;
    view.canSubmit = [&] { return allowed; };
    view.onSubmitReturn = [&] { ++submits; };

    view.setPlainText(QStringLiteral("一行目"));
    view.moveCursor(QTextCursor::End);
    QTest::keyClick(&view, Qt::Key_Return);
    EXPECT_EQ(submits, 0);
    EXPECT_EQ(view.toPlainText(), QStringLiteral("一行目\n")) << "not allowed: an ordinary line break";

    allowed = true;
    QTest::keyClick(&view, Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_EQ(submits, 0);
    EXPECT_EQ(view.toPlainText(), QStringLiteral("一行目\n\n")) << "a plain line feed, never U+2028";

    QTest::keyClick(&view, Qt::Key_Enter, Qt::KeypadModifier);
    QTest::keyClick(&view, Qt::Key_Return);
    EXPECT_EQ(submits, 2) << "Return and the keypad's Enter submit";
    QTest::keyClick(&view, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(submits, 3);
    EXPECT_EQ(view.toPlainText(), QStringLiteral("一行目\n\n")) << "submitting inserts nothing";

    allowed = false;
    QTest::keyClick(&view, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(submits, 3);
    EXPECT_EQ(view.toPlainText(), QStringLiteral("一行目\n\n")) << "Ctrl+Return never breaks the line";

    allowed = true;
    view.setDraftDisabled(true);
    QTest::keyClick(&view, Qt::Key_Return);
    EXPECT_EQ(submits, 3) << "a disabled editor neither submits nor edits";
    EXPECT_EQ(view.toPlainText(), QStringLiteral("一行目\n\n"));
}

class ChatTabTest : public ModelTabTest<ChatTab, ChatTabModel> {
protected:
    void type(const QString& text) {
        auto* input = find<MultilineDraftTextView>("chatInput");
        input->setFocus();
        input->setPlainText(text);
        input->moveCursor(QTextCursor::End);
    }
};

TEST_F(ChatTabTest, ReturnSendsTheTrimmedDraftAndTheReplyFollows) {
    engine_->present.insert(PolishSettings::selectedModel());
    ChatTabModel& model = open();
    auto* input = find<MultilineDraftTextView>("chatInput");
    auto* send = find<QPushButton>("chatSend");
    EXPECT_TRUE(input->isEnabled());
    EXPECT_FALSE(input->isReadOnly());
    EXPECT_FALSE(send->isEnabled());
    EXPECT_TRUE(find<QLabel>("chatEmptyHint")->isVisible());

    type(QStringLiteral(" \n "));
    EXPECT_FALSE(send->isEnabled()) << "blank draft";
    type(QStringLiteral("  こんにちは\n"));
    EXPECT_TRUE(send->isEnabled());
    QTest::keyClick(input, Qt::Key_Return);

    ASSERT_EQ(model.turns().size(), 1);
    EXPECT_EQ(model.turns()[0].role, LocalLLMChatRole::user);
    EXPECT_EQ(model.turns()[0].content, QStringLiteral("こんにちは"));
    EXPECT_TRUE(input->toPlainText().isEmpty());
    EXPECT_TRUE(model.busy());
    EXPECT_TRUE(input->isReadOnly()) << "no typing while a reply is pending";
    EXPECT_FALSE(find<QPushButton>("chatClear")->isEnabled()) << "no clearing while a reply is pending";
    EXPECT_TRUE(find<QLabel>("chatResponding")->isVisible());
    model.send();
    EXPECT_EQ(model.turns().size(), 1);

    clock_.advance(1s);
    ASSERT_EQ(model.turns().size(), 2);
    EXPECT_EQ(model.turns()[1].role, LocalLLMChatRole::assistant);
    EXPECT_EQ(model.turns()[1].content, engine_->chatReply);
    EXPECT_EQ(engine_->dialogues.size(), 1);
    EXPECT_EQ(engine_->dialogues[0], QList<LocalLLMChatMessage>{model.turns()[0]});
    EXPECT_FALSE(model.busy());
    EXPECT_EQ(tab_->findChildren<QWidget*>(QStringLiteral("userBubble")).size(), 1);
    EXPECT_EQ(tab_->findChildren<QWidget*>(QStringLiteral("assistantBubble")).size(), 1);

    // Ctrl+Return from the input sends too; the whole conversation goes to the engine.
    type(QStringLiteral("続けて"));
    QTest::keyClick(input, Qt::Key_Return, Qt::ControlModifier);
    clock_.advance(1s);
    ASSERT_EQ(engine_->dialogues.size(), 2);
    EXPECT_EQ(engine_->dialogues[1].size(), 3);

    find<QPushButton>("chatClear")->click();
    EXPECT_TRUE(model.turns().isEmpty());
}

TEST_F(ChatTabTest, FailedReplyKeepsTheMessageAndTheNextSendClearsTheError) {
    engine_->present.insert(PolishSettings::selectedModel());
    ChatTabModel& model = open();
    engine_->chatFailure = QStringLiteral("server gone");
    type(QStringLiteral("質問です"));
    find<QPushButton>("chatSend")->click();
    clock_.advance(1s);
    ASSERT_EQ(model.turns().size(), 1);
    ASSERT_TRUE(model.errorText().has_value());
    EXPECT_TRUE(model.errorText()->contains(QStringLiteral("server gone")));
    EXPECT_TRUE(find<QLabel>("chatError")->isVisible());

    engine_->chatFailure.reset();
    type(QStringLiteral("もう一度"));
    find<QPushButton>("chatSend")->click();
    EXPECT_FALSE(model.errorText().has_value());
    EXPECT_FALSE(find<QLabel>("chatError")->isVisible());
    clock_.advance(1s);
    EXPECT_EQ(model.turns().size(), 3);
}

TEST_F(ChatTabTest, WithoutModelsTheInputWaitsForADownloadThatResolvesAndStoresTheChatModel) {
    ChatTabModel& model = open();
    EXPECT_TRUE(find<QLabel>("chatDownloadHint")->isVisible());
    EXPECT_FALSE(find<QComboBox>("chatModelPicker")->isVisible());
    auto* input = find<MultilineDraftTextView>("chatInput");
    EXPECT_TRUE(input->isReadOnly());
    type(QStringLiteral("こんにちは"));
    EXPECT_FALSE(model.canSubmitDraft());

    // Choosing a model here also makes it the polish model.
    const PolishModel chosen = PolishModels::allCases[3];
    auto* picker = find<QComboBox>("chatCatalogPicker");
    picker->setCurrentIndex(3);
    EXPECT_EQ(model.chatModel(), chosen);
    EXPECT_EQ(PolishSettings::selectedModel(), chosen);

    model.setStatus(AppStatus::recording());
    EXPECT_FALSE(find<QPushButton>("chatDownload")->isEnabled());
    EXPECT_FALSE(picker->isEnabled());
    model.setStatus(AppStatus::idle());

    find<QPushButton>("chatDownload")->click();
    EXPECT_TRUE(find<QProgressBar>("chatDownloadProgress")->isVisible());
    EXPECT_FALSE(picker->isEnabled());
    clock_.advance(2s);
    EXPECT_FALSE(model.modelDownloadInProgress());
    EXPECT_EQ(model.chatModel(), chosen);
    EXPECT_EQ(PolishSettings::localLLMChatStoredModel(), chosen);
    EXPECT_FALSE(input->isReadOnly());
    EXPECT_TRUE(find<QComboBox>("chatModelPicker")->isVisible());
    EXPECT_FALSE(find<QLabel>("chatDownloadHint")->isVisible());
}

TEST_F(ChatTabTest, FailedDownloadShowsItsMessage) {
    ChatTabModel& model = open();
    engine_->downloadFailure = QStringLiteral("disk full");
    find<QPushButton>("chatDownload")->click();
    clock_.advance(2s);
    ASSERT_TRUE(model.modelDownloadError().has_value());
    EXPECT_TRUE(model.modelDownloadError()->contains(QStringLiteral("disk full")));
    EXPECT_TRUE(find<QLabel>("chatDownloadError")->isVisible());
    EXPECT_FALSE(find<QProgressBar>("chatDownloadProgress")->isVisible());
}

TEST_F(ChatTabTest, StoredChatModelIsUsedOnlyWhileItsFileIsPresent) {
    const auto all = PolishModels::allCases;
    PolishSettings::setSelectedModel(all[1]);
    PolishSettings::setLocalLLMChatStoredModel(all[4]);
    engine_->present = {all[1], all[2], all[4]};
    ChatTabModel& model = open();
    EXPECT_EQ(model.chatModel(), all[4]) << "the stored chat model";

    engine_->present.erase(all[4]);
    model.refresh();
    EXPECT_EQ(model.chatModel(), all[1]) << "falls back to the polish model";
    EXPECT_EQ(PolishSettings::localLLMChatStoredModel(), all[1]) << "and stores it";

    PolishSettings::setSelectedModel(all[0]);
    model.refresh();
    EXPECT_EQ(model.chatModel(), all[1]) << "the stored one is installed again";
    PolishSettings::setLocalLLMChatStoredModel(all[3]);
    model.refresh();
    EXPECT_EQ(model.chatModel(), all[1]) << "first installed when neither is present";

    // Choosing another model stores it and starts a new conversation.
    type(QStringLiteral("やあ"));
    model.send();
    clock_.advance(1s);
    ASSERT_EQ(model.turns().size(), 2);
    find<QComboBox>("chatModelPicker")->setCurrentIndex(1);
    EXPECT_EQ(model.chatModel(), all[2]);
    EXPECT_EQ(PolishSettings::localLLMChatStoredModel(), all[2]);
    EXPECT_TRUE(model.turns().isEmpty());
}

} // namespace
} // namespace quillory::testing
