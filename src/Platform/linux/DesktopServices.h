#pragma once

#include "App/AppState.h"
#include "Hotkey/HotkeyBackend.h"
#include "Hotkey/ModifierKeyMap.h"
#include "Speech/SpeechBackend.h"
#include "Speech/pulse/PulseAudioSource.h"

#include <QString>

#include <functional>
#include <memory>

namespace quillory {

class GlobalHotKeyManager;
class GlobalShortcutsBackend;
class KGlobalAccelBackend;
class InputEngine;
class LocalPolishEngine;
class SpeechManager;
class SystemPermissionManager;

namespace input {
struct LinuxInputPlatform;
}

namespace platform {

class X11HotkeyBackend;

/// What to build. Everything is on by default (the tray app); headless commands switch off what
/// they do not use.
struct DesktopServicesOptions {
    /// Open the keyboard monitor (an X11 connection of its own). Off: the manager still exists
    /// and reports every registration as failed.
    bool hotkeys = true;
    /// Build the text insertion backends (XTEST, the Qt clipboard, AT-SPI). The clipboard needs
    /// a QGuiApplication on the xcb platform. Off: the input engine is untrusted.
    bool input = true;
    /// The microphone of every session.
    PulseAudioSourceOptions audio;
    /// The physical keys behind Command, Option and fn; unset: `ModifierKeyStorage::load()`.
    std::optional<ModifierKeyMap> modifierKeys;
};

/// The real Linux backends behind the session core's seams, chosen at run time: each one that
/// cannot work here (no display, no XTEST, no sound server, no accessibility bus) is replaced by
/// its "unavailable" form and the reason is logged on its channel and kept below.
///
/// Main thread only. Build it after the Q(Gui)Application and keep it alive as long as the
/// `AppState` built from it.
class DesktopServices {
public:
    using RecognizerFactory = std::function<std::shared_ptr<SpeechRecognizer>(SpeechLocale)>;

    ~DesktopServices();
    DesktopServices(const DesktopServices&) = delete;
    DesktopServices& operator=(const DesktopServices&) = delete;

    /// The collaborators for `AppState` (all of them filled in).
    AppStateServices appStateServices() const;

    /// The recogniser for new sessions. Until one is set every session fails to start with
    /// "no recogniser" (the speech manager reports it as an unavailable recogniser).
    void setRecognizerFactory(RecognizerFactory factory);

    std::shared_ptr<SpeechManager> speech() const { return speech_; }
    std::shared_ptr<InputEngine> input() const { return input_; }
    std::shared_ptr<SystemPermissionManager> permissions() const { return permissions_; }
    std::shared_ptr<RuntimeEnvironmentStatus> environment() const { return environment_; }
    /// The process-wide polish engine (`LocalPolishEngine::shared()`).
    LocalPolishEngine& polish() const;
    /// The hotkey manager over the X11 backend (over nothing when none could be opened).
    GlobalHotKeyManager& hotkeyManager() const { return *hotkeyManager_; }
    std::shared_ptr<LoginItemService> loginItem() const { return loginItem_; }

    /// Why the hotkeys cannot be heard; empty when the backend is open.
    const QString& hotkeyUnavailableReason() const { return hotkeyUnavailableReason_; }
    /// Why text cannot be inserted; empty when it can.
    const QString& inputUnavailableReason() const { return inputUnavailableReason_; }

private:
    friend std::unique_ptr<DesktopServices> makeDesktopServices(DesktopServicesOptions options);
    DesktopServices();

    struct RecognizerSlot;

    std::shared_ptr<RecognizerSlot> recognizer_;
    std::unique_ptr<input::LinuxInputPlatform> inputPlatform_;
    std::unique_ptr<HotkeyPlatformOwner> hotkeyBackend_; // outlives the manager below
    std::shared_ptr<GlobalHotKeyManager> hotkeyManager_;
    std::shared_ptr<HotkeyService> hotkeys_;
    std::shared_ptr<SpeechManager> speech_;
    std::shared_ptr<InputEngine> input_;
    std::shared_ptr<SystemPermissionManager> permissions_;
    std::shared_ptr<RuntimeEnvironmentStatus> environment_;
    std::shared_ptr<LoginItemService> loginItem_;
    std::shared_ptr<PolishService> polish_;
    /// The GlobalShortcuts portal's session, where the desktop choice takes it for the hotkeys.
    std::shared_ptr<GlobalShortcutsBackend> shortcutsPortal_;
    /// KDE's global shortcut service, where the desktop choice takes it for the hotkeys.
    std::shared_ptr<KGlobalAccelBackend> kglobalaccel_;
    QString hotkeyUnavailableReason_;
    QString inputUnavailableReason_;
};

/// Builds the desktop services: installs the platform queries (`installLinuxPlatformServices`,
/// the sound server's device query), a `SpeechManager` over `PulseAudioSource`, the input engine
/// over `createLinuxInputPlatform()`, the system permission manager, the runtime environment,
/// the shared polish engine, the XDG autostart login item, and a `GlobalHotKeyManager` over
/// `openHotkeyBackend(...)`. Never fails: what is missing is logged and reported.
std::unique_ptr<DesktopServices> makeDesktopServices(DesktopServicesOptions options = {});

/// Doctor's hotkey line: registers `config` with a manager of its own over a fresh backend,
/// then removes it again. nullopt when no backend can be opened (nothing to tell).
std::optional<bool> tryHotkeyRegistration(const HotkeyConfig& config);

} // namespace platform
} // namespace quillory
