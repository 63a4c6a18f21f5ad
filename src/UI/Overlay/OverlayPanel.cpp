#include "UI/Overlay/OverlayPanel.h"

#include <QMouseEvent>
#include <QVBoxLayout>
#include <QWindow>

namespace quillory {

OverlayPanel::OverlayPanel(const QString& identifier, QWidget* content)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus |
                           Qt::NoDropShadowWindowHint),
      content_(content) {
    setObjectName(identifier);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_X11DoNotAcceptFocus);
    setAttribute(Qt::WA_QuitOnClose, false);
    setFocusPolicy(Qt::NoFocus);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setSizeConstraint(QLayout::SetNoConstraint);
    content_->setParent(this);
    layout->addWidget(content_);
    winId(); // a native window now, so the role is set before it is first mapped
    if (QWindow* w = windowHandle()) {
        w->setObjectName(identifier);
        w->installEventFilter(this);
    }
}

bool OverlayPanel::eventFilter(QObject* watched, QEvent* event) {
    // The window manager honours the workspace request only for a mapped window: ask once the
    // window is on screen after each show.
    if (watched == windowHandle() && event->type() == QEvent::Expose && !stickyRequested_ &&
        windowHandle()->isExposed()) {
        stickyRequested_ = true;
        keepOnAllWorkspaces(this);
    }
    return QWidget::eventFilter(watched, event);
}

void OverlayPanel::orderFront() {
    if (!isVisible()) {
        stickyRequested_ = false;
        show();
    }
    raise();
    ++timesOrderedFront_;
}

void OverlayPanel::orderOut() {
    dragging_ = false;
    hide();
}

void OverlayPanel::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return QWidget::mousePressEvent(event);
    }
    // We move the window ourselves rather than asking the window manager to: its interactive
    // move grabs the keyboard (the application being dictated into loses it) and, when the button
    // is already up by the time it starts, keeps the grab.
    dragging_ = true;
    dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
    event->accept();
}

void OverlayPanel::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_ && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - dragOffset_);
        event->accept();
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void OverlayPanel::mouseReleaseEvent(QMouseEvent* event) {
    dragging_ = false;
    QWidget::mouseReleaseEvent(event);
}

} // namespace quillory
