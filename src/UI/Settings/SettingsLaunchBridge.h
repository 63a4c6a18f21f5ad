#pragma once

#include "Runtime/Scheduler.h"

#include <functional>

namespace quillory {

/// Opens the settings window from anywhere (the tray item, the launch handling, a second
/// instance). The app installs `openSettings` once its window factory is ready; until then an
/// invocation falls back to `fallbackOpen` (which the app sets too) and the window reveal.
namespace SettingsLaunchBridge {

/// The action that shows the settings window; absent until the app installs it.
std::function<void()>& openSettings();
/// Run by `invoke` when `openSettings` is absent (the older route to the window); may be empty.
std::function<void()>& fallbackOpen();

/// Switches to the regular policy (a taskbar entry), shows the window and brings it forward.
void invoke();
/// Invokes once `openSettings` is available, trying `maxAttempts` more times `interval` apart on
/// the scheduler; with no attempts left it invokes anyway.
void invokeWhenReady(int maxAttempts = 60, Duration interval = std::chrono::milliseconds(50));

} // namespace SettingsLaunchBridge
} // namespace quillory
