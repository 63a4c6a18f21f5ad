#include "Dictionary/UserDictionary.h"

#include "Runtime/DefaultsStore.h"
#include "Runtime/Text.h"
#include "Utilities/CommitDiagnostics.h"
#include "Runtime/Log.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <map>
#include <unordered_map>

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

namespace {
/// The sources as a trie over UTF-16 code units: one pass over a text finds every source that
/// starts at each position, whatever the number of rules.
class SourceTrie {
public:
    /// Adds `source` as rule `rank` (lower ranks win); a source already present keeps its rank.
    void add(QStringView source, int rank) {
        int node = 0;
        for (const QChar c : source) {
            const quint64 key = edgeKey(node, c);
            auto it = edges_.find(key);
            if (it == edges_.end()) {
                it = edges_.emplace(key, int(ranks_.size())).first;
                ranks_.push_back(-1);
            }
            node = it->second;
        }
        if (ranks_[node] < 0) {
            ranks_[node] = rank;
        }
    }
    /// Calls `found(rank, length)` for every source that starts at `at` in `text`.
    template <typename Found> void matchesAt(QStringView text, qsizetype at, Found&& found) const {
        int node = 0;
        for (qsizetype i = at; i < text.size(); ++i) {
            const auto it = edges_.find(edgeKey(node, text[i]));
            if (it == edges_.end()) {
                return;
            }
            node = it->second;
            if (ranks_[node] >= 0) {
                found(ranks_[node], i + 1 - at);
            }
        }
    }

private:
    static quint64 edgeKey(int node, QChar c) { return (quint64(quint32(node)) << 16) | c.unicode(); }
    std::unordered_map<quint64, int> edges_;
    std::vector<int> ranks_{-1}; // per node: the rule whose source ends here, or -1
};
} // namespace

QString applySubstitutions(const QString& text, const std::vector<UserDictionaryEntry>& entries) {
    struct Rule {
        qsizetype length; // user-perceived characters
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
    if (rules.empty() || text.isEmpty()) {
        return text;
    }
    std::stable_sort(rules.begin(), rules.end(),
                     [](const Rule& a, const Rule& b) { return a.length > b.length; });
    SourceTrie trie;
    for (int rank = 0; rank < int(rules.size()); ++rank) {
        trie.add(rules[rank].source, rank);
    }

    // Every occurrence of every source in the original text, then taken in rule order (longest
    // first, equal lengths in list order; each rule's own occurrences left to right) wherever it
    // overlaps nothing taken before. What a rule inserts is never seen by another rule.
    struct Match {
        int rank;
        qsizetype at;
        qsizetype length;
    };
    std::vector<Match> matches;
    for (qsizetype at = 0; at < text.size(); ++at) {
        trie.matchesAt(text, at, [&](int rank, qsizetype length) { matches.push_back({rank, at, length}); });
    }
    if (matches.empty()) {
        return text;
    }
    std::stable_sort(matches.begin(), matches.end(),
                     [](const Match& a, const Match& b) { return a.rank < b.rank; });
    std::map<qsizetype, const Match*> taken; // by start; the taken ranges never overlap
    qsizetype outputLength = text.size();
    for (const Match& m : matches) {
        const auto next = taken.lower_bound(m.at);
        if (next != taken.end() && next->first < m.at + m.length) {
            continue;
        }
        if (next != taken.begin()) {
            const Match* previous = std::prev(next)->second;
            if (previous->at + previous->length > m.at) {
                continue;
            }
        }
        taken.emplace_hint(next, m.at, &m);
        outputLength += rules[m.rank].target.size() - m.length;
    }

    const qsizetype limit = substitutionOutputLimit(text.size());
    if (outputLength > limit) {
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
    QString result;
    result.reserve(outputLength);
    qsizetype copied = 0;
    for (const auto& [at, m] : taken) {
        result.append(QStringView(text).mid(copied, at - copied));
        result.append(rules[m->rank].target);
        copied = at + m->length;
    }
    result.append(QStringView(text).mid(copied));
    return result;
}

QString applySubstitutions(const QString& text) {
    return applySubstitutions(text, loadEntries());
}

} // namespace quillory::UserDictionary
