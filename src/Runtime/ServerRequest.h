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

class DefaultsStore;
struct ServerApiKey;

/// Whether `url` names this computer (localhost or a loopback address).
bool isOnThisComputer(const QUrl& url);

/// Why `url` may not be used (empty when it may): only http and https; plain http only to a
/// loopback address, or to a private one (10/8, 172.16/12, 192.168/16, fc00::/7, link-local)
/// the user confirmed; everything else needs https (whose certificate Qt verifies).
QString remoteServerUrlProblem(const QUrl& url, bool privateConfirmed);

/// The settings keys of a server the user may choose for one kind of work (recognition or polish).
struct ServerSettingKeys {
    const char* engine;           ///< "device" (the default) or "server"
    const char* url;              ///< the server's base address
    const char* model;            ///< the model name sent to the server
    const char* privateConfirmed; ///< plain http to a private address confirmed
    const char* timeout;          ///< the longest wait for one answer, in seconds
    double maxTimeoutSeconds;     ///< what the timeout is clamped to (from 1 s)
    const ServerApiKey& apiKey;   ///< where the API key is stored
};

/// What every server choice holds; the kinds of work add their API.
struct ServerConnection {
    bool useServer = false;
    QUrl url;
    QString model;
    bool privateConfirmed = false;
    Duration timeout = seconds(5);
    /// Sent as "Authorization: Bearer …" when not empty; never stored in the settings file: it
    /// comes from the secret store.
    QByteArray accessToken;
    /// Why the stored API key could not be read (the secret store is missing or locked): no
    /// request is sent without it.
    QString accessTokenProblem;

    /// Reads `keys` from `store` into this; the model and the timeout keep their values when the
    /// settings have none (or a blank or unusable one). The secret store is asked for the API key
    /// only when the server is chosen.
    void read(const DefaultsStore& store, const ServerSettingKeys& keys);
};

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
