#pragma once

// Polish on a server the user runs: llama-server's POST <base>/completion (the prompt laid into the
// selected model's template, as the local server gets it) or the OpenAI-style POST
// <base>/v1/chat/completions (the instructions and the request as two turns; the server applies
// its model's template). The pieces, the clean-up and the checks are the local engine's
// (`polishInPieces`); the address rule, certificates and time limit are recognition's
// (`Runtime/ServerRequest`). Request bodies and answers are never logged.

#include "AI/PolishCompletion.h"
#include "AI/PolishService.h"
#include "Runtime/Async.h"
#include "Runtime/Scheduler.h"
#include "Runtime/ServerRequest.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;

namespace quillory {

class DefaultsStore;

/// Which server API a polish server speaks.
enum class RemotePolishApi { llamaCompletion, openAiChat };

/// The polish engine chosen in the settings.
struct RemotePolishSettings : ServerConnection {
    /// "quillory.polish.engine": "device" (the default: the local llama-server) or "server".
    static constexpr const char* engineKey = "quillory.polish.engine";
    /// "quillory.polish.server.url": the server's base address (http://host:port[/path]).
    static constexpr const char* urlKey = "quillory.polish.server.url";
    /// "quillory.polish.server.api": "llama" (llama-server's /completion, the default) or "openai".
    static constexpr const char* apiKey = "quillory.polish.server.api";
    /// "quillory.polish.server.model": the model name sent to an OpenAI-style server (none when empty).
    static constexpr const char* modelKey = "quillory.polish.server.model";
    /// "quillory.polish.server.privateConfirmed": the user confirmed plain http to a private address.
    static constexpr const char* privateConfirmedKey = "quillory.polish.server.privateConfirmed";
    /// "quillory.polish.server.timeoutSeconds": the longest wait for one answer (1 to 30 s).
    static constexpr const char* timeoutKey = "quillory.polish.server.timeoutSeconds";

    RemotePolishApi api = RemotePolishApi::llamaCompletion;

    /// No model name unless one is set; 20 s, within the session's 35 s limit for the whole polish.
    RemotePolishSettings() { timeout = seconds(20); }

    static RemotePolishSettings read(const DefaultsStore& store);
    /// The API named in the settings or on the command line ("llama", "openai"); none for others.
    static std::optional<RemotePolishApi> apiNamed(const QString& name);
};

/// The endpoint of `api` under the base address `base`.
QUrl remotePolishEndpoint(const QUrl& base, RemotePolishApi api);

/// What `checkRemotePolishServer` found.
struct RemotePolishCheck {
    bool answered = false; ///< a polish came back
    qint64 latencyMs = -1; ///< how long it took (answered only)
    QString error;         ///< why not (not answered)
};

/// Polishes one short sentence on the server `settings` name, as a dictation would (same
/// endpoint, API, model, prompt and time limit), and times the answer: for the settings' Test.
Task<RemotePolishCheck> checkRemotePolishServer(RemotePolishSettings settings, PolishModel model,
                                                QString instructions, CancellationToken cancel = {});

/// Polishes on a server. Main thread. A server that refuses, stalls, answers an error or nonsense
/// ends the polish with `LocalPolishError` and a log line (`stage=polish_server_fallback`); the
/// session then pastes the unpolished text.
class RemotePolishEngine final : public PolishService {
public:
    /// `settings` is asked at the start of every polish (the settings may change between them).
    explicit RemotePolishEngine(std::function<RemotePolishSettings()> settings);
    ~RemotePolishEngine() override;

    Task<QString> polish(QString text, SpeechLocale locale, PolishModel model, QString instructions,
                         CancellationToken cancel) override;
    /// Abandons every request in flight (they end with `requestFailed`).
    void stopServer() override;
    /// Nothing to start: the server is the user's.
    void warmUp() override {}

    /// The pieces of the last `polish` that reached the server, in order.
    const QList<PolishPieceReport>& lastPolishPieces() const { return lastPolishPieces_; }
    /// Requests sent and not yet finished (tests).
    int requestsInFlight() const { return inFlight_; }

    static constexpr Duration kTokenizeTimeout = seconds(5);
    static constexpr qint64 kTokenizeReplyLimit = 4 * 1024 * 1024;

private:
    Task<PolishCompletion> complete(RemotePolishSettings settings, PolishModel model, QString instructions,
                                    QString piece, CancellationToken cancel);
    Task<std::optional<int>> countTokens(RemotePolishSettings settings, QString text, CancellationToken cancel);

    std::function<RemotePolishSettings()> settings_;
    std::unique_ptr<QNetworkAccessManager> manager_;
    /// Cancelled by `stopServer` (and then replaced).
    std::unique_ptr<CancellationSource> stop_;
    QList<PolishPieceReport> lastPolishPieces_;
    int inFlight_ = 0;
};

/// The polish service the session uses: the server when the settings choose one, else the local
/// engine. Both are stopped by `stopServer`; only the local one is warmed up, and only while it is
/// the choice.
class ChosenPolishService final : public PolishService {
public:
    ChosenPolishService(PolishService& local, std::function<RemotePolishSettings()> settings);

    Task<QString> polish(QString text, SpeechLocale locale, PolishModel model, QString instructions,
                         CancellationToken cancel) override;
    void stopServer() override;
    void warmUp() override;

private:
    PolishService& local_;
    std::function<RemotePolishSettings()> settings_;
    RemotePolishEngine remote_;
};

} // namespace quillory
