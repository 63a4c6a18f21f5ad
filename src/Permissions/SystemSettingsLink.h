#pragma once

#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

namespace quillory {

/// The desktop settings pages behind the permission rows and hints. Where the desktop has a
/// matching panel (GNOME Settings, KDE System Settings) the link opens it; otherwise it carries a
/// help text that explains the step (for example joining the `input` group).
namespace SystemSettingsLink {

enum class Link {
    microphone,
    speechRecognition,
    inputMonitoring,
    soundInput,
    dictationLanguages,
    analyticsAndImprovement,
    accessibility,
};

enum class Desktop { gnome, kde, other };
/// The desktop named by XDG_CURRENT_DESKTOP (a colon-separated list, "ubuntu:GNOME").
Desktop desktopFrom(const QString& xdgCurrentDesktop);
Desktop currentDesktop();

/// What opening a link does.
struct Target {
    QString program;       ///< the settings program to start; empty: none on this desktop
    QStringList arguments; ///< its arguments (the panel)
    const char* helpKey{}; ///< localisation key of the help text shown beside or instead
    bool hasProgram() const { return !program.isEmpty(); }
};

/// The target of `link` on `desktop`; `programExists` tells whether a program is installed
/// (GNOME's "gnome-control-center", KDE's "systemsettings" or "systemsettings5").
Target target(Link link, Desktop desktop, const std::function<bool(const QString&)>& programExists);
/// The target on this desktop (programs looked up in PATH).
Target target(Link link);
/// The localised help text of `link`.
QString helpText(Link link);

/// How programs and addresses are opened; the desktop backend installs the real ones
/// (QProcess::startDetached, QDesktopServices). Empty members open nothing and return false.
struct Opener {
    std::function<bool(const QString& program, const QStringList& arguments)> launch;
    std::function<bool(const QUrl& url)> openUrl;
};
/// Installs `opener`; returns the previous one.
Opener setOpener(Opener opener);

/// Opens the link's settings panel; false when there is none to open (show `helpText` then).
bool open(Link link);
/// Opens an address (a folder, a web page) with the desktop's default handler.
bool openUrl(const QUrl& url);

} // namespace SystemSettingsLink
} // namespace quillory
