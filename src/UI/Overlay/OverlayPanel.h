#pragma once

#include "Platform/qt/OverlaySurface.h"

#include <QPoint>
#include <QPointer>
#include <QWidget>

#include <memory>

namespace quillory {

/// A floating, non-activating top-level window for one overlay view: frameless, always on top,
/// on every workspace, out of task bars and pagers, translucent, never taking the keyboard focus,
/// dragged by its background. Its tooltips show although the panel is never the active window.
/// Without a compositor (no alpha channel on screen) the panel is cut to its rounded outline.
///
/// Given a surface (a layer-shell surface on Wayland), the panel is never a window on screen: it
/// lives off screen (`WA_DontShowOnScreen`) and hands its rendering to the surface whenever it is
/// shown, moved, resized or repainted; the surface's pointer presses, releases, moves and wheel
/// turns reach its widgets as mouse and wheel events (no hover, no tooltips there).
class OverlayPanel : public QWidget {
    Q_OBJECT

public:
    /// `identifier` becomes the object name and the X11 window role.
    OverlayPanel(const QString& identifier, QWidget* content,
                 std::unique_ptr<platform::OverlaySurface> surface = nullptr);
    ~OverlayPanel() override;

    QWidget* content() const { return content_; }
    /// Shows the panel (if hidden) and raises it, without activating it.
    void orderFront();
    /// Hides the panel.
    void orderOut();
    /// How often the panel was brought to the front (for the placement rules' tests).
    int timesOrderedFront() const { return timesOrderedFront_; }
    /// The corner radius of the views' rounded outline.
    static constexpr int kCornerRadius = 14;
    /// Whether the panel is cut to its rounded outline (no compositor at the last show or resize).
    bool isCutToOutline() const { return !mask().isEmpty(); }
    /// The surface the panel is shown on; null when it is a window of its own.
    platform::OverlaySurface* surface() const { return surface_.get(); }

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateOutline();
    void presentOnSurface();
    void deliverPointer(const platform::OverlayPointerEvent& event);
    QWidget* content_;
    std::unique_ptr<platform::OverlaySurface> surface_;
    QPointer<QWidget> pointerGrab_;
    Qt::MouseButtons pointerButtons_;
    QPoint dragOffset_;
    bool dragging_ = false;
    bool stickyRequested_ = false;
    int timesOrderedFront_ = 0;
};

/// Asks the X11 window manager to keep `window` on all workspaces and out of task bars and pagers
/// (no-op elsewhere).
void keepOnAllWorkspaces(QWidget* window);
/// X11: states the window's type as a notification (and a utility window) before it is mapped.
/// wlroots compositors (sway) give the keyboard to an override-redirect XWayland window when it
/// maps, unless its type is one of the kinds that never take focus; this keeps the target's.
void declareNeverFocusedType(QWidget* window);
/// Whether a compositing manager runs for the window's screen (owns _NET_WM_CM_Sn on X11). True
/// off X11, where every supported session composites.
bool compositorRunning();
/// The rounded rectangle `size` with corner `radius`, as a pixel region (inside pixels only).
QRegion roundedRegion(QSize size, int radius);

} // namespace quillory
