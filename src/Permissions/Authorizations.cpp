#include "Permissions/Authorizations.h"

#include "Runtime/Log.h"

#include <mutex>

namespace quillory {

namespace {
std::mutex probesMutex;
PermissionProbes& installedProbes() {
    static PermissionProbes probes;
    return probes;
}
} // namespace

PermissionProbes PermissionProbes::current() {
    std::lock_guard lock(probesMutex);
    return installedProbes();
}

PermissionProbes PermissionProbes::install(PermissionProbes probes) {
    std::lock_guard lock(probesMutex);
    std::swap(installedProbes(), probes);
    return probes;
}

PermissionProbes::KeyboardDevices classifyKeyboardDevices(const QList<InputDeviceProbe>& devices) {
    bool refused = false;
    for (const auto& device : devices) {
        if (device.opened && device.isKeyboard) {
            return PermissionProbes::KeyboardDevices::readable;
        }
        refused = refused || (!device.opened && device.permissionDenied);
    }
    return refused ? PermissionProbes::KeyboardDevices::noneReadable
                   : PermissionProbes::KeyboardDevices::unknown;
}

namespace {
PermissionProbes::Session sessionOf(const PermissionProbes& probes) {
    return probes.session ? probes.session() : PermissionProbes::Session::none;
}
std::optional<bool> extension(const PermissionProbes& probes, const char* name) {
    return probes.xExtensionPresent ? probes.xExtensionPresent(QString::fromLatin1(name)) : std::nullopt;
}
std::optional<DesktopBackends> backendsOf(const PermissionProbes& probes) {
    return probes.desktopBackends ? probes.desktopBackends() : std::nullopt;
}
} // namespace

namespace MicrophoneAuthorization {
PermissionState status() {
    return PermissionState::authorized;
}
Task<bool> request() {
    co_return status() == PermissionState::authorized;
}
} // namespace MicrophoneAuthorization

namespace SpeechAuthorization {
SpeechAuthorizationStatus status() {
    return SpeechAuthorizationStatus::authorized;
}
Task<SpeechAuthorizationStatus> request() {
    co_return status();
}
PermissionState permissionState(SpeechAuthorizationStatus status) {
    switch (status) {
    case SpeechAuthorizationStatus::notDetermined:
        return PermissionState::notDetermined;
    case SpeechAuthorizationStatus::authorized:
        return PermissionState::authorized;
    case SpeechAuthorizationStatus::denied:
    case SpeechAuthorizationStatus::restricted:
        break;
    }
    return PermissionState::denied;
}
} // namespace SpeechAuthorization

namespace AccessibilityAuthorization {
bool isTrusted(const PermissionProbes& probes) {
    switch (sessionOf(probes)) {
    case PermissionProbes::Session::x11:
        return extension(probes, "XTEST").value_or(false);
    case PermissionProbes::Session::wayland: {
        // XTest through XWayland reaches X11 windows only: never enough here.
        const auto backends = backendsOf(probes);
        return backends && backends->paste.works();
    }
    case PermissionProbes::Session::none:
        break;
    }
    return false;
}
QString fix(const PermissionProbes& probes) {
    if (sessionOf(probes) != PermissionProbes::Session::wayland) {
        return {};
    }
    const auto backends = backendsOf(probes);
    return backends && !backends->paste.works() ? backends->paste.fix() : QString();
}
bool isTrusted() {
    return isTrusted(PermissionProbes::current());
}
void promptIfNeeded() {
    const auto probes = PermissionProbes::current();
    if (isTrusted(probes)) {
        return;
    }
    switch (sessionOf(probes)) {
    case PermissionProbes::Session::x11:
        qCWarning(lcApp,
                  "The X server has no XTEST extension: Quillory cannot type into other applications.");
        break;
    case PermissionProbes::Session::wayland: {
        const auto backends = backendsOf(probes);
        qCWarning(lcApp, "Quillory cannot press the paste key in this Wayland session (%s). %s",
                  backends ? qUtf8Printable(backends->paste.reason) : "the desktop could not be probed",
                  qUtf8Printable(backends ? backends->paste.fix() : QString()));
        break;
    }
    case PermissionProbes::Session::none:
        qCWarning(lcApp, "No graphical session: Quillory cannot type into other applications.");
        break;
    }
}
} // namespace AccessibilityAuthorization

namespace InputMonitoringAuthorization {
PermissionState listenEventPermissionState(const PermissionProbes& probes) {
    if (sessionOf(probes) == PermissionProbes::Session::wayland) {
        const auto backends = backendsOf(probes);
        if (!backends) {
            return PermissionState::notDetermined;
        }
        return backends->hotkeys.works() ? PermissionState::authorized : PermissionState::denied;
    }
    if (sessionOf(probes) == PermissionProbes::Session::x11 &&
        extension(probes, "XInputExtension").value_or(false)) {
        return PermissionState::authorized;
    }
    switch (probes.keyboardDevices ? probes.keyboardDevices() : PermissionProbes::KeyboardDevices::unknown) {
    case PermissionProbes::KeyboardDevices::readable:
        return PermissionState::authorized;
    case PermissionProbes::KeyboardDevices::noneReadable:
        return PermissionState::denied;
    case PermissionProbes::KeyboardDevices::unknown:
        break;
    }
    return PermissionState::notDetermined;
}
PermissionState listenEventPermissionState() {
    return listenEventPermissionState(PermissionProbes::current());
}
QString fix(const PermissionProbes& probes) {
    if (sessionOf(probes) != PermissionProbes::Session::wayland) {
        return {};
    }
    const auto backends = backendsOf(probes);
    return backends && !backends->hotkeys.works() ? backends->hotkeys.fix() : QString();
}
} // namespace InputMonitoringAuthorization

} // namespace quillory
