#pragma once

#include "App/AppStatus.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <memory>

namespace quillory::ui {

class AppWindows;

/// How the tray item shows a status: our own SVG (from the resources) and the text key of the
/// accessible name and tooltip.
struct TrayLook {
    QString iconPath;
    const char* labelKey;
};
TrayLook trayLook(AppStatus::Kind status);

/// The tray item: one `QSystemTrayIcon` with a status icon, the status as tooltip and accessible
/// text, a left click that toggles the settings window (where the tray delivers clicks) and a
/// context menu, since some trays only show menus: the status line (disabled), Start/Stop
/// dictation, "Finish setup…" while setup is unfinished, Settings…, Check for Updates… (only
/// with a feed), Quit.
class TrayController : public QObject {
    Q_OBJECT
public:
    explicit TrayController(AppWindows& windows, QObject* parent = nullptr);
    ~TrayController() override;

    /// Creates and shows the tray item once; later calls do nothing.
    void installIfNeeded();
    bool installed() const { return icon_ != nullptr; }
    /// Shows `status` (icon, tooltip, accessible text).
    void applyStatus(const AppStatus& status);
    /// Enables "Check for Updates…".
    void setCanCheckForUpdates(bool can);
    /// Shows "Check for Updates…" only when the build has a feed; while a check runs the item
    /// reads "Checking for Updates…".
    void setUpdateFeed(bool hasFeed);
    void setCheckingForUpdates(bool checking);
    /// Setup is unfinished (`reason` non-empty, e.g. no speech model): a "Finish setup…" item and
    /// the reason in the tooltip and status line.
    void setSetupIncomplete(const QString& reason);
    QString setupIncompleteReason() const { return setupReason_; }

    QSystemTrayIcon* trayIcon() const { return icon_.get(); }
    QMenu* menu() const { return menu_.get(); }
    QString currentText() const { return text_; }
    QString currentIconPath() const { return iconPath_; }
    /// The tray's activation handler (public for tests of trays that deliver clicks).
    void handleActivation(QSystemTrayIcon::ActivationReason reason);

signals:
    /// The context menu is about to open.
    void menuAboutToShow();
    void checkForUpdatesRequested();
    /// "Start dictation" / "Stop dictation".
    void toggleDictationRequested();
    /// "Finish setup…".
    void finishSetupRequested();
    void quitRequested();

private:
    AppWindows& windows_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    std::unique_ptr<QMenu> menu_;
    void refreshMenu();

    QAction* statusAction_ = nullptr;
    QAction* dictationAction_ = nullptr;
    QAction* setupAction_ = nullptr;
    QAction* updatesAction_ = nullptr;
    bool canCheckForUpdates_ = false;
    bool hasFeed_ = true;
    bool checkingForUpdates_ = false;
    QString setupReason_;
    AppStatus status_;
    QString text_;
    QString iconPath_;
};

} // namespace quillory::ui
