#pragma once

#include <QPoint>
#include <QWidget>

namespace quillory {

/// A floating, non-activating top-level window for one overlay view: frameless, always on top,
/// on every workspace, out of task bars and pagers, translucent, never taking the keyboard focus,
/// dragged by its background. Its tooltips show although the panel is never the active window.
/// Without a compositor (no alpha channel on screen) the panel is cut to its rounded outline.
class OverlayPanel : public QWidget {
    Q_OBJECT

public:
    /// `identifier` becomes the object name and the X11 window role.
    OverlayPanel(const QString& identifier, QWidget* content);

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

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateOutline();
    QWidget* content_;
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
