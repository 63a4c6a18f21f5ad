// The local AI commands: polish, chat, models, servers.
//
// Model files: the commands use the catalogue file in the model folder (`QUILLORY_MODELS_DIR`
// overrides the folder); `--model-file F` makes F stand in for the chosen model's file (a small
// test model, for example). The runtime folder follows `QUILLORY_RUNTIME_DIR` (see
// `LocalPolishEngine::locateRuntime`). Every command stops the servers it started before it ends.

#include "Cli/Cli.h"

#include "AI/LocalLLMChat.h"
#include "AI/LocalPolishEngine.h"
#include "AI/PolishSettings.h"
#include "AI/PolishText.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/Localization.h"
#include "Runtime/Text.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

namespace quillory::cli {

namespace {

// ---- Ctrl-C: cancels the running work instead of killing the process with its server ----

int g_signalPipe[2] = {-1, -1};

void onInterrupt(int) {
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &byte, 1);
}

/// While alive, SIGINT and SIGTERM cancel `source()` (only when an event loop runs: the command line).
class InterruptScope {
public:
    InterruptScope() {
        // Close-on-exec: the servers the command starts must not inherit the pipe.
        if (!QCoreApplication::instance() || ::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            return;
        }
        notifier_ = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] {
            char byte;
            [[maybe_unused]] const auto n = ::read(g_signalPipe[0], &byte, 1);
            source_.cancel();
        });
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &oldInt_);
        sigaction(SIGTERM, &action, &oldTerm_);
        installed_ = true;
    }
    ~InterruptScope() {
        if (installed_) {
            sigaction(SIGINT, &oldInt_, nullptr);
            sigaction(SIGTERM, &oldTerm_, nullptr);
            notifier_.reset();
            ::close(g_signalPipe[0]);
            ::close(g_signalPipe[1]);
        }
    }
    CancellationToken token() const { return source_.token(); }

private:
    CancellationSource source_;
    std::unique_ptr<QSocketNotifier> notifier_;
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
    bool installed_ = false;
};

/// Stops (and waits for) every server the engine started during the command.
struct StopServersOnExit {
    ~StopServersOnExit() { LocalPolishEngine::shared().shutdown(); }
};

template <typename T> T awaitTask(Task<T>&& task) {
    return runUntilDone(std::move(task),
                        [] { QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents); });
}

Task<int> prepare(PolishModel model, CancellationToken cancel, LocalPolishEngine::Progress progress) {
    co_await LocalPolishEngine::shared().prepareModel(model, cancel, std::move(progress));
    co_return 0;
}

std::optional<PolishModel> modelOption(const Options& opts, Io& io, PolishModel fallback, bool& bad) {
    bad = false;
    if (!opts.has(QStringLiteral("model"))) {
        return fallback;
    }
    const auto model = PolishModels::fromId(opts.value(QStringLiteral("model")));
    if (!model) {
        bad = true;
        failure(io, Localization::format("cli.polish.model_unknown", opts.value(QStringLiteral("model"))));
    }
    return model;
}

/// Makes `--model-file F` stand in for the model's file; false (with the message written) when F
/// is not a readable file: a stand-in is never downloaded.
bool applyModelFile(const Options& opts, PolishModel model, Io& io) {
    if (opts.has(QStringLiteral("model-file"))) {
        const QString file = opts.value(QStringLiteral("model-file"));
        const QFileInfo info(file);
        if (!info.isFile() || !info.isReadable()) {
            failure(io, Localization::format("cli.polish.file_unreadable", file));
            return false;
        }
        auto config = LocalPolishEngine::shared().configuration();
        config.modelFiles.insert(model, info.absoluteFilePath());
        LocalPolishEngine::shared().setConfiguration(std::move(config));
    }
    return true;
}

std::optional<QString> readUtf8File(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return QString::fromUtf8(f.readAll());
}

QString shellQuoted(const QString& arg) {
    static const QString safe = QStringLiteral("-_./=:+,@%");
    bool plain = !arg.isEmpty();
    for (QChar c : arg) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && !safe.contains(c)) {
            plain = false;
            break;
        }
    }
    if (plain) {
        return arg;
    }
    QString quoted = arg;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

/// The server command line `ensureServer` would run for `model`.
QString serverCommandLine(PolishModel model) {
    auto& engine = LocalPolishEngine::shared();
    const auto runtime = engine.locateRuntime();
    QStringList parts{runtime ? runtime->executable : QStringLiteral("llama-server")};
    parts += LocalPolishEngine::serverArguments(
        engine.localModelPath(model), engine.pickPort(), model,
        LocalPolishEngine::gpuLayers(runtime ? runtime->folder : QString(),
                                     ComputeDevices::preference(DefaultsStore::standard())));
    for (QString& p : parts) {
        p = shellQuoted(p);
    }
    return parts.join(QLatin1Char(' '));
}

/// Runs `body`, turning the polish errors into a description on stderr and a failure status.
template <typename F> int guarded(Io& io, F&& body) {
    try {
        return body();
    } catch (const LocalPolishError& e) {
        return failure(io, e.localizedDescription());
    } catch (const ModelFileError& e) {
        return failure(io, e.localizedDescription());
    } catch (const CancellationError&) {
        return failure(io, QStringLiteral("cancelled"));
    }
}

std::optional<QList<LocalLLMChatMessage>> parseDialogue(const QByteArray& json, QString& error) {
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        error = parseError.errorString();
        return std::nullopt;
    }
    if (!doc.isArray()) {
        error = QStringLiteral("not an array");
        return std::nullopt;
    }
    QList<LocalLLMChatMessage> messages;
    for (const QJsonValue& v : doc.array()) {
        const QJsonObject o = v.toObject();
        const auto role = chatRoleFromRawValue(o.value(QLatin1String("role")).toString());
        if (!v.isObject() || !role || !o.value(QLatin1String("content")).isString()) {
            error = QStringLiteral("message %1").arg(messages.size() + 1);
            return std::nullopt;
        }
        messages << LocalLLMChatMessage(*role, o.value(QLatin1String("content")).toString());
    }
    return messages;
}

class ProgressBar {
public:
    explicit ProgressBar(QTextStream& err) : err_(err) {}
    void update(qint64 received, qint64 total) {
        // Redraw when the percentage changes (or every 4 MB when the length is unknown).
        const qint64 step = total > 0 ? received * 100 / total : received / 4'000'000;
        if (shown_ && step == lastStep_ && received != total) {
            return;
        }
        lastStep_ = step;
        QString line;
        if (total > 0) {
            const int percent = static_cast<int>(received * 100 / total);
            const int filled = percent * 30 / 100;
            line = QStringLiteral("[%1%2] %3% %4 / %5")
                       .arg(QString(filled, QLatin1Char('#')), QString(30 - filled, QLatin1Char('-')))
                       .arg(percent, 3)
                       .arg(ByteCount::fileStyle(received), ByteCount::fileStyle(total));
        } else {
            line = ByteCount::fileStyle(received);
        }
        err_ << '\r' << line.leftJustified(width_) << Qt::flush;
        width_ = std::max<int>(width_, line.size());
        shown_ = true;
    }
    void finish() {
        if (shown_) {
            err_ << '\n' << Qt::flush;
        }
    }

private:
    QTextStream& err_;
    int width_ = 0;
    qint64 lastStep_ = -1;
    bool shown_ = false;
};

} // namespace

int polishCommand(const Command& self, const QStringList& args, Io& io) {
    const Options opts(args, self);
    if (!opts.ok()) {
        return usageError(io, opts.error());
    }
    if (opts.positional().size() != 1) {
        return usageError(io, self);
    }
    bool bad = false;
    const auto model = modelOption(opts, io, PolishSettings::selectedModel(), bad);
    if (bad) {
        return Failure;
    }
    QString instructions = PolishSettings::prompt();
    if (opts.has(QStringLiteral("prompt-file"))) {
        const auto text = readUtf8File(opts.value(QStringLiteral("prompt-file")));
        if (!text) {
            return failure(io, Localization::format("cli.polish.file_unreadable",
                                                    opts.value(QStringLiteral("prompt-file"))));
        }
        instructions = *text;
    }
    QString text = opts.positional().first();
    if (text == QLatin1String("-")) {
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly)) {
            return failure(io, Localization::format("cli.polish.file_unreadable", QStringLiteral("-")));
        }
        text = QString::fromUtf8(in.readAll());
    }
    if (!applyModelFile(opts, *model, io)) {
        return Failure;
    }

    return guarded(io, [&] {
        if (opts.has(QStringLiteral("dry-run"))) {
            const QString transcript = Text::trimmed(text);
            if (transcript.isEmpty()) {
                throw LocalPolishError::emptyOutput();
            }
            const QString prompt = PolishText::polishPrompt(transcript, *model, instructions);
            io.out << QString::fromUtf8(PolishText::completionBody(prompt, PolishModels::stopTokens(*model),
                                                                   256, 0.05, 0.8))
                   << Qt::endl;
            io.err << serverCommandLine(*model) << Qt::endl;
            return int(Ok);
        }
        StopServersOnExit stop;
        InterruptScope interrupt;
        const QString polished = awaitTask(LocalPolishEngine::shared().polish(
            text, SpeechLocale::jaJP, *model, instructions, interrupt.token()));
        // A long dictation goes in pieces: say which kept their own text, and why.
        const auto& pieces = LocalPolishEngine::shared().lastPolishPieces();
        for (qsizetype i = 0; i < pieces.size(); ++i) {
            if (!pieces[i].polished) {
                io.err << Localization::format("cli.polish.piece_kept",
                                               QStringLiteral("%1/%2 (%3 characters): %4")
                                                   .arg(i + 1)
                                                   .arg(pieces.size())
                                                   .arg(pieces[i].characters)
                                                   .arg(pieces[i].keptBecause))
                       << Qt::endl;
            }
        }
        io.out << polished << Qt::endl;
        return int(Ok);
    });
}

int chatCommand(const Command& self, const QStringList& args, Io& io) {
    const Options opts(args, self);
    if (!opts.ok()) {
        return usageError(io, opts.error());
    }
    if (!opts.positional().isEmpty() ||
        (opts.has(QStringLiteral("dry-run")) && !opts.has(QStringLiteral("dialogue")))) {
        return usageError(io, self);
    }
    bool bad = false;
    const auto model = modelOption(
        opts, io, PolishSettings::localLLMChatStoredModel().value_or(PolishSettings::selectedModel()), bad);
    if (bad) {
        return Failure;
    }
    if (!applyModelFile(opts, *model, io)) {
        return Failure;
    }

    return guarded(io, [&] {
        if (opts.has(QStringLiteral("dialogue"))) {
            const QString path = opts.value(QStringLiteral("dialogue"));
            QFile f(path);
            if (!f.open(QIODevice::ReadOnly)) {
                return failure(io, Localization::format("cli.polish.file_unreadable", path));
            }
            QString error;
            const auto dialogue = parseDialogue(f.readAll(), error);
            if (!dialogue) {
                return failure(io, Localization::format("cli.polish.dialogue_invalid", error));
            }
            if (opts.has(QStringLiteral("dry-run"))) {
                if (dialogue->isEmpty() || dialogue->last().role != LocalLLMChatRole::user) {
                    throw LocalPolishError::invalidResponse(
                        QStringLiteral("chat must end with user message"));
                }
                const QString prompt = LocalLLMChatPrompt::build(*dialogue, *model);
                io.out << QString::fromUtf8(PolishText::completionBody(
                              prompt, PolishModels::stopTokens(*model), 768, 0.65, 0.9))
                       << Qt::endl;
                io.err << serverCommandLine(*model) << Qt::endl;
                return int(Ok);
            }
            StopServersOnExit stop;
            InterruptScope interrupt;
            io.out << awaitTask(
                          LocalPolishEngine::shared().chatCompletion(*dialogue, *model, interrupt.token()))
                   << Qt::endl;
            return int(Ok);
        }

        StopServersOnExit stop;
        InterruptScope interrupt;
        QTextStream in(stdin);
        in.setEncoding(QStringConverter::Utf8);
        io.err << Localization::format("cli.chat.hint", PolishModels::displayName(*model)) << Qt::endl;
        QList<LocalLLMChatMessage> dialogue;
        while (!interrupt.token().isCancelled()) {
            io.err << "> " << Qt::flush;
            const QString line = in.readLine();
            if (line.isNull() || Text::isBlank(line)) {
                break;
            }
            dialogue << LocalLLMChatMessage(LocalLLMChatRole::user, Text::trimmed(line));
            try {
                const QString answer = awaitTask(
                    LocalPolishEngine::shared().chatCompletion(dialogue, *model, interrupt.token()));
                dialogue << LocalLLMChatMessage(LocalLLMChatRole::assistant, answer);
                io.out << answer << Qt::endl;
            } catch (const LocalPolishError& e) {
                dialogue.removeLast(); // a failed turn leaves the dialogue as it was
                io.err << e.localizedDescription() << Qt::endl;
            }
        }
        return int(Ok);
    });
}

int modelsCommand(const Command& self, const QStringList& args, Io& io) {
    const Options opts(args, self);
    if (!opts.ok()) {
        return usageError(io, opts.error());
    }
    const QStringList& p = opts.positional();
    auto& engine = LocalPolishEngine::shared();
    if (p == QStringList{QStringLiteral("list")}) {
        for (PolishModel m : PolishModels::allCases) {
            io.out << PolishModels::id(m) << '\t' << PolishModels::displayName(m) << '\t'
                   << PolishModels::downloadSizeDescription(m) << '\t'
                   << PolishModels::memoryRequirementDescription(m) << '\t'
                   << (engine.isModelDownloaded(m) ? L("cli.models.downloaded")
                                                   : L("cli.models.not_downloaded"))
                   << '\n';
        }
        return Ok;
    }
    if (p.size() != 2 || !QStringList{"download", "delete", "path"}.contains(p.first())) {
        return usageError(io, self);
    }
    const auto model = PolishModels::fromId(p.at(1));
    if (!model) {
        return failure(io, Localization::format("cli.polish.model_unknown", p.at(1)));
    }
    const QString verb = p.first();
    return guarded(io, [&] {
        if (verb == QLatin1String("path")) {
            io.out << engine.localModelPath(*model) << Qt::endl;
        } else if (verb == QLatin1String("delete")) {
            engine.deleteModel(*model);
            io.out << Localization::format("cli.models.deleted", engine.localModelPath(*model)) << Qt::endl;
        } else {
            StopServersOnExit stop;
            InterruptScope interrupt;
            ProgressBar bar(io.err);
            try {
                awaitTask(
                    prepare(*model, interrupt.token(), [&bar](qint64 r, qint64 t) { bar.update(r, t); }));
            } catch (...) {
                bar.finish();
                throw;
            }
            bar.finish();
            io.out << engine.localModelPath(*model) << Qt::endl;
        }
        return int(Ok);
    });
}

int serversCommand(const Command& self, const QStringList& args, Io& io) {
    if (args != QStringList{QStringLiteral("cleanup")}) {
        return usageError(io, self);
    }
    return guarded(io, [&] {
        io.out << LocalPolishEngine::shared().cleanupResidualServers() << Qt::endl;
        return int(Ok);
    });
}

} // namespace quillory::cli
