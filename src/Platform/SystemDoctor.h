#pragma once

#include "Hotkey/HotkeyConfig.h"
#include "Hotkey/ModifierKeyMap.h"
#include "Permissions/Authorizations.h"
#include "Platform/DesktopBackends.h"
#include "Platform/LoginItem.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

namespace quillory::Doctor {

/// What `quillory doctor` found on this machine; every field is one probe's answer.
struct ProbeResults {
    // Display.
    PermissionProbes::Session session = PermissionProbes::Session::none;
    bool waylandSession = false; ///< a Wayland session, also when an XWayland display is reachable
    QString displayDescription;  ///< "X11 :0", "Wayland wayland-0", "none"
    QString sessionType;         ///< XDG_SESSION_TYPE as set, or empty
    bool xConnected = false;     ///< our own X connection opened
    std::optional<bool> xinput2; ///< nullopt: not asked (no X connection)
    std::optional<bool> xtest;
    // The paste key, clipboard, hotkey and overlay paths chosen for this desktop; nullopt: not probed.
    std::optional<DesktopBackends> backends;
    // Accessibility bus.
    bool accessibilityBusReachable = false;
    QString accessibilityBusDetail; ///< the address found, or why it was not reachable
    // Sound server.
    bool audioServerReachable = false;
    QString audioServer; ///< "PulseAudio (on PipeWire 1.0.5) 15.0.0"
    QString audioError;
    QStringList captureSources; ///< non-monitor sources
    QString defaultSource;
    bool defaultSourceIsMonitor = false;
    // Hotkeys.
    std::optional<bool> hotkeyRegistered; ///< nullopt: not checked
    QString hotkeyDetail;                 ///< what the stored configuration asks for
    // Polishing.
    bool hostSupportsRuntime = true;
    QString runtimeExecutable; ///< empty: no `llama-server` found
    bool polishEnabled = false;
    QString selectedModel; ///< the selected model's id
    QString selectedModelDownloadSize;
    bool selectedModelPresent = false;
    int modelsPresent = 0;
    // Recognition on a server (nullopt: recognition runs on this computer only).
    struct SpeechServer {
        QString address;    ///< as set, without user info
        QString api;        ///< "whisper-server /inference" or "OpenAI-style /v1/audio/transcriptions (model X)"
        QString addressProblem; ///< why the address may not be used; empty when it may
        bool answered = false;
        qint64 latencyMs = -1;
        QString error;
    };
    std::optional<SpeechServer> speechServer;
    // Recognition on this computer: ggml's CPU variant whisper.cpp runs on.
    QString speechCpuVariant; ///< "haswell"; empty: none could be loaded
    QString speechCpuDetail;  ///< the variant's file, or why none could be loaded
    // Where recognition computes (Speech/whisper/GpuBackend.h), and the setting that chose it.
    bool speechOnGpu = false;
    QString speechDevice;           ///< "CPU", or the Vulkan device
    QString speechDeviceReason;     ///< why
    QString speechDevicePreference; ///< "auto", "cpu" or "gpu"
    /// Polish on a server, the same facts (nullopt: polish runs on this computer).
    std::optional<SpeechServer> polishServer;
    // Launch at login.
    XdgAutostartLoginItem::Report autostart;
    bool autostartProgramRuns = true; ///< the entry's program exists and is executable
};

enum class Level { ok, warn, fail };

/// One line of the report.
struct Check {
    QString id; ///< stable identifier ("display", "xinput2", ...)
    Level level = Level::ok;
    QString title;  ///< what was checked
    QString detail; ///< what was found
    QString advice; ///< what to do; empty for OK lines
};

/// Registers the stored shortcuts with the real hotkey manager and reports whether everything
/// was installed; nullopt when it cannot tell. Until the hotkey backend installs one the
/// shortcut line reads "not checked".
using HotkeyRegistrationCheck = std::function<std::optional<bool>(const HotkeyConfig& config)>;
HotkeyRegistrationCheck setHotkeyRegistrationCheck(HotkeyRegistrationCheck check);
HotkeyRegistrationCheck hotkeyRegistrationCheck();
/// What a configuration asks for, naming the physical keys of `keys`
/// ("toggle: Right Ctrl twice; push-to-talk: Right Shift + Right Ctrl").
QString describeHotkeys(const HotkeyConfig& config, const ModifierKeyMap& keys);

/// The checks, in report order, from the probe results. Pure: no probing here.
QList<Check> evaluate(const ProbeResults& results);

/// "OK", "WARN" or "FAIL".
QString levelName(Level level);
/// One line per check: "OK    Display server: X11 :0 (x11)", not-OK lines ending in
/// " — " and the advice.
QString formatText(const QList<Check>& checks);
/// "Paths (GNOME): paste=uinput clipboard=xwayland-bridge hotkeys=none overlay=xwayland-window".
QString formatPaths(const DesktopBackends& backends);
/// {"checks":[{"advice","detail","id","status","title"}...],"failures":N,"warnings":N}, and with
/// `paths` a "paths" object naming the path of each part ({"desktop","paste","clipboard","hotkeys",
/// "overlay"}) and "pathDetails" with each one's reason, limitation and fix.
QByteArray formatJson(const QList<Check>& checks, const std::optional<DesktopBackends>& paths = std::nullopt);
/// 0 when no check failed, 1 otherwise.
int exitStatus(const QList<Check>& checks);

} // namespace quillory::Doctor
