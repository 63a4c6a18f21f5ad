#include "Runtime/ModelHosting.h"

#include "Runtime/DefaultsStore.h"

namespace quillory::ModelHosting {

QString baseURL() {
    QString base = qEnvironmentVariable("QUILLORY_MODEL_BASE_URL");
    if (base.isEmpty()) {
        base = DefaultsStore::standard().stringValue(QLatin1String(baseURLKey)).value_or(QString());
    }
    if (base.trimmed().isEmpty()) {
        base = QStringLiteral("https://huggingface.co/");
    }
    if (!base.endsWith(QLatin1Char('/'))) {
        base += QLatin1Char('/');
    }
    return base;
}

QString fileURL(const QString& repository, const QString& file) {
    return baseURL() + repository + QStringLiteral("/resolve/main/") + file;
}

} // namespace quillory::ModelHosting
