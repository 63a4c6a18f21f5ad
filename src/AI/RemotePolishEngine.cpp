#include "AI/RemotePolishEngine.h"

#include "Runtime/SecretStore.h"

#include "AI/LocalPolishError.h"
#include "AI/PolishText.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/Log.h"
#include "Runtime/ServerRequest.h"
#include "Runtime/Text.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

#include <algorithm>
#include <cmath>

namespace quillory {

namespace {

/// Removes a cancellation callback when the coroutine frame holding it ends, however it ends.
struct CallbackRegistration {
    CancellationToken token;
    CancellationToken::Registration id;
    ~CallbackRegistration() { token.removeCallback(id); }
};

QNetworkRequest jsonRequest(const QUrl& url, const QByteArray& accessToken) {
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    if (!accessToken.isEmpty()) {
        request.setRawHeader("Authorization", "Bearer " + accessToken);
    }
    return request;
}

} // namespace

std::optional<RemotePolishApi> RemotePolishSettings::apiNamed(const QString& name) {
    if (name == QLatin1String("llama")) {
        return RemotePolishApi::llamaCompletion;
    }
    if (name == QLatin1String("openai")) {
        return RemotePolishApi::openAiChat;
    }
    return std::nullopt;
}

RemotePolishSettings RemotePolishSettings::read(const DefaultsStore& store) {
    RemotePolishSettings s;
    s.ServerConnection::read(store, {engineKey, urlKey, modelKey, privateConfirmedKey, timeoutKey, 30.0,
                                     polishServerApiKey});
    if (const auto api = apiNamed(store.stringValue(QLatin1String(apiKey)).value_or(QString()))) {
        s.api = *api;
    }
    return s;
}

QUrl remotePolishEndpoint(const QUrl& base, RemotePolishApi api) {
    return remoteServerEndpoint(base, api == RemotePolishApi::llamaCompletion
                                          ? QStringLiteral("/completion")
                                          : QStringLiteral("/v1/chat/completions"));
}

RemotePolishEngine::RemotePolishEngine(std::function<RemotePolishSettings()> settings)
    : settings_(std::move(settings)), manager_(makeServerNetworkManager()),
      stop_(std::make_unique<CancellationSource>()) {}

// Requests still on their way when the engine goes are not resumed: the manager takes their replies.
RemotePolishEngine::~RemotePolishEngine() = default;

void RemotePolishEngine::stopServer() {
    // Replaced first: a polish that the cancellation ends may start another one at once.
    const auto stopping = std::exchange(stop_, std::make_unique<CancellationSource>());
    stopping->cancel();
}

Task<QString> RemotePolishEngine::polish(QString text, SpeechLocale, PolishModel model, QString instructions,
                                         CancellationToken cancel) {
    const QString transcript = Text::trimmed(text);
    if (transcript.isEmpty()) {
        throw LocalPolishError::emptyOutput();
    }
    const RemotePolishSettings settings = settings_();
    const QString host = settings.url.host();
    const auto fallback = [&host](const QString& reason) {
        qCWarning(lcInput).noquote()
            << QStringLiteral("stage=polish_server_fallback host=%1 reason=%2 (the text stays unpolished)")
                   .arg(host, reason);
    };
    if (QString problem = settings.accessTokenProblem.isEmpty()
                              ? remoteServerUrlProblem(settings.url, settings.privateConfirmed)
                              : settings.accessTokenProblem;
        !problem.isEmpty()) {
        fallback(problem);
        throw LocalPolishError::requestFailed(problem);
    }
    lastPolishPieces_.clear();
    // The request is cancelled by the caller's token and by `stopServer`.
    CancellationSource requests = cancel.child();
    const CancellationToken stopped = stop_->token();
    const CallbackRegistration onStop{stopped, stopped.onCancel([&requests] { requests.cancel(); })};
    const CancellationToken token = requests.token();

    QElapsedTimer took;
    took.start();
    std::optional<QString> polished;
    std::optional<LocalPolishError> error;
    try {
        PolishTokenCounter counter;
        if (settings.api == RemotePolishApi::llamaCompletion) {
            counter = [this, settings, token](QString t) { return countTokens(settings, std::move(t), token); };
        }
        polished = co_await polishInPieces(
            transcript, model,
            [this, settings, model, instructions, token](QString piece) {
                return complete(settings, model, instructions, std::move(piece), token);
            },
            std::move(counter), &lastPolishPieces_, QStringLiteral("Server polish"));
    } catch (const CancellationError&) {
        if (cancel.isCancelled()) {
            throw;
        }
        error = LocalPolishError::requestFailed(QStringLiteral("The request was abandoned: polishing was stopped."));
    } catch (const LocalPolishError& e) {
        error = e;
    }
    if (error) {
        if (cancel.isCancelled()) {
            throw CancellationError();
        }
        fallback(error->message().isEmpty() ? error->localizedDescription() : error->message());
        throw *error;
    }
    qCInfo(lcInput).noquote() << QStringLiteral("stage=polish_server host=%1 pieces=%2 ms=%3 chars=%4")
                                     .arg(host)
                                     .arg(lastPolishPieces_.size())
                                     .arg(took.elapsed())
                                     .arg(polished->size());
    co_return *polished;
}

Task<PolishCompletion> RemotePolishEngine::complete(RemotePolishSettings settings, PolishModel model,
                                                    QString instructions, QString piece,
                                                    CancellationToken cancel) {
    QString prompt; // what the request holds, so that no error text quotes it
    QByteArray body;
    PolishAnswerFormat format;
    if (settings.api == RemotePolishApi::llamaCompletion) {
        prompt = PolishText::polishPrompt(piece, model, instructions);
        body = PolishText::completionBody(prompt, PolishModels::stopTokens(model), kPolishPredictTokens, 0.05, 0.8);
        format = PolishAnswerFormat::llamaCompletion;
    } else {
        const QString user = PolishText::polishUserMessage(piece);
        prompt = instructions + QLatin1Char('\n') + user;
        body = PolishText::chatCompletionBody(settings.model, instructions, user, kPolishPredictTokens, 0.05, 0.8);
        format = PolishAnswerFormat::openAiChat;
    }
    ++inFlight_;
    const ServerReply reply =
        co_await postToServer(*manager_, jsonRequest(remotePolishEndpoint(settings.url, settings.api),
                                                     settings.accessToken),
                              body, nullptr, settings.timeout,
                              polishCompletionReplyLimit(body, kPolishPredictTokens), cancel);
    --inFlight_;
    if (reply.cancelled) {
        throw CancellationError();
    }
    if (!reply.status) {
        throw LocalPolishError::requestFailed(reply.failure);
    }
    co_return readPolishCompletion(format, *reply.status, reply.body, prompt, kPolishPredictTokens);
}

Task<std::optional<int>> RemotePolishEngine::countTokens(RemotePolishSettings settings, QString text,
                                                         CancellationToken cancel) {
    const QByteArray body =
        QJsonDocument(QJsonObject{{QStringLiteral("content"), text}}).toJson(QJsonDocument::Compact);
    ++inFlight_;
    const ServerReply reply =
        co_await postToServer(*manager_,
                              jsonRequest(remoteServerEndpoint(settings.url, QStringLiteral("/tokenize")),
                                          settings.accessToken),
                              body, nullptr, std::min(settings.timeout, kTokenizeTimeout), kTokenizeReplyLimit,
                              cancel);
    --inFlight_;
    if (reply.cancelled) {
        throw CancellationError();
    }
    const QJsonValue tokens = QJsonDocument::fromJson(reply.body).object().value(QLatin1String("tokens"));
    if (!reply.status || *reply.status < 200 || *reply.status > 299 || !tokens.isArray()) {
        co_return std::nullopt;
    }
    co_return static_cast<int>(tokens.toArray().size());
}

Task<RemotePolishCheck> checkRemotePolishServer(RemotePolishSettings settings, PolishModel model,
                                                QString instructions, CancellationToken cancel) {
    RemotePolishCheck check;
    settings.useServer = true;
    RemotePolishEngine engine([settings] { return settings; });
    const Duration start = Scheduler::current().monotonicNow();
    try {
        co_await engine.polish(QString::fromUtf8("えーと、これはテストです"), SpeechLocale::jaJP, model,
                               std::move(instructions), std::move(cancel));
        check.answered = true;
        check.latencyMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Scheduler::current().monotonicNow() - start)
                .count();
    } catch (const LocalPolishError& e) {
        check.error = e.message().isEmpty() ? e.localizedDescription() : e.message();
    } catch (const CancellationError&) {
        check.error = QStringLiteral("cancelled");
    }
    co_return check;
}

// ---- the choice ----

ChosenPolishService::ChosenPolishService(PolishService& local, std::function<RemotePolishSettings()> settings)
    : local_(local), settings_(settings), remote_(std::move(settings)) {}

Task<QString> ChosenPolishService::polish(QString text, SpeechLocale locale, PolishModel model,
                                          QString instructions, CancellationToken cancel) {
    if (settings_().useServer) {
        co_return co_await remote_.polish(std::move(text), locale, model, std::move(instructions), std::move(cancel));
    }
    co_return co_await local_.polish(std::move(text), locale, model, std::move(instructions), std::move(cancel));
}

void ChosenPolishService::stopServer() {
    remote_.stopServer();
    local_.stopServer();
}

void ChosenPolishService::warmUp() {
    if (!settings_().useServer) {
        local_.warmUp();
    }
}

} // namespace quillory
