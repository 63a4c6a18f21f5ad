// LocalPolishEngine: model files and their downloads.
//
// A download streams into "<model>.download" and is renamed into place when complete. One
// download per model runs at a time: inside the process through `downloading_`, across processes
// through a lock file "<model>.lock" held from before the partial file is touched until after the
// rename, so a second process never removes or renames the first one's partial file.

#include "AI/LocalPolishEngine.h"
#include "AI/LocalPolishEngineInternal.h"

#include "AI/PolishSettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <memory>

namespace quillory {

using polish_detail::replyFinished;

/// A download in progress: its cancellation (the caller's, or `deleteModel`) and whether
/// `deleteModel` asked for it.
struct LocalPolishEngine::ActiveDownload {
    CancellationSource cancel;
    bool deleted = false;
};

QString LocalPolishEngine::localModelPath(PolishModel model) const {
    if (const auto it = configuration_.modelFiles.constFind(model);
        it != configuration_.modelFiles.constEnd()) {
        return it.value();
    }
    const QString folder = configuration_.modelDirectory.isEmpty() ? PolishSettings::modelDirectory()
                                                                   : configuration_.modelDirectory;
    return folder + QLatin1Char('/') + PolishModels::filename(model);
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
    const QString partialPath = destination + QStringLiteral(".download");
    if (!QDir().mkpath(QFileInfo(destination).absolutePath())) {
        throw LocalPolishError::modelDownloadFailed(
            QStringLiteral("cannot create the folder %1").arg(QFileInfo(destination).absolutePath()));
    }
    // Another process downloading the same model: wait for its outcome.
    QLockFile lock(destination + QStringLiteral(".lock"));
    lock.setStaleLockTime(0); // stale only when its owner is gone, however long it has been held
    while (!lock.tryLock(0)) {
        if (lock.error() != QLockFile::LockFailedError) {
            throw LocalPolishError::modelDownloadFailed(
                QStringLiteral("cannot create the lock file %1.lock").arg(destination));
        }
        if (!co_await sleepFor(kReadinessPollInterval, cancel)) {
            throw CancellationError();
        }
    }
    if (QFileInfo::exists(destination)) {
        co_return; // the other process finished it
    }
    if (QFileInfo::exists(partialPath) && !QFile::remove(partialPath)) {
        throw LocalPolishError::modelDownloadFailed(QStringLiteral("cannot remove %1").arg(partialPath));
    }
    auto partial = std::make_shared<QFile>(partialPath);
    if (!partial->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        throw LocalPolishError::modelDownloadFailed(partial->errorString());
    }

    QNetworkRequest request{QUrl(PolishModels::downloadURL(model))};
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply* reply = downloads_.get(request);
    inFlight_.insert(reply);
    QPointer<QNetworkReply> guard(reply);
    auto writeError = std::make_shared<QString>();
    const auto statusOk = [reply] {
        const QVariant s = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        return s.isValid() && s.toInt() >= 200 && s.toInt() <= 299;
    };

    // The idle limit: one timer, re-armed for the rest of the interval when data came meanwhile.
    Scheduler* clock = &Scheduler::current();
    auto lastData = std::make_shared<Duration>(clock->monotonicNow());
    auto idle = std::make_shared<bool>(false);
    auto idleTimer = std::make_shared<Timer>();
    auto armIdle = std::make_shared<std::function<void(Duration)>>();
    *armIdle = [guard, idle, idleTimer, lastData, clock, weakArm = std::weak_ptr(armIdle)](Duration delay) {
        *idleTimer = Timer::once(delay, [guard, idle, lastData, clock, weakArm] {
            if (!guard || guard->isFinished()) {
                return;
            }
            const Duration quiet = clock->monotonicNow() - *lastData;
            if (quiet >= kDownloadIdleTimeout) {
                *idle = true;
                guard->abort();
            } else {
                // Re-armed from the loop, not from inside the timer that is running.
                clock->post([weakArm, rest = kDownloadIdleTimeout - quiet] {
                    if (auto arm = weakArm.lock()) {
                        (*arm)(rest);
                    }
                });
            }
        });
    };
    (*armIdle)(kDownloadIdleTimeout);

    // Stream to disk as data arrives: a model never sits in memory. Progress is reported with
    // every chunk written (received bytes, and the announced length or -1).
    auto received = std::make_shared<qint64>(0);
    auto handler = downloadProgressHandler_;
    const auto consume = [reply, partial, writeError, statusOk, received, progress, handler, model, lastData,
                          clock] {
        *lastData = clock->monotonicNow();
        if (!statusOk()) {
            reply->readAll(); // an error page: not part of the file
            return;
        }
        const QByteArray chunk = reply->readAll();
        if (chunk.isEmpty() || !writeError->isEmpty()) {
            return;
        }
        if (partial->write(chunk) != chunk.size()) {
            *writeError = partial->errorString();
            reply->abort();
            return;
        }
        *received += chunk.size();
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        const qint64 total = length.isValid() ? length.toLongLong() : -1;
        if (progress) {
            progress(*received, total);
        }
        if (handler) {
            handler(model, *received, total);
        }
    };
    connect(reply, &QNetworkReply::readyRead, reply, consume);
    co_await replyFinished(reply, cancel);

    idleTimer->stop();
    armIdle.reset();
    inFlight_.remove(reply);
    reply->deleteLater();
    if (!cancel.isCancelled() && reply->bytesAvailable() > 0) {
        consume();
    }
    if (!partial->flush() && writeError->isEmpty()) {
        *writeError = partial->errorString();
    }
    partial->close();
    const auto fail = [&](const QString& message) {
        QFile::remove(partialPath);
        return LocalPolishError::modelDownloadFailed(message);
    };
    if (cancel.isCancelled()) {
        QFile::remove(partialPath);
        throw CancellationError();
    }
    if (*idle) {
        throw fail(QStringLiteral("no data received for %1 s")
                       .arg(std::chrono::duration_cast<std::chrono::seconds>(kDownloadIdleTimeout).count()));
    }
    if (!writeError->isEmpty()) {
        throw fail(*writeError);
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && !statusOk()) {
        throw fail(QStringLiteral("HTTP %1").arg(status.toInt()));
    }
    if (reply->error() != QNetworkReply::NoError) {
        throw fail(reply->errorString());
    }
    if (!status.isValid()) {
        throw fail(QStringLiteral("HTTP -1"));
    }
    // A connection that ends early is not always reported as an error: check the announced length.
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && !reply->hasRawHeader("Content-Encoding") && length.toLongLong() != *received) {
        throw fail(
            QStringLiteral("incomplete download (%1 of %2 bytes)").arg(*received).arg(length.toLongLong()));
    }
    if (QFileInfo::exists(destination) && !QFile::remove(destination)) {
        throw fail(QStringLiteral("cannot replace %1").arg(destination));
    }
    if (!QFile::rename(partialPath, destination)) {
        throw fail(QStringLiteral("cannot move the download to %1").arg(destination));
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
