#pragma once

#include "Runtime/Scheduler.h"

#include <QPointer>
#include <QWidget>

#include <memory>

namespace quillory::ui {

/// The windows the tray app opens: the settings window and the overlay. The app uses
/// `DesktopAppWindows` (UI/App/DesktopAppWindows.h); `PlaceholderAppWindows` serves tests of the
/// tray item that need no session core.
class AppWindows {
public:
    virtual ~AppWindows() = default;
    /// Opens (or raises) the settings window on its first tab.
    virtual void showSettings() = 0;
    /// Closes a visible settings window; false when there was none to close (it was hidden or
    /// minimised), so that the tray click opens it instead.
    virtual bool closeSettingsIfVisible() = 0;
    /// Opens the settings window where the speech model is downloaded (the fix for a session
    /// that failed for want of a model). Defaults to `showSettings()`.
    virtual void showSpeechModelSetup() { showSettings(); }
    /// Whether the settings window can be opened yet (its views are built).
    virtual bool settingsReady() const { return true; }
    /// Starts the overlay following the session status (idempotent).
    virtual void startOverlaySync() {}
    /// The top-level settings window, if one exists (for tests and dialogs' parent).
    virtual QWidget* settingsWindow() const = 0;
};

/// The tray click: closes a visible settings window, otherwise opens it.
void toggleSettings(AppWindows& windows);

/// Opens the settings window as soon as `settingsReady()`: tries now, then up to `maxAttempts`
/// more times `interval` apart on the current scheduler; after the last attempt opens it anyway.
void showSettingsWhenReady(AppWindows& windows, int maxAttempts, Duration interval);

/// A plain 420 × 560 window with the window title only, for tests that need no session core.
class PlaceholderAppWindows : public AppWindows {
public:
    PlaceholderAppWindows();
    ~PlaceholderAppWindows() override;
    void showSettings() override;
    bool closeSettingsIfVisible() override;
    QWidget* settingsWindow() const override { return window_.get(); }

private:
    std::unique_ptr<QWidget> window_;
};

} // namespace quillory::ui
