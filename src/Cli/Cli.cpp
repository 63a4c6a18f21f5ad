#include "Cli/Cli.h"

#include "Runtime/Localization.h"
#include "Utilities/BuildInfo.h"

namespace quillory::cli {

namespace {
/// A command answered by the running tray app.
CommandRun remote(const char* name) {
    return [name](const Command&, const QStringList& a, Io& io) {
        return remoteCommand(QLatin1String(name), a, io);
    };
}
} // namespace

const std::vector<Command>& commands() {
    static const std::vector<Command> all = {
        {.name = "dictionary",
         .usage = "list | add SOURCE TARGET | remove ID | apply TEXT | hints",
         .run = dictionaryCommand},
        {.name = "hotkey", .usage = "show | monitor", .run = hotkeyCommand},
        {.name = "settings",
         .usage = "[list | get KEY | set KEY VALUE %1 | unset KEY | api-key speech|polish [remove]]",
         .options = {{"bool|int|double|string|data"}},
         .run =
             [](const Command& self, const QStringList& a, Io& io) {
                 return a.isEmpty() ? remoteCommand(QStringLiteral("settings"), a, io)
                                    : settingsCommand(self, a, io);
             },
         .summary = "(no argument: open the settings window of the running app)"},
        {.name = "diagnostics",
         .usage = "export %1",
         .options = {{"minutes", "15|60|180", true}, {"output", "PATH"}},
         .run = diagnosticsCommand},
        {.name = "polish",
         .usage = "%1 TEXT|-",
         .options = {{"model", "ID"}, {"prompt-file", "F"}, {"model-file", "F"}, {"dry-run"}},
         .run = polishCommand},
        {.name = "chat",
         .usage = "",
         .options = {{"model", "ID"}, {"model-file", "F"}, {"dialogue", "FILE.json"}, {"dry-run"}},
         .run = chatCommand},
        {.name = "models", .usage = "list | download ID | delete ID | path ID", .run = modelsCommand},
        {.name = "servers", .usage = "cleanup", .run = serversCommand},
        {.name = "doctor", .usage = "", .options = {{"json"}}, .run = doctorCommand},
        {.name = "mic",
         .usage = "",
         .options = {{"seconds", "N"}, {"output", "FILE.wav"}, {"source", "NAME"}},
         .run = micCommand},
        {.name = "paste", .usage = "%1 TEXT|-", .options = {{"delay", "SECONDS"}}, .run = pasteCommand},
        {.name = "toggle",
         .usage = "",
         .run = remote("toggle"),
         .summary = "start or stop dictation in the running app"},
        {.name = "press",
         .usage = "",
         .run = remote("press"),
         .summary = "push-to-talk down in the running app"},
        {.name = "release",
         .usage = "",
         .run = remote("release"),
         .summary = "push-to-talk up in the running app"},
        {.name = "quit",
         .usage = "",
         .run = remote("quit"),
         .summary = "quit the running app (stops its local AI server)"},
        {.name = "cancel",
         .usage = "",
         .run = remote("cancel"),
         .summary = "the overlay's ×: discard a recording, insert now, dismiss an error"},
        {.name = "undo",
         .usage = "",
         .run = remote("undo"),
         .summary = "bring back a recording discarded in the last 3 seconds"},
        {.name = "status",
         .usage = "",
         .run = remote("status"),
         .summary = "print the dictation status of the running app"},
        {.name = "transcribe",
         .usage = "FILE.wav|-",
         .options = {{"speech-model", "ID"},
                     {"speech-model-file", "F"},
                     {"partial-model", "ID|off"},
                     {"partial-model-file", "F"},
                     {"polish|no-polish"},
                     {"polish-model-file", "F"},
                     {"partials"},
                     {"realtime"},
                     {"server", "URL"},
                     {"server-api", "whisper|openai"},
                     {"server-model", "NAME"}},
         .run = transcribeCommand},
        {.name = "speech-models",
         .usage = "list | download ID | delete ID | path ID | select ID",
         .run = speechModelsCommand},
    };
    return all;
}

QStringList Option::names() const {
    return QString::fromLatin1(name).split(QLatin1Char('|'));
}

QString Option::synopsis() const {
    QStringList forms;
    for (const QString& n : names()) {
        forms << QStringLiteral("--") + n;
    }
    QString text = forms.join(QLatin1Char('|'));
    if (value) {
        text += QLatin1Char(' ') + QLatin1String(value);
    }
    return required ? text : QStringLiteral("[%1]").arg(text);
}

QString Command::synopsis() const {
    QStringList parts;
    for (const Option& option : options) {
        parts << option.synopsis();
    }
    const QString optionText = parts.join(QLatin1Char(' '));
    QString rest = QLatin1String(usage);
    if (rest.contains(QLatin1String("%1"))) {
        rest.replace(QLatin1String("%1"), optionText);
    } else if (!optionText.isEmpty()) {
        rest = rest.isEmpty() ? optionText : rest + QLatin1Char(' ') + optionText;
    }
    return (QLatin1String(name) + QLatin1Char(' ') + rest).trimmed();
}

int usageError(Io& io, const Command& command) {
    return usageError(io, command.synopsis());
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

} // namespace

QString helpText() {
    QString text = versionLine() + QStringLiteral("\n\nUsage: quillory [COMMAND ...]\n"
                                                  "  (no command)      start the tray app\n"
                                                  "  --version         print the version\n");
    for (const Command& c : commands()) {
        QString line = c.synopsis();
        if (c.summary) {
            line = line.size() < 19 ? line.leftJustified(19) : line + QLatin1Char(' ');
            line += QLatin1String(c.summary);
        }
        text += QStringLiteral("  ") + line + QLatin1Char('\n');
    }
    return text;
}

namespace {
void printHelp(QTextStream& s) {
    s << helpText();
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
    if (first == QLatin1String(kGenerateCommand)) {
        return generateCommand(args.mid(1), io);
    }
    if (first == QLatin1String(kServeClipboardCommand)) {
        return serveClipboardCommand(args.mid(1), io);
    }
    for (const auto& c : commands()) {
        if (first == QLatin1String(c.name)) {
            const int status = c.run(c, args.mid(1), io);
            io.out.flush();
            io.err.flush();
            return status;
        }
    }
    usageError(io, QStringLiteral("unknown command '%1'").arg(first));
    printHelp(io.err);
    return Usage;
}

Options::Options(const QStringList& args, const Command& command) {
    QStringList valueOptions;
    QStringList flagOptions;
    for (const Option& option : command.options) {
        (option.value ? valueOptions : flagOptions) << option.names();
    }
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
