#include "Platform/linux/GnomeShortcuts.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>

namespace quillory::platform {

namespace {

const QString kSchema = QStringLiteral("org.gnome.settings-daemon.plugins.media-keys");
const QString kListKey = QStringLiteral("custom-keybindings");
const QString kBindingSchema = QStringLiteral("org.gnome.settings-daemon.plugins.media-keys.custom-keybinding");

/// A string as GVariant text: single quotes, with backslashes and quotes escaped.
QString quoted(const QString& text) {
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QStringLiteral("\\\\")).replace(QLatin1Char('\''), QStringLiteral("\\'"));
    return QLatin1Char('\'') + escaped + QLatin1Char('\'');
}

/// A GVariant string text back to the string ('…' or "…").
QString unquoted(QString text) {
    text = text.trimmed();
    if (text.size() >= 2 && (text.front() == QLatin1Char('\'') || text.front() == QLatin1Char('"')) &&
        text.back() == text.front()) {
        text = text.mid(1, text.size() - 2);
    }
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char('\\') && i + 1 < text.size()) {
            ++i;
        }
        out += text.at(i);
    }
    return out;
}

} // namespace

GSettingsRunner gsettingsProgram() {
    return [](const QStringList& arguments) -> Expected<QString> {
        QProcess process;
        process.start(QStringLiteral("gsettings"), arguments);
        if (!process.waitForStarted(5000)) {
            return Failure{QStringLiteral("gsettings did not start: %1").arg(process.errorString())};
        }
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(1000);
            return Failure{QStringLiteral("gsettings did not answer within 5 s")};
        }
        const QString err = QString::fromUtf8(process.readAllStandardError()).trimmed();
        if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
            return Failure{QStringLiteral("gsettings %1: %2").arg(arguments.value(0), err.isEmpty() ? QStringLiteral("failed") : err)};
        }
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    };
}

GnomeCustomShortcut::GnomeCustomShortcut(GSettingsRunner run, QString name, QString command)
    : run_(std::move(run)), name_(std::move(name)), command_(std::move(command)) {}

QString GnomeCustomShortcut::relocatable() const {
    return kBindingSchema + QLatin1Char(':') + kPath;
}

Expected<bool> GnomeCustomShortcut::available() const {
    const Expected<QString> writable = run_({QStringLiteral("writable"), kSchema, kListKey});
    if (!writable) {
        if (writable.error().contains(QLatin1String("No such schema"))) {
            return false;
        }
        return Failure{writable.error()};
    }
    return writable.value() == QLatin1String("true");
}

Expected<QStringList> GnomeCustomShortcut::parseStringList(const QString& text) {
    QString body = text.trimmed();
    if (body.startsWith(QLatin1String("@as"))) {
        body = body.mid(3).trimmed();
    }
    if (!body.startsWith(QLatin1Char('[')) || !body.endsWith(QLatin1Char(']'))) {
        return Failure{QStringLiteral("not a list of strings: %1").arg(text)};
    }
    // Each element is a quoted string; paths hold no quotes, but escapes are honoured.
    static const QRegularExpression element(QStringLiteral(R"('(?:[^'\\]|\\.)*'|"(?:[^"\\]|\\.)*")"));
    QStringList list;
    for (auto it = element.globalMatch(body.mid(1, body.size() - 2)); it.hasNext();) {
        list << unquoted(it.next().captured(0));
    }
    return list;
}

QString GnomeCustomShortcut::formatStringList(const QStringList& list) {
    if (list.isEmpty()) {
        return QStringLiteral("@as []");
    }
    QStringList parts;
    for (const QString& item : list) {
        parts << quoted(item);
    }
    return QLatin1Char('[') + parts.join(QStringLiteral(", ")) + QLatin1Char(']');
}

QString GnomeCustomShortcut::acceleratorLabel(const QString& accelerator) {
    static const QRegularExpression modifier(QStringLiteral("<([^>]+)>"));
    QStringList parts;
    qsizetype end = 0;
    for (auto it = modifier.globalMatch(accelerator); it.hasNext();) {
        const auto m = it.next();
        const QString name = m.captured(1).toLower();
        parts << (name == QLatin1String("control") || name == QLatin1String("primary") || name == QLatin1String("ctrl")
                      ? QStringLiteral("Ctrl")
                  : name == QLatin1String("super") ? QStringLiteral("Super")
                  : name == QLatin1String("shift") ? QStringLiteral("Shift")
                  : name == QLatin1String("alt")   ? QStringLiteral("Alt")
                                                   : m.captured(1));
        end = m.capturedEnd();
    }
    QString key = accelerator.mid(end);
    if (key.size() == 1) {
        key = key.toUpper();
    } else if (!key.isEmpty()) {
        key[0] = key.at(0).toUpper();
    }
    parts << key;
    return parts.join(QLatin1Char('+'));
}

Expected<QStringList> GnomeCustomShortcut::list() const {
    const Expected<QString> value = run_({QStringLiteral("get"), kSchema, kListKey});
    if (!value) {
        return Failure{value.error()};
    }
    return parseStringList(value.value());
}

Expected<QString> GnomeCustomShortcut::installedAccelerator() const {
    const Expected<QStringList> paths = list();
    if (!paths) {
        return Failure{paths.error()};
    }
    if (!paths.value().contains(kPath)) {
        return QString();
    }
    const Expected<QString> binding = run_({QStringLiteral("get"), relocatable(), QStringLiteral("binding")});
    if (!binding) {
        return Failure{binding.error()};
    }
    return unquoted(binding.value());
}

Expected<> GnomeCustomShortcut::install(const QString& accelerator) {
    const Expected<QStringList> paths = list();
    if (!paths) {
        return Failure{paths.error()};
    }
    // Our entry's keys first, then the list: GNOME never sees an entry without its command.
    for (const auto& [key, value] : {std::pair{QStringLiteral("name"), name_}, std::pair{QStringLiteral("command"), command_},
                                     std::pair{QStringLiteral("binding"), accelerator}}) {
        const Expected<QString> set = run_({QStringLiteral("set"), relocatable(), key, quoted(value)});
        if (!set) {
            return Failure{set.error()};
        }
    }
    if (paths.value().contains(kPath)) {
        return {};
    }
    // Read again right before the write: an entry the user added meanwhile stays.
    const Expected<QStringList> latest = list();
    if (!latest) {
        return Failure{latest.error()};
    }
    const Expected<QString> set =
        run_({QStringLiteral("set"), kSchema, kListKey, formatStringList(latest.value() + QStringList{kPath})});
    if (!set) {
        return Failure{set.error()};
    }
    return {};
}

Expected<> GnomeCustomShortcut::remove() {
    const Expected<QStringList> paths = list();
    if (!paths) {
        return Failure{paths.error()};
    }
    if (paths.value().contains(kPath)) {
        QStringList rest = paths.value();
        rest.removeAll(kPath);
        const Expected<QString> set = run_({QStringLiteral("set"), kSchema, kListKey, formatStringList(rest)});
        if (!set) {
            return Failure{set.error()};
        }
    }
    for (const char* key : {"name", "command", "binding"}) {
        const Expected<QString> reset = run_({QStringLiteral("reset"), relocatable(), QString::fromLatin1(key)});
        if (!reset) {
            return Failure{reset.error()};
        }
    }
    return {};
}

QString toggleCommandLine() {
    QString program = QCoreApplication::applicationFilePath();
    if (program.isEmpty()) {
        program = QStringLiteral("quillory");
    }
    // GNOME splits the command line as a shell would.
    if (program.contains(QLatin1Char(' ')) || program.contains(QLatin1Char('\''))) {
        program = QLatin1Char('\'') + QString(program).replace(QLatin1Char('\''), QStringLiteral("'\\''")) + QLatin1Char('\'');
    }
    return program + QStringLiteral(" toggle");
}

} // namespace quillory::platform
