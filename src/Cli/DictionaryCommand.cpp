#include "Cli/Cli.h"

#include "Dictionary/UserDictionary.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/Localization.h"

namespace quillory::cli {

int dictionaryCommand(const QStringList& args, Io& io) {
    const Options opts(args, {}, {});
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
        auto entries = UserDictionary::loadEntries();
        if (entries.size() >= size_t(UserDictionary::maxEntries)) {
            return failure(io, Localization::format("cli.error.dictionary_full",
                                                    QString::number(UserDictionary::maxEntries)));
        }
        UserDictionaryEntry entry{QUuid::createUuid(), p.at(1), p.at(2)};
        entries.push_back(entry);
        UserDictionary::saveEntries(entries);
        if (const QString e = DefaultsStore::standard().lastError(); !e.isEmpty()) {
            return failure(io, Localization::format("cli.error.settings_write", e));
        }
        io.out << UserDictionary::idString(entry.id) << '\n';
        return Ok;
    }
    if (sub == QLatin1String("remove") && p.size() == 2) {
        auto entries = UserDictionary::loadEntries();
        const QUuid id = QUuid::fromString(p.at(1));
        const auto it =
            std::find_if(entries.begin(), entries.end(), [&](const auto& e) { return e.id == id; });
        if (id.isNull() || it == entries.end()) {
            return failure(io, Localization::format("cli.error.unknown_entry", p.at(1)));
        }
        entries.erase(it);
        UserDictionary::saveEntries(entries);
        if (const QString e = DefaultsStore::standard().lastError(); !e.isEmpty()) {
            return failure(io, Localization::format("cli.error.settings_write", e));
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
    return usageError(io,
                      QStringLiteral("dictionary list | add SOURCE TARGET | remove ID | apply TEXT | hints"));
}

} // namespace quillory::cli
