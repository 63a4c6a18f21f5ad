#include "UI/Settings/SettingsTabs.h"

#include <QWidget>

namespace quillory {

QWidget* makeDictionaryTab(AppState&, QWidget* parent) {
    return new QWidget(parent);
}

} // namespace quillory
