#include "UI/Settings/ModelTabWidgets.h"

#include "Runtime/Localization.h"
#include "UI/Settings/HelpPopoverButton.h"
#include "UI/Settings/SettingsPalette.h"
#include "UI/Settings/SettingsWidgets.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QLayout>

namespace quillory {

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

QLabel* errorLabel(QWidget* parent) {
    QLabel* label = makeCaption({}, parent, /*secondary=*/false);
    SettingsPalette::setTextTone(label, SettingsPalette::Tone::red);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->hide();
    return label;
}

QPushButton* destructiveButton(const QString& text, QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    SettingsPalette::setTextTone(button, SettingsPalette::Tone::red);
    return button;
}

void setStatusColour(QLabel* label, bool present) {
    if (present) {
        SettingsPalette::setSecondaryText(label);
    } else {
        SettingsPalette::setTextTone(label, SettingsPalette::Tone::orange);
    }
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
