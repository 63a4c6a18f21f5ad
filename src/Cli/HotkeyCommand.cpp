#include "Cli/Cli.h"

#include "Hotkey/HotkeyConfig.h"

#include <QJsonDocument>

namespace quillory::cli {

int hotkeyCommand(const QStringList& args, Io& io) {
    if (args != QStringList{QStringLiteral("show")}) {
        return usageError(io, QStringLiteral("hotkey show"));
    }
    const HotkeyConfig config = HotkeyStorage::load();
    QJsonObject o = config.toJson();
    o.insert(QStringLiteral("needsFlagsChangedTap"), config.needsFlagsChangedTap());
    o.insert(QStringLiteral("needsCarbonToggleHotKey"), config.needsCarbonToggleHotKey());
    io.out << QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact)) << '\n';
    return Ok;
}

} // namespace quillory::cli
