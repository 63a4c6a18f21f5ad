#pragma once

#include <QList>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace quillory {

class AppState;
class HelpPopoverButton;
class PolishTabModel;
class ServerEngineModel;
class SettingsPage;
class SpeechModelSection;
class SpeechModelSectionModel;

/// The polish tab: polishing on/off, the model with its file (download with progress, delete),
/// the stray-server clean-up, the prompt editor, the test bench, and, when a speech model
/// catalogue is given, the speech model section. Refreshes the model state whenever it is shown.
class PolishTab : public QWidget {
    Q_OBJECT

public:
    /// `servers`: the engine cards (recognition, polish) shown at the end.
    PolishTab(PolishTabModel* model, SpeechModelSectionModel* speechModels, QWidget* parent = nullptr,
              const QList<ServerEngineModel*>& servers = {});
    PolishTabModel* model() const { return model_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildPolishingSection(SettingsPage* page);
    void buildModelSection(SettingsPage* page);
    void buildPromptSection(SettingsPage* page);
    void buildTestSection(SettingsPage* page);
    void buildSpeechModelSection(SettingsPage* page, SpeechModelSectionModel* speechModels);
    void render();

    PolishTabModel* model_;
    QCheckBox* enable_;
    QComboBox* picker_;
    HelpPopoverButton* modelHelp_;
    QLabel* downloadSize_;
    QLabel* memory_;
    QProgressBar* downloadProgress_;
    QLabel* downloadError_;
    QLabel* deleteError_;
    QLabel* modelState_;
    QPushButton* download_;
    QPushButton* delete_;
    QPushButton* cleanup_;
    QLabel* cleanupMessage_;
    QPlainTextEdit* prompt_;
    QPushButton* resetPrompt_;
    HelpPopoverButton* testHelp_;
    QPlainTextEdit* testInput_;
    QPushButton* runTest_;
    QProgressBar* testProgress_;
    QLabel* testError_;
    QPlainTextEdit* testOutput_;
    QLabel* testResultModel_;
    QLabel* testResultDuration_;
    SpeechModelSection* speechSection_ = nullptr;
};


} // namespace quillory
