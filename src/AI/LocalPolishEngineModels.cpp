// LocalPolishEngine: model files and their downloads.
//
// A download streams into "<model>.download" and is renamed into place when complete
// (`downloadFile`). One download per model runs at a time: inside the process through
// `downloading_`, across processes through the lock file "<model>.lock" that `downloadFile` holds.

#include "AI/LocalPolishEngine.h"

#include "AI/PolishSettings.h"
#include "Runtime/FileDownload.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <memory>

namespace quillory {

/// A download in progress: its cancellation (the caller's, or `deleteModel`) and whether
/// `deleteModel` asked for it.
struct LocalPolishEngine::ActiveDownload {
    CancellationSource cancel;
    bool deleted = false;
};

QString LocalPolishEngine::localModelPath(PolishModel model) const {
    // Always absolute: the server runs in the runtime folder, not in ours, so a relative path
    // checked here would name another file there.
    if (const auto it = configuration_.modelFiles.constFind(model);
        it != configuration_.modelFiles.constEnd()) {
        return QFileInfo(it.value()).absoluteFilePath();
    }
    const QString folder = configuration_.modelDirectory.isEmpty() ? PolishSettings::modelDirectory()
                                                                   : configuration_.modelDirectory;
    return QFileInfo(folder + QLatin1Char('/') + PolishModels::filename(model)).absoluteFilePath();
}

bool LocalPolishEngine::isModelDownloaded(PolishModel model) const {
    return QFileInfo::exists(localModelPath(model));
}

Task<> LocalPolishEngine::prepareModel(PolishModel model, CancellationToken cancel, Progress progress) {
    co_await modelURL(model, cancel, std::move(progress));
}

Task<QString> LocalPolishEngine::modelURL(PolishModel model, CancellationToken cancel, Progress progress) {
    const QString path = localModelPath(model);
    // One download per model at a time: a second caller waits for the first one's outcome.
    while (downloading_.count(model) != 0) {
        if (!co_await sleepFor(kReadinessPollInterval, cancel)) {
            throw CancellationError();
        }
    }
    if (QFileInfo::exists(path)) {
        co_return path;
    }
    if (configuration_.modelFiles.contains(model)) {
        // A stand-in file chosen by the user or a test: downloading gigabytes into it would
        // never be what was meant.
        throw LocalPolishError::modelDownloadFailed(
            QStringLiteral("%1 does not exist (a stand-in model file is not downloaded)").arg(path));
    }
    auto active = std::make_shared<ActiveDownload>();
    active->cancel = cancel.child();
    downloading_[model] = active;
    try {
        co_await downloadModel(model, path, active->cancel.token(), std::move(progress));
    } catch (const CancellationError&) {
        downloading_.erase(model);
        if (active->deleted && !cancel.isCancelled()) {
            throw LocalPolishError::modelDownloadFailed(
                QStringLiteral("the model was deleted during the download"));
        }
        throw;
    } catch (...) {
        downloading_.erase(model);
        throw;
    }
    downloading_.erase(model);
    co_return path;
}

Task<> LocalPolishEngine::downloadModel(PolishModel model, QString destination, CancellationToken cancel,
                                        Progress progress) {
    FileDownload download;
    download.url = QUrl(PolishModels::downloadURL(model));
    download.sha256 = PolishModels::sha256(model);
    download.destination = destination;
    download.idleTimeout = kDownloadIdleTimeout;
    download.lockPollInterval = kReadinessPollInterval;
    download.openErrorNamesFile = false;
    download.progress = [progress = std::move(progress), handler = downloadProgressHandler_,
                         model](qint64 received, qint64 total) {
        if (progress) {
            progress(received, total);
        }
        if (handler) {
            handler(model, received, total);
        }
    };
    download.started = [this](QNetworkReply* reply) { inFlight_.insert(reply); };
    download.finished = [this](QNetworkReply* reply) { inFlight_.remove(reply); };
    try {
        co_await downloadFile(downloads_, std::move(download), cancel);
    } catch (const FileDownloadError& e) {
        throw LocalPolishError::modelDownloadFailed(e.message());
    }
}

void LocalPolishEngine::deleteModel(PolishModel model) {
    if (const auto it = downloading_.find(model); it != downloading_.end()) {
        it->second->deleted = true;
        it->second->cancel.cancel(); // it removes its partial file when it ends
    }
    if (runningModel_ == model || intendedModel_ == model) {
        stopServer();
    }
    for (const QString& path : {partialModelPath(model), localModelPath(model)}) {
        QFile file(path);
        if (file.exists() && !file.remove()) {
            throw ModelFileError(QStringLiteral("%1: %2").arg(path, file.errorString()));
        }
    }
}

} // namespace quillory
