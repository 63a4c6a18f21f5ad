#include "Platform/LoginItem.h"

#include "Permissions/SystemSettingsLink.h"
#include "Runtime/Localization.h"
#include "Runtime/Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSaveFile>
#include <QUrl>

#include <algorithm>

namespace quillory {

namespace {
QString readText(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.read(1 << 20));
}

/// The key=value pairs of the [Desktop Entry] group (later duplicates win, as readers do).
QMap<QString, QString> desktopEntryGroup(const QString& text) {
    QMap<QString, QString> values;
    bool inGroup = false;
    for (const QString& raw : text.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) {
            continue;
        }
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (inGroup && eq > 0) {
            values.insert(line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
        }
    }
    return values;
}

/// The general string escapes of a desktop entry value (\s \n \t \r \\).
QString unescapeValue(const QString& value) {
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar n = value.at(++i);
        out += n == QLatin1Char('s')   ? QChar(' ')
               : n == QLatin1Char('n') ? QChar('\n')
               : n == QLatin1Char('t') ? QChar('\t')
               : n == QLatin1Char('r') ? QChar('\r')
                                       : n;
    }
    return out;
}
} // namespace

QString XdgAutostartLoginItem::execArgument(const QString& path) {
    QString argument = path;
    argument.replace(QLatin1Char('%'), QLatin1String("%%"));
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    const bool needsQuotes =
        std::any_of(argument.begin(), argument.end(), [](QChar c) { return reserved.contains(c); });
    if (!needsQuotes) {
        return argument;
    }
    QString quoted = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\')) {
            quoted += QLatin1Char('\\');
        }
        quoted += c;
    }
    return quoted + QLatin1Char('"');
}

QString XdgAutostartLoginItem::desktopEntry(const QString& executable) {
    // The value itself is a desktop-entry string: its backslashes are escaped once more.
    QString exec = execArgument(executable);
    exec.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Quillory\n"
                          "Comment=Japanese voice input\n"
                          "Exec=%1\n"
                          "Icon=quillory\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(exec);
}

bool XdgAutostartLoginItem::entryIsHidden(const QString& text) {
    const auto values = desktopEntryGroup(text);
    return values.value(QStringLiteral("Hidden")) == QLatin1String("true") ||
           values.value(QStringLiteral("X-GNOME-Autostart-enabled")) == QLatin1String("false");
}

QString XdgAutostartLoginItem::entryProgram(const QString& text) {
    const QString exec = unescapeValue(desktopEntryGroup(text).value(QStringLiteral("Exec")));
    QString program;
    bool quoted = false;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (quoted) {
            if (c == QLatin1Char('\\') && i + 1 < exec.size()) {
                program += exec.at(++i);
            } else if (c == QLatin1Char('"')) {
                quoted = false;
            } else {
                program += c;
            }
        } else if (c == QLatin1Char('"')) {
            quoted = true;
        } else if (c.isSpace()) {
            if (!program.isEmpty()) {
                break;
            }
        } else {
            program += c;
        }
    }
    return program.replace(QLatin1String("%%"), QLatin1String("%"));
}

QString XdgAutostartLoginItem::userDirectory() const {
    if (!configuration_.userDirectory.isEmpty()) {
        return configuration_.userDirectory;
    }
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config)) {
        config = QDir::homePath() + QStringLiteral("/.config");
    }
    return config + QStringLiteral("/autostart");
}

QString XdgAutostartLoginItem::userEntryPath() const {
    return userDirectory() + QLatin1Char('/') + QLatin1String(kFileName);
}

QString XdgAutostartLoginItem::executablePath() const {
    if (!configuration_.executablePath.isEmpty()) {
        return configuration_.executablePath;
    }
    return QFileInfo(QCoreApplication::applicationFilePath()).absoluteFilePath();
}

QStringList XdgAutostartLoginItem::systemDirectories() const {
    if (configuration_.systemDirectoriesGiven) {
        return configuration_.systemDirectories;
    }
    QString dirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
    if (dirs.isEmpty()) {
        dirs = QStringLiteral("/etc/xdg");
    }
    QStringList out;
    for (const QString& dir : dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(dir)) {
            out << dir + QStringLiteral("/autostart");
        }
    }
    return out;
}

QString XdgAutostartLoginItem::systemEntryPath() const {
    for (const QString& dir : systemDirectories()) {
        const QString path = dir + QLatin1Char('/') + QLatin1String(kFileName);
        if (QFileInfo(path).isFile()) {
            return path;
        }
    }
    return {};
}

XdgAutostartLoginItem::Report XdgAutostartLoginItem::report() const {
    Report r;
    // The user's entry overrides a system one of the same name.
    QString path = userEntryPath();
    if (!QFileInfo(path).isFile()) {
        path = systemEntryPath();
    }
    if (path.isEmpty()) {
        return r;
    }
    const QString text = readText(path);
    r.path = path;
    r.program = entryProgram(text);
    r.status = entryIsHidden(text) ? LoginItemStatus::notRegistered : LoginItemStatus::enabled;
    return r;
}

LoginItemStatus XdgAutostartLoginItem::status() const {
    return report().status;
}

void XdgAutostartLoginItem::write(const QString& text) {
    const QString dir = userDirectory();
    QSaveFile file(userEntryPath());
    if (!QDir().mkpath(dir) || !file.open(QIODevice::WriteOnly)) {
        throw LoginItemError(Localization::format("loginItem.error.write", file.errorString()).toStdString());
    }
    file.write(text.toUtf8());
    if (!file.commit()) {
        throw LoginItemError(Localization::format("loginItem.error.write", file.errorString()).toStdString());
    }
}

void XdgAutostartLoginItem::registerItem() {
    write(desktopEntry(executablePath()));
}

void XdgAutostartLoginItem::unregisterItem() {
    const QString path = userEntryPath();
    QFile file(path);
    if (file.exists() && !file.remove()) {
        throw LoginItemError(
            Localization::format("loginItem.error.remove", file.errorString()).toStdString());
    }
    const QString systemPath = systemEntryPath();
    if (!systemPath.isEmpty() && !entryIsHidden(readText(systemPath))) {
        // A system entry would still start us: switch it off for this user.
        write(desktopEntry(executablePath()) + QStringLiteral("Hidden=true\n"));
    }
}

void XdgAutostartLoginItem::openSettings() {
    const QString dir = userDirectory();
    QDir().mkpath(dir);
    const bool opened = configuration_.openFolder ? configuration_.openFolder(dir)
                                                  : SystemSettingsLink::openUrl(QUrl::fromLocalFile(dir));
    if (!opened) {
        qCWarning(lcLoginItem, "Could not open the autostart folder %s", qUtf8Printable(dir));
    }
}

} // namespace quillory
