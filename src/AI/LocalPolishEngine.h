#pragma once

#include "AI/LocalLLMChat.h"
#include "AI/LocalPolishError.h"
#include "AI/PolishCompletion.h"
#include "AI/PolishModel.h"
#include "AI/PolishService.h"
#include "Runtime/Async.h"
#include "Speech/SpeechDevice.h"

#include <QList>
#include <QMap>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <optional>

class QNetworkReply;

namespace quillory {

/// Owns the local `llama-server` process and talks to it over HTTP on 127.0.0.1: starts one server
/// for the model that is needed (random port, readiness polling), reuses it, stops it, kills stray
/// servers, downloads and deletes model files, and runs polish and chat completions.
///
/// Main-thread confined. Every wait (readiness polling, request timeouts, the escalation to
/// SIGKILL) goes through the current scheduler; nothing blocks the main thread except the
/// synchronous helpers `cleanupResidualServers` and `shutdown`.
class LocalPolishEngine final : public QObject, public PolishService {
public:
    /// Seams for tests and the command line; empty members mean the production behaviour.
    struct Configuration {
        /// The runtime folder (holding `llama-server` or `llama/llama-server`); empty: the usual lookup.
        QString runtimeDirectory;
        /// The model folder; empty: `PolishSettings::modelDirectory()`.
        QString modelDirectory;
        /// Model files to use instead of the catalogue file (a small stand-in model, for example).
        QMap<PolishModel, QString> modelFiles;
        /// Whether the host can run the runtime; null: `HostCPU::isLocalLlamaRuntimeSupported`.
        std::function<bool()> hostSupported;
        /// The server port; null: a uniformly random port in 49,152 to 65,535.
        std::function<int()> pickPort;
        QString pgrepPath = QStringLiteral("/usr/bin/pgrep");
        QString killPath = QStringLiteral("/bin/kill");
        /// The blocking pause of the stray-server clean-up; null: the calling thread sleeps.
        std::function<void(Duration)> blockingPause;
        /// Whether every socket listening on `port` belongs to process `pid`; null:
        /// `isListenerOwnedBy` (the kernel's socket tables). Tests whose server answers from inside
        /// the test process replace it.
        std::function<bool(qint64 pid, int port)> listenerOwnedBy;
        /// The executable a process runs; null: `executableOfProcess` (/proc/PID/exe).
        std::function<QString(qint32 pid)> processExecutable;
    };

    /// bytes received, total bytes (-1 when unknown)
    using Progress = std::function<void(qint64 received, qint64 total)>;

    static constexpr Duration kReadinessPollInterval = std::chrono::milliseconds(300);
    static constexpr Duration kReadinessDeadline = std::chrono::seconds(90);
    static constexpr Duration kHealthTimeout = std::chrono::seconds(1);
    static constexpr Duration kPolishRequestTimeout = std::chrono::seconds(60);
    static constexpr Duration kChatRequestTimeout = std::chrono::seconds(180);
    static constexpr Duration kCleanupPause = std::chrono::milliseconds(500);
    static constexpr Duration kKillEscalation = std::chrono::seconds(2);
    /// A download that receives no data for this long fails.
    static constexpr Duration kDownloadIdleTimeout = std::chrono::seconds(60);
    /// The largest answers read from the local server; a longer one is aborted.
    static constexpr qint64 kHealthReplyLimit = 16 * 1024;
    static constexpr qint64 kTokenizeReplyLimit = 4 * 1024 * 1024;
    /// The server's context size in tokens (its "-c").
    static constexpr int kContextTokens = 2048;
    /// The tokens a polish answer may take ("n_predict").
    static constexpr int kPolishPredictTokens = ::quillory::kPolishPredictTokens;

    /// The process-wide engine, created on first use.
    static LocalPolishEngine& shared();

    LocalPolishEngine();
    explicit LocalPolishEngine(Configuration configuration, QObject* parent = nullptr);
    ~LocalPolishEngine() override;

    const Configuration& configuration() const { return configuration_; }
    void setConfiguration(Configuration configuration) { configuration_ = std::move(configuration); }

    // ---- polishing (PolishService) ----

    /// Polishes with `PolishSettings.selectedModel()` and `PolishSettings.prompt()`.
    Task<QString> polish(QString text, SpeechLocale locale, CancellationToken cancel = {});
    /// Trims the text (blank: `emptyOutput`, nothing started), ensures a server, sends the prompt
    /// and cleans the answer. A cancelled `cancel` ends it with `CancellationError`.
    Task<QString> polish(QString text, SpeechLocale locale, PolishModel model, QString instructions,
                         CancellationToken cancel) override;
    /// Aborts every request in flight, sends SIGTERM to the server, and SIGKILL if it is still
    /// alive after 2 s (without blocking); forgets the server at once. The log file stays.
    /// A start still in progress (download, readiness wait) is abandoned: it launches nothing and
    /// fails with `serverStartFailed`; a warm-up is cancelled (with its download).
    void stopServer() override;
    /// Starts the selected model's server in a task of its own (posted, never inside the
    /// caller); failures are only logged. A warm-up of another model still running is cancelled.
    void warmUp() override;

    /// One chat turn for a dialogue that ends with the user's message.
    Task<QString> chatCompletion(QList<LocalLLMChatMessage> dialogue, PolishModel model,
                                 CancellationToken cancel = {});

    /// The port of a ready server running `model`, starting (and downloading) as needed. Ready
    /// means: /health answers 200 to 299 and the socket on the port belongs to our child. A stop,
    /// or a start for another model, while this one is on its way ends it with
    /// `serverStartFailed("The start was abandoned: the local server was stopped.")`; a server
    /// replaced by another one of the same model is followed.
    Task<int> ensureServer(PolishModel model, CancellationToken cancel = {});

    /// Stops the own server and kills every other `llama-server` of the user that runs our
    /// runtime's executable (/proc/PID/exe inside the runtime folder; servers the user runs
    /// from elsewhere are left alone): SIGTERM, 0.5 s blocking pause, SIGKILL for the rest.
    /// Returns the number found at first. Throws `LocalPolishError` (`cleanupFailed`).
    int cleanupResidualServers();
    /// `stopServer()`, then waits (blocking, at most about 3 s) until every process this engine
    /// started has exited, killing it after the 2 s grace. For process exit (command line, app quit).
    void shutdown();

    // ---- model files ----

    /// The model file path (a configured stand-in file when there is one).
    QString localModelPath(PolishModel model) const;
    QString partialModelPath(PolishModel model) const {
        return localModelPath(model) + QStringLiteral(".download");
    }
    /// Whether a file exists at the model path (its size and content are not checked).
    bool isModelDownloaded(PolishModel model) const;
    /// Downloads the model file when it is missing. Progress goes to `progress` and to the
    /// engine-wide handler. One download per model at a time, also across processes (a lock file
    /// beside the model); a second caller waits for the first one's outcome. A cancelled
    /// `cancel` ends it with `CancellationError` (the partial file removed). A configured
    /// stand-in file is never downloaded: a missing one is `modelDownloadFailed`.
    Task<> prepareModel(PolishModel model, CancellationToken cancel = {}, Progress progress = {});
    /// Cancels a download of this model in progress (it fails with `modelDownloadFailed`), stops
    /// the server first when it runs this model, then removes the partial and the model file.
    /// Throws `ModelFileError` when a removal fails.
    void deleteModel(PolishModel model);
    /// Observes the progress of every download (the settings tabs).
    void setDownloadProgressHandler(std::function<void(PolishModel, qint64, qint64)> handler) {
        downloadProgressHandler_ = std::move(handler);
    }

    // ---- state ----

    std::optional<int> serverPort() const { return serverPort_; }
    std::optional<PolishModel> runningModel() const { return runningModel_; }
    QString serverLogPath() const { return serverLogPath_; }
    /// The server's process id, 0 without a server.
    qint64 serverProcessId() const;
    /// True while an HTTP request to the server or a download is running.
    bool hasRequestsInFlight() const { return !inFlight_.isEmpty(); }
    /// The number of those requests.
    int requestsInFlight() const { return static_cast<int>(inFlight_.size()); }

    // ---- runtime and helpers ----

    struct RuntimeLocation {
        QString executable;
        QString folder;
    };
    /// The server executable and its runtime folder, or none.
    std::optional<RuntimeLocation> locateRuntime() const;
    /// The owner-only folder of the server logs, created on demand: "$XDG_RUNTIME_DIR/quillory",
    /// else "quillory-<uid>" in the temporary folder, else a fresh private folder there. Empty
    /// when none can be made.
    static QString serverLogFolder();
    /// "llama-server-<port>.log" in `serverLogFolder()` (empty without one).
    static QString serverLogPath(int port);
    /// The command line arguments, in order. The server's API key is not among them: it is passed
    /// in the environment (LLAMA_API_KEY), fresh for every start.
    /// `gpuLayers` is `-ngl`: see `gpuLayers()`.
    static QStringList serverArguments(const QString& modelPath, int port, PolishModel model, int gpuLayers = 0);
    /// The model layers llama-server puts on a GPU: all (99) when its runtime folder has ggml's GPU
    /// backend (libggml-vulkan.so) and the device setting (`ComputeDevices::preferenceKey`) is not
    /// cpu; none (0) otherwise, as a CPU-only runtime would anyway.
    static int gpuLayers(const QString& runtimeFolder, ComputeDevicePreference preference);
    /// A port as `ensureServer` would pick it.
    int pickPort() const;
    /// The last 12 non-empty lines of a log joined by " | " ("no runtime log", "empty runtime log").
    static QString logTail(const QString& path);
    /// The `pgrep` listing of the user's `llama-server` processes.
    QList<qint32> llamaServerPIDs();
    /// Runs a helper to completion; returns its standard output. Throws `cleanupFailed`.
    QString runProcess(const QString& executable, const QStringList& arguments, bool allowsNonZeroExit);
    /// Whether at least one socket listens on `port` and every one of them is an open file of
    /// process `pid` (/proc/net/tcp and tcp6 against /proc/PID/fd).
    static bool isListenerOwnedBy(qint64 pid, int port);
    /// The executable of a process as /proc/PID/exe names it (without a " (deleted)" mark);
    /// empty when it can't be read.
    static QString executableOfProcess(qint32 pid);
    /// GET /health with a 1 s timeout; true for 200 to 299. Never fails.
    Task<bool> isServerReady(int port, CancellationToken cancel = {});
    /// One POST /completion; returns the raw "content". A failure carries the server's own error
    /// message when it has one (and it quotes nothing of the prompt), else the status and length.
    Task<QString> requestLlamaCompletion(QString prompt, int port, QStringList stopTokens, int nPredict,
                                         double temperature, double topP, Duration timeout,
                                         CancellationToken cancel);

    /// How one piece of the last polish went (for the command line and the benchmarks).
    using PieceReport = PolishPieceReport;
    /// The pieces of the last `polish` that reached the server, in order.
    const QList<PieceReport>& lastPolishPieces() const { return lastPolishPieces_; }
    /// The most tokens one piece of a dictation may take.
    static constexpr int kPieceTokens = kPolishPieceTokens;
    static constexpr Duration kTokenizeTimeout = std::chrono::seconds(10);

private:
    struct HttpResult;
    using CompletionAnswer = PolishCompletion;
    Task<CompletionAnswer> complete(QString prompt, int port, QStringList stopTokens, int nPredict,
                                    double temperature, double topP, Duration timeout,
                                    CancellationToken cancel);
    /// The number of tokens of `text` in the running model (POST /tokenize); none when the server
    /// can't tell.
    Task<std::optional<int>> countTokens(QString text, int port, CancellationToken cancel);
    Task<QString> polishPieces(QString transcript, int port, PolishModel model, QString instructions,
                               CancellationToken cancel);
    struct ActiveDownload;
    Task<HttpResult> send(QNetworkAccessManager& manager, QNetworkRequest request, QByteArray verb,
                          QByteArray body, std::optional<Duration> timeout, qint64 maxBytes,
                          CancellationToken cancel);
    Task<> waitUntilServerReady(int port, QPointer<QProcess> process, QString logPath, quint64 generation,
                                CancellationToken cancel);
    Task<std::optional<int>> awaitCurrentServer(quint64 intent, CancellationToken cancel);
    void launch(const RuntimeLocation& runtime, const QString& modelPath, PolishModel model);
    Task<QString> modelURL(PolishModel model, CancellationToken cancel, Progress progress);
    Task<> downloadModel(PolishModel model, QString destination, CancellationToken cancel, Progress progress);
    Task<> warmUpTask(PolishModel model, quint64 id, CancellationToken cancel);
    bool hostSupported() const;
    bool listenerOwned(qint64 pid, int port) const;
    bool isOwnServer(qint32 pid, const QString& runtimeFolder) const;
    QList<qint32> ownServerPIDs();
    void stop(std::optional<PolishModel> keepWarmUpOf);
    void retire(QProcess* process);
    void abortInFlight();

    Configuration configuration_;
    QNetworkAccessManager local_;     // the server on 127.0.0.1, never through a proxy
    QNetworkAccessManager downloads_; // the model hosting service

    QPointer<QProcess> serverProcess_;
    std::optional<int> serverPort_;
    QString serverLogPath_;
    QByteArray serverApiKey_; // sent with every request to the server after its health check
    std::optional<PolishModel> runningModel_;
    bool serverReady_ = false;
    /// Changes whenever the current server does (a launch, a stop).
    quint64 launchGeneration_ = 0;
    /// Changes with every stop (explicit, or a start for another model): a start in progress
    /// that sees it change launches nothing.
    quint64 intentGeneration_ = 0;
    /// The model the starts in progress (or the running server) are for; cleared by a stop.
    std::optional<PolishModel> intendedModel_;
    /// The warm-up in progress: its model, its cancellation and an id to recognise it.
    std::optional<PolishModel> warmUpModel_;
    std::unique_ptr<CancellationSource> warmUpCancel_;
    quint64 warmUpId_ = 0;

    QSet<QNetworkReply*> inFlight_;
    QSet<QNetworkReply*> abortedByStop_;
    std::map<PolishModel, std::shared_ptr<ActiveDownload>> downloading_;
    QList<QPointer<QProcess>> retiring_;
    std::function<void(PolishModel, qint64, qint64)> downloadProgressHandler_;
    QList<PieceReport> lastPolishPieces_;
};

} // namespace quillory
