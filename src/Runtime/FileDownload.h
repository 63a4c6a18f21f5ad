#pragma once

// Downloading one large file (a model) over HTTP into its place on disk.

#include "Runtime/Async.h"

#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>

class QNetworkAccessManager;
class QNetworkReply;

namespace quillory {

/// Waits until the reply has finished; a cancellation aborts it, from the loop rather than from
/// inside whoever cancelled.
Task<> replyFinished(QNetworkReply* reply, CancellationToken cancel);

/// A download that failed; the message says why (callers wrap it in their own error).
class FileDownloadError : public std::runtime_error {
public:
    explicit FileDownloadError(const QString& message)
        : std::runtime_error(message.toStdString()), message_(message) {}
    QString message() const { return message_; }

private:
    QString message_;
};

/// What to fetch, where to, and what to tell the caller meanwhile.
struct FileDownload {
    QUrl url;
    QString destination;
    /// A download that receives no data for this long fails ("no data received for N s").
    Duration idleTimeout = std::chrono::seconds(60);
    /// How often a download waits again for another process that holds the file's lock.
    Duration lockPollInterval = std::chrono::milliseconds(300);
    /// Whether the error of a partial file that cannot be opened names the file
    /// ("<path>: <reason>") or gives the reason alone.
    bool openErrorNamesFile = true;
    /// Bytes written so far and the announced length (-1 when unknown), after every chunk.
    std::function<void(qint64 received, qint64 total)> progress;
    /// The request was sent / has finished (before the reply is deleted later).
    std::function<void(QNetworkReply*)> started;
    std::function<void(QNetworkReply*)> finished;
};

/// Downloads `download.url` to `download.destination` through `network`, on the main thread.
///
/// The body streams into "<destination>.download" (a model never sits in memory) and is renamed
/// into place when complete: an HTTP status of 2xx, the announced Content-Length met, and at least
/// one byte. One download of a file runs at a time across processes: "<destination>.lock" is held
/// from before the partial file is touched until after the rename, so a second process waits and
/// never removes or renames the first one's partial file. A failed or cancelled download leaves no
/// partial file. Redirects are followed only when no less safe (https never to http).
///
/// Returns the bytes written, or nullopt when another process completed the file meanwhile.
/// Throws `FileDownloadError`, or `CancellationError` when `cancel` fires.
Task<std::optional<qint64>> downloadFile(QNetworkAccessManager& network, FileDownload download,
                                         CancellationToken cancel);

} // namespace quillory
