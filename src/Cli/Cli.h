#pragma once

#include <QMap>
#include <QStringList>
#include <QTextStream>

#include <functional>
#include <vector>

namespace quillory::cli {

/// Where a command writes; the executable passes stdout/stderr, tests pass buffers.
struct Io {
    QTextStream& out;
    QTextStream& err;
};

/// Exit statuses of the command line.
enum Exit : int { Ok = 0, Failure = 1, Usage = 2 };

/// One option of a command, declared once: the parser, the help line and the usage message all
/// read it. "--NAME VALUE" (or "--NAME=VALUE") when `value` names the value, else the flag
/// "--NAME". Flags that exclude each other are one entry, "polish|no-polish", shown as
/// "[--polish|--no-polish]". A required option is shown without brackets.
struct Option {
    const char* name;
    const char* value = nullptr;
    bool required = false;

    /// The names this entry stands for ("polish|no-polish": two).
    QStringList names() const;
    /// "[--name VALUE]", "--name VALUE", "[--a|--b]".
    QString synopsis() const;
};

struct Command;
using CommandRun = std::function<int(const Command& self, const QStringList& args, Io& io)>;

/// A subcommand. Add one by adding an entry to the table in Cli.cpp.
struct Command {
    const char* name;
    /// The arguments besides the options ("FILE.wav|-", "list | add SOURCE TARGET"). The options
    /// stand at "%1" when it appears, else after it.
    const char* usage;
    std::vector<Option> options;
    CommandRun run;
    /// Printed after the synopsis in the help ("start or stop dictation in the running app").
    const char* summary = nullptr;

    /// "name usage-with-options": the help line and the usage error.
    QString synopsis() const;
};

/// Every subcommand, in help order.
const std::vector<Command>& commands();
/// The help: the version, the forms without a command, then every command's synopsis.
QString helpText();

/// Runs `quillory ARGS...` (without the program name) headless. Returns the exit status.
int run(const QStringList& args, Io& io);

/// Prints "Usage error: ..." and returns `Usage`.
int usageError(Io& io, const QString& message);
/// Prints "Usage error: SYNOPSIS" for the command and returns `Usage`.
int usageError(Io& io, const Command& command);
/// Prints a failure's description and returns `Failure`.
int failure(Io& io, const QString& description);

/// Scans a command's arguments against the options it declares (and nothing else): "--name value",
/// "--name=value", flags, and "--" before positional arguments that start with "--".
class Options {
public:
    Options(const QStringList& args, const Command& command);
    bool ok() const { return error_.isEmpty(); }
    QString error() const { return error_; }
    bool has(const QString& name) const { return values_.contains(name) || flags_.contains(name); }
    QString value(const QString& name, const QString& fallback = {}) const { return values_.value(name, fallback); }
    const QStringList& positional() const { return positional_; }

private:
    QMap<QString, QString> values_;
    QStringList flags_;
    QStringList positional_;
    QString error_;
};

// The commands, one file per group.
int dictionaryCommand(const Command& self, const QStringList& args, Io& io);
int settingsCommand(const Command& self, const QStringList& args, Io& io);
int hotkeyCommand(const Command& self, const QStringList& args, Io& io);
int diagnosticsCommand(const Command& self, const QStringList& args, Io& io);
int polishCommand(const Command& self, const QStringList& args, Io& io);
int chatCommand(const Command& self, const QStringList& args, Io& io);
int modelsCommand(const Command& self, const QStringList& args, Io& io);
int serversCommand(const Command& self, const QStringList& args, Io& io);
int doctorCommand(const Command& self, const QStringList& args, Io& io);
int micCommand(const Command& self, const QStringList& args, Io& io);
int pasteCommand(const Command& self, const QStringList& args, Io& io);
int transcribeCommand(const Command& self, const QStringList& args, Io& io);
int speechModelsCommand(const Command& self, const QStringList& args, Io& io);
/// The background process `paste` leaves when no clipboard manager runs: serves the clipboard
/// contents in FILE (which it deletes) until other applications own every selection it took.
/// Not listed in the help.
inline constexpr const char* kServeClipboardCommand = "__serve-clipboard";
int serveClipboardCommand(const QStringList& args, Io& io);
/// Writes the manual page ("man", roff) or the bash completion script ("bash-completion"), both
/// from the command table; the build installs what it prints. Not listed in the help.
inline constexpr const char* kGenerateCommand = "__generate";
int generateCommand(const QStringList& args, Io& io);
QString manPage();
QString bashCompletion();
/// toggle, press, release, cancel, settings, status: one request to the running tray app.
int remoteCommand(const QString& name, const QStringList& args, Io& io);

/// True for the commands that need a graphical application (a display) to run.
bool commandNeedsGuiApplication(const QString& name);

} // namespace quillory::cli
