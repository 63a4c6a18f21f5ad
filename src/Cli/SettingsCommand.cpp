#include "Cli/Cli.h"

#include "Runtime/DefaultsStore.h"
#include "Runtime/Localization.h"
#include "Runtime/SecretStore.h"

#include <QFile>
#include <QJsonDocument>
#include <QStringDecoder>

#include <cmath>

namespace quillory::cli {

namespace {
QString display(const QVariant& v) {
    switch (v.typeId()) {
    case QMetaType::Bool:
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::LongLong:
        return QString::number(v.toLongLong());
    case QMetaType::Double:
        return QString::number(v.toDouble(), 'g', 17);
    case QMetaType::QString:
        return v.toString();
    case QMetaType::QByteArray: {
        const QByteArray data = v.toByteArray();
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString text = decoder.decode(data);
        QJsonParseError error{};
        QJsonDocument::fromJson(data, &error);
        if (!decoder.hasError() && error.error == QJsonParseError::NoError) {
            return text;
        }
        return QString::fromLatin1(data.toBase64());
    }
    default:
        return {};
    }
}

std::optional<QVariant> parseTyped(DefaultsStore::Type type, const QString& text) {
    bool ok = false;
    switch (type) {
    case DefaultsStore::Type::Bool: {
        const QString t = text.toLower();
        if (t == QLatin1String("true") || t == QLatin1String("1") || t == QLatin1String("yes")) {
            return QVariant(true);
        }
        if (t == QLatin1String("false") || t == QLatin1String("0") || t == QLatin1String("no")) {
            return QVariant(false);
        }
        return std::nullopt;
    }
    case DefaultsStore::Type::Integer: {
        const qlonglong n = text.toLongLong(&ok);
        return ok ? std::optional<QVariant>(QVariant(n)) : std::nullopt;
    }
    case DefaultsStore::Type::Double: {
        const double d = text.toDouble(&ok);
        return ok && std::isfinite(d) ? std::optional<QVariant>(QVariant(d)) : std::nullopt;
    }
    case DefaultsStore::Type::String:
        return QVariant(text);
    case DefaultsStore::Type::Data:
        return QVariant(text.toUtf8());
    }
    return std::nullopt;
}
} // namespace

int settingsCommand(const Command& self, const QStringList& args, Io& io) {
    const Options opts(args, self);
    if (!opts.ok()) {
        return usageError(io, opts.error());
    }
    auto& store = DefaultsStore::standard();
    const QStringList& p = opts.positional();
    const QString sub = p.value(0);
    // A file that can't be read (or is corrupt) is reported, not shown as "no settings".
    auto readFailure = [&]() -> std::optional<int> {
        if (const QString e = store.readError(); !e.isEmpty()) {
            return failure(io, Localization::format("cli.error.settings_read", e));
        }
        return std::nullopt;
    };
    auto writeFailure = [&] {
        return failure(io, Localization::format("cli.error.settings_write", store.lastError()));
    };
    if (sub == QLatin1String("list") && p.size() == 1) {
        if (const auto status = readFailure()) {
            return *status;
        }
        QStringList keys = store.keys();
        keys.sort();
        for (const QString& key : keys) {
            const auto type = store.typeOf(key);
            io.out << key << '\t' << (type ? DefaultsStore::typeName(*type) : QString()) << '\t'
                   << display(store.value(key)) << '\n';
        }
        return Ok;
    }
    if (sub == QLatin1String("get") && p.size() == 2) {
        const QVariant v = store.value(p.at(1));
        if (!v.isValid()) {
            if (const auto status = readFailure()) {
                return *status;
            }
            return failure(io, Localization::format("cli.error.no_such_key", p.at(1)));
        }
        io.out << display(v) << '\n';
        return Ok;
    }
    if (sub == QLatin1String("set") && p.size() == 3) {
        std::optional<DefaultsStore::Type> type;
        int typeFlags = 0;
        for (const auto& [flag, t] :
             {std::pair{"bool", DefaultsStore::Type::Bool}, std::pair{"int", DefaultsStore::Type::Integer},
              std::pair{"double", DefaultsStore::Type::Double},
              std::pair{"string", DefaultsStore::Type::String},
              std::pair{"data", DefaultsStore::Type::Data}}) {
            if (opts.has(QLatin1String(flag))) {
                type = t;
                ++typeFlags;
            }
        }
        if (typeFlags > 1) {
            return usageError(io, QStringLiteral("give at most one type"));
        }
        // Without a type flag an existing key keeps its type; a new key holds a string.
        if (!type) {
            type = store.typeOf(p.at(1)).value_or(DefaultsStore::Type::String);
        }
        if (*type == DefaultsStore::Type::Double) {
            // JSON has no NaN or infinity: such a value would be stored as null and lost.
            bool ok = false;
            if (const double d = p.at(2).toDouble(&ok); ok && !std::isfinite(d)) {
                return usageError(
                    io, QStringLiteral("a double setting takes a finite number, not %1").arg(p.at(2)));
            }
        }
        const auto value = parseTyped(*type, p.at(2));
        if (!value) {
            return failure(io, Localization::format("cli.error.bad_value", p.at(2)));
        }
        return store.setValue(p.at(1), *value) ? Ok : writeFailure();
    }
    if (sub == QLatin1String("api-key") && (p.size() == 2 || (p.size() == 3 && p.at(2) == QLatin1String("remove"))) &&
        (p.at(1) == QLatin1String("speech") || p.at(1) == QLatin1String("polish"))) {
        // The key comes on standard input (one line), never on the command line where any user
        // could read it; it goes to the desktop's secret store, never to the settings file.
        const ServerApiKey& slot = p.at(1) == QLatin1String("speech") ? speechServerApiKey : polishServerApiKey;
        QByteArray key;
        if (p.size() == 2) {
            QFile in;
            if (!in.open(stdin, QIODevice::ReadOnly)) {
                return failure(io, QStringLiteral("standard input cannot be read"));
            }
            key = in.readLine().trimmed();
            if (key.isEmpty()) {
                return usageError(io, QStringLiteral("give the API key on standard input (\"remove\" deletes it)"));
            }
        }
        const Expected<> stored = slot.store(store, key);
        if (!stored) {
            return failure(io, QStringLiteral("The API key was not stored: %1").arg(stored.error()));
        }
        return Ok;
    }
    if (sub == QLatin1String("unset") && p.size() == 2) {
        return store.remove(p.at(1)) ? Ok : writeFailure();
    }
    return usageError(io, self);
}

} // namespace quillory::cli
