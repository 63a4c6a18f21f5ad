#include "Runtime/Localization.h"

#include "Runtime/LocalizedStrings.h"

#include <QHash>
#include <QLocale>

#include <atomic>

namespace quillory::Localization {

namespace {
std::atomic<int> g_override{-1};

struct Tables {
    std::vector<LocalizedString> all = localizedStrings();
    QHash<QByteArray, const LocalizedString*> byKey;
    Tables() {
        for (const auto& entry : all) {
            byKey.insert(QByteArray(entry.key), &entry);
        }
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

Language systemLanguage() {
    const QByteArray env = qgetenv("QUILLORY_LANGUAGE");
    if (env == "ja") {
        return Language::Japanese;
    }
    if (env == "en") {
        return Language::English;
    }
    return QLocale::system().language() == QLocale::Japanese ? Language::Japanese : Language::English;
}
} // namespace

Language language() {
    const int o = g_override.load();
    if (o >= 0) {
        return static_cast<Language>(o);
    }
    static const Language lang = systemLanguage();
    return lang;
}

void setLanguage(Language l) {
    g_override.store(static_cast<int>(l));
}
void resetLanguage() {
    g_override.store(-1);
}

QString text(const char* key) {
    const auto* entry = tables().byKey.value(QByteArray::fromRawData(key, qstrlen(key)));
    if (!entry) {
        return QString::fromUtf8(key);
    }
    if (language() == Language::Japanese && entry->ja && *entry->ja) {
        return QString::fromUtf8(entry->ja);
    }
    return QString::fromUtf8(entry->en);
}

QString format(const char* key, const QString& argument) {
    return text(key).arg(argument);
}

bool hasKey(const char* key) {
    return tables().byKey.contains(QByteArray::fromRawData(key, qstrlen(key)));
}

} // namespace quillory::Localization
