#include "UI/App/RemoteControl.h"

#include "App/AppState.h"
#include "UI/App/AppWindows.h"

namespace quillory::ui {

bool AppStateSessionControl::available() const {
    return AppState::shared() != nullptr;
}
void AppStateSessionControl::toggle() {
    AppState::shared()->handleHotkeyToggle();
}
void AppStateSessionControl::press() {
    AppState::shared()->handleHotkeyPress();
}
void AppStateSessionControl::release() {
    AppState::shared()->handleHotkeyRelease();
}
bool AppStateSessionControl::cancelOrDismiss() {
    AppState* state = AppState::shared();
    switch (state->status().kind()) {
    case AppStatus::Kind::processing:
        state->cancelCommitProcessing();
        return true;
    case AppStatus::Kind::error:
        state->dismissError();
        return true;
    case AppStatus::Kind::idle:
    case AppStatus::Kind::recording:
        return false;
    }
    return false;
}
QString AppStateSessionControl::statusName() const {
    return AppState::shared()->status().caseName();
}

remote::Server::Result handleRemoteCommand(const QString& command, SessionControl& session, AppWindows& windows) {
    if (command == QLatin1String("settings")) {
        windows.showSettings();
        return {};
    }
    const bool sessionCommand = command == QLatin1String("toggle") || command == QLatin1String("press") ||
                                command == QLatin1String("release") || command == QLatin1String("cancel") ||
                                command == QLatin1String("status");
    if (!sessionCommand) {
        return {false, QStringLiteral("unknown command '%1'").arg(command.left(64))};
    }
    if (!session.available()) {
        return {false, QStringLiteral("dictation is not available yet")};
    }
    if (command == QLatin1String("toggle")) {
        session.toggle();
    } else if (command == QLatin1String("press")) {
        session.press();
    } else if (command == QLatin1String("release")) {
        session.release();
    } else if (command == QLatin1String("cancel")) {
        session.cancelOrDismiss(); // nothing to cancel is not a failure of a key binding

    } else {
        return {true, session.statusName()};
    }
    return {};
}

} // namespace quillory::ui
