#pragma once

// Requests to a server the user runs (recognition or polish): which addresses may be used, and
// one POST with a time limit, a size limit and cancellation.
//
// Certificates are verified by Qt's defaults and nothing here relaxes them; redirects are never
// followed (a redirect is an answer like any other, never a reason to send the words elsewhere).
// Failure texts name the host, statuses, lengths and times; never the request's or the answer's
// content (either may hold the dictation).

#include "Runtime/Async.h"
#include "Runtime/Scheduler.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>

class QHttpMultiPart;
class QNetworkAccessManager;
class QNetworkRequest;
class QNetworkReply;

namespace quillory {

/// Why `url` may not be used (empty when it may): only http and https; plain http only to a
/// loopback address, or to a private one (10/8, 172.16/12, 192.168/16, fc00::/7, link-local)
/// the user confirmed; everything else needs https (whose certificate Qt verifies).
QString remoteServerUrlProblem(const QUrl& url, bool privateConfirmed);

/// `base` with `path` appended to its path (one slash between), without query or fragment.
QUrl remoteServerEndpoint(const QUrl& base, const QString& path);

/// A network manager for a user's server: redirects never followed, Qt's certificate checks.
std::unique_ptr<QNetworkAccessManager> makeServerNetworkManager();

/// Aborts `reply` as soon as its announced or arrived answer is longer than `maxBytes`; the flag
/// returned says whether that happened.
std::shared_ptr<bool> abortAnswersLargerThan(QNetworkReply* reply, qint64 maxBytes);

/// The outcome of one request to a server.
struct ServerReply {
    /// The HTTP status of a complete answer; none when there is none (`failure` says why).
    std::optional<int> status;
    QByteArray body;
    QString failure;
    bool timedOut = false;
    bool cancelled = false;
};

/// POSTs `body` (or `form`, which the reply then owns) to `request`'s address. Aborted when the
/// answer takes longer than `timeout`, grows past `maxBytes`, or `cancel` fires. A connection that
/// breaks before the whole answer came is a failure even after a status line.
Task<ServerReply> postToServer(QNetworkAccessManager& manager, QNetworkRequest request, QByteArray body,
                               QHttpMultiPart* form, Duration timeout, qint64 maxBytes,
                               CancellationToken cancel);

} // namespace quillory
