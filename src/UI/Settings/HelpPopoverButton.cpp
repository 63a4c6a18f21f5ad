#include "UI/Settings/HelpPopoverButton.h"

#include "Runtime/Localization.h"
#include "UI/Settings/SettingsLayout.h"
#include "UI/Settings/SettingsWidgets.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QVBoxLayout>

namespace quillory {

namespace {
constexpr int kBubbleRadius = 8;
} // namespace

HelpPopover::HelpPopover(QWidget* parent) : QFrame(parent, Qt::Popup) {
    setObjectName(QStringLiteral("quillory.settings.helpPopover"));
    setFrameShape(QFrame::NoFrame);
    setAutoFillBackground(false);
}

void HelpPopover::setArrow(bool pointsUp, int tipX) {
    const int inset = kBubbleRadius + arrowHalfWidth;
    pointsUp_ = pointsUp;
    tipX_ = width() > 2 * inset ? std::clamp(tipX, inset, width() - inset) : width() / 2;
    setContentsMargins(0, pointsUp ? arrowHeight : 0, 0, pointsUp ? 0 : arrowHeight);
    setMask(QRegion(shape().toFillPolygon().toPolygon()));
    update();
}

QPoint HelpPopover::arrowTip() const {
    return {tipX_, pointsUp_ ? 0 : height() - 1};
}

QPainterPath HelpPopover::shape() const {
    const QRectF body = QRectF(rect()).adjusted(0, pointsUp_ ? arrowHeight : 0, 0, pointsUp_ ? 0 : -arrowHeight);
    QPainterPath path;
    path.addRoundedRect(body, kBubbleRadius, kBubbleRadius);
    QPolygonF arrow;
    const double baseY = pointsUp_ ? body.top() + 1 : body.bottom() - 1;
    arrow << QPointF(tipX_ - arrowHalfWidth, baseY) << QPointF(tipX_, pointsUp_ ? 0 : height())
          << QPointF(tipX_ + arrowHalfWidth, baseY);
    QPainterPath arrowPath;
    arrowPath.addPolygon(arrow);
    arrowPath.closeSubpath();
    return path.united(arrowPath).simplified();
}

void HelpPopover::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillPath(shape(), palette().color(QPalette::Window));
    QPen pen(palette().color(QPalette::Mid));
    pen.setWidthF(1.0);
    p.setPen(pen);
    p.drawPath(shape()); // the outline
}

void HelpPopover::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    setArrow(pointsUp_, tipX_);
}

HelpPopoverButton::HelpPopoverButton(QString helpText, QWidget* parent)
    : QToolButton(parent), helpText_(std::move(helpText)) {
    ensureSettingsResources();
    setIcon(QIcon(QStringLiteral(":/quillory/icons/help.svg")));
    setIconSize(QSize(16, 16));
    setAutoRaise(true);
    setCursor(Qt::PointingHandCursor);
    setAccessibleName(L("ui.help.show"));
    setToolTip(L("ui.help.show"));
    setFocusPolicy(Qt::TabFocus);
    connect(this, &QToolButton::clicked, this, &HelpPopoverButton::present);
}

bool HelpPopoverButton::isPresented() const {
    return popover_ && popover_->isVisible();
}

void HelpPopoverButton::present() {
    if (!popover_) {
        popover_ = new HelpPopover(this);
        auto* layout = new QVBoxLayout(popover_);
        const int pad = SettingsLayout::contentPadding;
        layout->setContentsMargins(pad, pad, pad, pad);
        auto* label = new QLabel(helpText_, popover_);
        label->setWordWrap(true);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignLeading | Qt::AlignTop);
        label->setMaximumWidth(SettingsLayout::helpTextMaximumWidth);
        // A wrapped label asks for a narrow width by default; let long texts use the full 440.
        const QFontMetrics metrics(label->font());
        const int natural = metrics.boundingRect(QRect(0, 0, SettingsLayout::helpTextMaximumWidth, 10000),
                                                 Qt::TextWordWrap, helpText_)
                                .width();
        label->setFixedWidth(std::min(SettingsLayout::helpTextMaximumWidth, natural + 2));
        layout->addWidget(label);
    }
    popover_->setArrow(true, 0); // reserves the arrow's room before sizing
    popover_->adjustSize();
    // Anchored to the button: below it, or above it when the screen ends first; the arrow's tip
    // touches the button's middle.
    const QPoint middle = mapToGlobal(QPoint(width() / 2, 0));
    QPoint at(middle.x() - popover_->width() / 2, middle.y() + height());
    bool below = true;
    if (const QScreen* screen = this->screen()) {
        const QRect area = screen->availableGeometry();
        if (at.y() + popover_->height() > area.bottom()) {
            at.setY(middle.y() - popover_->height());
            below = false;
        }
        at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - popover_->width())));
    }
    popover_->setArrow(below, middle.x() - at.x());
    popover_->setGeometry(QRect(at, popover_->size())); // the bubble itself, not a frame around it
    popover_->show();
}

} // namespace quillory
