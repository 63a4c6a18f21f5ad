#include "UI/Settings/HelpPopoverButton.h"

#include "Runtime/Localization.h"
#include "UI/Settings/SettingsLayout.h"
#include "UI/Settings/SettingsWidgets.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

namespace quillory {

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
        popover_ = new QFrame(this, Qt::Popup);
        popover_->setObjectName(QStringLiteral("quillory.settings.helpPopover"));
        popover_->setFrameShape(QFrame::StyledPanel);
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
    popover_->adjustSize();
    // Anchored to the button: below it, or above it when the screen ends first.
    QPoint at = mapToGlobal(QPoint(width() / 2 - popover_->width() / 2, height()));
    if (const QScreen* screen = this->screen()) {
        const QRect area = screen->availableGeometry();
        if (at.y() + popover_->height() > area.bottom()) {
            at.setY(mapToGlobal(QPoint(0, 0)).y() - popover_->height());
        }
        at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - popover_->width())));
    }
    popover_->move(at);
    popover_->show();
}

} // namespace quillory
