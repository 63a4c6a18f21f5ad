#include "Hotkey/ModifierKeyMap.h"

#include "Hotkey/HotkeyBackend.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/Localization.h"
#include "Runtime/Log.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <set>

namespace quillory {

const std::vector<ModifierKeyMap::Slot>& ModifierKeyMap::slotList() {
    static const std::vector<Slot> all = {
        {"leftCommand", HotkeyKeys::leftCommand}, {"rightCommand", HotkeyKeys::rightCommand},
        {"leftOption", HotkeyKeys::leftOption},   {"rightOption", HotkeyKeys::rightOption},
        {"fn", HotkeyKeys::fn},
    };
    return all;
}

const std::vector<ModifierKeyMap::KnownKey>& ModifierKeyMap::knownKeys() {
    // Standard evdev keycodes (X keycode = Linux input code + 8), the same on every layout.
    static const std::vector<KnownKey> all = {
        {"LCTL", 37, "Left Ctrl"},
        {"RCTL", 105, "Right Ctrl"},
        {"LFSH", 50, "Left Shift"},
        {"RTSH", 62, "Right Shift"},
        {"LALT", 64, "Left Alt"},
        {"RALT", 108, "Right Alt / AltGr"},
        {"LWIN", 133, "Left Super"},
        {"RWIN", 134, "Right Super"},
        {"MENU", 135, "Menu"},
        {"CAPS", 66, "Caps Lock"},
        {"MUHE", 102, "Muhenkan (無変換)"},
        {"HENK", 100, "Henkan (変換)"},
        {"HKTG", 101, "Katakana/Hiragana (カタカナ/ひらがな)"},
        {"SCLK", 78, "Scroll Lock"},
        {"PAUS", 127, "Pause"},
        {"INS", 118, "Insert"},
    };
    return all;
}

ModifierKeyMap ModifierKeyMap::defaults() {
    ModifierKeyMap m;
    m.rightCommand = {105}; // Right Ctrl
    m.leftOption = {64};    // Left Alt
    m.rightOption = {108};  // Right Alt
    m.fn = {62};            // Right Shift
    return m;
}

std::vector<int>& ModifierKeyMap::keysFor(std::uint16_t virtualKey) {
    switch (virtualKey) {
    case HotkeyKeys::leftCommand: return leftCommand;
    case HotkeyKeys::rightCommand: return rightCommand;
    case HotkeyKeys::leftOption: return leftOption;
    case HotkeyKeys::rightOption: return rightOption;
    default: return fn;
    }
}

const std::vector<int>& ModifierKeyMap::keysFor(std::uint16_t virtualKey) const {
    return const_cast<ModifierKeyMap*>(this)->keysFor(virtualKey);
}

std::optional<std::uint16_t> ModifierKeyMap::virtualKeyFor(int keycode) const {
    for (const auto& slot : slotList()) {
        const auto& keys = keysFor(slot.virtualKey);
        if (std::find(keys.begin(), keys.end(), keycode) != keys.end()) {
            return slot.virtualKey;
        }
    }
    return std::nullopt;
}

std::optional<int> ModifierKeyMap::keycodeForName(const QString& name) {
    for (const auto& k : knownKeys()) {
        if (name.compare(QLatin1String(k.name), Qt::CaseInsensitive) == 0) {
            return k.keycode;
        }
    }
    return std::nullopt;
}

QString ModifierKeyMap::describeKey(int keycode) {
    for (const auto& k : knownKeys()) {
        if (k.keycode == keycode) {
            return QStringLiteral("%1 (%2)").arg(QLatin1String(k.name), QString::fromUtf8(k.description));
        }
    }
    return QStringLiteral("keycode %1").arg(keycode);
}

QString ModifierKeyMap::keyName(int keycode) {
    for (const auto& k : knownKeys()) {
        if (k.keycode == keycode) {
            const QByteArray key = QByteArrayLiteral("hotkey.key.") + k.name;
            return L(key.constData());
        }
    }
    return Localization::format("hotkey.key.keycode", QString::number(keycode));
}

QString ModifierKeyMap::keysName(const std::vector<int>& keys) {
    if (keys.empty()) {
        return L("hotkey.key.none");
    }
    QStringList names;
    for (int keycode : keys) {
        names << keyName(keycode);
    }
    return names.join(QStringLiteral(" / "));
}

std::vector<int> ModifierKeyMap::commandKeys() const {
    std::vector<int> keys = leftCommand;
    keys.insert(keys.end(), rightCommand.begin(), rightCommand.end());
    return keys;
}

std::vector<int> ModifierKeyMap::optionKeys() const {
    std::vector<int> keys = leftOption;
    keys.insert(keys.end(), rightOption.begin(), rightOption.end());
    return keys;
}

QJsonObject ModifierKeyMap::toJson() const {
    QJsonObject o;
    for (const auto& slot : slotList()) {
        QJsonArray keys;
        for (int keycode : keysFor(slot.virtualKey)) {
            const auto known = std::find_if(knownKeys().begin(), knownKeys().end(),
                                            [keycode](const KnownKey& k) { return k.keycode == keycode; });
            if (known != knownKeys().end()) {
                keys.append(QLatin1String(known->name));
            } else {
                keys.append(keycode);
            }
        }
        o.insert(QLatin1String(slot.name), keys);
    }
    return o;
}

QByteArray ModifierKeyMap::encode() const {
    return QJsonDocument(toJson()).toJson(QJsonDocument::Compact);
}

ModifierKeyMap ModifierKeyMap::decode(const QByteArray& data, QStringList* problems) {
    const auto problem = [problems](const QString& p) {
        if (problems) {
            problems->append(p);
        }
    };
    ModifierKeyMap m = defaults();
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        problem(QStringLiteral("not a JSON object; using the default keys"));
        return m;
    }
    const QJsonObject o = doc.object();
    for (auto it = o.begin(); it != o.end(); ++it) {
        const bool known = std::any_of(slotList().begin(), slotList().end(),
                                       [&](const Slot& s) { return it.key() == QLatin1String(s.name); });
        if (!known) {
            problem(QStringLiteral("unknown member \"%1\" ignored").arg(it.key()));
        }
    }
    // Stored slots first, so a default key never shadows a key the user placed elsewhere.
    std::set<int> used;
    std::vector<const Slot*> defaulted;
    for (const auto& slot : slotList()) {
        const QJsonValue v = o.value(QLatin1String(slot.name));
        if (v.isUndefined()) {
            defaulted.push_back(&slot);
            continue;
        }
        QJsonArray entries;
        if (v.isArray()) {
            entries = v.toArray();
        } else if (v.isDouble() || v.isString()) {
            entries.append(v); // a single key without brackets
        } else {
            problem(QStringLiteral("\"%1\" is not a list of keys; using its default").arg(QLatin1String(slot.name)));
            defaulted.push_back(&slot);
            continue;
        }
        std::vector<int> keys;
        for (const QJsonValue& entry : entries) {
            std::optional<int> keycode;
            if (entry.isDouble()) {
                const double d = entry.toDouble();
                if (d >= 8 && d <= 255 && d == static_cast<int>(d)) {
                    keycode = static_cast<int>(d);
                }
            } else if (entry.isString()) {
                keycode = keycodeForName(entry.toString().trimmed());
            }
            if (!keycode) {
                problem(QStringLiteral("\"%1\": %2 is not a key; dropped")
                            .arg(QLatin1String(slot.name),
                                 QString::fromUtf8(QJsonDocument(QJsonArray{entry}).toJson(QJsonDocument::Compact))));
                continue;
            }
            if (!used.insert(*keycode).second) {
                problem(QStringLiteral("\"%1\": %2 already stands for another key; dropped")
                            .arg(QLatin1String(slot.name), describeKey(*keycode)));
                continue;
            }
            keys.push_back(*keycode);
        }
        m.keysFor(slot.virtualKey) = keys;
    }
    for (const Slot* slot : defaulted) {
        auto& keys = m.keysFor(slot->virtualKey);
        std::erase_if(keys, [&](int k) { return !used.insert(k).second; });
    }
    return m;
}

namespace ModifierKeyStorage {

ModifierKeyMap load() {
    const auto data = DefaultsStore::standard().dataValue(QString::fromLatin1(storageKey));
    if (!data) {
        if (DefaultsStore::standard().value(QString::fromLatin1(storageKey)).isValid()) {
            qCWarning(lcHotkey, "%s is not a data value; using the default keys", storageKey);
        }
        return ModifierKeyMap::defaults();
    }
    QStringList problems;
    ModifierKeyMap m = ModifierKeyMap::decode(*data, &problems);
    for (const QString& p : problems) {
        qCWarning(lcHotkey, "%s: %s", storageKey, qUtf8Printable(p));
    }
    return m;
}

void save(const ModifierKeyMap& map) {
    DefaultsStore::standard().setData(QString::fromLatin1(storageKey), map.encode());
}

} // namespace ModifierKeyStorage
} // namespace quillory
