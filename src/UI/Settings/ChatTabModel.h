#pragma once

#include "AI/LocalLLMChat.h"
#include "AI/PolishModel.h"
#include "App/AppStatus.h"
#include "Runtime/Async.h"
#include "UI/Settings/LocalModelEngine.h"
#include "UI/Settings/ModelDownloadController.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace quillory {

/// The state and operations of the local model chat tab: the chat model (remembered under its
/// own key), an in-memory conversation, the draft, and a download of the chosen model. Widgets
/// read it and call it; `changed` fires after every change, `turnAdded` after a message is
/// appended. Main thread; one reply at a time.
class ChatTabModel : public QObject {
    Q_OBJECT

public:
    explicit ChatTabModel(std::shared_ptr<LocalModelEngine> engine, QObject* parent = nullptr);

    void setStatus(const AppStatus& status);
    const AppStatus& status() const { return files_.status(); }
    /// Recording or processing: the model picker and the download are refused.
    bool blocksModelActions() const;

    /// Catalogue models whose file is present, in catalogue order.
    QList<PolishModel> installedModels() const;
    /// The chat model for a set of installed models: the stored chat model when installed, else
    /// the polish model when installed, else the first installed (the polish model when none is).
    PolishModel resolveChatModel(const QList<PolishModel>& installed) const;
    /// When the tab is shown: resolves the chat model and stores it.
    void refresh();

    PolishModel chatModel() const { return chatModel_; }
    bool chatModelDownloaded() const;
    /// The picker over installed models: stores the chat model, empties the conversation.
    void selectChatModel(PolishModel model);
    /// The picker while nothing is installed: also makes it the polish model.
    void selectModelToDownload(PolishModel model);
    bool canSelectModel() const;

    const QList<LocalLLMChatMessage>& turns() const { return turns_; }
    const QString& draft() const { return draft_; }
    void setDraft(const QString& text);
    bool busy() const { return busy_; }
    const std::optional<QString>& errorText() const { return errorText_; }
    bool modelDownloadInProgress() const { return files_.inProgress(); }
    qint64 downloadReceived() const { return files_.received(); }
    qint64 downloadTotal() const { return files_.total(); }
    const std::optional<QString>& modelDownloadError() const { return files_.downloadError(); }

    bool canSubmitDraft() const;
    bool canDownload() const;
    bool canClear() const;
    /// The input takes text only while a reply is not pending and the model is present.
    bool inputEnabled() const;

    void send();
    void clear();
    void downloadSelectedModelForChat();

signals:
    void changed();
    /// Only the draft changed (typing): cheaper than `changed`.
    void draftChanged();
    void turnAdded();

private:
    Task<> reply(QList<LocalLLMChatMessage> dialogue, PolishModel model);

    std::shared_ptr<LocalModelEngine> engine_;
    ModelDownloadController files_;
    PolishModel chatModel_;
    QList<LocalLLMChatMessage> turns_;
    QString draft_;
    bool busy_ = false;
    std::optional<QString> errorText_;
};

} // namespace quillory
