// LocalPolishEngine: the llama-server process (runtime lookup, launch, readiness, stop, warm-up).
//
// Starts are intents: every stop (explicit, or a start for another model) changes
// `intentGeneration_`, and a start re-checks it after each wait, so a download or a readiness wait
// that outlives its intent launches nothing and never stops the server that replaced it. A caller
// waiting for a server that was replaced follows the new one when it runs the same model.

#include "AI/LocalPolishEngine.h"
#include "AI/LocalPolishEngineInternal.h"

#include "AI/PolishSettings.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/Paths.h"
#include "Runtime/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QHostAddress>
#include <QSet>
#include <QTcpServer>
#include <QStringDecoder>

#include <string_view>

#include <cerrno>
#include <cstdlib>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillory {

namespace {

/// Thrown inside a readiness wait when the server waited for is no longer the engine's.
struct ServerReplaced {};

/// Thrown inside a readiness wait when the server exited because another program took its port
/// between our choice and its bind.
struct PortTaken {
    QString log;
};

/// How many times a start whose port was taken is tried on a fresh port.
constexpr int kPortAttempts = 4;

bool saysPortTaken(const QString& logTail) {
    return logTail.contains(QLatin1String("couldn't bind HTTP server socket")) ||
           logTail.contains(QLatin1String("Address already in use"));
}

LocalPolishError abandonedStart() {
    return LocalPolishError::serverStartFailed(
        QStringLiteral("The start was abandoned: the local server was stopped."));
}

/// Whether `path` is a folder of this user that nobody else may enter (0700, not a link).
bool isPrivateFolder(const QByteArray& native) {
    struct stat st {};
    return ::lstat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & 0077) == 0;
}

/// Creates `path` owner-only, or makes an existing folder of this user owner-only; false when the
/// name is taken by anything else (another user's folder, a link, a file).
bool makePrivateFolder(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
        return false;
    }
    if ((st.st_mode & 0077) != 0 && ::chmod(native.constData(), 0700) != 0) {
        return false;
    }
    return isPrivateFolder(native);
}

/// Opens the server log for writing, empty and owner-only. The log lives in a folder nobody else
/// can write to, so whatever is at the name is a leftover of our own: it is removed and the file
/// created anew (never opened through a link). -1 when that isn't possible.
int openServerLog(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::unlink(native.constData()) != 0 && errno != ENOENT) {
            return -1; // e.g. a folder at the name
        }
        const int fd =
            ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
    }
    return -1;
}

/// A fresh secret for one server start: 32 random bytes from the system's generator, in hexadecimal.
QByteArray freshApiKey() {
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    return bytes.toHex();
}

/// The inodes of the sockets listening on `port`, from one of the kernel's TCP tables.
void collectListeners(const char* table, int port, QSet<QByteArray>& inodes) {
    QFile file(QString::fromLatin1(table));
    if (!file.open(QIODevice::ReadOnly)) {
        return;
    }
    file.readLine(); // the header
    while (!file.atEnd()) {
        const QList<QByteArray> fields = file.readLine().simplified().split(' ');
        if (fields.size() < 10 || fields[3] != "0A") { // 0A: LISTEN
            continue;
        }
        const QByteArray& local = fields[1]; // address:port in hexadecimal
        bool ok = false;
        const int localPort = local.mid(local.lastIndexOf(':') + 1).toInt(&ok, 16);
        if (ok && localPort == port) {
            inodes.insert(fields[9]);
        }
    }
}

} // namespace

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

QString LocalPolishEngine::serverLogFolder() {
    // "$XDG_RUNTIME_DIR/quillory" when the session has a runtime folder of this user; else
    // "quillory-<uid>" in the temporary folder, when that name is ours; else a folder with a
    // random name there, made once per process.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime)) {
        struct stat st {};
        if (::stat(QFile::encodeName(runtime).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
            st.st_uid == ::getuid()) {
            const QString folder = QDir::cleanPath(runtime) + QStringLiteral("/quillory");
            if (makePrivateFolder(folder)) {
                return folder;
            }
        }
    }
    const QString temp = QDir(Paths::tempDirectory()).absolutePath();
    const QString folder = temp + QStringLiteral("/quillory-%1").arg(::getuid());
    if (makePrivateFolder(folder)) {
        return folder;
    }
    static QString made; // main thread only
    if (made.isEmpty() || !made.startsWith(temp + QLatin1Char('/')) ||
        !isPrivateFolder(QFile::encodeName(made))) {
        QByteArray pattern = QFile::encodeName(folder + QStringLiteral("-XXXXXX"));
        made = ::mkdtemp(pattern.data()) ? QFile::decodeName(pattern) : QString();
    }
    return made;
}

QString LocalPolishEngine::serverLogPath(int port) {
    const QString folder = serverLogFolder();
    return folder.isEmpty() ? QString() : folder + QStringLiteral("/llama-server-%1.log").arg(port);
}

int LocalPolishEngine::gpuLayers(const QString& runtimeFolder, ComputeDevicePreference preference) {
    if (preference == ComputeDevicePreference::cpu || runtimeFolder.isEmpty()) {
        return 0;
    }
    return QFileInfo(QDir(runtimeFolder).filePath(QStringLiteral("libggml-vulkan.so"))).isFile() ? 99 : 0;
}

QStringList LocalPolishEngine::serverArguments(const QString& modelPath, int port, PolishModel model, int gpuLayers) {
    QStringList args{QStringLiteral("-m"), modelPath, QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                     QStringLiteral("--port"), QString::number(port), QStringLiteral("-ngl"),
                     QString::number(gpuLayers), QStringLiteral("-c"), QString::number(kContextTokens),
                     QStringLiteral("--no-warmup"), QStringLiteral("--no-webui"),
                     // Only we talk to the server: no slot listing, and no web page of another origin
                     // may read its answers (the key, from the environment, keeps everyone else out).
                     QStringLiteral("--no-slots"), QStringLiteral("--cors-origins"),
                     QStringLiteral("http://127.0.0.1:%1").arg(port),
                     QStringLiteral("--no-cors-credentials")};
    return args + PolishModels::extraLlamaServerArguments(model);
}

int LocalPolishEngine::pickPort() const {
    if (configuration_.pickPort) {
        return configuration_.pickPort();
    }
    // Outside the kernel's range for outgoing connections (32768-60999 on Linux), so that no
    // connection of this or another program holds it by chance, and free at the time of asking.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const int port = 61000 + static_cast<int>(QRandomGenerator::global()->bounded(4500));
        QTcpServer probe;
        if (probe.listen(QHostAddress::LocalHost, static_cast<quint16>(port))) {
            return port;
        }
    }
    return 61000 + static_cast<int>(QRandomGenerator::global()->bounded(4500));
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

bool LocalPolishEngine::isListenerOwnedBy(qint64 pid, int port) {
    if (pid <= 0 || port <= 0) {
        return false;
    }
    QSet<QByteArray> listeners;
    collectListeners("/proc/net/tcp", port, listeners);
    collectListeners("/proc/net/tcp6", port, listeners);
    if (listeners.isEmpty()) {
        return false;
    }
    const QByteArray fdFolder = QByteArray("/proc/") + QByteArray::number(pid) + "/fd";
    DIR* dir = ::opendir(fdFolder.constData());
    if (!dir) {
        return false;
    }
    QSet<QByteArray> owned;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray link = fdFolder + '/' + entry->d_name;
        char target[128];
        const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
        if (n > 9 && std::string_view(target, 8) == "socket:[" && target[n - 1] == ']') {
            owned.insert(QByteArray(target + 8, n - 9));
        }
    }
    ::closedir(dir);
    for (const QByteArray& inode : listeners) {
        if (!owned.contains(inode)) {
            return false; // someone else listens on the port too
        }
    }
    return true;
}

bool LocalPolishEngine::listenerOwned(qint64 pid, int port) const {
    return configuration_.listenerOwnedBy ? configuration_.listenerOwnedBy(pid, port)
                                          : isListenerOwnedBy(pid, port);
}

// ---- starting ----

Task<int> LocalPolishEngine::ensureServer(PolishModel model, CancellationToken cancel) {
    if (!hostSupported()) {
        throw LocalPolishError::unsupportedPlatform();
    }
    for (;;) {
        cancel.throwIfCancelled();
        if (serverProcess_ && serverProcess_->state() != QProcess::NotRunning && serverPort_ &&
            runningModel_ == model) {
            if (serverReady_) {
                co_return *serverPort_;
            }
            // Another call launched it and is still waiting for readiness: wait as well, so that no
            // request reaches a server that is still loading.
            if (const auto port = co_await awaitCurrentServer(intentGeneration_, cancel)) {
                co_return *port;
            }
            continue; // replaced by another server of this model: follow it
        }
        if (intendedModel_ != model) {
            stop(model);
            intendedModel_ = model;
        }
        const quint64 intent = intentGeneration_;
        const auto runtime = locateRuntime();
        if (!runtime) {
            throw LocalPolishError::missingRuntime();
        }
        const QString modelPath = co_await modelURL(model, cancel, {});
        cancel.throwIfCancelled();
        if (intentGeneration_ != intent) {
            throw abandonedStart(); // stopped, or another model asked for, during the download
        }
        if (serverProcess_ && serverProcess_->state() != QProcess::NotRunning && runningModel_ == model) {
            continue; // another call started it while the model was being downloaded
        }
        // Another program may take the chosen port before the server binds it: that start is
        // tried again on a fresh port, a few times, before it is reported.
        for (int attempt = 1;; ++attempt) {
            launch(*runtime, modelPath, model);
            try {
                if (const auto port = co_await awaitCurrentServer(intent, cancel)) {
                    co_return *port;
                }
                break; // replaced by another server: follow it
            } catch (const PortTaken& taken) {
                if (attempt >= kPortAttempts) {
                    throw LocalPolishError::serverStartFailed(QStringLiteral("process exited. ") + taken.log);
                }
                qCWarning(lcInput).noquote()
                    << QStringLiteral("Local polish runtime: port %1 was taken by another program; "
                                      "starting again on another port")
                           .arg(serverPort_.value_or(0));
            }
        }
    }
}

Task<std::optional<int>> LocalPolishEngine::awaitCurrentServer(quint64 intent, CancellationToken cancel) {
    const quint64 generation = launchGeneration_;
    const int port = *serverPort_;
    try {
        co_await waitUntilServerReady(port, serverProcess_, serverLogPath_, generation, cancel);
    } catch (const ServerReplaced&) {
        cancel.throwIfCancelled();
        if (intentGeneration_ != intent) {
            throw abandonedStart();
        }
        co_return std::nullopt;
    }
    serverReady_ = true; // the wait ends only while its server is still the current one
    co_return port;
}

void LocalPolishEngine::launch(const RuntimeLocation& runtime, const QString& modelPath, PolishModel model) {
    if (QProcess* old = serverProcess_.data()) {
        retire(old); // a server of this model that died
    }
    serverProcess_.clear();
    serverPort_.reset();
    serverLogPath_.clear();
    serverApiKey_.clear();
    runningModel_.reset();
    serverReady_ = false;
    ++launchGeneration_;

    const int port = pickPort();
    const QString logPath = serverLogPath(port);
    const int logFd = logPath.isEmpty() ? -1 : openServerLog(logPath);
    if (logFd < 0) {
        throw LocalPolishError::serverStartFailed(QStringLiteral("cannot open log file"));
    }
    auto* process = new QProcess(this);
    process->setProgram(runtime.executable);
    const int layers = gpuLayers(runtime.folder, ComputeDevices::preference(DefaultsStore::standard()));
    // Without a usable GPU (no libvulkan1, no driver, lavapipe alone) the server skips its Vulkan
    // backend or finds no device in it, and -ngl 99 leaves the model on the CPU.
    qCInfo(lcInput, "llama-server: %s",
           layers > 0 ? "the model on a Vulkan GPU if ggml finds one (-ngl 99)" : "the model on the CPU (-ngl 0)");
    process->setArguments(serverArguments(modelPath, port, model, layers));
    process->setWorkingDirectory(runtime.folder);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_LIBRARY_PATH"), runtime.folder);
    // The server reads its settings from LLAMA_ARG_* variables too: none is inherited, so the
    // settings are the arguments above. The key goes through the environment, which only this
    // user can read (/proc/PID/environ), never the command line, which everyone can.
    for (const QString& name : environment.keys()) {
        if (name.startsWith(QLatin1String("LLAMA_ARG_")) || name == QLatin1String("LLAMA_API_KEY")) {
            environment.remove(name);
        }
    }
    const QByteArray apiKey = freshApiKey();
    environment.insert(QStringLiteral("LLAMA_API_KEY"), QString::fromLatin1(apiKey));
    process->setProcessEnvironment(environment);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    // In the child, before the server runs: both output streams into the log we opened (so no
    // link swapped in meanwhile is followed), and the server dies with us, even when we crash.
    const pid_t parent = ::getpid();
    process->setChildProcessModifier([logFd, parent] {
        ::dup2(logFd, STDOUT_FILENO);
        ::dup2(logFd, STDERR_FILENO);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127); // the parent is already gone
        }
    });
    process->start();
    const bool started = process->waitForStarted(-1);
    ::close(logFd);
    if (!started) {
        const QString description = process->errorString();
        qCCritical(lcInput).noquote()
            << QStringLiteral("Failed to launch local polish runtime: %1").arg(description);
        delete process;
        throw LocalPolishError::serverStartFailed(description);
    }
    serverProcess_ = process;
    serverPort_ = port;
    serverLogPath_ = logPath;
    serverApiKey_ = apiKey;
    runningModel_ = model;
}

Task<> LocalPolishEngine::waitUntilServerReady(int port, QPointer<QProcess> process, QString logPath,
                                               quint64 generation, CancellationToken cancel) {
    Scheduler& clock = Scheduler::current();
    const Duration deadline = clock.monotonicNow() + kReadinessDeadline;
    bool strangerReported = false;
    for (;;) {
        if (launchGeneration_ != generation) {
            throw ServerReplaced{};
        }
        if (clock.monotonicNow() >= deadline) {
            throw LocalPolishError::serverStartFailed(QStringLiteral("timeout waiting for /health. ") +
                                                      logTail(logPath));
        }
        if (!process || process->state() == QProcess::NotRunning) {
            const QString tail = logTail(logPath);
            if (saysPortTaken(tail)) {
                throw PortTaken{tail};
            }
            throw LocalPolishError::serverStartFailed(QStringLiteral("process exited. ") + tail);
        }
        const bool answered = co_await isServerReady(port, cancel);
        if (launchGeneration_ != generation) {
            throw ServerReplaced{};
        }
        // Ready only when the answer came from our own child: whatever else listens on the port
        // must never receive the dictation.
        if (answered && process) {
            if (listenerOwned(process->processId(), port)) {
                co_return;
            }
            if (!strangerReported) {
                strangerReported = true;
                qCWarning(lcInput).noquote()
                    << QStringLiteral("Local polish runtime: port %1 is answered by another process; "
                                      "waiting for our own server")
                           .arg(port);
            }
        }
        if (!co_await sleepFor(kReadinessPollInterval, cancel)) {
            throw CancellationError();
        }
    }
}

// ---- stopping ----

void LocalPolishEngine::retire(QProcess* process) {
    // Forget the ones that have ended.
    retiring_.removeIf([](const QPointer<QProcess>& p) { return !p || p->state() == QProcess::NotRunning; });
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

void LocalPolishEngine::stop(std::optional<PolishModel> keepWarmUpOf) {
    ++intentGeneration_;
    ++launchGeneration_;
    intendedModel_.reset();
    if (warmUpCancel_ && !(keepWarmUpOf && warmUpModel_ == keepWarmUpOf)) {
        const auto source = std::move(warmUpCancel_);
        warmUpModel_.reset();
        source->cancel();
    }
    abortInFlight();
    if (QProcess* process = serverProcess_.data()) {
        retire(process);
    }
    serverProcess_.clear();
    serverPort_.reset();
    serverLogPath_.clear();
    serverApiKey_.clear();
    runningModel_.reset();
    serverReady_ = false;
}

void LocalPolishEngine::stopServer() {
    stop(std::nullopt);
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

// ---- warm-up ----

void LocalPolishEngine::warmUp() {
    if (!hostSupported()) {
        return;
    }
    const PolishModel model = PolishSettings::selectedModel();
    if (warmUpCancel_ && warmUpModel_ == model) {
        return; // already on its way
    }
    if (warmUpCancel_) {
        warmUpCancel_->cancel();
    }
    warmUpCancel_ = std::make_unique<CancellationSource>();
    warmUpModel_ = model;
    const quint64 id = ++warmUpId_;
    const CancellationToken token = warmUpCancel_->token();
    QPointer<LocalPolishEngine> self(this);
    Scheduler::current().post([self, model, id, token] {
        if (self && !token.isCancelled()) {
            self->warmUpTask(model, id, token); // runs on by itself; failures are only logged
        }
    });
}

Task<> LocalPolishEngine::warmUpTask(PolishModel model, quint64 id, CancellationToken cancel) {
    try {
        co_await ensureServer(model, cancel);
    } catch (const CancellationError&) {
        // stopped, or another warm-up took its place
    } catch (const LocalPolishError& e) {
        qCCritical(lcInput).noquote()
            << QStringLiteral("Local polish warm-up failed: %1").arg(e.localizedDescription());
    } catch (const std::exception& e) {
        qCCritical(lcInput).noquote()
            << QStringLiteral("Local polish warm-up failed: %1").arg(QString::fromUtf8(e.what()));
    }
    if (warmUpId_ == id) {
        warmUpCancel_.reset();
        warmUpModel_.reset();
    }
}

} // namespace quillory
