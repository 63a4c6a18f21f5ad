#include "Speech/SpeechModel.h"

#include "Runtime/DefaultsStore.h"
#include "Runtime/FileDownload.h"
#include "Runtime/Localization.h"
#include "Runtime/ModelHosting.h"
#include "Runtime/Paths.h"
#include "Runtime/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

namespace quillory {

namespace {

struct CatalogueEntry {
    SpeechModel model;
    const char* id;
    const char* displayName;
    const char* detailKey;
    const char* filename;
    const char* repository;
    qint64 downloadSize;
    /// The file's SHA-256 where we have checked it ourselves; null: the digest the hosting
    /// service announces for the file is checked instead.
    const char* sha256;
};

// Repository owners on the model hosting service: this table is the one place.
constexpr CatalogueEntry kCatalogue[] = {
    {SpeechModel::kotobaWhisperV2Q5_0, "kotoba-whisper-v2.0-q5_0", "Kotoba-Whisper v2.0 Q5_0",
     "speech.model.kotoba_v2.detail", "ggml-kotoba-whisper-v2.0-q5_0.bin",
     "kotoba-tech/kotoba-whisper-v2.0-ggml", 538'000'000, nullptr},
    {SpeechModel::whisperLargeV3TurboQ5_0, "whisper-large-v3-turbo-q5_0", "Whisper large-v3-turbo Q5_0",
     "speech.model.large_v3_turbo.detail", "ggml-large-v3-turbo-q5_0.bin", "ggerganov/whisper.cpp",
     574'041'195, nullptr},
    {SpeechModel::whisperLargeV3TurboQ8_0, "whisper-large-v3-turbo-q8_0", "Whisper large-v3-turbo Q8_0",
     "speech.model.large_v3_turbo_q8.detail", "ggml-large-v3-turbo-q8_0.bin", "ggerganov/whisper.cpp",
     874'000'000, nullptr},
    {SpeechModel::whisperSmallQ8_0, "whisper-small-q8_0", "Whisper small Q8_0", "speech.model.small_q8.detail",
     "ggml-small-q8_0.bin", "ggerganov/whisper.cpp", 264'000'000, nullptr},
    {SpeechModel::whisperSmallQ5_1, "whisper-small-q5_1", "Whisper small Q5_1", "speech.model.small.detail",
     "ggml-small-q5_1.bin", "ggerganov/whisper.cpp", 190'000'000, nullptr},
    {SpeechModel::whisperBaseQ5_1, "whisper-base-q5_1", "Whisper base Q5_1", "speech.model.base.detail",
     "ggml-base-q5_1.bin", "ggerganov/whisper.cpp", 59'707'625, nullptr},
};

constexpr const char* kVadFilename = "ggml-silero-v5.1.2.bin";
constexpr const char* kVadRepository = "ggml-org/whisper-vad";
constexpr qint64 kVadSize = 885'000;
constexpr const char* kVadSha256 = nullptr; // as in the catalogue: the announced digest is checked

const CatalogueEntry& entry(SpeechModel m) {
    for (const auto& e : kCatalogue) {
        if (e.model == m) {
            return e;
        }
    }
    return kCatalogue[0];
}

QString urlFor(const char* repository, const char* file) {
    return ModelHosting::fileURL(QLatin1String(repository), QLatin1String(file));
}

} // namespace

namespace SpeechModels {

QString id(SpeechModel m) { return QLatin1String(entry(m).id); }

std::optional<SpeechModel> fromId(const QString& id) {
    for (const auto& e : kCatalogue) {
        if (id == QLatin1String(e.id)) {
            return e.model;
        }
    }
    return std::nullopt;
}

QString displayName(SpeechModel m) { return QLatin1String(entry(m).displayName); }
QString detail(SpeechModel m) { return Localization::text(entry(m).detailKey); }
QString filename(SpeechModel m) { return QLatin1String(entry(m).filename); }
QString repositoryID(SpeechModel m) { return QLatin1String(entry(m).repository); }
QString downloadURL(SpeechModel m) { return urlFor(entry(m).repository, entry(m).filename); }
qint64 downloadSizeBytes(SpeechModel m) { return entry(m).downloadSize; }
QByteArray sha256(SpeechModel m) {
    return QByteArray(entry(m).sha256);
}

QString vadFilename() { return QLatin1String(kVadFilename); }
QString vadDownloadURL() { return urlFor(kVadRepository, kVadFilename); }
qint64 vadDownloadSizeBytes() { return kVadSize; }
QByteArray vadSha256() {
    return QByteArray(kVadSha256);
}

QString modelDirectory() {
    const QString overridden = qEnvironmentVariable("QUILLORY_SPEECH_MODELS_DIR");
    if (!overridden.isEmpty()) {
        return QDir::cleanPath(overridden);
    }
    return Paths::dataDirectory() + QStringLiteral("/SpeechModels");
}

QString modelPath(SpeechModel m) { return modelDirectory() + QLatin1Char('/') + filename(m); }
QString vadPath() { return modelDirectory() + QLatin1Char('/') + vadFilename(); }
SpeechModel recommendedModel(int cores) {
    return cores < 4 ? SpeechModel::whisperSmallQ8_0 : SpeechModel::kotobaWhisperV2Q5_0;
}

bool isDownloaded(SpeechModel m) { return QFileInfo::exists(modelPath(m)); }

SpeechModel selectedModel() {
    const auto stored = DefaultsStore::standard().stringValue(QLatin1String(selectedModelKey));
    return stored ? fromId(*stored).value_or(defaultModel) : defaultModel;
}

void setSelectedModel(SpeechModel m) { DefaultsStore::standard().setString(QLatin1String(selectedModelKey), id(m)); }

std::optional<SpeechModel> automaticPartialModel(SpeechModel selected) {
    switch (selected) {
    case SpeechModel::kotobaWhisperV2Q5_0:
    case SpeechModel::whisperLargeV3TurboQ5_0:
    case SpeechModel::whisperLargeV3TurboQ8_0:
        return SpeechModel::whisperBaseQ5_1;
    case SpeechModel::whisperSmallQ8_0:
    case SpeechModel::whisperSmallQ5_1:
    case SpeechModel::whisperBaseQ5_1:
        break;
    }
    return std::nullopt;
}

std::optional<SpeechModel> partialModelFor(SpeechModel selected) {
    const QString stored = DefaultsStore::standard().stringValue(QLatin1String(partialModelKey)).value_or(QString());
    if (stored == QLatin1String("off")) {
        return std::nullopt;
    }
    if (const auto chosen = fromId(stored)) {
        return *chosen == selected ? std::nullopt : chosen;
    }
    return automaticPartialModel(selected);
}

} // namespace SpeechModels

// ---- downloads ----

Task<> SpeechModelDownloader::download(SpeechModel model, CancellationToken cancel, Progress progress) {
    if (!QFileInfo::exists(SpeechModels::vadPath())) {
        co_await fetch(SpeechModels::vadDownloadURL(), SpeechModels::vadSha256(), SpeechModels::vadPath(),
                       cancel, progress);
    }
    if (!QFileInfo::exists(SpeechModels::modelPath(model))) {
        co_await fetch(SpeechModels::downloadURL(model), SpeechModels::sha256(model),
                       SpeechModels::modelPath(model), cancel, progress);
    }
    // The live text's model comes along (about a tenth of the size of the models that need one).
    if (const auto partial = SpeechModels::partialModelFor(model); partial && !SpeechModels::isDownloaded(*partial)) {
        co_await fetch(SpeechModels::downloadURL(*partial), SpeechModels::sha256(*partial),
                       SpeechModels::modelPath(*partial), cancel, progress);
    }
}

Task<> SpeechModelDownloader::fetch(QString url, QByteArray sha256, QString destination,
                                    CancellationToken cancel, Progress progress) {
    const QString name = QFileInfo(destination).fileName();
    FileDownload download;
    download.url = QUrl(url);
    download.sha256 = sha256;
    download.destination = destination;
    download.idleTimeout = kIdleTimeout;
    if (progress) {
        download.progress = [progress = std::move(progress), name](qint64 received, qint64 total) {
            progress(name, received, total);
        };
    }
    std::optional<qint64> received;
    try {
        received = co_await downloadFile(network_, std::move(download), cancel);
    } catch (const FileDownloadError& e) {
        qCWarning(lcSpeech, "Speech model download failed: %s: %s", qUtf8Printable(name),
                  qUtf8Printable(e.message()));
        throw SpeechModelError(e.message());
    }
    if (received) { // not when another process finished it meanwhile
        qCInfo(lcSpeech, "Speech model downloaded: %s (%lld bytes)", qUtf8Printable(name),
               static_cast<long long>(*received));
    }
}

void SpeechModelDownloader::remove(SpeechModel model) {
    const QString path = SpeechModels::modelPath(model);
    for (const QString& p : {path + QStringLiteral(".download"), path}) {
        QFile file(p);
        if (file.exists() && !file.remove()) {
            throw SpeechModelError(QStringLiteral("%1: %2").arg(p, file.errorString()));
        }
    }
    bool anyLeft = false;
    for (SpeechModel m : SpeechModels::allCases) {
        anyLeft = anyLeft || SpeechModels::isDownloaded(m);
    }
    if (!anyLeft) {
        QFile::remove(SpeechModels::vadPath()); // best effort: it is small and fetched again
    }
}

} // namespace quillory
