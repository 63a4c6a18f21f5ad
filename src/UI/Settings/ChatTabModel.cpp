#include "UI/Settings/ChatTabModel.h"

#include "AI/PolishSettings.h"

#include <QPointer>

namespace quillory {

ChatTabModel::ChatTabModel(std::shared_ptr<LocalModelEngine> engine, QObject* parent)
    : QObject(parent), engine_(std::move(engine)), chatModel_(PolishSettings::selectedModel()) {
    connect(&files_, &ModelDownloadController::changed, this, &ChatTabModel::changed);
}

void ChatTabModel::setStatus(const AppStatus& status) {
    files_.setStatus(status);
}

bool ChatTabModel::blocksModelActions() const {
    return files_.sessionBusy();
}

QList<PolishModel> ChatTabModel::installedModels() const {
    QList<PolishModel> installed;
    for (PolishModel model : PolishModels::allCases) {
        if (engine_->isModelDownloaded(model)) {
            installed.append(model);
        }
    }
    return installed;
}

PolishModel ChatTabModel::resolveChatModel(const QList<PolishModel>& installed) const {
    const PolishModel polishModel = PolishSettings::selectedModel();
    if (installed.isEmpty()) {
        return polishModel;
    }
    if (const auto stored = PolishSettings::localLLMChatStoredModel(); stored && installed.contains(*stored)) {
        return *stored;
    }
    if (installed.contains(polishModel)) {
        return polishModel;
    }
    return installed.first();
}

void ChatTabModel::refresh() {
    chatModel_ = resolveChatModel(installedModels());
    PolishSettings::setLocalLLMChatStoredModel(chatModel_);
    emit changed();
}

bool ChatTabModel::chatModelDownloaded() const {
    return engine_->isModelDownloaded(chatModel_);
}

bool ChatTabModel::canSelectModel() const {
    return files_.canChangeFiles() && !busy_;
}

void ChatTabModel::selectChatModel(PolishModel model) {
    if (model == chatModel_ || !canSelectModel()) {
        return;
    }
    chatModel_ = model;
    PolishSettings::setLocalLLMChatStoredModel(model);
    turns_.clear();
    errorText_.reset();
    emit changed();
}

void ChatTabModel::selectModelToDownload(PolishModel model) {
    if (!canSelectModel()) {
        return;
    }
    chatModel_ = model;
    PolishSettings::setSelectedModel(model);
    emit changed();
}

void ChatTabModel::setDraft(const QString& text) {
    if (text == draft_) {
        return;
    }
    draft_ = text;
    emit draftChanged();
}

bool ChatTabModel::canSubmitDraft() const {
    return !busy_ && !draft_.trimmed().isEmpty() && chatModelDownloaded();
}

bool ChatTabModel::canDownload() const {
    return files_.canChangeFiles();
}

bool ChatTabModel::canClear() const {
    return !busy_ && !turns_.isEmpty();
}

bool ChatTabModel::inputEnabled() const {
    return !busy_ && chatModelDownloaded();
}

void ChatTabModel::send() {
    const QString text = draft_.trimmed();
    if (text.isEmpty() || busy_ || !chatModelDownloaded()) {
        return;
    }
    draft_.clear();
    errorText_.reset();
    turns_.append(LocalLLMChatMessage(LocalLLMChatRole::user, text));
    busy_ = true;
    emit changed();
    emit turnAdded();
    reply(turns_, chatModel_);
}

Task<> ChatTabModel::reply(QList<LocalLLMChatMessage> dialogue, PolishModel model) {
    QPointer<ChatTabModel> self(this);
    std::optional<QString> answer;
    std::exception_ptr failure;
    try {
        answer = co_await engine_->chatCompletion(std::move(dialogue), model);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self) {
        co_return;
    }
    busy_ = false;
    if (answer) {
        turns_.append(LocalLLMChatMessage(LocalLLMChatRole::assistant, *answer));
    } else {
        errorText_ = describeEngineError(failure);
    }
    emit changed();
    if (answer) {
        emit turnAdded();
    }
}

void ChatTabModel::clear() {
    if (!canClear()) {
        return;
    }
    turns_.clear();
    errorText_.reset();
    emit changed();
}

void ChatTabModel::downloadSelectedModelForChat() {
    if (!canDownload()) {
        return;
    }
    files_.download(
        [engine = engine_, model = chatModel_](ModelDownloadController::Progress progress) {
            return engine->prepareModel(model, std::move(progress));
        },
        [this](std::exception_ptr failure) {
            // A failure leaves the chosen model shown with its message.
            if (!failure) {
                chatModel_ = resolveChatModel(installedModels());
                PolishSettings::setLocalLLMChatStoredModel(chatModel_);
                emit changed();
            }
        });
}

} // namespace quillory
