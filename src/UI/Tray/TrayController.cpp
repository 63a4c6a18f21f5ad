#include "UI/Tray/TrayController.h"

#include "Runtime/Localization.h"
#include "UI/App/AppWindows.h"


// The views' resources live in a static library: register them before the first use.
static void initUiResources() {
    Q_INIT_RESOURCE(UiResources);
}

namespace quillory::ui {

TrayLook trayLook(AppStatus::Kind status) {
    switch (status) {
    case AppStatus::Kind::idle:
        return {QStringLiteral(":/quillory/icons/tray-idle.svg"), "menu.status.idle"};
    case AppStatus::Kind::recording:
        return {QStringLiteral(":/quillory/icons/tray-recording.svg"), "menu.status.recording"};
    case AppStatus::Kind::processing:
        return {QStringLiteral(":/quillory/icons/tray-processing.svg"), "menu.status.processing"};
    case AppStatus::Kind::error:
        return {QStringLiteral(":/quillory/icons/tray-error.svg"), "menu.status.error"};
    }
    return {QStringLiteral(":/quillory/icons/tray-idle.svg"), "menu.status.idle"};
}

TrayController::TrayController(AppWindows& windows, QObject* parent) : QObject(parent), windows_(windows) {
    initUiResources();
}

TrayController::~TrayController() = default;

void TrayController::installIfNeeded() {
    if (icon_) {
        return;
    }
    menu_ = std::make_unique<QMenu>();
    menu_->setObjectName(QStringLiteral("quilloryTrayMenu"));
    connect(menu_.get(), &QMenu::aboutToShow, this, &TrayController::menuAboutToShow);
    statusAction_ = menu_->addAction(QString());
    statusAction_->setObjectName(QStringLiteral("quilloryTrayStatus"));
    statusAction_->setEnabled(false);
    menu_->addSeparator();
    dictationAction_ = menu_->addAction(Localization::text("menu.start_dictation"));
    connect(dictationAction_, &QAction::triggered, this, &TrayController::toggleDictationRequested);
    setupAction_ = menu_->addAction(Localization::text("menu.finish_setup"));
    connect(setupAction_, &QAction::triggered, this, &TrayController::finishSetupRequested);
    QAction* settings = menu_->addAction(Localization::text("menu.settings"));
    connect(settings, &QAction::triggered, this, [this] { windows_.showSettings(); });
    updatesAction_ = menu_->addAction(Localization::text("menu.check_for_updates"));
    connect(updatesAction_, &QAction::triggered, this, &TrayController::checkForUpdatesRequested);
    menu_->addSeparator();
    QAction* quit = menu_->addAction(Localization::text("menu.quit"));
    connect(quit, &QAction::triggered, this, &TrayController::quitRequested);

    refreshMenu();

    icon_ = std::make_unique<QSystemTrayIcon>();
    icon_->setContextMenu(menu_.get());
    connect(icon_.get(), &QSystemTrayIcon::activated, this, &TrayController::handleActivation);
    applyStatus(status_);
    icon_->show();
}

void TrayController::applyStatus(const AppStatus& status) {
    status_ = status;
    const TrayLook look = trayLook(status.kind());
    text_ = Localization::text(look.labelKey);
    if (status.is(AppStatus::Kind::error) && !status.message().isEmpty()) {
        text_ += QStringLiteral(" — ") + status.message();
    } else if (!setupReason_.isEmpty() && status.is(AppStatus::Kind::idle)) {
        text_ = Localization::text("menu.status.setup") + QStringLiteral(" — ") + setupReason_;
    }
    refreshMenu();
    if (!icon_) {
        return;
    }
    if (iconPath_ != look.iconPath) {
        iconPath_ = look.iconPath;
        QIcon icon(iconPath_);
        // Idle is symbolic: trays that recolour draw it in the panel's colour. Every icon also
        // carries a light outline round a dark glyph (or a coloured badge), so it reads on light and
        // dark panels where the tray shows it as drawn; the other states keep their colours.
        icon.setIsMask(status.is(AppStatus::Kind::idle));
        icon_->setIcon(icon);
    }
    icon_->setToolTip(text_);
    if (menu_) {
        menu_->setAccessibleName(text_);
    }
}

void TrayController::setCanCheckForUpdates(bool can) {
    canCheckForUpdates_ = can;
    refreshMenu();
}

void TrayController::setUpdateFeed(bool hasFeed) {
    hasFeed_ = hasFeed;
    refreshMenu();
}

void TrayController::setCheckingForUpdates(bool checking) {
    checkingForUpdates_ = checking;
    refreshMenu();
}

void TrayController::setSetupIncomplete(const QString& reason) {
    if (reason == setupReason_) {
        return;
    }
    setupReason_ = reason;
    applyStatus(status_);
}

void TrayController::refreshMenu() {
    if (!menu_) {
        return;
    }
    statusAction_->setText(text_);
    const bool recording = status_.is(AppStatus::Kind::recording);
    dictationAction_->setText(Localization::text(recording ? "menu.stop_dictation" : "menu.start_dictation"));
    dictationAction_->setEnabled(status_.is(AppStatus::Kind::idle) || status_.is(AppStatus::Kind::error) ||
                                 recording);
    setupAction_->setVisible(!setupReason_.isEmpty());
    updatesAction_->setVisible(hasFeed_);
    updatesAction_->setText(Localization::text(checkingForUpdates_ ? "menu.checking_for_updates"
                                                                   : "menu.check_for_updates"));
    updatesAction_->setEnabled(canCheckForUpdates_ && !checkingForUpdates_);
}

void TrayController::handleActivation(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger) {
        toggleSettings(windows_);
    }
}

} // namespace quillory::ui
