#pragma once

#include "Cli/RemoteChannel.h"
#include "App/AppStatus.h"
#include "UI/App/RemoteControl.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

namespace quillory {
class AppState;
}

namespace quillory::ui {

class AppWindows;
class TrayController;
class UpdateChecker;

/// What the tray app calls on the session core at its moments. Unset hooks are skipped.
struct TrayAppHooks {
    /// Once this process owns the socket, right after the diagnostics boot line: builds the
    /// session core (which registers the hotkeys once).
    std::function<void()> buildSessionCore;
    /// Once at start-up, after the overlay sync and before the tray item.
    std::function<void()> refreshOnLaunch;
    /// Whenever the user turns to the app: one of its windows takes focus, or the tray menu
    /// opens. The permission states, the autostart state and the hotkey registration.
    std::function<void()> refreshOnActivation;
    /// Once at start-up, after everything is shown: starts loading the speech model in the
    /// background.
    std::function<void()> loadSpeechModelInBackground;
    /// At quit: stops the own inference server and kills residual ones. Throws on failure
    /// (default: `LocalPolishEngine::shared().cleanupResidualServers()`).
    std::function<void()> cleanupInferenceServers;
    /// Whether a tray host shows our item (default: `QSystemTrayIcon::isSystemTrayAvailable()`).
    /// Without one the first start says so in a window.
    std::function<bool()> trayAvailable;
    /// Why setup is unfinished, empty when dictation can work (on Linux: no speech model file).
    /// Asked at launch, whenever the user turns to the app and when the status changes.
    std::function<QString()> setupIncompleteReason;
};

/// The tray app's life: one instance per user, the launch sequence, the tray item, the remote
/// control socket, refreshes on activation, the first-launch settings window, update checks, and
/// the clean-up at quit (Quit in the menu, SIGTERM/SIGINT/SIGHUP, the desktop session ending).
class TrayApp : public QObject {
    Q_OBJECT
public:
    enum class Start { running, handedOver, failed };

    TrayApp(AppWindows& windows, SessionControl& session, TrayAppHooks hooks, QObject* parent = nullptr);
    ~TrayApp() override;

    /// Takes the per-user socket at `socketPath`. When another instance owns it, asks that one to
    /// show its settings window and returns `handedOver`; otherwise runs the launch sequence.
    Start start(const QString& socketPath, QString* error = nullptr);
    /// The clean-up at quit; runs once however many ways the app is told to end.
    void cleanUpOnQuit();

    TrayController* tray() const { return tray_.get(); }
    UpdateChecker* updates() const { return updates_.get(); }
    /// Applies the session status to the tray item (connected to the session core's changes).
    void applyStatus(const AppStatus& status);
    /// Asks `setupIncompleteReason` again and shows the answer in the tray.
    void refreshSetupState();
    /// The notice shown at start when no tray host exists (null otherwise or once closed).
    QWidget* noTrayNotice() const;

signals:
    /// The app should quit (menu, signal, session end); `runTrayApp` quits the event loop.
    void quitRequested();

private:
    void activated();
    void checkForUpdates();
    void showNoTrayNotice();

    AppWindows& windows_;
    SessionControl& session_;
    TrayAppHooks hooks_;
    std::unique_ptr<remote::Server> server_;
    std::unique_ptr<TrayController> tray_;
    std::unique_ptr<UpdateChecker> updates_;
    QPointer<QWidget> noTrayNotice_;
    bool cleanedUp_ = false;
};

/// The session core's hooks: `buildState` makes the state (at `buildSessionCore`), the launch
/// refresh is its `refreshOnLaunch()` and the activation refresh its `refreshOnActivation()`.
TrayAppHooks sessionCoreHooks(std::function<AppState*()> buildState);

/// `quillory` with no arguments: the tray app on the desktop. Returns the exit status.
int runTrayApp(int& argc, char** argv);

} // namespace quillory::ui
