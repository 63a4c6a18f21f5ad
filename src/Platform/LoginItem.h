#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <stdexcept>

namespace quillory {

/// The login item's status in the platform's vocabulary. `requiresApproval` and `notFound`
/// never occur with XDG autostart but stay so callers handle every case.
enum class LoginItemStatus { notRegistered, enabled, requiresApproval, notFound };

/// Enabled or requiring approval: what the launch-at-login switch shows as on.
inline bool countsAsEnabled(LoginItemStatus status) {
    return status == LoginItemStatus::enabled || status == LoginItemStatus::requiresApproval;
}

/// A register or unregister that failed; `what()` is the localised description.
class LoginItemError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    QString description() const { return QString::fromUtf8(what()); }
};

/// Starting the app at login, as the settings wiring uses it.
class LoginItemService {
public:
    virtual ~LoginItemService() = default;
    virtual LoginItemStatus status() const = 0;
    /// Throws `LoginItemError`.
    virtual void registerItem() = 0;
    /// Throws `LoginItemError`.
    virtual void unregisterItem() = 0;
    /// Opens the place where the user manages login items.
    virtual void openSettings() = 0;
};

/// The login item as an XDG autostart entry, `$XDG_CONFIG_HOME/autostart/quillory.desktop`:
/// enabled ⇔ the entry exists and does not hide itself; register writes it with Exec = the
/// running executable's absolute path; unregister removes it; "open settings" opens the
/// autostart folder.
///
/// An entry the system installed (an `autostart` folder of $XDG_CONFIG_DIRS, e.g. a package's
/// /etc/xdg/autostart/quillory.desktop) counts too while the user has none: unregister then
/// writes a user entry with Hidden=true, which is how the XDG rules switch a system entry off.
/// An entry with X-GNOME-Autostart-enabled=false is off as well (GNOME starts nothing for it).
class XdgAutostartLoginItem final : public LoginItemService {
public:
    struct Configuration {
        /// The user's autostart folder; empty: `$XDG_CONFIG_HOME/autostart` (~/.config/autostart).
        QString userDirectory;
        /// The system autostart folders; empty: `autostart` in each of $XDG_CONFIG_DIRS (/etc/xdg).
        QStringList systemDirectories;
        bool systemDirectoriesGiven = false;
        /// The executable written as Exec; empty: the running executable.
        QString executablePath;
        /// Opens a folder; null: `SystemSettingsLink::openUrl`.
        std::function<bool(const QString& folder)> openFolder;
    };

    static constexpr const char* kFileName = "quillory.desktop";

    XdgAutostartLoginItem() = default;
    explicit XdgAutostartLoginItem(Configuration configuration) : configuration_(std::move(configuration)) {}

    LoginItemStatus status() const override;
    void registerItem() override;
    void unregisterItem() override;
    void openSettings() override;

    QString userDirectory() const;
    QString userEntryPath() const;
    QString executablePath() const;

    /// What the entry in effect says, for `doctor`.
    struct Report {
        LoginItemStatus status = LoginItemStatus::notRegistered;
        QString path;    ///< the entry in effect; empty when there is none
        QString program; ///< the program its Exec starts (unquoted); empty when unreadable
    };
    Report report() const;

    // ---- the file format, for tests ----

    /// The entry's text with `Exec` starting `executable`.
    static QString desktopEntry(const QString& executable);
    /// `path` as one argument of an Exec line (quoted where needed, "%" doubled), before the
    /// string escaping of the file (which `desktopEntry` applies).
    static QString execArgument(const QString& path);
    /// Whether an entry text hides itself (Hidden=true, or X-GNOME-Autostart-enabled=false).
    static bool entryIsHidden(const QString& text);
    /// The first argument of the entry's Exec line, unescaped; empty when there is none.
    static QString entryProgram(const QString& text);

private:
    QStringList systemDirectories() const;
    QString systemEntryPath() const;
    void write(const QString& text);

    Configuration configuration_;
};

} // namespace quillory
