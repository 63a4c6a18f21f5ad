#pragma once

#include "Input/x11/PasteKeys.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace quillory {
class DefaultsStore;
}

namespace quillory::input {

/// The windows that do not paste with Ctrl+V (terminal emulators, where Ctrl+V sends a control
/// character), and the key each takes instead.
///
/// The list is user-editable in the settings store under `storeKey`: window class names
/// separated by commas, spaces or new lines; a stored empty text turns the rule off. A plain name
/// takes its family's default key: Shift+Insert (which pastes the primary selection) for xterm and
/// the rxvt family, Ctrl+Shift+V for every other terminal. A name may choose its key explicitly
/// with a suffix: "name=shift+insert", "name=ctrl+shift+v" or "name=ctrl+v".
class TerminalClasses {
public:
    static inline const QString storeKey = QStringLiteral("quillory.linux.terminalClasses");

    struct Entry {
        QString name;                ///< lower case
        std::optional<PasteKey> key; ///< none: the family's default
        bool operator==(const Entry&) const = default;
    };

    /// The list used when the store has none.
    static QStringList defaults();
    /// Splits a stored text into entries (names in lower case, no empties, the first of a name
    /// wins). A suffix naming no known key leaves the family's default.
    static QList<Entry> parse(const QString& stored);
    /// The stored list, or the defaults when the key is absent or not a string.
    static QList<Entry> fromStore(const DefaultsStore& store);

    /// The default key of a terminal by its class name: Shift+Insert for the xterm-like ones.
    static PasteKey familyKey(const QString& name);
    /// The paste key for a window with this WM_CLASS (instance and class names, compared
    /// case-insensitively against the entries, the instance name first); Ctrl+V for a window
    /// that is not on the list.
    static PasteKey pasteKeyFor(const QList<Entry>& entries, const QString& instanceName, const QString& className);
};

} // namespace quillory::input
