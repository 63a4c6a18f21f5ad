#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace quillory {

/// Which physical keys stand for the core's Command, Option and fn keys on Linux.
///
/// Keys are X keycodes (8–255: the evdev scan code plus 8), so the keyboard layout does not
/// matter. Each of the five slots holds any number of keys; an empty slot is a key the user does
/// not have. Stored as JSON data under "quillory.linux.modifierKeys":
///
///     {"leftCommand":[], "rightCommand":["RCTL"], "leftOption":["LALT"], "rightOption":["RALT"], "fn":["RTSH"]}
///
/// where an entry is a keycode number or a physical key name ("RCTL", "MUHE", ...: the XKB key
/// names of the standard evdev keycodes, see `knownKeys()`).
struct ModifierKeyMap {
    struct Slot {
        const char* name;       ///< the JSON member, e.g. "rightCommand"
        std::uint16_t virtualKey; ///< the core's key code
    };
    /// The five slots, in stored order.
    static const std::vector<Slot>& slotList();

    std::vector<int> leftCommand;
    std::vector<int> rightCommand;
    std::vector<int> leftOption;
    std::vector<int> rightOption;
    std::vector<int> fn;

    /// Right Ctrl for Command, Right Shift for fn, the Alt keys for Option: present on US and JIS
    /// PC keyboards and on laptops, and none of them does anything on a tap of its own.
    static ModifierKeyMap defaults();

    std::vector<int>& keysFor(std::uint16_t virtualKey);
    const std::vector<int>& keysFor(std::uint16_t virtualKey) const;
    /// The core key a physical key stands for; nullopt for keys outside the map.
    std::optional<std::uint16_t> virtualKeyFor(int keycode) const;

    QJsonObject toJson() const; ///< keycodes as names where the name is known
    QByteArray encode() const;
    /// Tolerant: a slot that is missing or unreadable keeps its default; unknown names, keycodes
    /// outside 8–255 and keys already used by an earlier slot are dropped. Each problem is
    /// described in `problems`. Data that is not a JSON object gives the defaults.
    static ModifierKeyMap decode(const QByteArray& data, QStringList* problems = nullptr);

    /// A physical key name → keycode, for the keys of `knownKeys()` (case-insensitive).
    static std::optional<int> keycodeForName(const QString& name);
    /// "RCTL (Right Ctrl)" for a known key, else "keycode 97".
    static QString describeKey(int keycode);
    /// The name printed on the key, in the user's language: "Right Ctrl" / "右 Ctrl",
    /// "Muhenkan" / "無変換"; "keycode 97" / "キーコード 97" for a key without a name.
    static QString keyName(int keycode);
    /// `keys` by name, joined with " / "; the localised "(no key)" when empty.
    static QString keysName(const std::vector<int>& keys);
    /// Both Command slots, then both Option slots (left first).
    std::vector<int> commandKeys() const;
    std::vector<int> optionKeys() const;

    struct KnownKey {
        const char* name;
        int keycode;
        const char* description;
    };
    static const std::vector<KnownKey>& knownKeys();

    bool operator==(const ModifierKeyMap&) const = default;
};

/// Loads and saves the map under "quillory.linux.modifierKeys" in the defaults store.
namespace ModifierKeyStorage {
inline constexpr const char* storageKey = "quillory.linux.modifierKeys";
/// The stored map (defaults when nothing or nothing readable is stored; problems are logged on
/// the hotkey channel).
ModifierKeyMap load();
void save(const ModifierKeyMap& map);
} // namespace ModifierKeyStorage

} // namespace quillory
