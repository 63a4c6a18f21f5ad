#include "UI/App/RemoteControl.h"

#include "App/AppState.h"
#include "UI/App/AppWindows.h"

#include <QCoreApplication>
#include <QTimer>

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
    case AppStatus::Kind::recording:
        return state->discardRecording();
    case AppStatus::Kind::idle:
        return false;
    }
    return false;
}
bool AppStateSessionControl::undoDiscard() {
    return AppState::shared()->undoDiscard();
}
QString AppStateSessionControl::statusName() const {
    return AppState::shared()->status().caseName();
}

remote::Server::Result handleRemoteCommand(const QString& command, SessionControl& session, AppWindows& windows,
                                           const std::function<void()>& quit) {
    if (command == QLatin1String("settings")) {
        windows.showSettings();
        return {};
    }
    if (command == QLatin1String("quit")) {
        if (!quit) {
            return {false, QStringLiteral("quit is not available")};
        }
        QTimer::singleShot(0, qApp, quit); // the reply goes out first
        return {};
    }
    const bool sessionCommand = command == QLatin1String("toggle") || command == QLatin1String("press") ||
                                command == QLatin1String("release") || command == QLatin1String("cancel") ||
                                command == QLatin1String("undo") || command == QLatin1String("status");
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
    } else if (command == QLatin1String("undo")) {
        session.undoDiscard(); // nothing to bring back is not a failure either
    } else {
        return {true, session.statusName()};
    }
    return {};
}

} // namespace quillory::ui
