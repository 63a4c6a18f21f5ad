#pragma once

#include "Runtime/Async.h"

#include <QNetworkAccessManager>
#include <QString>

#include <array>
#include <functional>
#include <optional>
#include <stdexcept>

namespace quillory {

/// The closed catalogue of speech models (whisper.cpp ggml files), persisted by `id`.
enum class SpeechModel {
    kotobaWhisperV2Q5_0,
    whisperLargeV3TurboQ5_0,
    whisperLargeV3TurboQ8_0,
    whisperSmallQ8_0,
    whisperSmallQ5_1,
    whisperBaseQ5_1
};

namespace SpeechModels {
inline constexpr std::array<SpeechModel, 6> allCases = {
    SpeechModel::kotobaWhisperV2Q5_0, SpeechModel::whisperLargeV3TurboQ5_0, SpeechModel::whisperLargeV3TurboQ8_0,
    SpeechModel::whisperSmallQ8_0,    SpeechModel::whisperSmallQ5_1,        SpeechModel::whisperBaseQ5_1};
/// The Japanese-tuned model.
inline constexpr SpeechModel defaultModel = SpeechModel::kotobaWhisperV2Q5_0;
/// The defaults key of the selected model (its id).
inline constexpr const char* selectedModelKey = "quillory.speech.model";

QString id(SpeechModel m);
std::optional<SpeechModel> fromId(const QString& id);
QString displayName(SpeechModel m);
/// Localised description.
QString detail(SpeechModel m);
QString filename(SpeechModel m);
/// owner/name on the model hosting service.
QString repositoryID(SpeechModel m);
/// The hosting base URL (as for polish models), the repository, "/resolve/main/" and the file.
QString downloadURL(SpeechModel m);
/// Approximate; the server's Content-Length decides.
qint64 downloadSizeBytes(SpeechModel m);
/// The file's SHA-256 where the catalogue pins it; empty when the digest the hosting service
/// announces is what the download is checked against.
QByteArray sha256(SpeechModel m);

/// The voice-activity model, fetched with whichever speech model is downloaded first.
QString vadFilename();
QString vadDownloadURL();
qint64 vadDownloadSizeBytes();
QByteArray vadSha256();

/// `$QUILLORY_SPEECH_MODELS_DIR`, else `$XDG_DATA_HOME/quillory/SpeechModels`.
QString modelDirectory();
QString modelPath(SpeechModel m);
QString vadPath();
/// A file exists at the model's path (whether it loads is the recogniser's business).
bool isDownloaded(SpeechModel m);

/// The stored selection; the default when unset or unknown.
SpeechModel selectedModel();
/// The model that keeps up with speech on a machine with `cores` cores: Whisper small (Q8_0, whose
/// encoder is the faster one on the CPU) below 4 cores, where the large models fall behind the
/// speaker, else the default, kotoba-whisper.
SpeechModel recommendedModel(int cores);
void setSelectedModel(SpeechModel m);

/// The defaults key of the model that writes the live text while the selected one settles it:
/// "auto" (or unset) for the catalogue's choice, "off" for the selected model alone, or a model id.
inline constexpr const char* partialModelKey = "quillory.speech.partialModel";
/// The catalogue's choice: a model too slow to rewrite the live text several times a second on
/// a 4-core machine gets Whisper base for it; the others write their own.
std::optional<SpeechModel> automaticPartialModel(SpeechModel selected);
/// The model of the live text for `selected` under the stored setting; none for one pass.
std::optional<SpeechModel> partialModelFor(SpeechModel selected);
} // namespace SpeechModels

/// A download or deletion that failed; the message says why.
class SpeechModelError : public std::runtime_error {
public:
    explicit SpeechModelError(const QString& message)
        : std::runtime_error(message.toStdString()), message_(message) {}
    QString message() const { return message_; }

private:
    QString message_;
};

/// Downloads and deletes speech model files. Main thread. A download streams into
/// "<file>.download", checks the announced length and the SHA-256 (pinned in the catalogue, else
/// announced by the hosting service), and is renamed into place when complete; a failed or
/// cancelled one leaves no file behind.
class SpeechModelDownloader {
public:
    /// Bytes received so far and the announced total (-1 when unknown), for one file.
    using Progress = std::function<void(const QString& file, qint64 received, qint64 total)>;
    /// A download that receives no data for this long fails.
    static constexpr Duration kIdleTimeout = std::chrono::seconds(60);

    /// Downloads the model (and the voice-activity model and the model of its live text when they
    /// are missing). Present files are not fetched again. Throws `SpeechModelError` or
    /// `CancellationError`.
    Task<> download(SpeechModel model, CancellationToken cancel = {}, Progress progress = {});
    /// Removes the model file and its partial file; the voice-activity model goes with the last
    /// speech model. Deleting what is not there does nothing. Throws `SpeechModelError`.
    static void remove(SpeechModel model);

private:
    Task<> fetch(QString url, QByteArray sha256, QString destination, CancellationToken cancel,
                 Progress progress);
    QNetworkAccessManager network_;
};

} // namespace quillory
