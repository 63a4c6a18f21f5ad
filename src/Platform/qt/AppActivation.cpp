#include "Platform/qt/AppActivation.h"

#include "Runtime/Scheduler.h"

#include <QApplication>
#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

namespace quillory::AppActivation {

namespace {
ActivationPolicy policy = ActivationPolicy::accessory;
std::function<void(ActivationPolicy)> policyHandler;
WindowActions actions;

constexpr Duration kRevealRepeat = std::chrono::milliseconds(120);
constexpr Duration kRefocusRepeat = std::chrono::milliseconds(200);

/// The widget a top-level QWindow belongs to, when the app uses widgets.
QWidget* widgetOf(QWindow* window) {
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        return nullptr;
    }
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->windowHandle() == window) {
            return widget;
        }
    }
    return nullptr;
}

QString identifierOf(QWindow* window, QWidget* widget) {
    for (QObject* object : {static_cast<QObject*>(widget), static_cast<QObject*>(window)}) {
        if (!object) {
            continue;
        }
        if (const QVariant id = object->property(kIdentifierProperty); id.isValid()) {
            return id.toString();
        }
        if (!object->objectName().isEmpty()) {
            return object->objectName();
        }
    }
    return {};
}

bool canBecomeKey(QWindow* window) {
    const Qt::WindowType type = window->type();
    return !(window->flags() & Qt::WindowDoesNotAcceptFocus) && type != Qt::Popup && type != Qt::ToolTip &&
           type != Qt::SplashScreen && type != Qt::Desktop;
}

bool isMinimized(QWindow* window) {
    return window->windowStates() & Qt::WindowMinimized;
}

bool isRevealCandidate(QWindow* window) {
    return participatesInSettingsReveal(window) && (isSheet(window) || isSettingsSized(window));
}

void setPolicy(ActivationPolicy p) {
    policy = p;
    if (policyHandler) {
        policyHandler(p);
    }
}

void orderFront(QWindow* window) {
    if (actions.orderFront) {
        actions.orderFront(window);
    } else if (QWidget* widget = widgetOf(window)) {
        widget->raise();
    } else {
        window->raise();
    }
}

void makeKeyAndOrderFront(QWindow* window) {
    if (actions.makeKeyAndOrderFront) {
        actions.makeKeyAndOrderFront(window);
    } else if (QWidget* widget = widgetOf(window)) {
        widget->raise();
        widget->activateWindow();
    } else {
        window->raise();
        window->requestActivate();
    }
}

void closeWindow(QWindow* window) {
    if (actions.close) {
        actions.close(window);
    } else if (QWidget* widget = widgetOf(window)) {
        widget->close();
    } else {
        window->close();
    }
}

void makeKeyEligibleWindowPreferringSheet() {
    if (QWindow* window = keyEligibleWindowPreferringSheet()) {
        makeKeyAndOrderFront(window);
    }
}

void activateRegularAndRaiseWindows() {
    setPolicy(ActivationPolicy::regular);
    for (QWindow* window : applicationWindows()) {
        // Hidden windows stay hidden: showing them is their owner's decision.
        if (isRevealCandidate(window) && window->isVisible()) {
            orderFront(window);
        }
    }
    makeKeyEligibleWindowPreferringSheet();
}
} // namespace

QList<QWindow*> applicationWindows() {
    return QGuiApplication::topLevelWindows();
}

bool participatesInSettingsReveal(QWindow* window) {
    // Menus, tooltips and splash screens are windows to Qt but never windows the user acts in.
    switch (window->type()) {
    case Qt::Popup:
    case Qt::ToolTip:
    case Qt::SplashScreen:
    case Qt::Desktop:
        return false;
    default:
        break;
    }
    QWidget* widget = widgetOf(window);
    const QString className =
        QString::fromLatin1(widget ? widget->metaObject()->className() : window->metaObject()->className());
    if (className.contains(QLatin1String("StatusBar"))) {
        return false;
    }
    const QString id = identifierOf(window, widget);
    if (id == QLatin1String(kInputStatusPanelIdentifier) ||
        id == QLatin1String(kInputTranscriptPanelIdentifier)) {
        return false;
    }
    const bool nonActivating = (window->flags() & Qt::WindowDoesNotAcceptFocus) ||
                               (widget && (widget->windowFlags() & Qt::WindowDoesNotAcceptFocus));
    return !nonActivating;
}

bool isSheet(QWindow* window) {
    return window->type() == Qt::Sheet ||
           (window->modality() != Qt::NonModal && window->transientParent() != nullptr);
}

bool isSettingsSized(QWindow* window) {
    const int width = window->width();
    return !isSheet(window) && width >= kSettingsMinimumWidth && width <= kSettingsMaximumWidth;
}

QWindow* primarySettingsHostWindow() {
    QWindow* found = nullptr;
    for (QWindow* window : applicationWindows()) {
        if (participatesInSettingsReveal(window) && isSettingsSized(window)) {
            found = window; // later windows have higher numbers
        }
    }
    return found;
}

QWindow* keyEligibleWindowPreferringSheet() {
    QWindow* sheet = nullptr;
    QWindow* other = nullptr;
    for (QWindow* window : applicationWindows()) {
        if (!isRevealCandidate(window) || !canBecomeKey(window) || !window->isVisible()) {
            continue;
        }
        (isSheet(window) ? sheet : other) = window;
    }
    return sheet ? sheet : other;
}

void bringAppToFrontForPermissions() {
    activateRegularAndRaiseWindows();
}

void bringSettingsToFront() {
    scheduleSettingsWindowReveal();
}

void scheduleSettingsWindowReveal() {
    activateRegularAndRaiseWindows();
    Scheduler::current().postDelayed(kRevealRepeat, [] { activateRegularAndRaiseWindows(); });
}

void refocusWindowsAfterPermissionSheet() {
    Scheduler::current().post([] { activateRegularAndRaiseWindows(); });
    Scheduler::current().postDelayed(kRefocusRepeat, [] { activateRegularAndRaiseWindows(); });
}

bool closePrimarySettingsWindowIfVisibleForMenuToggle() {
    QWindow* window = primarySettingsHostWindow();
    if (!window || !window->isVisible() || isMinimized(window)) {
        return false;
    }
    closeWindow(window);
    setPolicy(ActivationPolicy::accessory);
    return true;
}

void restoreMenuBarOnlyAppearance() {
    setPolicy(ActivationPolicy::accessory);
}

ActivationPolicy activationPolicy() {
    return policy;
}

std::function<void(ActivationPolicy)>
setActivationPolicyHandler(std::function<void(ActivationPolicy)> handler) {
    std::swap(policyHandler, handler);
    return handler;
}

WindowActions setWindowActions(WindowActions next) {
    std::swap(actions, next);
    return next;
}

} // namespace quillory::AppActivation
