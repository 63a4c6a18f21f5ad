#pragma once

#include "Platform/DesktopBackends.h"

namespace quillory::platform {

/// Measures this desktop now: the session type and XDG_CURRENT_DESKTOP from the environment, our
/// own X connection (XTEST, XInput 2.2), the Wayland globals (a bounded registry roundtrip), the
/// portal interfaces on the session bus (bounded), /dev/uinput and the keyboards under /dev/input.
DesktopFacts probeDesktopFacts();

/// The backends compiled into this program.
BuiltBackends builtBackends();

/// Why the GlobalShortcuts portal did not bind the app's shortcuts in this session, as the app
/// wrote it down in the session's runtime folder ("" when it bound them, or never tried): a fact
/// of the choice (`DesktopFacts::shortcutsPortalFailure`), so that doctor and the settings give
/// the advice of a desktop without the portal. Any process of the user.
QString shortcutsPortalFailure();
/// Writes the failure down; "" clears it (the portal bound them, or the app starts and tries anew).
void setShortcutsPortalFailure(const QString& failure);

/// The choice for this process. The X, Wayland and portal answers are measured once (they do not
/// change within a session); /dev/uinput, the keyboards and the shortcuts portal's failure are
/// looked at again on every call, so a rule or group the user added counts at once. Logged on the
/// app channel when the choice differs from the last one logged. Any thread.
DesktopBackends currentDesktopBackends();

} // namespace quillory::platform
