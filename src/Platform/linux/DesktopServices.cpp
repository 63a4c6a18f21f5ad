#include "Platform/linux/DesktopServices.h"

#include "AI/LocalPolishEngine.h"
#include "AI/RemotePolishEngine.h"
#include "Hotkey/GlobalHotKeyManager.h"
#include "Hotkey/kde/KGlobalAccelBackend.h"
#include "Hotkey/portal/GlobalShortcutsBackend.h"
#include "Hotkey/portal/PortalHotkeyService.h"
#include "Hotkey/x11/X11HotkeyBackend.h"
#include "Input/InputEngine.h"
#include "Input/x11/LinuxInputPlatform.h"
#include "Permissions/Authorizations.h"
#include "Permissions/linux/LinuxPlatformServices.h"
#include "Platform/HostCPU.h"
#include "Platform/linux/DesktopProbe.h"
#include "Platform/linux/DisplayServer.h"
#include "Speech/SpeechManager.h"
#include "Speech/pulse/AudioDevices.h"
#include "Runtime/DefaultsStore.h"
#include "Runtime/Localization.h"
#include "Runtime/Log.h"

#include <mutex>

// The one place that puts the Linux backends behind the session core's seams.

namespace quillory::platform {

namespace {

/// The dictation shortcuts through KDE's global shortcut service: the toggle with the configured
/// key combination (or the key the user gave it in System Settings), push-to-talk with the key the
/// user gives it there.
class KGlobalAccelHotkeys final : public HotkeyService {
public:
    KGlobalAccelHotkeys(std::shared_ptr<KGlobalAccelBackend> backend, ModifierKeyMap keys)
        : backend_(std::move(backend)), keys_(std::move(keys)) {}
    bool update(const HotkeyConfig& config, Callback onToggle, Callback onPress, Callback onRelease) override {
        backend_->bind({std::move(onToggle), std::move(onPress), std::move(onRelease)}, config, keys_);
        return backend_->state() != KGlobalAccelBackend::State::failed;
    }

private:
    std::shared_ptr<KGlobalAccelBackend> backend_;
    ModifierKeyMap keys_;
};

/// The hotkey manager as the application state drives it.
class ManagedHotkeys final : public HotkeyService {
public:
    explicit ManagedHotkeys(std::shared_ptr<GlobalHotKeyManager> manager) : manager_(std::move(manager)) {}
    bool update(const HotkeyConfig& config, Callback onToggle, Callback onPress,
                Callback onRelease) override {
        return manager_->update(config, std::move(onToggle), std::move(onPress), std::move(onRelease));
    }

private:
    std::shared_ptr<GlobalHotKeyManager> manager_;
};

} // namespace

/// The recogniser factory, replaceable after the speech manager was built. Read when a session
/// starts (main thread); the lock only keeps a late `setRecognizerFactory` from another thread safe.
struct DesktopServices::RecognizerSlot {
    std::mutex mutex;
    RecognizerFactory factory;

    std::shared_ptr<SpeechRecognizer> make(SpeechLocale locale) {
        RecognizerFactory f;
        {
            std::lock_guard lock(mutex);
            f = factory;
        }
        return f ? f(locale) : nullptr;
    }
};

DesktopServices::DesktopServices()
    : recognizer_(std::make_shared<RecognizerSlot>()),
      // The local engine, or the server the settings name (read anew for every polish).
      polish_(std::make_shared<ChosenPolishService>(LocalPolishEngine::shared(), [] {
          return RemotePolishSettings::read(DefaultsStore::standard());
      })) {}

DesktopServices::~DesktopServices() {
    if (hotkeyManager_) {
        hotkeyManager_->unregisterAll();
    }
}

AppStateServices DesktopServices::appStateServices() const {
    AppStateServices services;
    services.speech = speech_;
    services.input = input_;
    services.permissions = permissions_;
    services.environment = environment_;
    services.polish = polish_;
    services.hotkeys = hotkeys_;
    services.loginItem = loginItem_;
    services.inputMonitoringAccess = [] {
        return InputMonitoringAuthorization::listenEventPermissionState();
    };
    services.localRuntimeSupported = [] { return HostCPU::isLocalLlamaRuntimeSupported(); };
    services.cleanupPolishServers = [] { return LocalPolishEngine::shared().cleanupResidualServers(); };
    return services;
}

void DesktopServices::setRecognizerFactory(RecognizerFactory factory) {
    std::lock_guard lock(recognizer_->mutex);
    recognizer_->factory = std::move(factory);
}

LocalPolishEngine& DesktopServices::polish() const {
    return LocalPolishEngine::shared();
}

std::unique_ptr<DesktopServices> makeDesktopServices(DesktopServicesOptions options) {
    std::unique_ptr<DesktopServices> services(new DesktopServices());

    installLinuxPlatformServices();
    if (options.hotkeys) {
        setShortcutsPortalFailure({}); // a start tries the shortcuts portal anew
    }
    // The paths of this desktop, logged once with their reasons (the backends below follow them).
    currentDesktopBackends();
    // The audio backend answers the capture device question itself (a non-monitor source).
    RuntimeEnvironmentStatus::setAudioCaptureDeviceQuery([] { return hasAudioCaptureDevice(); });

    // Microphone and recogniser.
    SpeechBackends backends;
    const PulseAudioSourceOptions audio = options.audio;
    backends.makeAudioSource = [audio]() -> std::unique_ptr<AudioSource> {
        return std::make_unique<PulseAudioSource>(audio);
    };
    backends.makeRecognizer = [slot = services->recognizer_](SpeechLocale locale) {
        return slot->make(locale);
    };
    services->speech_ = std::make_shared<SpeechManager>(std::move(backends), SpeechLocale::jaJP);

    // Text insertion.
    services->inputPlatform_ = std::make_unique<input::LinuxInputPlatform>();
    if (options.input) {
        *services->inputPlatform_ = input::createLinuxInputPlatform();
        services->inputUnavailableReason_ = services->inputPlatform_->unavailableReason;
    } else {
        services->inputUnavailableReason_ = QStringLiteral("text insertion was not asked for");
    }
    services->input_ = std::make_shared<InputEngine>(services->inputPlatform_->platform);

    services->permissions_ = makeSystemPermissionManager();
    services->environment_ = std::make_shared<SystemRuntimeEnvironmentStatus>();
    services->loginItem_ = std::make_shared<XdgAutostartLoginItem>();

    // Hotkeys: the manager always exists; without a backend every registration fails.
    HotkeyPlatform hotkeyPlatform;
    const ModifierKeyMap keys = options.modifierKeys ? *options.modifierKeys : ModifierKeyStorage::load();
    if (options.hotkeys) {
        services->hotkeyBackend_ = openHotkeyBackend(keys, &services->hotkeyUnavailableReason_);
        if (services->hotkeyBackend_) {
            hotkeyPlatform = services->hotkeyBackend_->platform();
        }
    } else {
        services->hotkeyUnavailableReason_ = QStringLiteral("hotkeys were not asked for");
    }
    services->hotkeyManager_ = std::make_shared<GlobalHotKeyManager>(hotkeyPlatform);
    services->hotkeys_ = std::make_shared<ManagedHotkeys>(services->hotkeyManager_);
    const DesktopBackends desktop = currentDesktopBackends();
    if (options.hotkeys && desktop.hotkeys.path == DesktopPaths::globalShortcutsPortal) {
        services->shortcutsPortal_ = std::make_shared<GlobalShortcutsBackend>(GlobalShortcutsBackend::Options{});
        services->hotkeys_ = std::make_shared<PortalHotkeyService>(
            services->shortcutsPortal_, setShortcutsPortalFailure, Localization::text(hotkeyBindingFixKey(desktop.family)));
        services->hotkeyUnavailableReason_.clear();
    } else if (options.hotkeys && desktop.hotkeys.path == DesktopPaths::kglobalaccel) {
        services->kglobalaccel_ = std::make_shared<KGlobalAccelBackend>();
        std::weak_ptr<KGlobalAccelBackend> weak = services->kglobalaccel_;
        services->kglobalaccel_->onStateChanged([weak, family = desktop.family](KGlobalAccelBackend::State state) {
            const auto backend = weak.lock();
            if (!backend) return;
            if (state == KGlobalAccelBackend::State::failed) {
                qCWarning(lcHotkey, "Global hotkeys unavailable: %s. %s", qUtf8Printable(backend->lastError()),
                          qUtf8Printable(Localization::text(hotkeyBindingFixKey(family))));
            } else if (state == KGlobalAccelBackend::State::registered) {
                for (const QString& action : backend->actionsWithoutKey()) {
                    qCWarning(lcHotkey, "The %s shortcut has no key (%s). %s", qUtf8Printable(action),
                              qUtf8Printable(backend->keyNote(action)),
                              qUtf8Printable(Localization::text("desktop.fix.hotkeys.kglobalaccel")));
                }
            }
        });
        services->hotkeys_ = std::make_shared<KGlobalAccelHotkeys>(services->kglobalaccel_, keys);
        services->hotkeyUnavailableReason_.clear();
    }

    qCInfo(lcApp, "Desktop services: hotkeys %s, text insertion %s",
           services->hotkeyUnavailableReason_.isEmpty() ? "available"
                                                        : qUtf8Printable(services->hotkeyUnavailableReason_),
           services->inputUnavailableReason_.isEmpty() ? "available"
                                                       : qUtf8Printable(services->inputUnavailableReason_));
    return services;
}

std::optional<bool> tryHotkeyRegistration(const HotkeyConfig& config) {
    // Quietly: the caller reports the display and the extension itself. Under Wayland the X11
    // backend is not used (see `openHotkeyBackend`).
    const DisplayServerInfo display = currentDisplayServer();
    if (display.type != SessionType::x11 || display.waylandSession) {
        return std::nullopt;
    }
    QString reason;
    auto backend = X11HotkeyBackend::open(ModifierKeyStorage::load(), &reason);
    if (!backend) {
        return std::nullopt;
    }
    GlobalHotKeyManager manager(backend->platform());
    const bool installed = manager.update(
        config, [] {}, [] {}, [] {});
    manager.unregisterAll();
    return installed;
}

} // namespace quillory::platform
