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
    /// The file's SHA-256 (64 hexadecimal digits) when it is known in advance. The body is also
    /// checked against the digest the hosting service announces for the file (the "X-Linked-Etag"
    /// of its redirect or answer, with "X-Linked-Size"); a file that matches neither is refused.
    QByteArray sha256;
    /// Whether a file that nothing can check (no `sha256`, no digest announced) is refused.
    bool requireDigest = true;
    /// Whether the error of a partial file that cannot be opened names the file
    /// ("<path>: <reason>") or gives the reason alone.
    bool openErrorNamesFile = true;
    /// Bytes written so far and the announced length (-1 when unknown), after every chunk.
    std::function<void(qint64 received, qint64 total)> progress;
    /// The request was sent / has finished (before the reply is deleted later).
    std::function<void(QNetworkReply*)> started;
    std::function<void(QNetworkReply*)> finished;
};

/// The bound of the read buffer: how much of a body may wait in memory for the disk.
inline constexpr qint64 kDownloadReadBufferBytes = 1024 * 1024;

/// The SHA-256 an "X-Linked-Etag" (or "ETag") value carries, in lower case: 64 hexadecimal digits,
/// quoted or not, possibly weak ("W/"). Empty for anything else (a git object id of 40 digits).
QByteArray sha256FromEtag(const QByteArray& etag);

/// Downloads `download.url` to `download.destination` through `network`, on the main thread.
///
/// The body streams into "<destination>.download" through a bounded read buffer (a model never sits
/// in memory: a fast link waits for the disk) and is renamed into place when complete: an HTTP
/// status of 2xx, the announced Content-Length (and X-Linked-Size) met, at least one byte, and its
/// SHA-256, hashed as it streams, equal to every digest known for it. One download of a file
/// runs at a time across processes: "<destination>.lock" is held from before the partial file is
/// touched until after the rename, so a second process waits and never removes or renames the
/// first one's partial file. A failed or cancelled download leaves no
/// partial file. Redirects (at most 10) are followed only when no less safe (https never to http).
/// HTTP/1.1 only: Qt's HTTP/2 does not honour the read buffer's bound.
///
/// Returns the bytes written, or nullopt when another process completed the file meanwhile.
/// Throws `FileDownloadError`, or `CancellationError` when `cancel` fires.
Task<std::optional<qint64>> downloadFile(QNetworkAccessManager& network, FileDownload download,
                                         CancellationToken cancel);

} // namespace quillory
