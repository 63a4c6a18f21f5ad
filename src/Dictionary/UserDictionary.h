#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <functional>
#include <optional>
#include <vector>

namespace quillory {

/// One replacement: every occurrence of `source` in committed text becomes `target`.
struct UserDictionaryEntry {
    QUuid id = QUuid::createUuid();
    QString source;
    QString target;

    bool operator==(const UserDictionaryEntry&) const = default;
};

/// The user's replacement list, stored as a JSON array (data value) under
/// "quillory.userDictionary.entries". Nothing is cached: every use reads the store afresh.
namespace UserDictionary {

inline constexpr int maxEntries = 100;
inline constexpr int maxContextualStrings = 100;
inline constexpr const char* storageKey = "quillory.userDictionary.entries";

/// The stored list (at most 100); empty when nothing is stored or the data can't be decoded.
std::vector<UserDictionaryEntry> loadEntries();
/// Stores the first 100 entries.
void saveEntries(const std::vector<UserDictionaryEntry>& entries);
/// Loads, edits and stores the list as one step across processes, so two writers (the tray app and
/// the command line) never drop each other's entries. `change` edits the list (the first 100) and
/// returns false to leave it as it is. Stored data that can't be decoded is not replaced: the call
/// fails with `error` saying so. False, with `error` set, when nothing could be stored.
bool updateEntries(const std::function<bool(std::vector<UserDictionaryEntry>& entries)>& change,
                   QString* error = nullptr);

/// JSON coding of the stored form; `decode` fails (nullopt) when any entry is incomplete.
QByteArray encode(const std::vector<UserDictionaryEntry>& entries);
std::optional<std::vector<UserDictionaryEntry>> decode(const QByteArray& data);

/// Recogniser hints: trimmed targets and sources, first occurrences only, at most 100.
QStringList contextualStrings(const std::vector<UserDictionaryEntry>& entries);
QStringList contextualStringsForSpeech();

/// The most UTF-16 code units a substitution may produce for `inputLength` of input: the larger of
/// 262,144 and 16 times the input. Rules whose targets contain shorter sources can multiply a text
/// exponentially; past this bound the substitution is abandoned.
qsizetype substitutionOutputLimit(qsizetype inputLength);

/// Longest source first (in user-perceived characters), equal lengths in list order; literal,
/// case-sensitive, non-overlapping, left to right. When a step would take the text past
/// `substitutionOutputLimit`, the text is returned unsubstituted and a diagnostics line says why, so
/// a careless dictionary costs at most (rules x limit) of work and never the user's text.
QString applySubstitutions(const QString& text, const std::vector<UserDictionaryEntry>& entries);
QString applySubstitutions(const QString& text);

/// The canonical text form of an id: upper-case hexadecimal with hyphens, no braces.
QString idString(const QUuid& id);

} // namespace UserDictionary
} // namespace quillory
