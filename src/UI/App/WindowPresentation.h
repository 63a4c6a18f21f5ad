#pragma once

#include <QWidget>

namespace quillory::ui {

/// Brings a window to the front: restored when minimised, shown, raised and activated.
inline void presentWindow(QWidget& window) {
    if (window.isMinimized()) {
        window.showNormal();
    } else {
        window.show();
    }
    window.raise();
    window.activateWindow();
}

/// Closes a window that is on screen (not minimised); false when there was none to close.
inline bool closeWindowIfVisible(QWidget* window) {
    if (!window || !window->isVisible() || window->isMinimized()) {
        return false;
    }
    window->close();
    return true;
}

} // namespace quillory::ui
