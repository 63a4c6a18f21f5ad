// LocalPolishEngine: HTTP to the local server on 127.0.0.1 (health checks and completions).
//
// Loopback requests never follow redirects and never read more than a small limit: the answer of
// whatever listens on the port is not trusted further than that. Error texts carry statuses and
// lengths, never the content of an answer (it may echo the prompt with the dictation).

#include "AI/LocalPolishEngine.h"
#include "AI/LocalPolishEngineInternal.h"

#include "AI/PolishText.h"
#include "Runtime/ServerRequest.h"
#include "Runtime/Text.h"
#include "Runtime/Log.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringDecoder>

#include <algorithm>
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
    const auto tooLarge = abortAnswersLargerThan(reply, maxBytes);

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
    // A connection that broke before the whole answer arrived (the server died mid-answer) is a
    // transport failure, even though a status line came: the body is incomplete.
    const bool broken = reply->error() > QNetworkReply::NoError &&
                        reply->error() < QNetworkReply::ProxyConnectionRefusedError;
    if (status.isValid() && !broken && !result.timedOut && !result.cancelled && !result.stopped &&
        !result.tooLarge) {
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

Task<LocalPolishEngine::CompletionAnswer>
LocalPolishEngine::complete(QString prompt, int port, QStringList stopTokens, int nPredict,
                            double temperature, double topP, Duration timeout, CancellationToken cancel) {
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/completion").arg(port));
    if (!url.isValid() || port <= 0 || port > 65535) {
        throw LocalPolishError::requestFailed(QStringLiteral("invalid local URL"));
    }
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    if (!serverApiKey_.isEmpty()) {
        request.setRawHeader("Authorization", "Bearer " + serverApiKey_);
    }
    const QByteArray body = PolishText::completionBody(prompt, stopTokens, nPredict, temperature, topP);
    const HttpResult r =
        co_await send(local_, request, "POST", body, timeout, polishCompletionReplyLimit(body, nPredict), cancel);
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
    co_return readPolishCompletion(PolishAnswerFormat::llamaCompletion, r.status, r.body, prompt, nPredict);
}

Task<QString> LocalPolishEngine::requestLlamaCompletion(QString prompt, int port, QStringList stopTokens,
                                                        int nPredict, double temperature, double topP,
                                                        Duration timeout, CancellationToken cancel) {
    const CompletionAnswer answer =
        co_await complete(std::move(prompt), port, std::move(stopTokens), nPredict, temperature, topP,
                          timeout, std::move(cancel));
    if (answer.overflow) {
        throw LocalPolishError::requestFailed(*answer.overflow);
    }
    co_return answer.content;
}

Task<std::optional<int>> LocalPolishEngine::countTokens(QString text, int port, CancellationToken cancel) {
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/tokenize").arg(port)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    if (!serverApiKey_.isEmpty()) {
        request.setRawHeader("Authorization", "Bearer " + serverApiKey_);
    }
    const QByteArray body =
        QJsonDocument(QJsonObject{{QStringLiteral("content"), text}}).toJson(QJsonDocument::Compact);
    const HttpResult r =
        co_await send(local_, request, "POST", body, kTokenizeTimeout, kTokenizeReplyLimit, cancel);
    if (r.cancelled) {
        throw CancellationError();
    }
    const QJsonValue tokens = QJsonDocument::fromJson(r.body).object().value(QLatin1String("tokens"));
    if (!r.isHttp || r.status < 200 || r.status > 299 || !tokens.isArray()) {
        co_return std::nullopt;
    }
    co_return static_cast<int>(tokens.toArray().size());
}

} // namespace quillory
