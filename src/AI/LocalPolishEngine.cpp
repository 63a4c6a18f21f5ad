// LocalPolishEngine: construction, state, and the polish and chat operations. The other parts of
// the class live beside this file: LocalPolishEngineHttp.cpp (loopback HTTP),
// LocalPolishEngineModels.cpp (model files and downloads), LocalPolishEngineServer.cpp (the
// server process) and LocalPolishEngineCleanup.cpp (stray-server clean-up).

#include "AI/LocalPolishEngine.h"

#include "AI/PolishSettings.h"
#include "AI/PolishText.h"
#include "Platform/HostCPU.h"
#include "Runtime/Text.h"
#include "Runtime/Log.h"

#include <algorithm>

#include <QHostAddress>
#include <QNetworkProxy>
#include <QNetworkReply>

namespace quillory {

namespace {

/// Model downloads honour the system's proxy settings (http_proxy, https_proxy, no_proxy), except
/// for loopback addresses (test servers, local mirrors).
class DownloadProxies final : public QNetworkProxyFactory {
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override {
        const QString host = query.peerHostName();
        if (host == QLatin1String("localhost") || QHostAddress(host).isLoopback()) {
            return {QNetworkProxy(QNetworkProxy::NoProxy)};
        }
        return systemProxyForQuery(query);
    }
};

} // namespace

LocalPolishEngine& LocalPolishEngine::shared() {
    static LocalPolishEngine* engine = new LocalPolishEngine(); // lives until the process ends
    return *engine;
}

LocalPolishEngine::LocalPolishEngine() : LocalPolishEngine(Configuration{}) {}

LocalPolishEngine::LocalPolishEngine(Configuration configuration, QObject* parent)
    : QObject(parent), configuration_(std::move(configuration)) {
    local_.setProxy(QNetworkProxy::NoProxy);
    local_.setAutoDeleteReplies(false);
    // A redirect from the loopback server is an answer like any other (and an error), never a
    // reason to send the prompt somewhere else.
    local_.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    downloads_.setAutoDeleteReplies(false);
    downloads_.setProxyFactory(new DownloadProxies); // owned by the manager
}

LocalPolishEngine::~LocalPolishEngine() {
    shutdown();
}

bool LocalPolishEngine::hostSupported() const {
    return configuration_.hostSupported ? configuration_.hostSupported()
                                        : HostCPU::isLocalLlamaRuntimeSupported();
}

qint64 LocalPolishEngine::serverProcessId() const {
    return serverProcess_ ? serverProcess_->processId() : 0;
}

// ---- polish and chat ----

Task<QString> LocalPolishEngine::polish(QString text, SpeechLocale locale, CancellationToken cancel) {
    co_return co_await polish(std::move(text), locale, PolishSettings::selectedModel(),
                              PolishSettings::prompt(), std::move(cancel));
}

Task<QString> LocalPolishEngine::polish(QString text, SpeechLocale, PolishModel model, QString instructions,
                                        CancellationToken cancel) {
    const QString transcript = Text::trimmed(text);
    if (transcript.isEmpty()) {
        throw LocalPolishError::emptyOutput();
    }
    lastPolishPieces_.clear();
    try {
        const int port = co_await ensureServer(model, cancel);
        co_return co_await polishPieces(transcript, port, model, instructions, cancel);
    } catch (const CancellationError&) {
        throw;
    } catch (...) {
        if (cancel.isCancelled()) {
            throw CancellationError();
        }
        throw;
    }
}

Task<QString> LocalPolishEngine::polishPieces(QString transcript, int port, PolishModel model,
                                              QString instructions, CancellationToken cancel) {
    const QStringList stopTokens = PolishModels::stopTokens(model);
    co_return co_await polishInPieces(
        std::move(transcript), model,
        [this, port, model, instructions, stopTokens, cancel](QString piece) {
            return complete(PolishText::polishPrompt(piece, model, instructions), port, stopTokens,
                            kPolishPredictTokens, 0.05, 0.8, kPolishRequestTimeout, cancel);
        },
        [this, port, cancel](QString text) { return countTokens(std::move(text), port, cancel); },
        &lastPolishPieces_, QStringLiteral("Local polish"));
}

Task<QString> LocalPolishEngine::chatCompletion(QList<LocalLLMChatMessage> dialogue, PolishModel model,
                                                CancellationToken cancel) {
    if (dialogue.isEmpty() || dialogue.last().role != LocalLLMChatRole::user) {
        throw LocalPolishError::invalidResponse(QStringLiteral("chat must end with user message"));
    }
    const int port = co_await ensureServer(model, cancel);
    const QString prompt = LocalLLMChatPrompt::build(dialogue, model);
    const QString raw = co_await requestLlamaCompletion(prompt, port, PolishModels::stopTokens(model), 768,
                                                        0.65, 0.9, kChatRequestTimeout, cancel);
    const QString cleaned = PolishText::cleanChatOutput(raw, model);
    co_return checkedPolishAnswer(cleaned, model);
}

} // namespace quillory
