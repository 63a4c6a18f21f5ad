#pragma once

#include "Cli/RemoteChannel.h"

#include <QString>

#include <functional>

namespace quillory::ui {

class AppWindows;

/// The session operations that remote control (and the tray) reach.
class SessionControl {
public:
    virtual ~SessionControl() = default;
    virtual bool available() const = 0;
    virtual void toggle() = 0;
    virtual void press() = 0;
    virtual void release() = 0;
    /// The overlay's × : discard while recording (with an undo), commit now while processing,
    /// dismiss an error. False when there is nothing to cancel.
    virtual bool cancelOrDismiss() = 0;
    /// Brings back a recording discarded moments ago; false when there is none.
    virtual bool undoDiscard() { return false; }
    /// "idle", "recording", "processing" or "error".
    virtual QString statusName() const = 0;
};

/// `SessionControl` over `AppState::shared()` (unavailable while there is none).
class AppStateSessionControl : public SessionControl {
public:
    bool available() const override;
    void toggle() override;
    void press() override;
    void release() override;
    bool cancelOrDismiss() override;
    bool undoDiscard() override;
    QString statusName() const override;
};

/// Answers one remote command: toggle, press, release, cancel, undo, settings, status, quit. `quit`
/// runs on the next turn of the event loop (after the reply went out); without it "quit" is
/// refused.
remote::Server::Result handleRemoteCommand(const QString& command, SessionControl& session, AppWindows& windows,
                                           const std::function<void()>& quit = {});

} // namespace quillory::ui
