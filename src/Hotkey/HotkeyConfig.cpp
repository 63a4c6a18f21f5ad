#include "Hotkey/HotkeyConfig.h"

#include "Runtime/DefaultsStore.h"

#include <QJsonDocument>

#include <cmath>

namespace quillory {

namespace {
struct DecodeFailure {};

std::optional<bool> optionalBool(const QJsonObject& o, const char* key) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined()) {
        return std::nullopt;
    }
    if (!v.isBool()) {
        throw DecodeFailure{};
    }
    return v.toBool();
}

std::optional<std::uint32_t> optionalUInt32(const QJsonObject& o, const char* key) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined()) {
        return std::nullopt;
    }
    if (!v.isDouble()) {
        throw DecodeFailure{};
    }
    const double d = v.toDouble();
    if (!(d >= 0) || d > 4294967295.0 || std::floor(d) != d) {
        throw DecodeFailure{};
    }
    return static_cast<std::uint32_t>(d);
}

std::optional<QString> optionalString(const QJsonObject& o, const char* key) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined()) {
        return std::nullopt;
    }
    if (!v.isString()) {
        throw DecodeFailure{};
    }
    return v.toString();
}
} // namespace

QJsonObject HotkeyConfig::toJson() const {
    QJsonObject o;
    o.insert(QStringLiteral("toggleShortcutEnabled"), toggleShortcutEnabled);
    o.insert(QStringLiteral("pushToTalkShortcutEnabled"), pushToTalkShortcutEnabled);
    o.insert(QStringLiteral("keyCode"), qint64(keyCode));
    o.insert(QStringLiteral("carbonModifiers"), qint64(modifiers));
    o.insert(QStringLiteral("modifierChordFnOption"), modifierChordFnOption);
    o.insert(QStringLiteral("toggleDoubleCommand"), toggleDoubleCommand);
    o.insert(QStringLiteral("modifierChordFnRightShift"), modifierChordFnRightShift);
    o.insert(QStringLiteral("modifierChordFnCommand"), modifierChordFnCommand);
    return o;
}

QByteArray HotkeyConfig::encode() const {
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
}

std::optional<HotkeyConfig> HotkeyConfig::decode(const QByteArray& data) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        return std::nullopt;
    }
    const QJsonObject o = doc.object();
    try {
        const auto storedKeyCode = optionalUInt32(o, "keyCode");
        const auto storedModifiers = optionalUInt32(o, "carbonModifiers");
        const auto leftOption = optionalBool(o, "modifierOnlyLeftOption");
        const auto rightOption = optionalBool(o, "modifierOnlyRightOption");
        const auto fnOption = optionalBool(o, "modifierChordFnOption");
        const auto doubleCommand = optionalBool(o, "toggleDoubleCommand");
        (void)optionalBool(o, "modifierChordFnRightShift"); // read for its type only
        const auto fnCommand = optionalBool(o, "modifierChordFnCommand");
        const auto toggleEnabled = optionalBool(o, "toggleShortcutEnabled");
        const auto pttEnabled = optionalBool(o, "pushToTalkShortcutEnabled");

        HotkeyConfig c;
        if (toggleEnabled || pttEnabled) {
            c.toggleShortcutEnabled = toggleEnabled.value_or(true);
            c.pushToTalkShortcutEnabled = pttEnabled.value_or(true);
        } else {
            // Records of earlier versions chose one mode.
            const auto mode = optionalString(o, "mode");
            if (mode == QStringLiteral("pushToTalk")) {
                c.toggleShortcutEnabled = false;
                c.pushToTalkShortcutEnabled = true;
            } else if (mode == QStringLiteral("toggle")) {
                c.toggleShortcutEnabled = true;
                c.pushToTalkShortcutEnabled = false;
            } else if (mode) {
                throw DecodeFailure{}; // not a known mode
            } else {
                c.toggleShortcutEnabled = true;
                c.pushToTalkShortcutEnabled = true;
            }
        }
        c.keyCode = 0;
        c.modifiers = storedKeyCode.value_or(0) == 0 ? storedModifiers.value_or(0) : 0;
        c.toggleDoubleCommand = doubleCommand.value_or(true);
        c.modifierChordFnRightShift = false;
        c.modifierChordFnOption =
            fnOption.value_or(false) || leftOption.value_or(false) || rightOption.value_or(false);
        c.modifierChordFnCommand = fnCommand.value_or(false);
        if (c.pushToTalkShortcutEnabled && !c.modifierChordFnOption && !c.modifierChordFnCommand) {
            c.modifierChordFnCommand = true;
        }
        return c;
    } catch (const DecodeFailure&) {
        return std::nullopt;
    }
}

namespace HotkeyStorage {

HotkeyConfig load() {
    const auto data = DefaultsStore::standard().dataValue(QString::fromLatin1(storageKey));
    if (!data) {
        return HotkeyConfig::factoryDefaults();
    }
    return HotkeyConfig::decode(*data).value_or(HotkeyConfig::factoryDefaults());
}

void save(const HotkeyConfig& config) {
    DefaultsStore::standard().setData(QString::fromLatin1(storageKey), config.encode());
}

} // namespace HotkeyStorage
} // namespace quillory
