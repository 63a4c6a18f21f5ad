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
            QStringLiteral("rxvt-unicode"),   QStringLiteral("aterm"),
            QStringLiteral("eterm"),          QStringLiteral("mrxvt"),
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

namespace {
std::optional<PasteKey> keyNamed(const QString& name) {
    QString n = name.toLower();
    n.remove(QLatin1Char('-')).remove(QLatin1Char('_')).remove(QLatin1Char('+'));
    if (n == QLatin1String("shiftinsert")) {
        return PasteKey::shiftInsert;
    }
    if (n == QLatin1String("ctrlshiftv")) {
        return PasteKey::ctrlShiftV;
    }
    if (n == QLatin1String("ctrlv")) {
        return PasteKey::ctrlV;
    }
    return std::nullopt;
}
} // namespace

QList<TerminalClasses::Entry> TerminalClasses::parse(const QString& stored) {
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    QList<Entry> out;
    for (const QString& part : stored.split(separators, Qt::SkipEmptyParts)) {
        const qsizetype eq = part.indexOf(QLatin1Char('='));
        Entry entry{(eq < 0 ? part : part.left(eq)).toLower(), eq < 0 ? std::nullopt : keyNamed(part.mid(eq + 1))};
        if (entry.name.isEmpty()) {
            continue;
        }
        const bool known = std::any_of(out.begin(), out.end(), [&](const Entry& e) { return e.name == entry.name; });
        if (!known) {
            out << entry;
        }
    }
    return out;
}

QList<TerminalClasses::Entry> TerminalClasses::fromStore(const DefaultsStore& store) {
    const std::optional<QString> stored = store.stringValue(storeKey);
    return parse(stored ? *stored : defaults().join(QLatin1Char(',')));
}

PasteKey TerminalClasses::familyKey(const QString& name) {
    // xterm's and rxvt's default bindings paste with Shift+Insert only (the primary selection).
    static const QStringList xtermLike = {
        QStringLiteral("xterm"),  QStringLiteral("uxterm"), QStringLiteral("lxterm"),
        QStringLiteral("rxvt"),   QStringLiteral("urxvt"),  QStringLiteral("rxvt-unicode"),
        QStringLiteral("urxvt256c"), QStringLiteral("rxvt-unicode-256color"),
        QStringLiteral("mrxvt"),  QStringLiteral("aterm"),  QStringLiteral("eterm"),
    };
    return xtermLike.contains(name, Qt::CaseInsensitive) ? PasteKey::shiftInsert : PasteKey::ctrlShiftV;
}

PasteKey TerminalClasses::pasteKeyFor(const QList<Entry>& entries, const QString& instanceName,
                                      const QString& className) {
    for (const QString& name : {instanceName, className}) {
        if (name.isEmpty()) {
            continue;
        }
        for (const Entry& e : entries) {
            if (e.name.compare(name, Qt::CaseInsensitive) == 0) {
                return e.key.value_or(familyKey(e.name));
            }
        }
    }
    return PasteKey::ctrlV;
}

} // namespace quillory::input
