#include "UI/Settings/ChatTab.h"

#include "AI/PolishModel.h"
#include "App/AppState.h"
#include "Runtime/Localization.h"
#include "UI/Settings/ChatTabModel.h"
#include "UI/Settings/HelpPopoverButton.h"
#include "UI/Settings/ModelTabWidgets.h"
#include "UI/Settings/SettingsTabs.h"
#include "UI/Settings/SettingsWidgets.h"
#include "UI/Settings/MultilineDraftTextView.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

namespace quillory {

namespace {
QWidget* bubble(const LocalLLMChatMessage& message, int availableWidth, QWidget* parent) {
    const bool fromUser = message.role == LocalLLMChatRole::user;
    auto* row = new QWidget(parent);
    row->setObjectName(fromUser ? QStringLiteral("userBubble") : QStringLiteral("assistantBubble"));
    auto* rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(0, 0, 0, 0);
    auto* frame = new QFrame(row);
    frame->setObjectName(QStringLiteral("bubble"));
    frame->setMaximumWidth(480);
    // The user's words on the accent, the model's on the alternate base.
    const QString fill = fromUser ? SettingsPalette::css(SettingsPalette::accent(frame->palette()), 0.14)
                                  : QStringLiteral("palette(alternate-base)");
    frame->setStyleSheet(QStringLiteral("#bubble { border-radius: 10px; background: %1; }").arg(fill));
    auto* layout = new QVBoxLayout(frame);
    layout->setContentsMargins(10, 8, 10, 8);
    QLabel* role = makeCaption(fromUser ? L("localllm.role.user") : L("localllm.role.assistant"), frame);
    auto* content = new QLabel(message.content, frame);
    content->setObjectName(QStringLiteral("bubbleText"));
    content->setWordWrap(true);
    content->setTextFormat(Qt::PlainText);
    content->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    // A wrapping label asks for little width; give it its natural width up to the bubble's limit.
    int natural = 0;
    for (const QString& line : message.content.split(QLatin1Char('\n'))) {
        natural = std::max(natural, content->fontMetrics().horizontalAdvance(line));
    }
    content->setMinimumWidth(std::max(0, std::min({natural + 2, 480 - 20, availableWidth - 60})));
    layout->addWidget(role);
    layout->addWidget(content);
    if (fromUser) {
        rowLayout->addStretch();
        rowLayout->addWidget(frame);
    } else {
        rowLayout->addWidget(frame);
        rowLayout->addStretch();
    }
    return row;
}

void fillModelPicker(QComboBox* picker, const QList<PolishModel>& models) {
    const QSignalBlocker blocker(picker);
    picker->clear();
    for (PolishModel m : models) {
        picker->addItem(PolishModels::displayName(m), PolishModels::id(m));
    }
}
} // namespace

ChatTab::ChatTab(ChatTabModel* model, QWidget* parent) : QWidget(parent), model_(model) {
    SettingsPage* page = SettingsPage::fill(this);
    buildModelSection(page);
    buildConversationSection(page);

    auto* sendShortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Return), this);
    sendShortcut->setContext(Qt::WidgetWithChildrenShortcut);
    connect(sendShortcut, &QShortcut::activated, this, [this] {
        if (model_->canSubmitDraft()) {
            model_->send();
        }
    });
    connect(installedPicker_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (auto m = PolishModels::fromId(installedPicker_->itemData(index).toString())) {
            model_->selectChatModel(*m);
        }
    });
    connect(catalogPicker_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (auto m = PolishModels::fromId(catalogPicker_->itemData(index).toString())) {
            model_->selectModelToDownload(*m);
        }
    });
    connect(download_, &QPushButton::clicked, model_, &ChatTabModel::downloadSelectedModelForChat);
    connect(input_, &QPlainTextEdit::textChanged, this, [this] { model_->setDraft(input_->toPlainText()); });
    connect(send_, &QPushButton::clicked, model_, &ChatTabModel::send);
    connect(clear_, &QPushButton::clicked, model_, &ChatTabModel::clear);
    connect(model_, &ChatTabModel::changed, this, &ChatTab::render);
    connect(model_, &ChatTabModel::draftChanged, this, [this] {
        input_->setDraftText(model_->draft());
        send_->setEnabled(model_->canSubmitDraft());
    });
    connect(model_, &ChatTabModel::turnAdded, this, [this] {
        render();
        // After the layout has placed the new bubble.
        QTimer::singleShot(0, this, &ChatTab::scrollToNewest);
    });
    render();
}

void ChatTab::buildModelSection(SettingsPage* page) {
    auto* section = page->addSection(L("localllm.section.title"));
    section->addHeaderWidget(helpButton(L("localllm.help.detail"), section));

    // With a model installed: the picker of the installed models.
    installedRow_ = new QWidget(section);
    auto* installedLayout = new QHBoxLayout(installedRow_);
    installedLayout->setContentsMargins(0, 0, 0, 0);
    installedLayout->addWidget(new QLabel(L("localllm.model.label"), installedRow_));
    installedPicker_ = new QComboBox(installedRow_);
    installedPicker_->setObjectName(QStringLiteral("chatModelPicker"));
    installedLayout->addWidget(installedPicker_, 1);
    section->body()->addWidget(installedRow_);

    // Without: the catalogue with a download.
    downloadBox_ = new QWidget(section);
    auto* downloadLayout = new QVBoxLayout(downloadBox_);
    downloadLayout->setContentsMargins(0, 0, 0, 0);
    auto* form = new QFormLayout;
    catalogPicker_ = new QComboBox(downloadBox_);
    catalogPicker_->setObjectName(QStringLiteral("chatCatalogPicker"));
    QList<PolishModel> all(PolishModels::allCases.begin(), PolishModels::allCases.end());
    fillModelPicker(catalogPicker_, all);
    form->addRow(L("localllm.model.label"), catalogPicker_);
    downloadSize_ = new QLabel(downloadBox_);
    form->addRow(L("polish.model.download_size"), downloadSize_);
    memory_ = new QLabel(downloadBox_);
    form->addRow(L("polish.model.memory"), memory_);
    QLabel* hint = makeCaption(L("localllm.download.hint"), downloadBox_);
    hint->setObjectName(QStringLiteral("chatDownloadHint"));
    downloadLayout->addWidget(hint);
    downloadLayout->addLayout(form);
    download_ = new QPushButton(L("polish.model.download"), downloadBox_);
    download_->setObjectName(QStringLiteral("chatDownload"));
    auto* downloadRow = new QHBoxLayout;
    downloadRow->addWidget(download_);
    downloadRow->addStretch();
    downloadLayout->addLayout(downloadRow);
    downloadProgress_ = new QProgressBar(downloadBox_);
    downloadProgress_->setObjectName(QStringLiteral("chatDownloadProgress"));
    downloadLayout->addWidget(downloadProgress_);
    downloadError_ = errorLabel(downloadBox_);
    downloadError_->setObjectName(QStringLiteral("chatDownloadError"));
    downloadLayout->addWidget(downloadError_);
    section->body()->addWidget(downloadBox_);
}

void ChatTab::buildConversationSection(SettingsPage* page) {
    auto* section = page->addSection(L("localllm.conversation.section"));
    // The conversation takes the height the page has left.
    page->column()->setStretchFactor(section, 1);
    conversationScroll_ = new QScrollArea(section);
    conversationScroll_->setObjectName(QStringLiteral("chatConversation"));
    conversationScroll_->setFrameShape(QFrame::NoFrame);
    conversationScroll_->setWidgetResizable(true);
    conversationScroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    conversationScroll_->setMinimumHeight(80);
    auto* conversationContent = new QWidget(conversationScroll_);
    conversation_ = new QVBoxLayout(conversationContent);
    conversation_->setContentsMargins(0, 0, 0, 0);
    conversationScroll_->setWidget(conversationContent);
    section->body()->addWidget(conversationScroll_, 1);
    errorText_ = errorLabel(section);
    errorText_->setObjectName(QStringLiteral("chatError"));
    section->body()->addWidget(errorText_);

    input_ = new MultilineDraftTextView(section);
    passWheelToPageUnlessFocused(input_);
    input_->setObjectName(QStringLiteral("chatInput"));
    input_->setAccessibleLabel(L("localllm.input.accessibility"));
    input_->setMinimumHeight(60);
    input_->setMaximumHeight(80);
    input_->canSubmit = [this] { return model_->canSubmitDraft(); };
    input_->onSubmitReturn = [this] { model_->send(); };
    section->body()->addWidget(input_);
    auto* buttons = new QHBoxLayout;
    clear_ = new QPushButton(L("localllm.clear"), section);
    clear_->setObjectName(QStringLiteral("chatClear"));
    send_ = new QPushButton(L("localllm.send"), section);
    send_->setObjectName(QStringLiteral("chatSend"));
    send_->setDefault(false);
    send_->setAutoDefault(false);
    buttons->addWidget(clear_);
    buttons->addStretch();
    buttons->addWidget(send_);
    section->body()->addLayout(buttons);
}

void ChatTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    model_->refresh();
}

void ChatTab::scrollToNewest() {
    QScrollBar* bar = conversationScroll_->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void ChatTab::renderConversation() {
    const int turns = static_cast<int>(model_->turns().size());
    if (turns == renderedTurns_ && model_->busy() == renderedBusy_) {
        return;
    }
    renderedTurns_ = turns;
    renderedBusy_ = model_->busy();
    while (QLayoutItem* item = conversation_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    QWidget* content = conversationScroll_->widget();
    if (turns == 0) {
        QLabel* hint = makeCaption(L("localllm.empty.hint"), content);
        hint->setObjectName(QStringLiteral("chatEmptyHint"));
        conversation_->addWidget(hint);
    }
    for (const LocalLLMChatMessage& message : model_->turns()) {
        conversation_->addWidget(bubble(message, conversationScroll_->viewport()->width(), content));
    }
    if (model_->busy()) {
        QLabel* responding = makeCaption(L("localllm.status.responding"), content);
        responding->setObjectName(QStringLiteral("chatResponding"));
        conversation_->addWidget(responding);
    }
    conversation_->addStretch();
    // Shown now rather than when the layout next runs, so the state is visible at once.
    for (QWidget* widget : content->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        widget->show();
    }
}

void ChatTab::render() {
    const QList<PolishModel> installed = model_->installedModels();
    const PolishModel chosen = model_->chatModel();
    installedRow_->setVisible(!installed.isEmpty());
    downloadBox_->setVisible(installed.isEmpty());
    if (!installed.isEmpty()) {
        QStringList shown;
        for (int i = 0; i < installedPicker_->count(); ++i) {
            shown << installedPicker_->itemData(i).toString();
        }
        QStringList wanted;
        for (PolishModel m : installed) {
            wanted << PolishModels::id(m);
        }
        if (shown != wanted) {
            fillModelPicker(installedPicker_, installed);
        }
        const QSignalBlocker blocker(installedPicker_);
        installedPicker_->setCurrentIndex(installedPicker_->findData(PolishModels::id(chosen)));
    } else {
        const QSignalBlocker blocker(catalogPicker_);
        catalogPicker_->setCurrentIndex(catalogPicker_->findData(PolishModels::id(chosen)));
    }
    installedPicker_->setEnabled(model_->canSelectModel());
    catalogPicker_->setEnabled(model_->canSelectModel());
    downloadSize_->setText(PolishModels::downloadSizeDescription(chosen));
    memory_->setText(PolishModels::memoryRequirementDescription(chosen));
    download_->setEnabled(model_->canDownload());
    showProgress(downloadProgress_, model_->modelDownloadInProgress(), model_->downloadReceived(),
                 model_->downloadTotal());
    showOptionalText(downloadError_, model_->modelDownloadError());

    renderConversation();
    showOptionalText(errorText_, model_->errorText());
    input_->setDraftText(model_->draft());
    input_->setDraftDisabled(!model_->inputEnabled());
    send_->setEnabled(model_->canSubmitDraft());
    clear_->setEnabled(model_->canClear());
}

QWidget* makeChatTab(AppState& state, QWidget* parent) {
    auto* model = new ChatTabModel(LocalModelEngine::shared());
    auto* tab = new ChatTab(model, parent);
    model->setParent(tab);
    model->setStatus(state.status());
    QObject::connect(&state, &AppState::statusChanged, model, [model, &state] { model->setStatus(state.status()); });
    return tab;
}

} // namespace quillory
