#include "UI/Overlay/OverlayPanel.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QScreen>
#include <QWheelEvent>
#include <QPainterPath>
#include <QRegion>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <cmath>

namespace quillory {

OverlayPanel::OverlayPanel(const QString& identifier, QWidget* content,
                           std::unique_ptr<platform::OverlaySurface> surface)
    // Outside the window manager's stacking (X11 override-redirect): no window manager lets a
    // managed window above a focused full-screen one, but every one leaves unmanaged windows
    // where their owner raises them, on every workspace, out of task bars, never focused.
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus |
                           Qt::NoDropShadowWindowHint | Qt::X11BypassWindowManagerHint),
      content_(content), surface_(std::move(surface)) {
    setObjectName(identifier);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_X11DoNotAcceptFocus);
    setAttribute(Qt::WA_QuitOnClose, false);
    // Qt shows tooltips only for the active window, which this one never is.
    setAttribute(Qt::WA_AlwaysShowToolTips);
    setWindowRole(identifier);
    setFocusPolicy(Qt::NoFocus);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->setSizeConstraint(QLayout::SetNoConstraint);
    content_->setParent(this);
    layout->addWidget(content_);
    if (surface_) {
        // Laid out and painted as if shown, but the only thing on screen is the surface.
        setAttribute(Qt::WA_DontShowOnScreen);
        surface_->onPointer = [this](const platform::OverlayPointerEvent& e) { deliverPointer(e); };
        return;
    }
    winId(); // a native window now, so the role is set before it is first mapped
    if (QWindow* w = windowHandle()) {
        w->setObjectName(identifier);
        w->installEventFilter(this);
    }
}

OverlayPanel::~OverlayPanel() {
    if (surface_) {
        surface_->onPointer = nullptr;
        surface_->withdraw();
    }
}

bool OverlayPanel::event(QEvent* event) {
    const bool handled = QWidget::event(event);
    if (surface_ && isVisible()) {
        switch (event->type()) {
        case QEvent::UpdateRequest: // something in the panel was repainted
        case QEvent::Move:
        case QEvent::Resize:
            presentOnSurface();
            break;
        default:
            break;
        }
    }
    return handled;
}

void OverlayPanel::presentOnSurface() {
    if (size().isEmpty()) {
        return;
    }
    QImage image(size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    // The surface sits on the compositor's output, whose origin is the screen's.
    const QPoint origin = screen() ? screen()->geometry().topLeft() : QPoint();
    surface_->present(image, pos() - origin);
}

void OverlayPanel::deliverPointer(const platform::OverlayPointerEvent& e) {
    const QPointF local = e.position;
    const QPointF global = QPointF(pos()) + local;
    QWidget* under = childAt(local.toPoint());
    if (!under) {
        under = this;
    }
    QEvent::Type type = QEvent::MouseMove;
    QWidget* target = pointerGrab_ ? pointerGrab_.data() : under;
    switch (e.kind) {
    case platform::OverlayPointerEvent::Kind::press:
        type = QEvent::MouseButtonPress;
        if (!pointerButtons_) {
            pointerGrab_ = target = under; // the widget pressed gets the moves and the release
        }
        pointerButtons_ |= e.button;
        break;
    case platform::OverlayPointerEvent::Kind::release:
        type = QEvent::MouseButtonRelease;
        pointerButtons_ &= ~Qt::MouseButtons(e.button);
        break;
    case platform::OverlayPointerEvent::Kind::motion:
        break;
    case platform::OverlayPointerEvent::Kind::leave:
        return;
    case platform::OverlayPointerEvent::Kind::wheel:
        // Qt hands a wheel event it did not get from the window system to its receiver alone: up
        // the parents by hand, as far as one takes it.
        for (QWidget* w = under; w; w = w->parentWidget()) {
            const QPointF at = w == this ? local : QPointF(w->mapFrom(this, local.toPoint()));
            QWheelEvent wheel(at, global, QPoint(), e.angleDelta, pointerButtons_, Qt::NoModifier, Qt::NoScrollPhase,
                              false);
            wheel.ignore();
            QApplication::sendEvent(w, &wheel);
            if (wheel.isAccepted() || w == this) {
                break;
            }
        }
        return;
    }
    const QPointF targetLocal = target == this ? local : QPointF(target->mapFrom(this, local.toPoint()));
    QMouseEvent mouse(type, targetLocal, local, global, type == QEvent::MouseMove ? Qt::NoButton : e.button,
                      pointerButtons_, Qt::NoModifier);
    QApplication::sendEvent(target, &mouse);
    if (!pointerButtons_) {
        pointerGrab_ = nullptr;
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
        updateOutline(); // a compositor may have started or stopped since the last show
        if (surface_) {
            show(); // off screen: the surface is what maps
            presentOnSurface();
        } else {
            declareNeverFocusedType(this); // before every map: what the compositor decides focus on
            show();
        }
    }
    if (!surface_) {
        raise();
    }
    ++timesOrderedFront_;
}

void OverlayPanel::orderOut() {
    dragging_ = false;
    pointerGrab_ = nullptr;
    pointerButtons_ = Qt::NoButton;
    hide();
    if (surface_) {
        surface_->withdraw();
    }
}

void OverlayPanel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    updateOutline();
}

void OverlayPanel::updateOutline() {
    // Without a compositor the transparent corners would show as black: clip the window instead.
    // A surface is always composited.
    if (surface_ || compositorRunning()) {
        clearMask();
    } else {
        setMask(roundedRegion(size(), kCornerRadius));
    }
}

QRegion roundedRegion(QSize size, int radius) {
    // Row by row, so every pixel whose centre lies inside the outline is kept and no other.
    QRegion region;
    const int w = size.width(), h = size.height();
    for (int y = 0; y < h; ++y) {
        const double cy = y + 0.5;
        double inset = 0;
        const double dy = cy < radius ? radius - cy : (cy > h - radius ? cy - (h - radius) : 0);
        if (dy > 0) {
            inset = radius - std::sqrt(std::max(0.0, double(radius) * radius - dy * dy));
        }
        const int left = int(std::ceil(inset - 0.5));
        if (w - 2 * left > 0) {
            region += QRect(left, y, w - 2 * left, 1);
        }
    }
    return region;
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
