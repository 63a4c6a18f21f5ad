#pragma once

#include "Runtime/Async.h"
#include "UI/Settings/ModelDownloadController.h"

#include <QWidget>

#include <memory>

class QLabel;
class QProgressBar;
class QPushButton;

namespace quillory {

class SpeechModelCatalogue;
class StatusPill;

/// The permissions tab's speech model row: dictation on this computer needs a model file, so the
/// row says whether the model in use is installed (or being downloaded), names the model
/// recommended for this machine's cores with its size, and downloads it with progress and a
/// cancel. A finished download of the recommended model makes it the model in use when the
/// selected one is missing.
class SpeechModelSetupRow : public QWidget {
    Q_OBJECT

public:
    SpeechModelSetupRow(std::shared_ptr<SpeechModelCatalogue> catalogue, QWidget* parent = nullptr);
    ~SpeechModelSetupRow() override;

    /// Whether the model in use is installed.
    bool installed() const;
    void setStatus(const AppStatus& status);
    void refresh();
    void download();
    void cancel();

    StatusPill* pill() const { return pill_; }
    QPushButton* downloadButton() const { return download_; }
    QPushButton* cancelButton() const { return cancel_; }
    QProgressBar* progressBar() const { return progress_; }
    QLabel* recommendation() const { return recommendation_; }

signals:
    /// The installed state changed (a download finished, or a refresh found a file).
    void installedChanged();

private:
    void render();

    std::shared_ptr<SpeechModelCatalogue> catalogue_;
    ModelDownloadController files_;
    std::unique_ptr<CancellationSource> cancel_source_;
    bool installed_ = false;
    bool cancelledByUser_ = false;
    StatusPill* pill_;
    QLabel* recommendation_;
    QProgressBar* progress_;
    QLabel* error_;
    QPushButton* download_;
    QPushButton* cancel_;
};

} // namespace quillory
