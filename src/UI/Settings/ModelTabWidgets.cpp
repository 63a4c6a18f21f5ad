#include "UI/Settings/ModelTabWidgets.h"

#include "Runtime/Localization.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace quillory {

QHBoxLayout* sectionHeader(const QString& title, const QString& help, QWidget* parent) {
    auto* row = new QHBoxLayout;
    auto* label = new QLabel(title, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    row->addWidget(label);
    row->addStretch();
    if (!help.isEmpty()) {
        row->addWidget(helpButton(help, parent));
    }
    return row;
}

QWidget* helpButton(const QString& help, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setObjectName(QStringLiteral("help"));
    button->setText(QStringLiteral("?"));
    button->setAutoRaise(true);
    button->setAccessibleName(L("ui.help.show"));
    button->setProperty("helpText", help);
    QObject::connect(button, &QToolButton::clicked, button, [button] {
        auto* popup = new QFrame(button, Qt::Popup);
        popup->setAttribute(Qt::WA_DeleteOnClose);
        popup->setFrameShape(QFrame::StyledPanel);
        auto* layout = new QVBoxLayout(popup);
        layout->setContentsMargins(12, 12, 12, 12);
        auto* text = new QLabel(button->property("helpText").toString(), popup);
        text->setWordWrap(true);
        text->setMaximumWidth(440);
        layout->addWidget(text);
        popup->adjustSize();
        popup->move(button->mapToGlobal(QPoint(0, button->height())));
        popup->show();
    });
    return button;
}

QLabel* captionLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    return label;
}

QLabel* errorLabel(QWidget* parent) {
    QLabel* label = captionLabel(parent);
    label->setStyleSheet(QStringLiteral("color: #d70015;"));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->hide();
    return label;
}

void setStatusColour(QLabel* label, bool present) {
    label->setStyleSheet(present ? QStringLiteral("color: palette(placeholder-text);")
                                 : QStringLiteral("color: #c93400;"));
}

void showProgress(QProgressBar* bar, bool active, qint64 received, qint64 total) {
    bar->setVisible(active);
    if (!active) {
        return;
    }
    if (total > 0) {
        bar->setRange(0, 1000);
        bar->setValue(static_cast<int>(std::clamp<qint64>(received * 1000 / total, 0, 1000)));
        bar->setFormat(QStringLiteral("%1 %p%").arg(L("polish.model.downloading")));
    } else {
        bar->setRange(0, 0);
        bar->setFormat(L("polish.model.downloading"));
    }
    bar->setTextVisible(true);
}

void showOptionalText(QLabel* label, const std::optional<QString>& text) {
    label->setVisible(text.has_value());
    label->setText(text.value_or(QString()));
}

} // namespace quillory
