#include "UI/App/AppSpeech.h"

#include "Platform/linux/DesktopServices.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/Localization.h"
#include "Speech/RemoteRecognizer.h"
#include "Speech/SpeechDevice.h"
#include "Speech/SpeechModel.h"
#include "Speech/WhisperRecognizer.h"
#include "Speech/whisper/GpuBackend.h"
#include "Speech/whisper/WhisperDecoder.h"

#include <QFileInfo>
#include <QThread>

namespace quillory::ui {

namespace {
SpeechModel modelOrThrow(const QString& id) {
    const auto model = SpeechModels::fromId(id);
    if (!model) {
        throw SpeechModelError(QStringLiteral("Unknown speech model: %1").arg(id));
    }
    return *model;
}
} // namespace

struct AppSpeechModelCatalogue::Impl {
    SpeechModelDownloader downloader;
    std::function<void()> downloaded;
};

AppSpeechModelCatalogue::AppSpeechModelCatalogue(std::function<void()> downloaded) : impl_(std::make_unique<Impl>()) {
    impl_->downloaded = std::move(downloaded);
}
AppSpeechModelCatalogue::~AppSpeechModelCatalogue() = default;

QList<SpeechModelEntry> AppSpeechModelCatalogue::models() const {
    QList<SpeechModelEntry> entries;
    for (const SpeechModel m : SpeechModels::allCases) {
        const double mb = double(SpeechModels::downloadSizeBytes(m)) / 1e6;
        entries.append({SpeechModels::id(m), SpeechModels::displayName(m), SpeechModels::detail(m),
                        QStringLiteral("%1 MB").arg(mb, 0, 'f', 0)});
    }
    return entries;
}

bool AppSpeechModelCatalogue::isDownloaded(const QString& id) const {
    const auto model = SpeechModels::fromId(id);
    return model && SpeechModels::isDownloaded(*model);
}

QString AppSpeechModelCatalogue::selectedId() const {
    return SpeechModels::id(SpeechModels::selectedModel());
}

void AppSpeechModelCatalogue::select(const QString& id) {
    if (const auto model = SpeechModels::fromId(id)) {
        SpeechModels::setSelectedModel(*model);
    }
}

Task<> AppSpeechModelCatalogue::download(QString id, Progress progress) {
    co_await downloadCancellable(std::move(id), std::move(progress), CancellationToken());
}

QString AppSpeechModelCatalogue::recommendedId() const {
    return SpeechModels::id(SpeechModels::recommendedModel(QThread::idealThreadCount()));
}

Task<> AppSpeechModelCatalogue::downloadCancellable(QString id, Progress progress, CancellationToken cancel) {
    const SpeechModel model = modelOrThrow(id);
    // The bar follows the speech model file and the live text's model when that comes along; the
    // small VAD file comes along unreported.
    struct Part {
        QString file;
        qint64 received = 0;
        qint64 total = 0;
    };
    auto parts = std::make_shared<std::vector<Part>>();
    parts->push_back({SpeechModels::filename(model), 0, SpeechModels::downloadSizeBytes(model)});
    if (const auto partial = SpeechModels::partialModelFor(model); partial && !SpeechModels::isDownloaded(*partial)) {
        parts->push_back({SpeechModels::filename(*partial), 0, SpeechModels::downloadSizeBytes(*partial)});
    }
    co_await impl_->downloader.download(model, cancel, [progress, parts](const QString& file, qint64 received, qint64 total) {
        qint64 sumReceived = 0;
        qint64 sumTotal = 0;
        bool ours = false;
        for (Part& part : *parts) {
            if (file.contains(part.file)) {
                ours = true;
                part.received = received;
                part.total = total > 0 ? total : part.total;
            }
            sumReceived += part.received;
            sumTotal += part.total;
        }
        if (progress && ours) {
            progress(sumReceived, sumTotal);
        }
    });
    if (impl_->downloaded) {
        impl_->downloaded();
    }
}

Task<std::optional<RecognitionDevice>> AppSpeechModelCatalogue::recognitionDevice() {
    // The first choice in a process may probe the GPU (half a second or more): off the main thread.
    const whisper::ComputeDevice device =
        co_await runInBackground<whisper::ComputeDevice>([] { return whisper::currentComputeDevice(); });
    co_return RecognitionDevice{device.gpu, device.name, device.reason};
}

void AppSpeechModelCatalogue::remove(const QString& id) {
    SpeechModelDownloader::remove(modelOrThrow(id));
}

QString speechModelSetupReason() {
    if (SpeechModels::isDownloaded(SpeechModels::selectedModel())) {
        return {};
    }
    return Localization::text("setup.speech_model_missing");
}

QString appVadModelPath(const QString& speechModelPath) {
    if (const QString env = qEnvironmentVariable("QUILLORY_SPEECH_VAD_MODEL"); !env.isEmpty()) {
        return env;
    }
    const QString beside = QFileInfo(speechModelPath).absolutePath() + QLatin1Char('/') + SpeechModels::vadFilename();
    if (QFileInfo::exists(beside)) {
        return beside;
    }
    return SpeechModels::vadPath();
}

std::shared_ptr<WhisperRecognizerHost> installAppRecognizer(platform::DesktopServices& services) {
    auto modelPath = [] { return SpeechModels::modelPath(SpeechModels::selectedModel()); };
    auto host = std::make_shared<WhisperRecognizerHost>(
        modelPath, whisper::makeDecoderLoader([modelPath] { return appVadModelPath(modelPath()); }),
        std::make_shared<ThreadRecognitionWorker>());
    auto partialPath = [] {
        const auto partial = SpeechModels::partialModelFor(SpeechModels::selectedModel());
        return partial ? SpeechModels::modelPath(*partial) : QString();
    };
    host->setPartialPass({partialPath,
                          whisper::makeDecoderLoader([partialPath] { return appVadModelPath(partialPath()); },
                                                     whisper::partialThreads()),
                          std::make_shared<ThreadRecognitionWorker>()});
    std::weak_ptr<WhisperRecognizerHost> weak = host;
    services.setRecognizerFactory([weak](SpeechLocale) -> std::shared_ptr<SpeechRecognizer> {
        if (const auto h = weak.lock()) {
            auto device = h->makeRecognizer();
            // Recognition on a server the user set up; this computer's recogniser writes the live
            // text and is the fallback. Read at each session, so a change applies to the next one.
            if (const auto remote = RemoteSpeechSettings::read(DefaultsStore::standard()); remote.useServer && device) {
                return std::make_shared<RemoteRecognizer>(std::move(device), remote);
            }
            return device;
        }
        return nullptr;
    });
    // A changed device applies from the next dictation: the models load again on it now.
    host->preloadOnChangeOf({QString::fromLatin1(SpeechModels::selectedModelKey),
                             QString::fromLatin1(SpeechModels::partialModelKey)},
                            {QString::fromLatin1(ComputeDevices::preferenceKey)});
    host->preload();
    return host;
}

} // namespace quillory::ui
