#include "AI/LocalPolishEngine.h"

#include "AI/PolishSettings.h"
#include "AI/PolishText.h"
#include "Platform/HostCPU.h"
#include "Runtime/Paths.h"
#include "Runtime/Text.h"
#include "Utilities/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QTextBoundaryFinder>
#include <QThread>

#include <coroutine>
#include <memory>

#include <unistd.h>

namespace quillory {

namespace {

/// Resumes the awaiting coroutine when the reply has finished. The resumption is queued, so it
/// never runs inside the reply's own code (an `abort()` emits `finished` synchronously).
struct ReplyFinished {
    QNetworkReply* reply;
    bool await_ready() const noexcept { return reply->isFinished(); }
    void await_suspend(std::coroutine_handle<> h) {
        QObject::connect(
            reply, &QNetworkReply::finished, reply, [h] { h.resume(); },
            Qt::ConnectionType(Qt::QueuedConnection | Qt::SingleShotConnection));
    }
    void await_resume() const noexcept {}
};

/// Waits until the reply has finished; a cancellation aborts it, from the loop rather than from
/// inside whoever cancelled.
Task<> replyFinished(QNetworkReply* reply, CancellationToken cancel) {
    QPointer<QNetworkReply> guard(reply);
    Scheduler* scheduler = &Scheduler::current();
    const auto registration = cancel.onCancel([guard, scheduler] {
        scheduler->post([guard] {
            if (guard && !guard->isFinished()) {
                guard->abort();
            }
        });
    });
    ReplyFinished finished{reply};
    co_await finished;
    cancel.removeCallback(registration);
}

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

/// The text as UTF-8, or empty when it isn't valid UTF-8.
QString strictUtf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        return {};
    }
    return text;
}

/// The first `count` user-perceived characters.
QString prefixCharacters(const QString& text, int count) {
    if (text.size() <= count) {
        return text;
    }
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int seen = 0;
    qsizetype position = 0;
    while (seen < count) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0) {
            return text;
        }
        position = next;
        ++seen;
    }
    return text.left(position);
}

QString bodyPrefix(const QByteArray& body) {
    return prefixCharacters(strictUtf8(body), 300);
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

struct LocalPolishEngine::HttpResult {
    bool isHttp = false;
    int status = -1;
    QByteArray body;
    bool failed = false; // transport failure (no HTTP answer)
    QString errorString; // its description
    bool timedOut = false;
    bool cancelled = false; // the caller's token
    bool stopped = false;   // aborted by stopServer()
};

LocalPolishEngine& LocalPolishEngine::shared() {
    static LocalPolishEngine* engine = new LocalPolishEngine(); // lives until the process ends
    return *engine;
}

LocalPolishEngine::LocalPolishEngine() : LocalPolishEngine(Configuration{}) {}

LocalPolishEngine::LocalPolishEngine(Configuration configuration, QObject* parent)
    : QObject(parent), configuration_(std::move(configuration)) {
    local_.setProxy(QNetworkProxy::NoProxy);
    local_.setAutoDeleteReplies(false);
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

// ---- runtime ----

std::optional<LocalPolishEngine::RuntimeLocation> LocalPolishEngine::locateRuntime() const {
    QStringList folders;
    if (!configuration_.runtimeDirectory.isEmpty()) {
        folders << configuration_.runtimeDirectory;
    } else if (const QString env = qEnvironmentVariable("QUILLORY_RUNTIME_DIR"); !env.isEmpty()) {
        folders << env;
    } else {
        const QString appDir =
            QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
        if (!appDir.isEmpty()) {
            folders << appDir + QStringLiteral("/../libexec/quillory")
                    << appDir + QStringLiteral("/libexec/quillory");
        }
        // A build tree: the runtime built into the dependency cache.
        const QString deps = Paths::cacheDirectory() + QStringLiteral("/deps");
        QFile stamp(deps + QStringLiteral("/llama-current"));
        if (stamp.open(QIODevice::ReadOnly)) {
            const QString name = QString::fromUtf8(stamp.readLine()).trimmed();
            if (name.startsWith(QLatin1String("llama-")) && !name.contains(QLatin1Char('/'))) {
                folders << deps + QLatin1Char('/') + name + QStringLiteral("/bin");
            }
        }
    }
    for (const QString& folder : folders) {
        const QString clean = QDir::cleanPath(QDir(folder).absolutePath());
        for (const QString& candidate :
             {clean + QStringLiteral("/llama-server"), clean + QStringLiteral("/llama/llama-server")}) {
            const QFileInfo info(candidate);
            if (info.isFile() && info.isExecutable()) {
                return RuntimeLocation{candidate, clean};
            }
        }
    }
    return std::nullopt;
}

QString LocalPolishEngine::serverLogPath(int port) {
    return QDir(Paths::tempDirectory()).filePath(QStringLiteral("quillory-llama-server-%1.log").arg(port));
}

QStringList LocalPolishEngine::serverArguments(const QString& modelPath, int port, PolishModel model) {
    QStringList args{QStringLiteral("-m"),          modelPath,
                     QStringLiteral("--host"),      QStringLiteral("127.0.0.1"),
                     QStringLiteral("--port"),      QString::number(port),
                     QStringLiteral("-ngl"),        QStringLiteral("99"),
                     QStringLiteral("-c"),          QStringLiteral("2048"),
                     QStringLiteral("--no-warmup"), QStringLiteral("--no-webui")};
    return args + PolishModels::extraLlamaServerArguments(model);
}

int LocalPolishEngine::pickPort() const {
    if (configuration_.pickPort) {
        return configuration_.pickPort();
    }
    return 49152 + static_cast<int>(QRandomGenerator::global()->bounded(16384));
}

QString LocalPolishEngine::logTail(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("no runtime log");
    }
    const QByteArray bytes = file.readAll();
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError()) {
        return QStringLiteral("no runtime log");
    }
    QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (lines.size() > 12) {
        lines = lines.mid(lines.size() - 12);
    }
    const QString tail = lines.join(QStringLiteral(" | "));
    return tail.isEmpty() ? QStringLiteral("empty runtime log") : tail;
}

// ---- HTTP ----

Task<LocalPolishEngine::HttpResult> LocalPolishEngine::send(QNetworkAccessManager& manager,
                                                            QNetworkRequest request, QByteArray verb,
                                                            QByteArray body, std::optional<Duration> timeout,
                                                            CancellationToken cancel) {
    HttpResult result;
    if (cancel.isCancelled()) {
        result.failed = result.cancelled = true;
        result.errorString = QStringLiteral("cancelled");
        co_return result;
    }
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::PreferNetwork);
    QNetworkReply* reply = manager.sendCustomRequest(request, verb, body);
    inFlight_.insert(reply);
    QPointer<QNetworkReply> guard(reply);

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
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && !result.timedOut && !result.cancelled && !result.stopped) {
        result.isHttp = true;
        result.status = status.toInt();
        result.body = reply->readAll();
    } else if (reply->error() != QNetworkReply::NoError || result.timedOut || result.cancelled ||
               result.stopped) {
        result.failed = true;
        if (result.timedOut) {
            result.errorString = QStringLiteral("The request timed out.");
        } else if (result.stopped) {
            result.errorString = QStringLiteral("The request was abandoned: the local server was stopped.");
        } else if (result.cancelled) {
            result.errorString = QStringLiteral("cancelled");
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
    const HttpResult r = co_await send(local_, request, "GET", {}, kHealthTimeout, cancel);
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
    const HttpResult r = co_await send(local_, request, "POST", body, timeout, cancel);
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
            QStringLiteral("HTTP %1. %2").arg(r.status).arg(bodyPrefix(r.body)));
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
    throw LocalPolishError::invalidResponse(decodingError + QStringLiteral(". ") + bodyPrefix(r.body));
}

// ---- server lifecycle ----

Task<int> LocalPolishEngine::ensureServer(PolishModel model, CancellationToken cancel) {
    if (!hostSupported()) {
        throw LocalPolishError::unsupportedPlatform();
    }
    if (serverProcess_ && serverProcess_->state() != QProcess::NotRunning && serverPort_ &&
        runningModel_ == model) {
        if (serverReady_) {
            co_return *serverPort_;
        }
        // Another call launched it and is still waiting for readiness: wait as well, so that no
        // request reaches a server that is still loading.
        const quint64 generation = launchGeneration_;
        const int port = *serverPort_;
        co_await waitUntilServerReady(port, serverProcess_, serverLogPath_, cancel);
        if (launchGeneration_ == generation) {
            serverReady_ = true;
        }
        co_return port;
    }
    stopServer();
    const auto runtime = locateRuntime();
    if (!runtime) {
        throw LocalPolishError::missingRuntime();
    }
    const QString modelPath = co_await modelURL(model, cancel, {});
    cancel.throwIfCancelled();
    if (serverProcess_) {
        // Another call started a server while the model was being downloaded.
        if (serverProcess_->state() != QProcess::NotRunning && runningModel_ == model) {
            co_return co_await ensureServer(model, cancel);
        }
        stopServer();
    }

    const int port = pickPort();
    const QString logPath = serverLogPath(port);
    {
        QFile log(logPath);
        if (!log.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            throw LocalPolishError::serverStartFailed(QStringLiteral("cannot open log file"));
        }
    }
    auto* process = new QProcess(this);
    process->setProgram(runtime->executable);
    process->setArguments(serverArguments(modelPath, port, model));
    process->setWorkingDirectory(runtime->folder);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_LIBRARY_PATH"), runtime->folder);
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->setStandardOutputFile(logPath, QIODevice::Append);
    process->setStandardInputFile(QProcess::nullDevice());
    process->start();
    if (!process->waitForStarted(-1)) {
        const QString description = process->errorString();
        qCCritical(lcInput).noquote()
            << QStringLiteral("Failed to launch local polish runtime: %1").arg(description);
        delete process;
        throw LocalPolishError::serverStartFailed(description);
    }
    serverProcess_ = process;
    serverPort_ = port;
    serverLogPath_ = logPath;
    runningModel_ = model;
    serverReady_ = false;
    const quint64 generation = ++launchGeneration_;

    co_await waitUntilServerReady(port, process, logPath, cancel);
    if (launchGeneration_ == generation) {
        serverReady_ = true;
    }
    co_return port;
}

Task<> LocalPolishEngine::waitUntilServerReady(int port, QPointer<QProcess> process, QString logPath,
                                               CancellationToken cancel) {
    Scheduler& clock = Scheduler::current();
    const Duration deadline = clock.monotonicNow() + kReadinessDeadline;
    for (;;) {
        if (clock.monotonicNow() >= deadline) {
            throw LocalPolishError::serverStartFailed(QStringLiteral("timeout waiting for /health. ") +
                                                      logTail(logPath));
        }
        if (!process || process->state() == QProcess::NotRunning) {
            throw LocalPolishError::serverStartFailed(QStringLiteral("process exited. ") + logTail(logPath));
        }
        if (co_await isServerReady(port, cancel)) {
            co_return;
        }
        if (!co_await sleepFor(kReadinessPollInterval, cancel)) {
            throw CancellationError();
        }
    }
}

void LocalPolishEngine::retire(QProcess* process) {
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
        return;
    }
    process->terminate();
    QPointer<QProcess> guard(process);
    auto escalation = std::make_shared<Timer>(Timer::once(kKillEscalation, [guard] {
        if (guard && guard->state() != QProcess::NotRunning) {
            guard->kill();
        }
    }));
    connect(process, &QProcess::finished, process, [process, escalation] {
        escalation->stop();
        process->deleteLater();
    });
    retiring_.append(guard);
}

void LocalPolishEngine::stopServer() {
    abortInFlight();
    if (QProcess* process = serverProcess_.data()) {
        retire(process);
    }
    serverProcess_.clear();
    serverPort_.reset();
    serverLogPath_.clear();
    runningModel_.reset();
    serverReady_ = false;
}

void LocalPolishEngine::shutdown() {
    stopServer();
    for (const QPointer<QProcess>& process : std::exchange(retiring_, {})) {
        if (!process || process->state() == QProcess::NotRunning) {
            continue;
        }
        if (!process->waitForFinished(static_cast<int>(wholeMilliseconds(kKillEscalation)))) {
            process->kill();
            process->waitForFinished(1000);
        }
    }
}

Task<> LocalPolishEngine::warmUpTask() {
    try {
        co_await ensureServer(PolishSettings::selectedModel());
    } catch (const LocalPolishError& e) {
        qCCritical(lcInput).noquote()
            << QStringLiteral("Local polish warm-up failed: %1").arg(e.localizedDescription());
    } catch (const std::exception& e) {
        qCCritical(lcInput).noquote()
            << QStringLiteral("Local polish warm-up failed: %1").arg(QString::fromUtf8(e.what()));
    }
}

void LocalPolishEngine::warmUp() {
    if (!hostSupported()) {
        return;
    }
    warmUpTask(); // runs on by itself; failures are only logged
}

// ---- helpers and clean-up ----

QString LocalPolishEngine::runProcess(const QString& executable, const QStringList& arguments,
                                      bool allowsNonZeroExit) {
    QProcess process;
    process.start(executable, arguments);
    if (!process.waitForStarted(-1)) {
        throw LocalPolishError::cleanupFailed(process.errorString());
    }
    process.closeWriteChannel();
    process.waitForFinished(-1);
    const QString out = strictUtf8(process.readAllStandardOutput());
    const QString err = strictUtf8(process.readAllStandardError());
    const int status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    if (status == 0 || allowsNonZeroExit) {
        return out;
    }
    throw LocalPolishError::cleanupFailed(!err.isEmpty() ? err : QStringLiteral("exit %1").arg(status));
}

QList<qint32> LocalPolishEngine::llamaServerPIDs() {
    const QString out = runProcess(configuration_.pgrepPath,
                                   {QStringLiteral("-u"), QString::number(::getuid()), QStringLiteral("-x"),
                                    QStringLiteral("llama-server")},
                                   true);
    QList<qint32> pids;
    for (const QString& line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        bool ok = false;
        const qint32 pid = line.trimmed().toInt(&ok, 10);
        if (ok) {
            pids << pid;
        }
    }
    return pids;
}

int LocalPolishEngine::cleanupResidualServers() {
    stopServer();
    const QList<qint32> found = llamaServerPIDs();
    if (found.isEmpty()) {
        return 0;
    }
    QStringList ids;
    for (qint32 pid : found) {
        ids << QString::number(pid);
    }
    runProcess(configuration_.killPath, ids, false);
    if (configuration_.blockingPause) {
        configuration_.blockingPause(kCleanupPause);
    } else {
        QThread::msleep(static_cast<unsigned long>(wholeMilliseconds(kCleanupPause)));
    }
    const QList<qint32> remaining = llamaServerPIDs();
    if (!remaining.isEmpty()) {
        QStringList args{QStringLiteral("-9")};
        for (qint32 pid : remaining) {
            args << QString::number(pid);
        }
        runProcess(configuration_.killPath, args, false);
    }
    return static_cast<int>(found.size());
}

// ---- models ----

QString LocalPolishEngine::localModelPath(PolishModel model) const {
    if (const auto it = configuration_.modelFiles.constFind(model);
        it != configuration_.modelFiles.constEnd()) {
        return it.value();
    }
    const QString folder = configuration_.modelDirectory.isEmpty() ? PolishSettings::modelDirectory()
                                                                   : configuration_.modelDirectory;
    return folder + QLatin1Char('/') + PolishModels::filename(model);
}

bool LocalPolishEngine::isModelDownloaded(PolishModel model) const {
    return QFileInfo::exists(localModelPath(model));
}

Task<> LocalPolishEngine::prepareModel(PolishModel model, CancellationToken cancel, Progress progress) {
    co_await modelURL(model, cancel, std::move(progress));
}

Task<QString> LocalPolishEngine::modelURL(PolishModel model, CancellationToken cancel, Progress progress) {
    const QString path = localModelPath(model);
    // One download per model at a time: a second caller waits for the first one's outcome.
    while (downloading_.count(model) != 0) {
        if (!co_await sleepFor(kReadinessPollInterval, cancel)) {
            throw CancellationError();
        }
    }
    if (QFileInfo::exists(path)) {
        co_return path;
    }
    downloading_.insert(model);
    try {
        co_await downloadModel(model, path, cancel, std::move(progress));
    } catch (...) {
        downloading_.erase(model);
        throw;
    }
    downloading_.erase(model);
    co_return path;
}

Task<> LocalPolishEngine::downloadModel(PolishModel model, QString destination, CancellationToken cancel,
                                        Progress progress) {
    const QString partialPath = destination + QStringLiteral(".download");
    if (!QDir().mkpath(QFileInfo(destination).absolutePath())) {
        throw LocalPolishError::modelDownloadFailed(
            QStringLiteral("cannot create the folder %1").arg(QFileInfo(destination).absolutePath()));
    }
    if (QFileInfo::exists(partialPath) && !QFile::remove(partialPath)) {
        throw LocalPolishError::modelDownloadFailed(QStringLiteral("cannot remove %1").arg(partialPath));
    }
    auto partial = std::make_shared<QFile>(partialPath);
    if (!partial->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        throw LocalPolishError::modelDownloadFailed(partial->errorString());
    }

    QNetworkRequest request{QUrl(PolishModels::downloadURL(model))};
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply* reply = downloads_.get(request);
    inFlight_.insert(reply);
    auto writeError = std::make_shared<QString>();
    const auto statusOk = [reply] {
        const QVariant s = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        return s.isValid() && s.toInt() >= 200 && s.toInt() <= 299;
    };
    // Stream to disk as data arrives: a model never sits in memory. Progress is reported with
    // every chunk written (received bytes, and the announced length or -1).
    auto received = std::make_shared<qint64>(0);
    auto handler = downloadProgressHandler_;
    const auto consume = [reply, partial, writeError, statusOk, received, progress, handler, model] {
        if (!statusOk()) {
            reply->readAll(); // an error page: not part of the file
            return;
        }
        const QByteArray chunk = reply->readAll();
        if (chunk.isEmpty() || !writeError->isEmpty()) {
            return;
        }
        if (partial->write(chunk) != chunk.size()) {
            *writeError = partial->errorString();
            reply->abort();
            return;
        }
        *received += chunk.size();
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        const qint64 total = length.isValid() ? length.toLongLong() : -1;
        if (progress) {
            progress(*received, total);
        }
        if (handler) {
            handler(model, *received, total);
        }
    };
    connect(reply, &QNetworkReply::readyRead, reply, consume);
    co_await replyFinished(reply, cancel);

    inFlight_.remove(reply);
    reply->deleteLater();
    if (!cancel.isCancelled() && reply->bytesAvailable() > 0) {
        consume();
    }
    if (!partial->flush() && writeError->isEmpty()) {
        *writeError = partial->errorString();
    }
    partial->close();
    const auto fail = [&](const QString& message) {
        QFile::remove(partialPath);
        return LocalPolishError::modelDownloadFailed(message);
    };
    if (cancel.isCancelled()) {
        throw fail(QStringLiteral("cancelled"));
    }
    if (!writeError->isEmpty()) {
        throw fail(*writeError);
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && !statusOk()) {
        throw fail(QStringLiteral("HTTP %1").arg(status.toInt()));
    }
    if (reply->error() != QNetworkReply::NoError) {
        throw fail(reply->errorString());
    }
    if (!status.isValid()) {
        throw fail(QStringLiteral("HTTP -1"));
    }
    // A connection that ends early is not always reported as an error: check the announced length.
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && !reply->hasRawHeader("Content-Encoding") && length.toLongLong() != *received) {
        throw fail(
            QStringLiteral("incomplete download (%1 of %2 bytes)").arg(*received).arg(length.toLongLong()));
    }
    if (QFileInfo::exists(destination) && !QFile::remove(destination)) {
        throw fail(QStringLiteral("cannot replace %1").arg(destination));
    }
    if (!QFile::rename(partialPath, destination)) {
        throw fail(QStringLiteral("cannot move the download to %1").arg(destination));
    }
}

void LocalPolishEngine::deleteModel(PolishModel model) {
    if (runningModel_ == model) {
        stopServer();
    }
    for (const QString& path : {partialModelPath(model), localModelPath(model)}) {
        QFile file(path);
        if (file.exists() && !file.remove()) {
            throw ModelFileError(QStringLiteral("%1: %2").arg(path, file.errorString()));
        }
    }
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
    QString raw;
    try {
        const int port = co_await ensureServer(model, cancel);
        const QString prompt = PolishText::polishPrompt(transcript, model, instructions);
        raw = co_await requestLlamaCompletion(prompt, port, PolishModels::stopTokens(model), 256, 0.05, 0.8,
                                              kPolishRequestTimeout, cancel);
    } catch (const CancellationError&) {
        throw;
    } catch (...) {
        if (cancel.isCancelled()) {
            throw CancellationError();
        }
        throw;
    }
    const QString cleaned = PolishText::clean(raw);
    co_return checkedAnswer(cleaned, model);
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
