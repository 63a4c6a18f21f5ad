// The manual page and the bash completion, both written from the command table, so that they
// list exactly what `--help` lists and what the parser accepts. The build runs
// `quillory __generate man|bash-completion` to install them.
#include "AI/PolishModel.h"
#include "Cli/Cli.h"
#include "Speech/SpeechModel.h"

#include <QRegularExpression>

namespace quillory::cli {

namespace {

/// A text as roff: backslashes and hyphens escaped, a leading control character neutralised.
QString roff(QString text) {
    text.replace(QLatin1Char('\\'), QLatin1String("\\e"));
    text.replace(QLatin1Char('-'), QLatin1String("\\-"));
    if (text.startsWith(QLatin1Char('.')) || text.startsWith(QLatin1Char('\''))) {
        text.prepend(QLatin1String("\\&"));
    }
    return text;
}

QStringList speechModelIds() {
    QStringList ids;
    for (const SpeechModel m : SpeechModels::allCases) {
        ids << SpeechModels::id(m);
    }
    return ids;
}

QStringList polishModelIds() {
    QStringList ids;
    for (const PolishModel m : PolishModels::allCases) {
        ids << PolishModels::id(m);
    }
    return ids;
}

/// The alternatives of a command's arguments ("list | add SOURCE TARGET" → {"list"},
/// {"add", "SOURCE", "TARGET"}), options and brackets left out.
QList<QStringList> usageForms(const Command& command) {
    QString usage = QLatin1String(command.usage);
    usage.remove(QLatin1String("%1"));
    usage.remove(QLatin1Char('['));
    usage.remove(QLatin1Char(']'));
    QList<QStringList> forms;
    for (const QString& form : usage.split(QLatin1Char('|'))) {
        const QStringList words = form.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (!words.isEmpty()) {
            forms << words;
        }
    }
    return forms;
}

bool isSubcommandWord(const QString& word) {
    static const QRegularExpression pattern(QStringLiteral("^[a-z][a-z-]*$"));
    return pattern.match(word).hasMatch();
}

/// True for the commands whose "ID" is a model of a catalogue ("dictionary remove ID" is an entry).
bool namesModels(const Command& command) {
    const QLatin1String name(command.name);
    return name == QLatin1String("models") || name == QLatin1String("speech-models");
}

/// The model ids a command's "ID" stands for.
QStringList idsOf(const Command& command, const QString& optionName = {}) {
    const bool speech = QLatin1String(command.name) == QLatin1String("speech-models") ||
                        optionName.startsWith(QLatin1String("speech-model")) ||
                        optionName.startsWith(QLatin1String("partial-model"));
    return speech ? speechModelIds() : polishModelIds();
}

/// What completes the value of an option: model ids, a fixed list, files ("@files"), or nothing
/// ("@none").
QString valueCompletion(const Command& command, const Option& option) {
    const QString value = QLatin1String(option.value);
    const QString name = option.names().first();
    if (value == QLatin1String("ID") || value.startsWith(QLatin1String("ID|"))) {
        QStringList words = idsOf(command, name);
        words << value.split(QLatin1Char('|')).mid(1);
        return words.join(QLatin1Char(' '));
    }
    if (value == QLatin1String("F") || value == QLatin1String("PATH") || value.startsWith(QLatin1String("FILE"))) {
        return QStringLiteral("@files");
    }
    if (value.contains(QLatin1Char('|'))) {
        return value.split(QLatin1Char('|')).join(QLatin1Char(' '));
    }
    return QStringLiteral("@none"); // a number, a name: nothing to offer
}

QString shellQuoted(const QString& text) {
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace

QString manPage() {
    QString page;
    const auto line = [&page](const QString& text) { page += text + QLatin1Char('\n'); };
    line(QStringLiteral(".TH QUILLORY 1 \"\" \"quillory %1\" \"User Commands\"").arg(QStringLiteral(QUILLORY_VERSION)));
    line(QStringLiteral(".SH NAME"));
    line(QStringLiteral("quillory \\- Japanese voice input from the tray"));
    line(QStringLiteral(".SH SYNOPSIS"));
    line(QStringLiteral(".B quillory"));
    line(QStringLiteral(".br"));
    line(QStringLiteral(".B quillory"));
    line(QStringLiteral(".I COMMAND"));
    line(QStringLiteral(".RI [ ARGUMENTS ...]"));
    line(QStringLiteral(".SH DESCRIPTION"));
    line(roff(QStringLiteral(
        "Without a command, quillory starts the tray app: hold the push-to-talk chord (Right Shift + "
        "Right Ctrl by default) or double-tap Right Ctrl, speak Japanese, and the recognised text, "
        "optionally polished by a local language model, is pasted into the focused application. "
        "Speech is recognised on this computer with whisper.cpp; the language model runs in a "
        "llama-server process on 127.0.0.1.")));
    line(QStringLiteral(".PP"));
    line(roff(QStringLiteral(
        "The commands below use the same core without the tray. Most need no display and no network; "
        "toggle, press, release, cancel, undo, status, quit and settings without arguments control "
        "the running tray app, which desktops whose shortcuts can only run commands can bind to keys.")));
    line(QStringLiteral(".SH COMMANDS"));
    line(QStringLiteral(".TP"));
    line(QStringLiteral(".B quillory \\-\\-version"));
    line(QStringLiteral("print the version and build"));
    line(QStringLiteral(".TP"));
    line(QStringLiteral(".B quillory \\-\\-help"));
    line(QStringLiteral("list these commands"));
    for (const Command& c : commands()) {
        line(QStringLiteral(".TP"));
        line(QStringLiteral(".B quillory ") + roff(c.synopsis()));
        if (c.summary) {
            line(roff(QLatin1String(c.summary)));
        }
    }
    line(QStringLiteral(".SH EXIT STATUS"));
    line(roff(QStringLiteral("0 on success, 1 when the command failed (the reason is printed on standard "
                             "error), 2 for a usage error.")));
    line(QStringLiteral(".SH ENVIRONMENT"));
    line(QStringLiteral(".TP"));
    line(QStringLiteral(".B QUILLORY_RUNTIME_DIR"));
    line(roff(QStringLiteral("the folder holding llama-server, instead of libexec/quillory beside the "
                             "executable")));
    line(QStringLiteral(".SH FILES"));
    line(QStringLiteral(".TP"));
    line(QStringLiteral(".I ~/.local/share/quillory/"));
    line(roff(QStringLiteral("speech and polish models, the dictionary and the diagnostics log")));
    line(QStringLiteral(".TP"));
    line(QStringLiteral(".I ~/.config/autostart/quillory.desktop"));
    line(roff(QStringLiteral("the login item, when launch at login is on")));
    line(QStringLiteral(".SH SEE ALSO"));
    line(roff(QStringLiteral("quillory doctor checks the desktop and names the fix for each problem.")));
    return page;
}

QString bashCompletion() {
    QString s;
    const auto line = [&s](const QString& text) { s += text + QLatin1Char('\n'); };
    QStringList names{QStringLiteral("--help"), QStringLiteral("--version")};
    for (const Command& c : commands()) {
        names << QLatin1String(c.name);
    }
    line(QStringLiteral("# bash completion for quillory, written by `quillory __generate bash-completion`"));
    line(QStringLiteral("_quillory() {"));
    line(QStringLiteral("    local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"${COMP_WORDS[COMP_CWORD-1]}\""));
    line(QStringLiteral("    local words=\"\" options=\"\" value=\"\" ids=\"\" files=0"));
    line(QStringLiteral("    COMPREPLY=()"));
    line(QStringLiteral("    if [ \"$COMP_CWORD\" -eq 1 ]; then"));
    line(QStringLiteral("        COMPREPLY=($(compgen -W %1 -- \"$cur\"))").arg(shellQuoted(names.join(QLatin1Char(' ')))));
    line(QStringLiteral("        return 0"));
    line(QStringLiteral("    fi"));
    line(QStringLiteral("    case \"${COMP_WORDS[1]}\" in"));
    for (const Command& c : commands()) {
        QStringList words;
        QStringList idWords;
        bool files = false;
        for (const QStringList& form : usageForms(c)) {
            if (isSubcommandWord(form.first())) {
                words << form.first();
                if (namesModels(c) && form.size() > 1 && form.at(1) == QLatin1String("ID")) {
                    idWords << form.first();
                }
            }
            for (const QString& w : form) {
                files = files || w.startsWith(QLatin1String("FILE"));
            }
        }
        QStringList options;
        QStringList valueCases;
        for (const Option& o : c.options) {
            for (const QString& n : o.names()) {
                options << QStringLiteral("--") + n;
            }
            if (o.value) {
                valueCases << QStringLiteral("            %1) value=%2 ;;")
                                  .arg(QStringList(o.names()).replaceInStrings(QRegularExpression(QStringLiteral("^")),
                                                                               QStringLiteral("--"))
                                           .join(QLatin1Char('|')),
                                       shellQuoted(valueCompletion(c, o)));
            }
        }
        line(QStringLiteral("    %1)").arg(QLatin1String(c.name)));
        line(QStringLiteral("        words=%1 options=%2 files=%3")
                 .arg(shellQuoted(words.join(QLatin1Char(' '))), shellQuoted(options.join(QLatin1Char(' '))))
                 .arg(files ? 1 : 0));
        if (!idWords.isEmpty()) {
            line(QStringLiteral("        case \"${COMP_WORDS[2]}\" in %1) [ \"$COMP_CWORD\" -eq 3 ] && ids=%2 ;; esac")
                     .arg(idWords.join(QLatin1Char('|')), shellQuoted(idsOf(c).join(QLatin1Char(' ')))));
        }
        if (!valueCases.isEmpty()) {
            line(QStringLiteral("        case \"$prev\" in"));
            for (const QString& v : valueCases) {
                line(v);
            }
            line(QStringLiteral("        esac"));
        }
        line(QStringLiteral("        ;;"));
    }
    line(QStringLiteral("    *) return 0 ;;"));
    line(QStringLiteral("    esac"));
    line(QStringLiteral("    if [ \"$value\" = @files ]; then"));
    line(QStringLiteral("        COMPREPLY=($(compgen -f -- \"$cur\"))"));
    line(QStringLiteral("    elif [ \"$value\" = @none ]; then"));
    line(QStringLiteral("        return 0"));
    line(QStringLiteral("    elif [ -n \"$value\" ]; then"));
    line(QStringLiteral("        COMPREPLY=($(compgen -W \"$value\" -- \"$cur\"))"));
    line(QStringLiteral("    elif [ -n \"$ids\" ]; then"));
    line(QStringLiteral("        COMPREPLY=($(compgen -W \"$ids\" -- \"$cur\"))"));
    line(QStringLiteral("    elif [[ \"$cur\" == -* ]]; then"));
    line(QStringLiteral("        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))"));
    line(QStringLiteral("    elif [ \"$COMP_CWORD\" -eq 2 ] && [ -n \"$words\" ]; then"));
    line(QStringLiteral("        COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))"));
    line(QStringLiteral("    elif [ \"$files\" -eq 1 ]; then"));
    line(QStringLiteral("        COMPREPLY=($(compgen -f -- \"$cur\"))"));
    line(QStringLiteral("    fi"));
    line(QStringLiteral("    return 0"));
    line(QStringLiteral("}"));
    line(QStringLiteral("complete -o filenames -F _quillory quillory"));
    return s;
}

int generateCommand(const QStringList& args, Io& io) {
    const QString what = args.value(0);
    if (args.size() != 1 || (what != QLatin1String("man") && what != QLatin1String("bash-completion"))) {
        return usageError(io, QStringLiteral("%1 man|bash-completion").arg(QLatin1String(kGenerateCommand)));
    }
    io.out << (what == QLatin1String("man") ? manPage() : bashCompletion());
    io.out.flush();
    return Ok;
}

} // namespace quillory::cli
