#include "Dictionary/UserDictionary.h"

#include "Runtime/DefaultsStore.h"
#include "Runtime/Text.h"
#include "Utilities/CommitDiagnostics.h"
#include "Utilities/Log.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>

namespace quillory::UserDictionary {

QString idString(const QUuid& id) {
    return id.toString(QUuid::WithoutBraces).toUpper();
}

QByteArray encode(const std::vector<UserDictionaryEntry>& entries) {
    QJsonArray array;
    for (const auto& e : entries) {
        QJsonObject o;
        o.insert(QStringLiteral("id"), idString(e.id));
        o.insert(QStringLiteral("source"), e.source);
        o.insert(QStringLiteral("target"), e.target);
        array.append(o);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

std::optional<std::vector<UserDictionaryEntry>> decode(const QByteArray& data) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray()) {
        return std::nullopt;
    }
    std::vector<UserDictionaryEntry> out;
    for (const QJsonValue& v : doc.array()) {
        if (!v.isObject()) {
            return std::nullopt;
        }
        const QJsonObject o = v.toObject();
        const QJsonValue id = o.value(QStringLiteral("id"));
        const QJsonValue source = o.value(QStringLiteral("source"));
        const QJsonValue target = o.value(QStringLiteral("target"));
        if (!id.isString() || !source.isString() || !target.isString()) {
            return std::nullopt;
        }
        // A UUID in its textual form: 36 characters, hexadecimal with four hyphens.
        const QString idText = id.toString();
        const QUuid uuid = QUuid::fromString(idText);
        if (idText.size() != 36 || uuid.isNull()) {
            return std::nullopt;
        }
        out.push_back(UserDictionaryEntry{uuid, source.toString(), target.toString()});
    }
    return out;
}

std::vector<UserDictionaryEntry> loadEntries() {
    const auto data = DefaultsStore::standard().dataValue(QString::fromLatin1(storageKey));
    if (!data) {
        return {};
    }
    auto entries = decode(*data);
    if (!entries) {
        return {};
    }
    if (entries->size() > size_t(maxEntries)) {
        entries->resize(maxEntries);
    }
    return *entries;
}

void saveEntries(const std::vector<UserDictionaryEntry>& entries) {
    std::vector<UserDictionaryEntry> kept(entries.begin(),
                                          entries.begin() + std::min<size_t>(entries.size(), maxEntries));
    DefaultsStore::standard().setData(QString::fromLatin1(storageKey), encode(kept));
}

bool updateEntries(const std::function<bool(std::vector<UserDictionaryEntry>&)>& change, QString* error) {
    QString refusal;
    auto& store = DefaultsStore::standard();
    const bool ok = store.update(
        QString::fromLatin1(storageKey), [&](const QVariant& current) -> std::optional<QVariant> {
            std::vector<UserDictionaryEntry> entries;
            if (current.isValid()) {
                auto decoded =
                    current.typeId() == QMetaType::QByteArray ? decode(current.toByteArray()) : std::nullopt;
                if (!decoded) {
                    refusal = QStringLiteral("the stored dictionary (%1) can't be read; it was left as it is")
                                  .arg(QString::fromLatin1(storageKey));
                    return std::nullopt;
                }
                entries = std::move(*decoded);
            }
            if (entries.size() > size_t(maxEntries)) {
                entries.resize(maxEntries);
            }
            if (!change(entries)) {
                return std::nullopt;
            }
            if (entries.size() > size_t(maxEntries)) {
                entries.resize(maxEntries);
            }
            return QVariant(encode(entries));
        });
    if (!refusal.isEmpty() || !ok) {
        if (error) {
            *error = refusal.isEmpty() ? store.lastError() : refusal;
        }
        return false;
    }
    return true;
}

QStringList contextualStrings(const std::vector<UserDictionaryEntry>& entries) {
    QStringList out;
    QSet<QString> taken;
    for (const auto& e : entries) {
        for (const QString& candidate : {Text::trimmed(e.target), Text::trimmed(e.source)}) {
            if (candidate.isEmpty()) {
                continue;
            }
            const QString key = Text::canonicalKey(candidate);
            if (taken.contains(key)) {
                continue;
            }
            taken.insert(key);
            out << candidate;
            if (out.size() >= maxContextualStrings) {
                return out;
            }
        }
    }
    return out;
}

QStringList contextualStringsForSpeech() {
    return contextualStrings(loadEntries());
}

qsizetype substitutionOutputLimit(qsizetype inputLength) {
    constexpr qsizetype floor = 262144;
    constexpr qsizetype factor = 16;
    return inputLength > floor / factor ? std::max(floor, inputLength * factor) : floor;
}

QString applySubstitutions(const QString& text, const std::vector<UserDictionaryEntry>& entries) {
    struct Rule {
        qsizetype length;
        QString source;
        QString target;
    };
    std::vector<Rule> rules;
    for (const auto& e : entries) {
        const QString source = Text::trimmed(e.source);
        if (source.isEmpty()) {
            continue;
        }
        rules.push_back(Rule{Text::graphemeCount(source), source, e.target});
    }
    std::stable_sort(rules.begin(), rules.end(),
                     [](const Rule& a, const Rule& b) { return a.length > b.length; });
    const qsizetype limit = substitutionOutputLimit(text.size());
    QString result = text;
    for (const auto& r : rules) {
        // Count first (as the replacement matches: non-overlapping, left to right) so an oversized
        // result is never built.
        qsizetype occurrences = 0;
        for (qsizetype at = result.indexOf(r.source); at >= 0;
             at = result.indexOf(r.source, at + r.source.size())) {
            ++occurrences;
        }
        if (occurrences == 0) {
            continue;
        }
        const qsizetype growth = r.target.size() - r.source.size();
        if (growth > 0 && occurrences > (limit - result.size()) / growth) {
            const QString message =
                QStringLiteral(
                    "stage=dictionary result=skipped reason=output_limit input_len=%1 limit=%2 rules=%3")
                    .arg(Text::graphemeCount(text))
                    .arg(limit)
                    .arg(rules.size());
            qCWarning(lcCommit).noquote() << message;
            CommitDiagnostics::record(CommitDiagnostics::Level::Error, message);
            return text;
        }
        result.replace(r.source, r.target, Qt::CaseSensitive);
    }
    return result;
}

QString applySubstitutions(const QString& text) {
    return applySubstitutions(text, loadEntries());
}

} // namespace quillory::UserDictionary
