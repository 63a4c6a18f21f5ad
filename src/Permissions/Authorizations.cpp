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
    case PermissionProbes::Session::wayland:
        return probes.uinputWritable && probes.uinputWritable();
    case PermissionProbes::Session::none:
        break;
    }
    return false;
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
    case PermissionProbes::Session::wayland:
        qCWarning(lcApp, "/dev/uinput is not writable: join the input group (sudo usermod -aG input $USER) "
                         "and log in again so Quillory can type into other applications.");
        break;
    case PermissionProbes::Session::none:
        qCWarning(lcApp, "No graphical session: Quillory cannot type into other applications.");
        break;
    }
}
} // namespace AccessibilityAuthorization

namespace InputMonitoringAuthorization {
PermissionState listenEventPermissionState(const PermissionProbes& probes) {
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
} // namespace InputMonitoringAuthorization

} // namespace quillory
