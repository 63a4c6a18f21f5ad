#pragma once

#include <QByteArray>
#include <QJsonObject>

#include <cstdint>
#include <optional>

namespace quillory {

/// The user's global shortcuts. Key codes and modifier masks use the core's own key vocabulary
/// (Command 55/54, Option 58/61, fn 63); the platform backends translate.
struct HotkeyConfig {
    bool toggleShortcutEnabled = true;
    bool pushToTalkShortcutEnabled = true;
    std::uint32_t keyCode = 0;
    std::uint32_t modifiers = 0;
    bool modifierChordFnOption = false;
    bool toggleDoubleCommand = true;
    bool modifierChordFnRightShift = false;
    bool modifierChordFnCommand = true;

    static HotkeyConfig factoryDefaults() { return {}; }

    /// The modifier-key monitor is needed (double Command, or an fn chord for push-to-talk).
    bool needsModifierMonitor() const {
        return (toggleShortcutEnabled && toggleDoubleCommand) ||
               (pushToTalkShortcutEnabled && (modifierChordFnCommand || modifierChordFnOption));
    }
    /// A registered key combination serves the toggle.
    bool needsHotKeyGrab() const {
        return toggleShortcutEnabled && keyCode != 0 && !toggleDoubleCommand && !modifierChordFnRightShift;
    }

    bool operator==(const HotkeyConfig&) const = default;

    /// The stored form: a JSON object with the eight members.
    QJsonObject toJson() const;
    QByteArray encode() const;
    /// Decodes a stored record, migrating the forms earlier versions wrote; nullopt when the
    /// data is not a JSON object or a member has the wrong type.
    static std::optional<HotkeyConfig> decode(const QByteArray& data);
};

/// Loads and saves the configuration under "quillory.hotkeyConfig" in the defaults store.
namespace HotkeyStorage {
inline constexpr const char* storageKey = "quillory.hotkeyConfig";
HotkeyConfig load();
void save(const HotkeyConfig& config);
} // namespace HotkeyStorage

} // namespace quillory
