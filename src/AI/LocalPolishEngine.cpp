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

/// A cleaned answer as it may be handed back: not empty, and for the Qwen model free of its
/// turn tokens.
QString checkedAnswer(const QString& cleaned, PolishModel model) {
    if (cleaned.isEmpty()) {
        throw LocalPolishError::emptyOutput();
    }
    if (model == PolishModel::qwen35_4bQ4KM &&
        (cleaned.contains(QLatin1String("<|im_start|>")) || cleaned.contains(QLatin1String("<|im_end|>")))) {
        throw LocalPolishError::invalidResponse(QStringLiteral("control tokens in output"));
    }
    return cleaned;
}

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
    // A dictation that may be longer than one answer can hold is polished in pieces. Its UTF-8
    // length bounds its tokens; past that bound the server counts them.
    double tokensPerByte = 1.0;
    const qsizetype bytes = transcript.toUtf8().size();
    if (bytes > kPieceTokens) {
        if (const auto tokens = co_await countTokens(transcript, port, cancel); tokens && *tokens > 0) {
            // A fifth more than the average: sentences differ a little.
            tokensPerByte = std::min(1.0, 1.2 * double(*tokens) / double(bytes));
        }
    }
    const QList<PolishText::TranscriptPiece> pieces =
        PolishText::splitTranscript(transcript, kPieceTokens, tokensPerByte);
    const QStringList stopTokens = PolishModels::stopTokens(model);

    QString joined;
    std::optional<LocalPolishError> firstReason;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const PolishText::TranscriptPiece& piece = pieces.at(i);
        PieceReport report;
        report.characters = piece.text.size();
        const Duration began = Scheduler::current().monotonicNow();
        const CompletionAnswer answer =
            co_await complete(PolishText::polishPrompt(piece.text, model, instructions), port, stopTokens,
                              kPolishPredictTokens, 0.05, 0.8, kPolishRequestTimeout, cancel);
        report.elapsed = Scheduler::current().monotonicNow() - began;
        std::optional<LocalPolishError> reason;
        QString polished;
        if (answer.overflow) {
            reason = LocalPolishError::requestFailed(*answer.overflow);
        } else if (answer.cutShort) {
            reason = LocalPolishError::invalidResponse(
                QStringLiteral("The answer stopped at the token limit or its prompt was truncated"));
        } else {
            try {
                polished = checkedAnswer(PolishText::clean(answer.content), model);
            } catch (const LocalPolishError& e) {
                reason = e;
            }
        }
        if (reason) {
            report.keptBecause =
                reason->message().isEmpty() ? reason->localizedDescription() : reason->message();
            if (pieces.size() > 1) {
                qCWarning(lcInput).noquote()
                    << QStringLiteral("Local polish: piece %1 of %2 (%3 characters) kept as "
                                      "dictated: %4")
                           .arg(i + 1)
                           .arg(pieces.size())
                           .arg(piece.text.size())
                           .arg(report.keptBecause);
            }
            firstReason = firstReason ? firstReason : reason;
            polished = piece.text;
        }
        report.polished = !reason;
        lastPolishPieces_.append(report);
        joined += piece.separatorBefore + polished;
    }
    // Nothing polished at all is a failure with its reason; the caller keeps the dictation.
    if (firstReason && std::none_of(lastPolishPieces_.cbegin(), lastPolishPieces_.cend(),
                                    [](const PieceReport& r) { return r.polished; })) {
        throw *firstReason;
    }
    co_return joined;
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
    co_return checkedAnswer(cleaned, model);
}

} // namespace quillory
