#pragma once

#include "UI/Settings/SpeechModelSection.h"

#include <functional>
#include <memory>

namespace quillory {
class WhisperRecognizerHost;
namespace platform {
class DesktopServices;
}
} // namespace quillory

namespace quillory::ui {

/// The settings' view of the speech model catalogue over `SpeechModels` and
/// `SpeechModelDownloader`.
class AppSpeechModelCatalogue final : public SpeechModelCatalogue {
public:
    /// `downloaded` runs after a model's files arrived (the app loads the selected model then, so
    /// the first dictation after a download does not wait for it).
    explicit AppSpeechModelCatalogue(std::function<void()> downloaded = {});
    ~AppSpeechModelCatalogue() override;
    QList<SpeechModelEntry> models() const override;
    bool isDownloaded(const QString& id) const override;
    QString selectedId() const override;
    void select(const QString& id) override;
    Task<> download(QString id, Progress progress) override;
    Task<> downloadCancellable(QString id, Progress progress, CancellationToken cancel) override;
    QString recommendedId() const override;
    void remove(const QString& id) override;
    Task<std::optional<RecognitionDevice>> recognitionDevice() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

/// Why dictation cannot work yet, empty when it can: the selected speech model's file is missing.
QString speechModelSetupReason();

/// The VAD model the app's recogniser uses: `$QUILLORY_SPEECH_VAD_MODEL`, else the one beside
/// the speech model file, else the speech model folder's.
QString appVadModelPath(const QString& speechModelPath);

/// The app's one recogniser host: the selected speech model through whisper.cpp, installed as
/// the recogniser of `services`' sessions. Reloads when the selection changes and starts loading
/// the model in the background now (the load is logged with its duration).
std::shared_ptr<WhisperRecognizerHost> installAppRecognizer(platform::DesktopServices& services);

} // namespace quillory::ui
