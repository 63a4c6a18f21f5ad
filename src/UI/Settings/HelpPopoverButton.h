#pragma once

#include <QFrame>
#include <QToolButton>

namespace quillory {

/// The help bubble: a rounded panel with an arrow on its top or bottom edge that points at the
/// button it belongs to. Its window mask is the bubble's shape, so it has no square corners
/// with or without a compositor.
class HelpPopover : public QFrame {
    Q_OBJECT

public:
    static constexpr int arrowHeight = 8;
    static constexpr int arrowHalfWidth = 9;

    explicit HelpPopover(QWidget* parent);
    /// Puts the arrow on the top edge (the bubble under its button) or the bottom edge, its tip
    /// at `tipX` (clamped clear of the rounded corners).
    void setArrow(bool pointsUp, int tipX);
    bool arrowPointsUp() const { return pointsUp_; }
    /// The arrow's tip, in the popover's coordinates.
    QPoint arrowTip() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QPainterPath shape() const;
    bool pointsUp_ = true;
    int tipX_ = 0;
};

/// The small question-mark button beside a section header; a click shows `helpText` in a popup
/// under the button, wrapped at 440 pixels and padded 12. A click elsewhere closes it.
class HelpPopoverButton : public QToolButton {
    Q_OBJECT

public:
    explicit HelpPopoverButton(QString helpText, QWidget* parent = nullptr);

    const QString& helpText() const { return helpText_; }
    bool isPresented() const;
    /// The popup (created on the first click), for tests.
    HelpPopover* popover() const { return popover_; }

    void present();

private:
    QString helpText_;
    HelpPopover* popover_ = nullptr;
};

} // namespace quillory
