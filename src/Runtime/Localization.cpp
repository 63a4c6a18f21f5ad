#include "Runtime/Localization.h"

#include "Runtime/LocalizedStrings.h"

#include <QHash>
#include <QLocale>

#include <atomic>
#include <memory>
#include <mutex>

namespace quillory::Localization {

namespace {
std::atomic<int> g_override{-1};

struct Tables {
    std::vector<LocalizedString> all;
    QHash<QByteArray, const LocalizedString*> byKey;
    explicit Tables(std::vector<LocalizedString> table) : all(std::move(table)) {
        for (const auto& entry : all) {
            byKey.insert(QByteArray(entry.key), &entry);
        }
    }
};

// Every table installed stays alive until the process ends: a reader on another thread may still
// hold the one an install replaced.
std::mutex g_installMutex;
std::vector<std::unique_ptr<const Tables>> g_installed;
std::atomic<const Tables*> g_tables{nullptr};

const Tables& tables() {
    static const Tables none{{}};
    const Tables* installed = g_tables.load(std::memory_order_acquire);
    return installed ? *installed : none;
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

void installStrings(std::vector<LocalizedString> table) {
    std::lock_guard lock(g_installMutex);
    g_installed.push_back(std::make_unique<const Tables>(std::move(table)));
    g_tables.store(g_installed.back().get(), std::memory_order_release);
}

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
