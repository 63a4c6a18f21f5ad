#include "Cli/Cli.h"

#include "Runtime/Localization.h"
#include "Utilities/BuildInfo.h"

namespace quillory::cli {

const std::vector<Command>& commands() {
    static const std::vector<Command> all = {
        {"dictionary", "dictionary list | add SOURCE TARGET | remove ID | apply TEXT | hints",
         dictionaryCommand},
        {"hotkey", "hotkey show | monitor", hotkeyCommand},
        {"settings",
         "settings [list | get KEY | set KEY VALUE [--bool|--int|--double|--string|--data] | unset KEY]"
         " (no argument: open the settings window of the running app)",
         [](const QStringList& a, Io& io) {
             return a.isEmpty() ? remoteCommand(QStringLiteral("settings"), a, io) : settingsCommand(a, io);
         }},
        {"diagnostics", "diagnostics export --minutes 15|60|180 [--output PATH]", diagnosticsCommand},
        {"polish", "polish [--model ID] [--prompt-file F] [--model-file F] [--dry-run] TEXT|-",
         polishCommand},
        {"chat", "chat [--model ID] [--model-file F] [--dialogue FILE.json [--dry-run]]", chatCommand},
        {"models", "models list | download ID | delete ID | path ID", modelsCommand},
        {"servers", "servers cleanup", serversCommand},
        {"doctor", "doctor [--json]", doctorCommand},
        {"mic", "mic [--seconds N] [--output FILE.wav] [--source NAME]", micCommand},
        {"paste", "paste [--delay SECONDS] TEXT|-", pasteCommand},
        {"toggle", "toggle             start or stop dictation in the running app",
         [](const QStringList& a, Io& io) { return remoteCommand(QStringLiteral("toggle"), a, io); }},
        {"press", "press              push-to-talk down in the running app",
         [](const QStringList& a, Io& io) { return remoteCommand(QStringLiteral("press"), a, io); }},
        {"release", "release            push-to-talk up in the running app",
         [](const QStringList& a, Io& io) { return remoteCommand(QStringLiteral("release"), a, io); }},
        {"quit", "quit               quit the running app (stops its local AI server)",
         [](const QStringList& a, Io& io) { return remoteCommand(QStringLiteral("quit"), a, io); }},
        {"cancel", "cancel             the overlay's ×: discard a recording, insert now, dismiss an error",
         [](const QStringList& a, Io& io) { return remoteCommand(QStringLiteral("cancel"), a, io); }},
        {"undo", "undo               bring back a recording discarded in the last 3 seconds",
         [](const QStringList& a, Io& io) { return remoteCommand(QStringLiteral("undo"), a, io); }},
        {"status", "status             print the dictation status of the running app",
         [](const QStringList& a, Io& io) { return remoteCommand(QStringLiteral("status"), a, io); }},
        {"transcribe",
         "transcribe FILE.wav|- [--speech-model ID] [--speech-model-file F] [--polish|--no-polish] "
         "[--polish-model-file F] [--partials] [--realtime]",
         transcribeCommand},
        {"speech-models", "speech-models list | download ID | delete ID | path ID | select ID", speechModelsCommand},
    };
    return all;
}

int usageError(Io& io, const QString& message) {
    io.err << Localization::format("cli.error.usage", message) << Qt::endl;
    return Usage;
}

int failure(Io& io, const QString& description) {
    io.err << description << Qt::endl;
    return Failure;
}

namespace {
QString versionLine() {
    return QStringLiteral("quillory %1 (build %2)")
        .arg(BuildInfo::shortVersion().value_or(QStringLiteral("?")),
             BuildInfo::buildIdentifier().value_or(QStringLiteral("?")));
}

void printHelp(QTextStream& s) {
    s << versionLine() << "\n\nUsage: quillory [COMMAND ...]\n"
      << "  (no command)      start the tray app\n"
      << "  --version         print the version\n";
    for (const auto& c : commands()) {
        s << "  " << c.synopsis << "\n";
    }
    s.flush();
}
} // namespace

int run(const QStringList& args, Io& io) {
    if (args.isEmpty()) {
        io.out << Localization::format("cli.hint.no_tray",
                                       BuildInfo::shortVersion().value_or(QStringLiteral("?")))
               << Qt::endl;
        return Ok;
    }
    const QString first = args.first();
    if (first == QLatin1String("--version") || first == QLatin1String("version")) {
        io.out << versionLine() << Qt::endl;
        return Ok;
    }
    if (first == QLatin1String("--help") || first == QLatin1String("-h") || first == QLatin1String("help")) {
        printHelp(io.out);
        return Ok;
    }
    if (first == QLatin1String(kServeClipboardCommand)) {
        return serveClipboardCommand(args.mid(1), io);
    }
    for (const auto& c : commands()) {
        if (first == QLatin1String(c.name)) {
            const int status = c.run(args.mid(1), io);
            io.out.flush();
            io.err.flush();
            return status;
        }
    }
    usageError(io, QStringLiteral("unknown command '%1'").arg(first));
    printHelp(io.err);
    return Usage;
}

Options::Options(const QStringList& args, const QStringList& valueOptions, const QStringList& flagOptions) {
    bool onlyPositional = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (onlyPositional || !a.startsWith(QLatin1String("--")) || a == QLatin1String("-")) {
            positional_ << a;
            continue;
        }
        if (a == QLatin1String("--")) {
            onlyPositional = true;
            continue;
        }
        QString name = a.mid(2);
        QString inlineValue;
        bool hasInline = false;
        if (const qsizetype eq = name.indexOf(QLatin1Char('=')); eq >= 0) {
            inlineValue = name.mid(eq + 1);
            name = name.left(eq);
            hasInline = true;
        }
        if (valueOptions.contains(name)) {
            if (hasInline) {
                values_.insert(name, inlineValue);
            } else if (i + 1 < args.size()) {
                values_.insert(name, args.at(++i));
            } else {
                error_ = QStringLiteral("--%1 needs a value").arg(name);
                return;
            }
        } else if (flagOptions.contains(name) && !hasInline) {
            flags_ << name;
        } else {
            error_ = QStringLiteral("unknown option --%1").arg(name);
            return;
        }
    }
}

} // namespace quillory::cli
