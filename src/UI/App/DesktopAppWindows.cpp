#include "UI/App/DesktopAppWindows.h"
#include "UI/App/WindowPresentation.h"

#include "App/AppState.h"
#include "Platform/linux/DesktopProbe.h"
#include "Platform/qt/OverlaySurface.h"
#include "UI/Overlay/InputStatusOverlayController.h"
#include "UI/Settings/SettingsBackend.h"
#include "UI/Settings/SettingsLaunchBridge.h"
#include "UI/Settings/SettingsWindow.h"

#include <QCoreApplication>
#include <QScrollArea>

namespace quillory::ui {

DesktopAppWindows::DesktopAppWindows() = default;

DesktopAppWindows::~DesktopAppWindows() {
    detach();
}

void DesktopAppWindows::attach(AppState& state, std::unique_ptr<SettingsBackend> backend) {
    state_ = &state;
    backend_ = std::move(backend);
    SettingsLaunchBridge::openSettings() = [this] { openSettingsNow(); };
}

void DesktopAppWindows::detach() {
    if (state_) {
        SettingsLaunchBridge::openSettings() = nullptr;
    }
    window_.reset();
    overlay_.reset();
    backend_.reset();
    state_ = nullptr;
}

void DesktopAppWindows::showSettings() {
    if (!state_) {
        return; // nothing to show the settings of yet
    }
    SettingsLaunchBridge::invoke();
}

void DesktopAppWindows::openSettingsNow() {
    if (!state_) {
        return;
    }
    if (!window_) {
        window_ = std::make_unique<SettingsWindow>(*state_, *backend_);
        window_->setObjectName(QStringLiteral("quillorySettingsWindow"));
        // Quitting from the window is the app's quit: the clean-up at quit stops the AI server.
        QObject::connect(window_.get(), &SettingsWindow::quitRequested, qApp, [] { QCoreApplication::quit(); });
    }
    presentWindow(*window_);
}

void DesktopAppWindows::showSpeechModelSetup() {
    showSettings();
    if (!window_) {
        return;
    }
    window_->setSettingsTab(SettingsTabSelection::permissions);
    QWidget* tab = window_->tabWidget(SettingsTabSelection::permissions);
    auto* download = tab ? tab->findChild<QWidget*>(QStringLiteral("permissionsSpeechModel")) : nullptr;
    auto* scroll = tab ? tab->findChild<QScrollArea*>() : nullptr;
    if (download && scroll) {
        scroll->ensureWidgetVisible(download, 0, 80);
    }
}

bool DesktopAppWindows::closeSettingsIfVisible() {
    return closeWindowIfVisible(window_.get());
}

void DesktopAppWindows::startOverlaySync() {
    if (!state_) {
        return;
    }
    if (!overlay_) {
        // Layer-shell surfaces where the compositor has them, else the windows (the reason logged).
        const DesktopBackends backends = platform::currentDesktopBackends();
        const platform::OverlayPresentation presentation = platform::chooseOverlayPresentation(
            backends.overlay, [&backends](QString* why) {
                return platform::openLayerShellSurfaces(why, backends.overlayLayerNamespace);
            });
        overlay_ = std::make_unique<InputStatusOverlayController>(*state_, nullptr, nullptr, presentation.surfaces);
    }
    overlay_->startSyncingWithAppStateIfNeeded();
}

QWidget* DesktopAppWindows::settingsWindow() const {
    return window_.get();
}

} // namespace quillory::ui
