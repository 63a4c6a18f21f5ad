#include "UI/Settings/SettingsWindow.h"

#include "Platform/qt/AppActivation.h"
#include "Runtime/Localization.h"
#include "UI/Settings/HotkeyTab.h"
#include "UI/Settings/SettingsLayout.h"
#include "UI/Settings/SettingsWidgets.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QIcon>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QVBoxLayout>

namespace quillory {

const char* labelKey(SettingsTabSelection tab) {
    switch (tab) {
    case SettingsTabSelection::permissions: return "settings.tab.permissions";
    case SettingsTabSelection::hotkey: return "settings.tab.hotkey";
    case SettingsTabSelection::dictionary: return "settings.tab.dictionary";
    case SettingsTabSelection::polish: return "settings.tab.polish";
    case SettingsTabSelection::localLLM: return "settings.tab.localllm";
    }
    return "settings.tab.permissions";
}

const char* iconPath(SettingsTabSelection tab) {
    switch (tab) {
    case SettingsTabSelection::permissions: return ":/quillory/icons/settings-permissions.svg";
    case SettingsTabSelection::hotkey: return ":/quillory/icons/settings-hotkey.svg";
    case SettingsTabSelection::dictionary: return ":/quillory/icons/settings-dictionary.svg";
    case SettingsTabSelection::polish: return ":/quillory/icons/settings-polish.svg";
    case SettingsTabSelection::localLLM: return ":/quillory/icons/settings-chat.svg";
    }
    return "";
}

SettingsWindow::SettingsWindow(AppState& state, SettingsBackend& backend, QWidget* parent)
    // A fixed size: no maximise button.
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint) {
    ensureSettingsResources();
    setObjectName(QStringLiteral("quillory.settingsWindow"));
    setWindowTitle(L("settings.window.title"));
    setWindowIcon(QIcon(QStringLiteral(":/quillory/icons/quillory.svg")));
    setFixedSize(SettingsLayout::windowWidth, SettingsLayout::windowHeight);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    tabs_ = new QTabWidget(this);
    tabs_->setDocumentMode(true);
    tabs_->setUsesScrollButtons(false);
    tabs_->setIconSize(QSize(14, 14));
    // Five labelled tabs share 420 pixels: keep their padding small so every label shows.
    tabs_->tabBar()->setExpanding(true);
    tabs_->tabBar()->setElideMode(Qt::ElideNone);
    tabs_->tabBar()->setStyleSheet(QStringLiteral("QTabBar::tab { padding: 5px 3px; margin: 0; }"));
    QFont tabFont = tabs_->tabBar()->font();
    tabFont.setPointSizeF(tabFont.pointSizeF() * 0.92);
    tabs_->tabBar()->setFont(tabFont);
    layout->addWidget(tabs_);

    for (SettingsTabSelection tab : kSettingsTabOrder) {
        QWidget* content = nullptr;
        switch (tab) {
        case SettingsTabSelection::permissions: content = makePermissionsTab(state, backend, tabs_); break;
        case SettingsTabSelection::hotkey: content = makeHotkeyTab(state, backend, tabs_); break;
        case SettingsTabSelection::dictionary: content = makeDictionaryTab(state, tabs_); break;
        case SettingsTabSelection::polish: content = makePolishTab(state, tabs_); break;
        case SettingsTabSelection::localLLM: content = makeChatTab(state, tabs_); break;
        }
        content->setProperty("quillory.settingsTab", static_cast<int>(tab));
        tabs_->addTab(content, QIcon(QString::fromLatin1(iconPath(tab))), L(labelKey(tab)));
    }
    tabs_->setCurrentIndex(0);

    // Quit lives here too: without a tray host the window is the app's only surface.
    auto* footer = new QHBoxLayout();
    footer->setContentsMargins(8, 2, 8, 4);
    footer->addStretch(1);
    auto* quit = new QPushButton(L("menu.quit"), this);
    quit->setObjectName(QStringLiteral("settingsQuit"));
    quit->setFlat(true);
    connect(quit, &QPushButton::clicked, this, &SettingsWindow::quitRequested);
    footer->addWidget(quit);
    layout->addLayout(footer);
    connect(tabs_, &QTabWidget::currentChanged, this, &SettingsWindow::onTabChanged);
}

SettingsTabSelection SettingsWindow::settingsTab() const {
    return kSettingsTabOrder[static_cast<std::size_t>(std::max(0, tabs_->currentIndex()))];
}

void SettingsWindow::setSettingsTab(SettingsTabSelection tab) {
    tabs_->setCurrentIndex(static_cast<int>(tab));
}

QWidget* SettingsWindow::tabWidget(SettingsTabSelection tab) const {
    return tabs_->widget(static_cast<int>(tab));
}

void SettingsWindow::onTabChanged(int index) {
    if (index < 0) {
        return;
    }
    const SettingsTabSelection tab = kSettingsTabOrder[static_cast<std::size_t>(index)];
    // The key monitor listens exactly while the hotkey tab is the selected tab.
    if (auto* hotkey = qobject_cast<HotkeyTab*>(tabWidget(SettingsTabSelection::hotkey))) {
        hotkey->setKeyMonitorEnabled(tab == SettingsTabSelection::hotkey && isVisible());
    }
    emit settingsTabChanged(tab);
}

void SettingsWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    onTabChanged(tabs_->currentIndex());
}

void SettingsWindow::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    if (auto* hotkey = qobject_cast<HotkeyTab*>(tabWidget(SettingsTabSelection::hotkey))) {
        hotkey->setKeyMonitorEnabled(false);
    }
    // The next showing is a new settings view: it starts on the permissions tab.
    setSettingsTab(SettingsTabSelection::permissions);
    AppActivation::restoreMenuBarOnlyAppearance();
}

} // namespace quillory
