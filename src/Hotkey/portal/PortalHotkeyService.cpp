#include "Hotkey/portal/PortalHotkeyService.h"

#include "Runtime/Log.h"

namespace quillory {

PortalHotkeyService::PortalHotkeyService(std::shared_ptr<GlobalShortcutsBackend> backend, Record record,
                                         QString fix)
    : backend_(std::move(backend)), record_(std::move(record)), fix_(std::move(fix)) {
    // The backend lives as long as this service (both are the app's): no weak reference needed.
    backend_->onStateChanged([this](GlobalShortcutsBackend::State state) { stateChanged(state); });
}

bool PortalHotkeyService::update(const HotkeyConfig& config, Callback onToggle, Callback onPress,
                                 Callback onRelease) {
    backend_->bind({std::move(onToggle), std::move(onPress), std::move(onRelease)},
                   config.toggleShortcutEnabled, config.pushToTalkShortcutEnabled);
    using State = GlobalShortcutsBackend::State;
    return backend_->state() == State::bound || backend_->state() == State::opening;
}

void PortalHotkeyService::onRegistrationSettled(std::function<void(bool registered)> settled) {
    settled_ = std::move(settled);
}

void PortalHotkeyService::stateChanged(GlobalShortcutsBackend::State state) {
    using State = GlobalShortcutsBackend::State;
    switch (state) {
    case State::bound:
        if (record_)
            record_({});
        if (settled_)
            settled_(true);
        break;
    case State::failed:
    case State::closed:
        qCWarning(lcHotkey, "Global hotkeys unavailable: %s. %s", qUtf8Printable(backend_->lastError()),
                  qUtf8Printable(fix_));
        if (record_)
            record_(backend_->lastError());
        if (settled_)
            settled_(false);
        break;
    case State::idle:
    case State::opening:
        break;
    }
}

} // namespace quillory
