#include "Utilities/BuildInfo.h"

namespace quillory::BuildInfo {

namespace {
std::optional<QString> nonEmpty(const char* s) {
    const QString v = QString::fromUtf8(s);
    if (v.isEmpty() || v == QLatin1String("?")) {
        return std::nullopt;
    }
    return v;
}
} // namespace

std::optional<QString> shortVersion() {
    return nonEmpty(QUILLORY_VERSION);
}
std::optional<QString> buildIdentifier() {
    return nonEmpty(QUILLORY_BUILD_ID);
}

} // namespace quillory::BuildInfo
