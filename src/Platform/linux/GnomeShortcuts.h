#pragma once

#include "Platform/DesktopBackends.h"
#include "Runtime/Expected.h"

#include <QString>
#include <QStringList>

#include <functional>

namespace quillory::platform {

/// Runs `gsettings` with these arguments; its standard output, or why it failed.
using GSettingsRunner = std::function<Expected<QString>(const QStringList& arguments)>;
/// The `gsettings` program (GLib's command line for GSettings), each call bounded to 5 s.
GSettingsRunner gsettingsProgram();

/// A binding of one command among GNOME's own custom keyboard shortcuts (Settings → Keyboard →
/// Custom Shortcuts): the `custom-keybindings` list of org.gnome.settings-daemon.plugins.media-keys
/// and one relocatable org.gnome.settings-daemon.plugins.media-keys.custom-keybinding at a path
/// of our own, so the user's other bindings are never touched. GNOME's settings daemon runs the
/// command when the shortcut is pressed, whatever window has the focus.
class GnomeCustomShortcut {
public:
    /// Our entry in the list.
    static inline const QString kPath =
        QStringLiteral("/org/gnome/settings-daemon/plugins/media-keys/custom-keybindings/quillory-toggle/");
    /// The shortcut offered: Ctrl+Alt+D ("dictate"), free in a stock GNOME.
    static inline const QString kDefaultAccelerator = QStringLiteral("<Control><Alt>d");

    GnomeCustomShortcut(GSettingsRunner run, QString name, QString command);

    /// Whether GNOME's shortcut settings are there (the schema is installed and writable).
    Expected<bool> available() const;
    /// The accelerator of our binding when it is in the list (the user may have changed it in
    /// GNOME's settings); empty when it is not.
    Expected<QString> installedAccelerator() const;
    /// Adds our binding with `accelerator` (again: updates it); the list keeps every other entry.
    Expected<> install(const QString& accelerator = kDefaultAccelerator);
    /// Takes our binding out of the list and resets its keys; other entries stay.
    Expected<> remove();

    /// A GVariant text of type `as` ("@as []", "['/a/', '/b/']") as a list.
    static Expected<QStringList> parseStringList(const QString& text);
    /// A list as GVariant text.
    static QString formatStringList(const QStringList& list);
    /// "<Control><Alt>d" → "Ctrl+Alt+D".
    static QString acceleratorLabel(const QString& accelerator);

private:
    Expected<QStringList> list() const;
    QString relocatable() const;

    GSettingsRunner run_;
    QString name_;
    QString command_;
};

/// Whether the settings window offers the GNOME binding: a GNOME desktop where no hotkey path
/// hears keys.
inline bool desktopToggleBindingOffered(const DesktopBackends& choice) {
    return choice.family == DesktopFamily::gnome && !choice.hotkeys.works();
}

/// The command line GNOME runs for the toggle: this program with `toggle`.
QString toggleCommandLine();

} // namespace quillory::platform
