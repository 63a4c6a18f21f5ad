#pragma once

#include <QPoint>
#include <QWidget>

namespace quillory {

/// A floating, non-activating top-level window for one overlay view: frameless, always on top,
/// on every workspace, translucent, never taking the keyboard focus, dragged by its background.
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

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QWidget* content_;
    QPoint dragOffset_;
    bool dragging_ = false;
    bool stickyRequested_ = false;
    int timesOrderedFront_ = 0;
};

/// Asks the X11 window manager to keep `window` on all workspaces (no-op elsewhere).
void keepOnAllWorkspaces(QWidget* window);

} // namespace quillory
