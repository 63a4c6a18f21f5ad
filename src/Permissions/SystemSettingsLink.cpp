#include "Permissions/SystemSettingsLink.h"

#include "Permissions/Authorizations.h"
#include "Runtime/Localization.h"

#include <QStandardPaths>

#include <mutex>

namespace quillory::SystemSettingsLink {

namespace {
std::mutex openerMutex;
Opener& installedOpener() {
    static Opener opener;
    return opener;
}
Opener currentOpener() {
    std::lock_guard lock(openerMutex);
    return installedOpener();
}

const char* helpKeyOf(Link link) {
    switch (link) {
    case Link::microphone:
        return "settings.help.microphone";
    case Link::speechRecognition:
        return "settings.help.speech_recognition";
    case Link::inputMonitoring:
        return "settings.help.input_monitoring";
    case Link::soundInput:
        return "settings.help.sound_input";
    case Link::dictationLanguages:
        return "settings.help.dictation_languages";
    case Link::analyticsAndImprovement:
        return "settings.help.analytics";
    case Link::accessibility:
        return "settings.help.accessibility";
    }
    return "settings.help.sound_input";
}

/// The panel name per desktop, or nullptr where the desktop has nothing to offer.
const char* gnomePanel(Link link) {
    switch (link) {
    case Link::microphone:
    case Link::soundInput:
        return "sound";
    case Link::dictationLanguages:
        return "region";
    default:
        return nullptr;
    }
}
const char* kdeModule(Link link) {
    switch (link) {
    case Link::microphone:
    case Link::soundInput:
        return "kcm_pulseaudio";
    case Link::dictationLanguages:
        return "kcm_regionandlang";
    default:
        return nullptr;
    }
}
} // namespace

Desktop desktopFrom(const QString& xdgCurrentDesktop) {
    for (const QString& part : xdgCurrentDesktop.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const QString name = part.trimmed().toUpper();
        if (name == QLatin1String("GNOME") || name == QLatin1String("UNITY") ||
            name == QLatin1String("BUDGIE") || name == QLatin1String("GNOME-CLASSIC")) {
            return Desktop::gnome;
        }
        if (name == QLatin1String("KDE")) {
            return Desktop::kde;
        }
    }
    return Desktop::other;
}

Desktop currentDesktop() {
    return desktopFrom(qEnvironmentVariable("XDG_CURRENT_DESKTOP"));
}

Target target(Link link, Desktop desktop, const std::function<bool(const QString&)>& programExists) {
    Target t;
    t.helpKey = helpKeyOf(link);
    const auto exists = [&](const QString& program) { return programExists && programExists(program); };
    if (desktop == Desktop::gnome) {
        if (const char* panel = gnomePanel(link); panel && exists(QStringLiteral("gnome-control-center"))) {
            t.program = QStringLiteral("gnome-control-center");
            t.arguments = {QString::fromLatin1(panel)};
        }
    } else if (desktop == Desktop::kde) {
        if (const char* module = kdeModule(link)) {
            // Plasma 6 names the program "systemsettings", Plasma 5 "systemsettings5".
            for (const QString& program :
                 {QStringLiteral("systemsettings"), QStringLiteral("systemsettings5")}) {
                if (exists(program)) {
                    t.program = program;
                    t.arguments = {QString::fromLatin1(module)};
                    break;
                }
            }
        }
    }
    return t;
}

Target target(Link link) {
    return target(link, currentDesktop(),
                  [](const QString& program) { return !QStandardPaths::findExecutable(program).isEmpty(); });
}

QString helpText(Link link) {
    const QString text = Localization::text(helpKeyOf(link));
    // Where the chosen path does not work, the one fix for this desktop follows.
    QString fix;
    if (link == Link::accessibility) {
        fix = AccessibilityAuthorization::fix(PermissionProbes::current());
    } else if (link == Link::inputMonitoring) {
        fix = InputMonitoringAuthorization::fix(PermissionProbes::current());
    }
    return fix.isEmpty() ? text : text + QLatin1Char(' ') + fix;
}

Opener setOpener(Opener opener) {
    std::lock_guard lock(openerMutex);
    std::swap(installedOpener(), opener);
    return opener;
}

bool open(Link link) {
    const Target t = target(link);
    if (!t.hasProgram()) {
        return false;
    }
    const Opener opener = currentOpener();
    return opener.launch && opener.launch(t.program, t.arguments);
}

bool openUrl(const QUrl& url) {
    const Opener opener = currentOpener();
    return opener.openUrl && opener.openUrl(url);
}

} // namespace quillory::SystemSettingsLink
