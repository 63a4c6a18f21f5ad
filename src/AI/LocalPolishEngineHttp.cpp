// LocalPolishEngine: HTTP to the local server on 127.0.0.1 (health checks and completions).
//
// Loopback requests never follow redirects and never read more than a small limit: the answer of
// whatever listens on the port is not trusted further than that. Error texts carry statuses and
// lengths, never the content of an answer (it may echo the prompt with the dictation).

#include "AI/LocalPolishEngine.h"
#include "AI/LocalPolishEngineInternal.h"

#include "AI/PolishText.h"
#include "Utilities/Log.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringDecoder>

#include <coroutine>
#include <memory>

namespace quillory {

namespace polish_detail {

QString strictUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        return {};
    }
    return text;
}

} // namespace polish_detail

using polish_detail::replyFinished;

namespace {
/// What an error text says about an answer's body: its length only.
QString bodyDescription(const QByteArray& body) {
    return QStringLiteral("reply of %1 bytes (content not logged)").arg(body.size());
}
} // namespace

struct LocalPolishEngine::HttpResult {
    bool isHttp = false;
    int status = -1;
    QByteArray body;
    bool failed = false; // transport failure (no HTTP answer)
    QString errorString; // its description
    bool timedOut = false;
    bool cancelled = false; // the caller's token
    bool stopped = false;   // aborted by stopServer()
    bool tooLarge = false;  // longer than the limit
};

Task<LocalPolishEngine::HttpResult> LocalPolishEngine::send(QNetworkAccessManager& manager,
                                                            QNetworkRequest request, QByteArray verb,
                                                            QByteArray body, std::optional<Duration> timeout,
                                                            qint64 maxBytes, CancellationToken cancel) {
    HttpResult result;
    if (cancel.isCancelled()) {
        result.failed = result.cancelled = true;
        result.errorString = QStringLiteral("cancelled");
        co_return result;
    }
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::PreferNetwork);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply* reply = manager.sendCustomRequest(request, verb, body);
    inFlight_.insert(reply);
    QPointer<QNetworkReply> guard(reply);

    // An answer announced or arriving longer than the limit is aborted as soon as that shows.
    auto tooLarge = std::make_shared<bool>(false);
    const auto checkSize = [guard, tooLarge, maxBytes] {
        if (!guard || guard->isFinished()) {
            return;
        }
        const QVariant length = guard->header(QNetworkRequest::ContentLengthHeader);
        if ((length.isValid() && length.toLongLong() > maxBytes) || guard->bytesAvailable() > maxBytes) {
            *tooLarge = true;
            guard->abort();
        }
    };
    connect(reply, &QNetworkReply::metaDataChanged, reply, checkSize);
    connect(reply, &QNetworkReply::readyRead, reply, checkSize);

    auto timedOut = std::make_shared<bool>(false);
    Timer timer;
    if (timeout) {
        timer = Timer::once(*timeout, [guard, timedOut] {
            if (guard && !guard->isFinished()) {
                *timedOut = true;
                guard->abort();
            }
        });
    }
    co_await replyFinished(reply, cancel);

    timer.stop();
    inFlight_.remove(reply);
    result.stopped = abortedByStop_.remove(reply);
    result.timedOut = *timedOut;
    result.cancelled = cancel.isCancelled();
    result.tooLarge = *tooLarge;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && !result.timedOut && !result.cancelled && !result.stopped && !result.tooLarge) {
        result.body = reply->read(maxBytes + 1);
        if (result.body.size() > maxBytes) {
            result.tooLarge = true;
            result.body.clear();
        } else {
            result.isHttp = true;
            result.status = status.toInt();
        }
    }
    if (!result.isHttp && (reply->error() != QNetworkReply::NoError || result.timedOut || result.cancelled ||
                           result.stopped || result.tooLarge)) {
        result.failed = true;
        if (result.timedOut) {
            result.errorString = QStringLiteral("The request timed out.");
        } else if (result.stopped) {
            result.errorString = QStringLiteral("The request was abandoned: the local server was stopped.");
        } else if (result.cancelled) {
            result.errorString = QStringLiteral("cancelled");
        } else if (result.tooLarge) {
            result.errorString = QStringLiteral("The answer is longer than %1 bytes.").arg(maxBytes);
        } else {
            result.errorString = reply->errorString();
        }
    }
    reply->deleteLater();
    co_return result;
}

void LocalPolishEngine::abortInFlight() {
    const auto replies = inFlight_;
    for (QNetworkReply* reply : replies) {
        if (reply->manager() == &local_ && !reply->isFinished()) {
            abortedByStop_.insert(reply);
            reply->abort();
        }
    }
}

Task<bool> LocalPolishEngine::isServerReady(int port, CancellationToken cancel) {
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/health").arg(port)));
    const HttpResult r = co_await send(local_, request, "GET", {}, kHealthTimeout, kHealthReplyLimit, cancel);
    co_return r.isHttp&& r.status >= 200 && r.status <= 299;
}

Task<QString> LocalPolishEngine::requestLlamaCompletion(QString prompt, int port, QStringList stopTokens,
                                                        int nPredict, double temperature, double topP,
                                                        Duration timeout, CancellationToken cancel) {
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/completion").arg(port));
    if (!url.isValid() || port <= 0 || port > 65535) {
        throw LocalPolishError::requestFailed(QStringLiteral("invalid local URL"));
    }
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    const QByteArray body = PolishText::completionBody(prompt, stopTokens, nPredict, temperature, topP);
    const HttpResult r = co_await send(local_, request, "POST", body, timeout, kCompletionReplyLimit, cancel);
    if (r.failed) {
        qCCritical(lcInput).noquote() << QStringLiteral("Local llama request failed: %1").arg(r.errorString);
        if (r.cancelled) {
            throw CancellationError();
        }
        throw LocalPolishError::requestFailed(r.errorString);
    }
    if (!r.isHttp) {
        throw LocalPolishError::requestFailed(QStringLiteral("non-HTTP response"));
    }
    if (r.status < 200 || r.status > 299) {
        throw LocalPolishError::requestFailed(
            QStringLiteral("HTTP %1. %2").arg(r.status).arg(bodyDescription(r.body)));
    }
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(r.body, &parseError);
    QString decodingError;
    if (parseError.error != QJsonParseError::NoError) {
        decodingError = QStringLiteral("The answer is not valid JSON (%1 at offset %2)")
                            .arg(parseError.errorString())
                            .arg(parseError.offset);
    } else if (!document.isObject()) {
        decodingError = QStringLiteral("The answer is not a JSON object");
    } else if (const QJsonValue content = document.object().value(QLatin1String("content"));
               !content.isString()) {
        decodingError = content.isUndefined()
                            ? QStringLiteral("The answer has no \"content\" member")
                            : QStringLiteral("The answer's \"content\" member is not a string");
    } else {
        co_return content.toString();
    }
    throw LocalPolishError::invalidResponse(decodingError + QStringLiteral(". ") + bodyDescription(r.body));
}

} // namespace quillory
