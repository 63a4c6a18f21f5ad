#include "UI/Settings/ModelTabWidgets.h"

#include "Runtime/Localization.h"
#include "UI/Settings/HelpPopoverButton.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QLayout>
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

HelpPopoverButton* helpButton(const QString& help, QWidget* parent) {
    auto* button = new HelpPopoverButton(help, parent);
    button->setObjectName(QStringLiteral("help"));
    return button;
}

void updateHelpButton(HelpPopoverButton*& button, const QString& help) {
    if (button->helpText() == help) {
        return;
    }
    auto* replacement = helpButton(help, button->parentWidget());
    if (QLayout* layout = button->parentWidget()->layout()) {
        // The header row is a nested layout: find the one that holds the button.
        for (QLayout* candidate : layout->findChildren<QLayout*>()) {
            if (candidate->indexOf(button) >= 0) {
                delete candidate->replaceWidget(button, replacement);
                break;
            }
        }
    }
    replacement->setVisible(button->isVisible());
    button->deleteLater();
    button = replacement;
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
