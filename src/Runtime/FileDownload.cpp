#include "Runtime/FileDownload.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <coroutine>
#include <memory>

namespace quillory {

namespace {
/// Resumes the awaiting coroutine when the reply has finished. The resumption is queued, so it
/// never runs inside the reply's own code (an `abort()` emits `finished` synchronously).
struct ReplyFinished {
    QNetworkReply* reply;
    bool await_ready() const noexcept { return reply->isFinished(); }
    void await_suspend(std::coroutine_handle<> h) {
        QObject::connect(
            reply, &QNetworkReply::finished, reply, [h] { h.resume(); },
            Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
    }
    void await_resume() const noexcept {}
};

bool statusOk(const QNetworkReply* reply) {
    const QVariant s = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    return s.isValid() && s.toInt() >= 200 && s.toInt() <= 299;
}
} // namespace

Task<> replyFinished(QNetworkReply* reply, CancellationToken cancel) {
    QPointer<QNetworkReply> guard(reply);
    Scheduler* scheduler = &Scheduler::current();
    const auto registration = cancel.onCancel([guard, scheduler] {
        scheduler->post([guard] {
            if (guard && !guard->isFinished()) {
                guard->abort();
            }
        });
    });
    ReplyFinished finished{reply};
    co_await finished;
    cancel.removeCallback(registration);
}

Task<std::optional<qint64>> downloadFile(QNetworkAccessManager& network, FileDownload download,
                                         CancellationToken cancel) {
    const QString destination = download.destination;
    const QString folder = QFileInfo(destination).absolutePath();
    const QString partialPath = destination + QStringLiteral(".download");
    if (!QDir().mkpath(folder)) {
        throw FileDownloadError(QStringLiteral("cannot create the folder %1").arg(folder));
    }
    // Another process downloading the same file: wait for its outcome.
    QLockFile lock(destination + QStringLiteral(".lock"));
    lock.setStaleLockTime(0); // stale only when its owner is gone, however long it has been held
    while (!lock.tryLock(0)) {
        if (lock.error() != QLockFile::LockFailedError) {
            throw FileDownloadError(QStringLiteral("cannot create the lock file %1.lock").arg(destination));
        }
        if (!co_await sleepFor(download.lockPollInterval, cancel)) {
            throw CancellationError();
        }
    }
    if (QFileInfo::exists(destination)) {
        co_return std::nullopt; // the other process finished it
    }
    if (QFileInfo::exists(partialPath) && !QFile::remove(partialPath)) {
        throw FileDownloadError(QStringLiteral("cannot remove %1").arg(partialPath));
    }
    auto partial = std::make_shared<QFile>(partialPath);
    if (!partial->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        throw FileDownloadError(download.openErrorNamesFile
                                    ? QStringLiteral("%1: %2").arg(partialPath, partial->errorString())
                                    : partial->errorString());
    }

    QNetworkRequest request{download.url};
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply* reply = network.get(request);
    if (download.started) {
        download.started(reply);
    }
    QPointer<QNetworkReply> guard(reply);

    // The idle limit: one timer, re-armed for the rest of the interval when data came meanwhile.
    const Duration idleTimeout = download.idleTimeout;
    Scheduler* clock = &Scheduler::current();
    auto lastData = std::make_shared<Duration>(clock->monotonicNow());
    auto idle = std::make_shared<bool>(false);
    auto idleTimer = std::make_shared<Timer>();
    auto armIdle = std::make_shared<std::function<void(Duration)>>();
    *armIdle = [guard, idle, idleTimer, lastData, clock, idleTimeout,
                weakArm = std::weak_ptr(armIdle)](Duration delay) {
        *idleTimer = Timer::once(delay, [guard, idle, lastData, clock, idleTimeout, weakArm] {
            if (!guard || guard->isFinished()) {
                return;
            }
            const Duration quiet = clock->monotonicNow() - *lastData;
            if (quiet >= idleTimeout) {
                *idle = true;
                guard->abort();
            } else {
                // Re-armed from the loop, not from inside the timer that is running.
                clock->post([weakArm, rest = idleTimeout - quiet] {
                    if (auto arm = weakArm.lock()) {
                        (*arm)(rest);
                    }
                });
            }
        });
    };
    (*armIdle)(idleTimeout);

    // Stream to disk as data arrives. Progress is reported with every chunk written.
    auto received = std::make_shared<qint64>(0);
    auto writeError = std::make_shared<QString>();
    const auto consume = [reply, partial, writeError, received, progress = download.progress, lastData, clock] {
        *lastData = clock->monotonicNow();
        const QByteArray chunk = reply->readAll();
        if (!statusOk(reply) || chunk.isEmpty() || !writeError->isEmpty()) {
            return; // an error page is not part of the file
        }
        if (partial->write(chunk) != chunk.size()) {
            *writeError = partial->errorString();
            reply->abort();
            return;
        }
        *received += chunk.size();
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (progress) {
            progress(*received, length.isValid() ? length.toLongLong() : -1);
        }
    };
    QObject::connect(reply, &QNetworkReply::readyRead, reply, consume);
    co_await replyFinished(reply, cancel);

    idleTimer->stop();
    armIdle.reset();
    if (download.finished) {
        download.finished(reply);
    }
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
        return FileDownloadError(message);
    };
    if (cancel.isCancelled()) {
        QFile::remove(partialPath);
        throw CancellationError();
    }
    if (*idle) {
        throw fail(QStringLiteral("no data received for %1 s")
                       .arg(std::chrono::duration_cast<std::chrono::seconds>(idleTimeout).count()));
    }
    if (!writeError->isEmpty()) {
        throw fail(*writeError);
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && !statusOk(reply)) {
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
        throw fail(QStringLiteral("incomplete download (%1 of %2 bytes)").arg(*received).arg(length.toLongLong()));
    }
    if (*received == 0) {
        throw fail(QStringLiteral("the server sent an empty file"));
    }
    if (QFileInfo::exists(destination) && !QFile::remove(destination)) {
        throw fail(QStringLiteral("cannot replace %1").arg(destination));
    }
    if (!QFile::rename(partialPath, destination)) {
        throw fail(QStringLiteral("cannot move the download to %1").arg(destination));
    }
    co_return *received;
}

} // namespace quillory
