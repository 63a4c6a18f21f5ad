#pragma once

#include "App/AppStatus.h"
#include "Runtime/Async.h"
#include "Speech/SpeechDevice.h"
#include "UI/Settings/ModelDownloadController.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class QComboBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace quillory {

/// One speech recognition model as the settings show it.
struct SpeechModelEntry {
    QString id;
    QString displayName;
    QString detail;
    QString downloadSizeDescription;
};

/// Where recognition computes now, and why (the words of `quillory doctor`'s speech-device line).
struct RecognitionDevice {
    bool gpu = false;
    QString name;   ///< "CPU", or the Vulkan device
    QString reason;
};

/// What the settings need of the speech model catalogue: the models, their files and the
/// selection. The app adapts the recogniser's catalogue; tests pass a fake.
class SpeechModelCatalogue {
public:
    /// bytes received, total bytes (-1 when unknown)
    using Progress = std::function<void(qint64 received, qint64 total)>;

    virtual ~SpeechModelCatalogue() = default;
    /// Every model, in catalogue order.
    virtual QList<SpeechModelEntry> models() const = 0;
    virtual bool isDownloaded(const QString& id) const = 0;
    virtual QString selectedId() const = 0;
    virtual void select(const QString& id) = 0;
    /// Downloads the model's files when missing; throws with a describable error on failure.
    virtual Task<> download(QString id, Progress progress) = 0;
    /// The same, ended early (with `CancellationError`) when `cancel` fires. Catalogues that
    /// cannot stop a download finish it.
    virtual Task<> downloadCancellable(QString id, Progress progress, CancellationToken cancel) {
        (void)cancel;
        return download(std::move(id), std::move(progress));
    }
    /// The model recommended for this machine (its cores), by id.
    virtual QString recommendedId() const { return selectedId(); }
    /// Removes the model's files; throws on failure.
    virtual void remove(const QString& id) = 0;
    /// The device recognition uses for the stored "quillory.speech.device", once known (the first
    /// answer in a process may probe the GPU for a while: never on the main thread). None: not
    /// known here, the status line says it is decided at the next dictation.
    virtual Task<std::optional<RecognitionDevice>> recognitionDevice() { co_return std::nullopt; }
};

/// The state of the speech model section: which model the picker shows, a download with its
/// progress, deletion, and the selection for dictation. Main thread.
class SpeechModelSectionModel : public QObject {
    Q_OBJECT

public:
    explicit SpeechModelSectionModel(std::shared_ptr<SpeechModelCatalogue> catalogue, QObject* parent = nullptr);

    void setStatus(const AppStatus& status);
    bool isBusy() const;

    QList<SpeechModelEntry> models() const { return catalogue_->models(); }
    /// The model the picker shows (starts at the selected one).
    const QString& shownId() const { return shownId_; }
    void show(const QString& id);
    std::optional<SpeechModelEntry> shownEntry() const;
    bool shownDownloaded() const { return shownDownloaded_; }
    bool shownIsSelected() const;

    bool downloadInProgress() const { return files_.inProgress(); }
    qint64 downloadReceived() const { return files_.received(); }
    qint64 downloadTotal() const { return files_.total(); }
    const std::optional<QString>& downloadError() const { return files_.downloadError(); }
    const std::optional<QString>& deleteError() const { return files_.deleteError(); }

    bool canChange() const;
    bool canDownload() const { return canChange(); }
    /// Only a present model that is not the one in use can be deleted.
    bool canDelete() const;
    /// Only a present model can be used for dictation.
    bool canSelect() const;

    void refresh();
    void download();
    void deleteShown();
    void selectShown();

    // ---- the recognition device ("quillory.speech.device"; applies from the next model load) ----
    /// The stored preference (an unknown value reads as automatic).
    ComputeDevicePreference devicePreference() const;
    void setDevicePreference(ComputeDevicePreference preference);
    /// The status line: the device in use and why, or that it is decided at the next dictation
    /// (while the answer is on its way, or when none can be given here).
    QString deviceStatus() const;
    /// Asks the catalogue again (at start, and whenever the setting changes).
    void refreshDevice();

signals:
    void changed();

private:
    Task<> askDevice();

    std::shared_ptr<SpeechModelCatalogue> catalogue_;
    ModelDownloadController files_;
    QString shownId_;
    bool shownDownloaded_ = false;
    std::optional<RecognitionDevice> device_;
    int deviceQuery_ = 0; ///< the latest question: older answers are dropped
};

/// The body of the polish tab's speech model card: picker, size and state rows, download with a
/// progress bar, delete, and "use for dictation".
class SpeechModelSection : public QWidget {
    Q_OBJECT

public:
    explicit SpeechModelSection(SpeechModelSectionModel* model, QWidget* parent = nullptr);
    SpeechModelSectionModel* model() const { return model_; }

private:
    void render();

    SpeechModelSectionModel* model_;
    QComboBox* picker_;
    QLabel* detail_;
    QLabel* size_;
    QLabel* state_;
    QProgressBar* progress_;
    QLabel* downloadError_;
    QLabel* deleteError_;
    QPushButton* download_;
    QPushButton* delete_;
    QPushButton* select_;
    QComboBox* device_;
    QLabel* deviceStatus_;
};

} // namespace quillory

namespace quillory {
/// The catalogue the settings window's speech model section shows (none: no section). The app
/// installs the adapter over the recogniser's catalogue before the window is built.
void setSpeechModelCatalogueForSettings(std::shared_ptr<SpeechModelCatalogue> catalogue);
std::shared_ptr<SpeechModelCatalogue> speechModelCatalogueForSettings();
} // namespace quillory
