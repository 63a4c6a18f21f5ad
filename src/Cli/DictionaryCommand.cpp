#include "Cli/Cli.h"

#include "Dictionary/UserDictionary.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/Localization.h"

namespace quillory::cli {

int dictionaryCommand(const Command& self, const QStringList& args, Io& io) {
    const Options opts(args, self);
    if (!opts.ok()) {
        return usageError(io, opts.error());
    }
    const QStringList& p = opts.positional();
    const QString sub = p.value(0);
    if (sub == QLatin1String("list") && p.size() == 1) {
        for (const auto& e : UserDictionary::loadEntries()) {
            io.out << UserDictionary::idString(e.id) << '\t' << e.source << '\t' << e.target << '\n';
        }
        return Ok;
    }
    if (sub == QLatin1String("add") && p.size() == 3) {
        // One step across processes: another writer's entries are never dropped.
        const UserDictionaryEntry entry{QUuid::createUuid(), p.at(1), p.at(2)};
        bool full = false;
        QString error;
        const bool saved = UserDictionary::updateEntries(
            [&](std::vector<UserDictionaryEntry>& entries) {
                if (entries.size() >= size_t(UserDictionary::maxEntries)) {
                    full = true;
                    return false;
                }
                entries.push_back(entry);
                return true;
            },
            &error);
        if (full) {
            return failure(io, Localization::format("cli.error.dictionary_full",
                                                    QString::number(UserDictionary::maxEntries)));
        }
        if (!saved) {
            return failure(io, Localization::format("cli.error.settings_write", error));
        }
        io.out << UserDictionary::idString(entry.id) << '\n';
        return Ok;
    }
    if (sub == QLatin1String("remove") && p.size() == 2) {
        const QUuid id = QUuid::fromString(p.at(1));
        bool found = false;
        QString error;
        const bool saved = UserDictionary::updateEntries(
            [&](std::vector<UserDictionaryEntry>& entries) {
                const auto it =
                    std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.id == id; });
                if (id.isNull() || it == entries.end()) {
                    return false;
                }
                entries.erase(it);
                found = true;
                return true;
            },
            &error);
        if (!saved) {
            return failure(io, Localization::format("cli.error.settings_write", error));
        }
        if (!found) {
            return failure(io, Localization::format("cli.error.unknown_entry", p.at(1)));
        }
        return Ok;
    }
    if (sub == QLatin1String("apply") && p.size() == 2) {
        QString text = p.at(1);
        if (text == QLatin1String("-")) {
            QTextStream in(stdin);
            in.setEncoding(QStringConverter::Utf8);
            text = in.readAll();
        }
        io.out << UserDictionary::applySubstitutions(text);
        io.out.flush();
        return Ok;
    }
    if (sub == QLatin1String("hints") && p.size() == 1) {
        for (const QString& h : UserDictionary::contextualStringsForSpeech()) {
            io.out << h << '\n';
        }
        return Ok;
    }
    return usageError(io, self);
}

} // namespace quillory::cli
