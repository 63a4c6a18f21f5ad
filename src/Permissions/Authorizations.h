#pragma once

#include "Permissions/PermissionManager.h"
#include "Platform/DesktopBackends.h"
#include "Runtime/Async.h"

#include <QString>

#include <functional>
#include <optional>

namespace quillory {

/// What the permission checks ask of the desktop. Each member is one small platform query, so the
/// rules that turn answers into permission states are tested with fakes; the Linux backend
/// (`installLinuxPlatformServices`) fills in the real queries. Until then every query answers
/// "cannot tell".
struct PermissionProbes {
    enum class Session { x11, wayland, none };
    /// What a look at the keyboards under /dev/input found.
    enum class KeyboardDevices {
        readable,     ///< at least one keyboard can be read
        noneReadable, ///< devices exist, but every one refused us (not in the `input` group)
        unknown,      ///< no devices, or nothing that tells either way
    };

    /// The kind of session the synthetic input and key monitoring must work in. An XWayland
    /// display inside a Wayland session counts as Wayland: X11 grabs and synthetic keys reach
    /// only X clients there.
    std::function<Session()> session;
    /// Whether the X server has the named extension ("XTEST", "XInputExtension" at version 2);
    /// nullopt when no X display could be opened.
    std::function<std::optional<bool>(const QString& extension)> xExtensionPresent;
    std::function<KeyboardDevices()> keyboardDevices;
    /// The paste key, clipboard and hotkey paths chosen for this desktop (Wayland sessions decide
    /// by them); nullopt when they cannot be told.
    std::function<std::optional<DesktopBackends>()> desktopBackends;

    /// The probes in use (a copy: safe to call from any thread).
    static PermissionProbes current();
    /// Installs `probes` (members left empty answer "cannot tell"); returns the previous set.
    static PermissionProbes install(PermissionProbes probes);
};

/// One device under /dev/input as the keyboard scan saw it.
struct InputDeviceProbe {
    bool opened = false;           ///< it could be opened for reading
    bool permissionDenied = false; ///< opening failed with EACCES or EPERM
    bool isKeyboard = false;       ///< opened, and it reports letter keys
};
/// The rule over the scanned devices: a readable keyboard → readable; otherwise any device that
/// refused us → noneReadable; otherwise unknown.
PermissionProbes::KeyboardDevices classifyKeyboardDevices(const QList<InputDeviceProbe>& devices);

/// Linux asks no permission for the microphone: it is always `authorized`. Whether a device
/// exists is a separate question (`RuntimeEnvironmentStatus::hasAudioCaptureDevice`).
namespace MicrophoneAuthorization {
PermissionState status();
/// Resumes with the granted flag (at once, granted).
Task<bool> request();
} // namespace MicrophoneAuthorization

/// The recogniser's authorisation status, in the recogniser's own numbering.
enum class SpeechAuthorizationStatus { notDetermined = 0, denied = 1, restricted = 2, authorized = 3 };

/// Speech recognition runs on this machine: always `authorized`.
namespace SpeechAuthorization {
SpeechAuthorizationStatus status();
Task<SpeechAuthorizationStatus> request();
/// notDetermined → notDetermined; denied, restricted → denied; authorized → authorized.
PermissionState permissionState(SpeechAuthorizationStatus status);
} // namespace SpeechAuthorization

/// "We may synthesise input into other applications": X11 → XTEST present; Wayland → the paste
/// path chosen for this desktop works there (and a clipboard that reaches Wayland apps with it);
/// no display → not trusted.
namespace AccessibilityAuthorization {
bool isTrusted();
bool isTrusted(const PermissionProbes& probes);
/// Nothing on Linux shows a prompt for this; logs how to grant it when it is missing.
void promptIfNeeded();
/// The one fix for this desktop when the paste path does not work; empty when it works or
/// nothing can be told.
QString fix(const PermissionProbes& probes);
} // namespace AccessibilityAuthorization

/// Whether the global key monitor may hear the keyboard: on X11 the XInput2 extension, or without
/// it the evdev keyboards (readable → authorized, none readable → denied, cannot tell →
/// notDetermined); under Wayland the hotkey path chosen for this desktop works → authorized, else
/// denied (cannot tell → notDetermined).
namespace InputMonitoringAuthorization {
PermissionState listenEventPermissionState();
PermissionState listenEventPermissionState(const PermissionProbes& probes);
/// The one fix for this desktop when the hotkey path does not work under Wayland; empty otherwise.
QString fix(const PermissionProbes& probes);
} // namespace InputMonitoringAuthorization

} // namespace quillory
