#pragma once

#include "App/AppState.h"
#include "Hotkey/portal/GlobalShortcutsBackend.h"

#include <functional>
#include <memory>

namespace quillory {

/// The dictation shortcuts through the GlobalShortcuts portal, as the application state drives
/// them: the portal's toggle and push-to-talk call the state's actions directly (the modifier
/// gestures need keyboards the portal does not give).
///
/// The portal answers after `update` returned: once it has bound the shortcuts or failed (bound
/// none, declined, closed the session), the state hears it through `onRegistrationSettled`, and
/// the failure goes to `record` ("" once bound) so that the desktop choice, and with it doctor and
/// the settings, gives the advice of a desktop without the portal. Main thread.
class PortalHotkeyService final : public HotkeyService {
public:
    using Record = std::function<void(const QString& failure)>;
    /// `fix`: the advice logged with a failure.
    PortalHotkeyService(std::shared_ptr<GlobalShortcutsBackend> backend, Record record, QString fix);

    bool update(const HotkeyConfig& config, Callback onToggle, Callback onPress, Callback onRelease) override;
    void onRegistrationSettled(std::function<void(bool registered)> settled) override;

private:
    void stateChanged(GlobalShortcutsBackend::State state);

    std::shared_ptr<GlobalShortcutsBackend> backend_;
    Record record_;
    QString fix_;
    std::function<void(bool)> settled_;
};

} // namespace quillory
