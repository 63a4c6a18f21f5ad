#pragma once

#include <QString>

#include <optional>

namespace quillory::input {

class X11Connection;

/// The WM_CLASS of a window: instance name and class name.
struct WindowClass {
    QString instanceName;
    QString className;
};

/// The class of the window that has focus: the window manager's _NET_ACTIVE_WINDOW, else the X
/// input focus; when that window has no WM_CLASS its ancestors are asked. Nothing when no window
/// has focus or none of them is named.
std::optional<WindowClass> activeWindowClass(X11Connection& connection);

} // namespace quillory::input
