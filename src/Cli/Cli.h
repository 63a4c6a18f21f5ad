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

struct Command {
    const char* name;
    const char* synopsis;
    std::function<int(const QStringList& args, Io& io)> run;
};

/// Every subcommand, in help order. Subsystems add theirs in `commands.cpp`.
const std::vector<Command>& commands();

/// Runs `quillory ARGS...` (without the program name) headless. Returns the exit status.
int run(const QStringList& args, Io& io);

/// Prints "Usage error: ..." and returns `Usage`.
int usageError(Io& io, const QString& message);
/// Prints a failure's description and returns `Failure`.
int failure(Io& io, const QString& description);

/// Small option scanner for subcommands: "--name value", "--name=value" and flags.
class Options {
public:
    Options(const QStringList& args, const QStringList& valueOptions, const QStringList& flagOptions);
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

// The command groups.
int dictionaryCommand(const QStringList& args, Io& io);
int settingsCommand(const QStringList& args, Io& io);
int hotkeyCommand(const QStringList& args, Io& io);
int diagnosticsCommand(const QStringList& args, Io& io);
int polishCommand(const QStringList& args, Io& io);
int chatCommand(const QStringList& args, Io& io);
int modelsCommand(const QStringList& args, Io& io);
int serversCommand(const QStringList& args, Io& io);
int doctorCommand(const QStringList& args, Io& io);
int micCommand(const QStringList& args, Io& io);
int pasteCommand(const QStringList& args, Io& io);
/// The background process `paste` leaves when no clipboard manager runs: serves the clipboard
/// contents in FILE (which it deletes) until other applications own every selection it took.
/// Not listed in the help.
inline constexpr const char* kServeClipboardCommand = "__serve-clipboard";
int serveClipboardCommand(const QStringList& args, Io& io);
/// toggle, press, release, cancel, settings, status: one request to the running tray app.
int transcribeCommand(const QStringList& args, Io& io);
int speechModelsCommand(const QStringList& args, Io& io);
/// toggle, press, release, cancel, settings, status: one request to the running tray app.
int remoteCommand(const QString& name, const QStringList& args, Io& io);

/// True for the commands that need a graphical application (a display) to run.
bool commandNeedsGuiApplication(const QString& name);

} // namespace quillory::cli
