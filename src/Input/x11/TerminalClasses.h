#pragma once

#include <QString>
#include <QStringList>

namespace quillory {
class DefaultsStore;
}

namespace quillory::input {

/// The windows that paste with Ctrl+Shift+V (terminal emulators, where Ctrl+V sends a control
/// character). The list is user-editable in the settings store under `storeKey`: window class
/// names separated by commas, spaces or new lines; a stored empty text turns the rule off.
class TerminalClasses {
public:
    static inline const QString storeKey = QStringLiteral("quillory.linux.terminalClasses");

    /// The list used when the store has none.
    static QStringList defaults();
    /// Splits a stored text into class names (lower case, no empties, no duplicates).
    static QStringList parse(const QString& stored);
    /// The stored list, or the defaults when the key is absent or not a string.
    static QStringList fromStore(const DefaultsStore& store);

    /// Whether a window with this WM_CLASS (instance and class names) is a terminal. Compared
    /// case-insensitively against both names.
    static bool isTerminal(const QStringList& classes, const QString& instanceName, const QString& className);
};

} // namespace quillory::input
