#include "Runtime/Paths.h"

#include <QDir>

namespace quillory::Paths {

namespace {
QString xdg(const char* variable, const char* fallbackUnderHome) {
    const QString value = qEnvironmentVariable(variable);
    // The XDG rules ignore relative paths.
    if (!value.isEmpty() && QDir::isAbsolutePath(value)) {
        return QDir::cleanPath(value);
    }
    return QDir::cleanPath(homeDirectory() + QLatin1Char('/') + QLatin1String(fallbackUnderHome));
}
} // namespace

QString homeDirectory() {
    return QDir::homePath();
}
QString configDirectory() {
    return xdg("XDG_CONFIG_HOME", ".config") + QStringLiteral("/quillory");
}
QString dataDirectory() {
    return xdg("XDG_DATA_HOME", ".local/share") + QStringLiteral("/quillory");
}
QString cacheDirectory() {
    return xdg("XDG_CACHE_HOME", ".cache") + QStringLiteral("/quillory");
}
QString tempDirectory() {
    return QDir::tempPath();
}

} // namespace quillory::Paths
