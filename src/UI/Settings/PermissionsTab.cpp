#include "UI/Settings/SettingsTabs.h"

#include <QWidget>

namespace quillory {

QWidget* makePermissionsTab(AppState&, SettingsBackend&, QWidget* parent) {
    return new QWidget(parent);
}

} // namespace quillory
