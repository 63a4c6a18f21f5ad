#include "Runtime/FileDownload.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <cctype>
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

QByteArray sha256FromEtag(const QByteArray& etag) {
    QByteArray value = etag.trimmed();
    if (value.startsWith("W/")) {
        value = value.mid(2);
    }
    if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"')) {
        value = value.mid(1, value.size() - 2);
    }
    if (value.size() != 64) {
        return {};
    }
    for (const char c : value) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return {};
        }
    }
    return value.toLower();
}

namespace {
constexpr int kMaxRedirects = 10;

bool isRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}
} // namespace

Task<std::optional<qint64>> downloadFile(QNetworkAccessManager& network, FileDownload download,
                                         CancellationToken cancel) {
    const QString destination = download.destination;
    const QString folder = QFileInfo(destination).absolutePath();
    const QString partialPath = destination + QStringLiteral(".download");
    QByteArray pinned;
    if (!download.sha256.isEmpty()) {
        pinned = sha256FromEtag(download.sha256);
        if (pinned.isEmpty()) {
            throw FileDownloadError(
                QStringLiteral("not a SHA-256: %1").arg(QString::fromLatin1(download.sha256)));
        }
    }
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
    const auto fail = [&](const QString& message) {
        partial->close();
        QFile::remove(partialPath);
        return FileDownloadError(message);
    };

    // What the hosting service says about the file, from the redirects and the answer.
    QByteArray announcedDigest;
    qint64 announcedSize = -1;
    const auto noteAnnouncements = [&](const QNetworkReply* r) {
        if (const QByteArray d = sha256FromEtag(r->rawHeader("X-Linked-Etag")); !d.isEmpty()) {
            announcedDigest = d;
        }
        bool ok = false;
        if (const qint64 size = r->rawHeader("X-Linked-Size").trimmed().toLongLong(&ok); ok && size >= 0) {
            announcedSize = size;
        }
    };

    // The idle limit: one timer, re-armed for the rest of the interval when data came meanwhile.
    const Duration idleTimeout = download.idleTimeout;
    Scheduler* clock = &Scheduler::current();
    auto current = std::make_shared<QPointer<QNetworkReply>>();
    auto lastData = std::make_shared<Duration>(clock->monotonicNow());
    auto idle = std::make_shared<bool>(false);
    auto idleTimer = std::make_shared<Timer>();
    auto armIdle = std::make_shared<std::function<void(Duration)>>();
    *armIdle = [current, idle, idleTimer, lastData, clock, idleTimeout,
                weakArm = std::weak_ptr(armIdle)](Duration delay) {
        *idleTimer = Timer::once(delay, [current, idle, lastData, clock, idleTimeout, weakArm] {
            const QPointer<QNetworkReply> reply = *current;
            if (!reply || reply->isFinished()) {
                return;
            }
            const Duration quiet = clock->monotonicNow() - *lastData;
            if (quiet >= idleTimeout) {
                *idle = true;
                reply->abort();
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

    auto received = std::make_shared<qint64>(0);
    auto writeError = std::make_shared<QString>();
    auto hash = std::make_shared<QCryptographicHash>(QCryptographicHash::Sha256);
    QUrl url = download.url;
    QNetworkReply* reply = nullptr;
    for (int hop = 0;; ++hop) {
        QNetworkRequest request{url};
        // Redirects are followed here, so the headers of each (the digest) can be read.
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        reply = network.get(request);
        // Backpressure: Qt stops reading the socket while this much waits for us.
        reply->setReadBufferSize(kDownloadReadBufferBytes);
        *current = reply;
        *lastData = clock->monotonicNow();
        if (download.started) {
            download.started(reply);
        }

        // Stream to disk (and through the hash) as data arrives; progress after every chunk.
        const auto consume = [reply, partial, writeError, received, hash, progress = download.progress,
                              lastData, clock] {
            *lastData = clock->monotonicNow();
            const QByteArray chunk = reply->readAll(); // at most the read buffer's bound
            if (!statusOk(reply) || chunk.isEmpty() || !writeError->isEmpty()) {
                return; // an error page or a redirect is not part of the file
            }
            if (partial->write(chunk) != chunk.size()) {
                *writeError = partial->errorString();
                reply->abort();
                return;
            }
            hash->addData(chunk);
            *received += chunk.size();
            const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
            if (progress) {
                progress(*received, length.isValid() ? length.toLongLong() : -1);
            }
        };
        QObject::connect(reply, &QNetworkReply::readyRead, reply, consume);
        co_await replyFinished(reply, cancel);
        if (download.finished) {
            download.finished(reply);
        }
        reply->deleteLater();
        if (cancel.isCancelled()) {
            break;
        }
        if (reply->bytesAvailable() > 0) {
            consume();
        }
        noteAnnouncements(reply);
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (!isRedirect(status) || *idle || reply->error() != QNetworkReply::NoError) {
            break;
        }
        QUrl location = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        if (location.isEmpty()) {
            location = QUrl::fromEncoded(reply->rawHeader("Location").trimmed());
        }
        if (location.isEmpty()) {
            break; // reported below as the status it is
        }
        const QUrl next = url.resolved(location);
        if (hop + 1 > kMaxRedirects) {
            idleTimer->stop();
            throw fail(QStringLiteral("too many redirects"));
        }
        if (next.scheme() != QLatin1String("https") &&
            !(next.scheme() == QLatin1String("http") && url.scheme() == QLatin1String("http"))) {
            idleTimer->stop();
            throw fail(QStringLiteral("refused a redirect from %1 to %2")
                           .arg(url.scheme(), next.toDisplayString(QUrl::RemoveUserInfo)));
        }
        url = next;
    }

    idleTimer->stop();
    armIdle.reset();
    if (!partial->flush() && writeError->isEmpty()) {
        *writeError = partial->errorString();
    }
    partial->close();
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
    if (announcedSize >= 0 && announcedSize != *received) {
        throw fail(QStringLiteral("the file has %1 bytes, not the %2 the server announced")
                       .arg(*received)
                       .arg(announcedSize));
    }
    const QByteArray actual = hash->result().toHex();
    for (const QByteArray& expected : {pinned, announcedDigest}) {
        if (!expected.isEmpty() && expected != actual) {
            throw fail(QStringLiteral("the file is damaged or not the one expected (SHA-256 %1, expected %2)")
                           .arg(QString::fromLatin1(actual), QString::fromLatin1(expected)));
        }
    }
    if (pinned.isEmpty() && announcedDigest.isEmpty() && download.requireDigest) {
        throw fail(QStringLiteral("the file can't be checked: the server announced no SHA-256 for it"));
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
