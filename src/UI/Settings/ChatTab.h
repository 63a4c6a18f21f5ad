#pragma once

#include <QWidget>

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace quillory {

class AppState;
class ChatTabModel;
class MultilineDraftTextView;
class SettingsPage;

/// The local model chat tab: the chat model picker (or, with nothing installed, a download of
/// the chosen model), the conversation as bubbles, and the draft with send and clear. Resolves
/// the chat model whenever it is shown.
class ChatTab : public QWidget {
    Q_OBJECT

public:
    explicit ChatTab(ChatTabModel* model, QWidget* parent = nullptr);
    ChatTabModel* model() const { return model_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildModelSection(SettingsPage* page);
    void buildConversationSection(SettingsPage* page);
    void render();
    void renderConversation();
    void scrollToNewest();

    ChatTabModel* model_;
    QWidget* installedRow_;
    QComboBox* installedPicker_;
    QWidget* downloadBox_;
    QComboBox* catalogPicker_;
    QLabel* downloadSize_;
    QLabel* memory_;
    QPushButton* download_;
    QProgressBar* downloadProgress_;
    QLabel* downloadError_;
    QScrollArea* conversationScroll_;
    QVBoxLayout* conversation_;
    QLabel* errorText_;
    MultilineDraftTextView* input_;
    QPushButton* send_;
    QPushButton* clear_;
    int renderedTurns_ = -1;
    bool renderedBusy_ = false;
};


} // namespace quillory
