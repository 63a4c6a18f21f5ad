// Placeholders for the polish and chat tabs until their real implementations are merged.
#include "UI/Settings/SettingsTabs.h"

#include <QLabel>

namespace quillory {

QWidget* makePolishTab(AppState&, QWidget* parent) {
    auto* label = new QLabel(QStringLiteral("polish"), parent);
    label->setObjectName(QStringLiteral("quillory.settings.polishTabPlaceholder"));
    return label;
}

QWidget* makeChatTab(AppState&, QWidget* parent) {
    auto* label = new QLabel(QStringLiteral("chat"), parent);
    label->setObjectName(QStringLiteral("quillory.settings.chatTabPlaceholder"));
    return label;
}

} // namespace quillory
