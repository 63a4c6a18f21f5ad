#pragma once

#include "AI/PolishModel.h"
#include "App/AppStatus.h"
#include "Runtime/Async.h"
#include "UI/Settings/LocalModelEngine.h"
#include "UI/Settings/ModelDownloadController.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace quillory {

/// The state and operations of the polish tab: the selected model's file (download with
/// progress, delete), the stray-server clean-up, the prompt, and the test bench. Widgets read it
/// and call it; `changed` fires after every change. Main thread.
class PolishTabModel : public QObject {
    Q_OBJECT

public:
    /// Where the on/off switch of polishing lives (the application state in the app; the
    /// persisted setting by default).
    struct EnabledBinding {
        std::function<bool()> get;
        std::function<void(bool)> set;
    };

    explicit PolishTabModel(std::shared_ptr<LocalModelEngine> engine, EnabledBinding enabled = {},
                            QObject* parent = nullptr);

    // ---- application state ----
    const AppStatus& status() const { return files_.status(); }
    void setStatus(const AppStatus& status);
    /// Recording or processing.
    bool isBusy() const;

    bool polishEnabled() const;
    void setPolishEnabled(bool enabled);
    PolishModel selectedModel() const;
    /// Stores the model as the polish model and refreshes its file state.
    void setSelectedModel(PolishModel model);
    /// The prompt as the editor shows it (the stored one, or the default).
    QString promptForEditing() const;
    void setPrompt(const QString& text);
    /// Removes the stored prompt; the editor then shows the default.
    void resetPrompt();

    // ---- view state ----
    bool modelDownloaded() const { return modelDownloaded_; }
    bool modelDownloadInProgress() const { return files_.inProgress(); }
    /// Bytes of the running download (received, total; total -1 when unknown).
    qint64 downloadReceived() const { return files_.received(); }
    qint64 downloadTotal() const { return files_.total(); }
    const std::optional<QString>& modelDownloadError() const { return files_.downloadError(); }
    const std::optional<QString>& modelDeleteError() const { return files_.deleteError(); }
    const QString& testInputText() const { return testInputText_; }
    void setTestInputText(const QString& text);
    const QString& testResultText() const { return testResultText_; }
    const std::optional<QString>& testResultModelName() const { return testResultModelName_; }
    const std::optional<double>& testResultDurationSeconds() const { return testResultDurationSeconds_; }
    bool testInProgress() const { return testInProgress_; }
    const std::optional<QString>& testError() const { return testError_; }
    const std::optional<QString>& cleanupMessage() const { return cleanupMessage_; }

    // ---- enable rules ----
    /// The model picker, download and re-download.
    bool canChangeModelFile() const;
    /// Delete: also refused while a test runs, since it would stop the server the test uses.
    bool canDeleteModel() const;
    bool canCleanup() const;
    bool canEditTestInput() const;
    bool canRunPolishTest() const;

    /// The help texts of the model and test sections.
    QString modelSectionHelp() const;
    QString testSectionHelp() const;

    // ---- operations ----
    void refreshModelStatus();
    void downloadSelectedModel();
    void deleteSelectedModel();
    void cleanupRuntimeServers();
    void runPolishTest();

signals:
    void changed();

private:
    Task<> test(QString input, PolishModel model, QString prompt);

    std::shared_ptr<LocalModelEngine> engine_;
    EnabledBinding enabled_;
    ModelDownloadController files_;

    bool modelDownloaded_ = false;
    QString testInputText_;
    QString testResultText_;
    std::optional<QString> testResultModelName_;
    std::optional<double> testResultDurationSeconds_;
    bool testInProgress_ = false;
    std::optional<QString> testError_;
    std::optional<QString> cleanupMessage_;
};

} // namespace quillory
