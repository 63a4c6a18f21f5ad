#include "Input/x11/TerminalClasses.h"

#include "Runtime/DefaultsStore.h"

#include <QRegularExpression>

namespace quillory::input {

QStringList TerminalClasses::defaults() {
    return {QStringLiteral("gnome-terminal"), QStringLiteral("gnome-terminal-server"),
            QStringLiteral("kgx"),            QStringLiteral("konsole"),
            QStringLiteral("xfce4-terminal"), QStringLiteral("mate-terminal"),
            QStringLiteral("lxterminal"),     QStringLiteral("qterminal"),
            QStringLiteral("xterm"),          QStringLiteral("uxterm"),
            QStringLiteral("urxvt"),          QStringLiteral("rxvt"),
            QStringLiteral("alacritty"),      QStringLiteral("kitty"),
            QStringLiteral("tilix"),          QStringLiteral("terminator"),
            QStringLiteral("guake"),          QStringLiteral("tilda"),
            QStringLiteral("yakuake"),        QStringLiteral("sakura"),
            QStringLiteral("terminology"),    QStringLiteral("wezterm"),
            QStringLiteral("org.wezfurlong.wezterm"),
            QStringLiteral("foot"),           QStringLiteral("st"),
            QStringLiteral("st-256color"),    QStringLiteral("cool-retro-term"),
            QStringLiteral("ptyxis"),         QStringLiteral("blackbox"),
            QStringLiteral("contour"),        QStringLiteral("ghostty")};
}

QStringList TerminalClasses::parse(const QString& stored) {
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    QStringList out;
    for (const QString& part : stored.split(separators, Qt::SkipEmptyParts)) {
        const QString name = part.toLower();
        if (!out.contains(name)) {
            out << name;
        }
    }
    return out;
}

QStringList TerminalClasses::fromStore(const DefaultsStore& store) {
    const std::optional<QString> stored = store.stringValue(storeKey);
    return stored ? parse(*stored) : defaults();
}

bool TerminalClasses::isTerminal(const QStringList& classes, const QString& instanceName,
                                 const QString& className) {
    for (const QString& name : {instanceName, className}) {
        if (!name.isEmpty() && classes.contains(name, Qt::CaseInsensitive)) {
            return true;
        }
    }
    return false;
}

} // namespace quillory::input
