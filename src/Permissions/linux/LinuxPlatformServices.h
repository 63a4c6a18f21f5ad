#pragma once

#include "Permissions/PermissionManager.h"

#include <memory>

namespace quillory::platform {

/// Wires this desktop's queries into the core's seams: the permission probes (X extensions,
/// /dev/uinput, /dev/input keyboards), the audio capture device query (a short PulseAudio
/// look, until the audio backend installs its own), and the opener of settings panels and
/// folders (QProcess / QDesktopServices). Call once at start-up, on the main thread.
void installLinuxPlatformServices();

/// The permission manager the app owns, its requests bringing the windows forward through
/// `AppActivation`.
std::shared_ptr<SystemPermissionManager> makeSystemPermissionManager();

} // namespace quillory::platform
