#include "Permissions/linux/LinuxPlatformServices.h"

#include "Permissions/Authorizations.h"
#include "Permissions/RuntimeEnvironmentStatus.h"
#include "Permissions/SystemSettingsLink.h"
#include "Permissions/linux/LinuxProbes.h"
#include "Platform/qt/AppActivation.h"
#include "Runtime/Log.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QProcess>

namespace quillory::platform {

void installLinuxPlatformServices() {
    PermissionProbes::install(linuxPermissionProbes());
    RuntimeEnvironmentStatus::setAudioCaptureDeviceQuery(
        [] { return !probePulse(std::chrono::milliseconds(1500)).captureSources.isEmpty(); });

    SystemSettingsLink::Opener opener;
    opener.launch = [](const QString& program, const QStringList& arguments) {
        const bool started = QProcess::startDetached(program, arguments);
        if (!started) {
            qCWarning(lcApp, "Could not start %s", qUtf8Printable(program));
        }
        return started;
    };
    opener.openUrl = [](const QUrl& url) {
        // QDesktopServices needs a GUI application; the command line asks xdg-open directly.
        if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
            return QDesktopServices::openUrl(url);
        }
        return QProcess::startDetached(QStringLiteral("xdg-open"), {url.toString()});
    };
    SystemSettingsLink::setOpener(std::move(opener));
}

std::shared_ptr<SystemPermissionManager> makeSystemPermissionManager() {
    return std::make_shared<SystemPermissionManager>(
        SystemPermissionManager::WindowHooks{[] { AppActivation::bringAppToFrontForPermissions(); },
                                             [] { AppActivation::refocusWindowsAfterPermissionSheet(); }});
}

} // namespace quillory::platform
