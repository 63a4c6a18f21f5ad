#pragma once

#include <QList>
#include <QString>

#include <functional>

namespace quillory {

/// What the desktop's shortcut services (KDE's global shortcut service, the GlobalShortcuts
/// portal) have in common once a shortcut fires: the actions "toggle" and "push-to-talk" turned
/// into the toggle and the push-to-talk press and release, with the key's auto-repeat ignored,
/// and what is held released when the service goes away. The backends keep their protocol and
/// decide which presses count (their session, their bound actions). Main thread.
class ShortcutActions {
public:
    struct Actions {
        std::function<void()> toggle;
        std::function<void()> press;
        std::function<void()> release;
    };

    static constexpr const char* kToggleId = "toggle";
    static constexpr const char* kPushToTalkId = "push-to-talk";

    struct Shortcut {
        QString id;
        QString description; ///< what the desktop's shortcut settings show for it
    };
    /// The shortcuts to ask the service for, the toggle first.
    static QList<Shortcut> wanted(bool toggle, bool pushToTalk);

    /// `service` names the service in the log ("KDE global shortcuts").
    explicit ShortcutActions(const char* service) : service_(service) {}

    /// The actions replace earlier ones at once. A push-to-talk no longer bound forgets that it
    /// was held: its release will not come, and nothing is called for it.
    void setActions(Actions actions, bool pushToTalkBound);
    /// Drops the actions (nothing is called any more) and forgets what was held.
    void clearActions();

    /// The service's press of `id`: the toggle once per press, whatever the key repeats;
    /// push-to-talk's press once until its release. Other ids call nothing.
    void pressed(const QString& id);
    void released(const QString& id);
    /// Forgets the toggle's press and releases a push-to-talk still held.
    void releaseHeld();

    const QString& lastError() const { return lastError_; }

protected:
    /// Keeps and logs `error` and releases what is held.
    void recordError(const QString& error);
    void clearError() { lastError_.clear(); }

private:
    const char* service_;
    Actions actions_;
    QString lastError_;
    bool toggleHeld_ = false;
    bool pushToTalkHeld_ = false;
};

/// `ShortcutActions` with the backend's state, as the hotkey services watch it: `State` names
/// `failed` for a service that cannot give the shortcuts.
template <typename State> class ShortcutActionState : public ShortcutActions {
public:
    ShortcutActionState(const char* service, State initial) : ShortcutActions(service), state_(initial) {}

    State state() const { return state_; }
    void onStateChanged(std::function<void(State)> changed) { stateChanged_ = std::move(changed); }

    void setState(State state) {
        if (state_ == state) return;
        state_ = state;
        if (stateChanged_) stateChanged_(state);
    }
    /// The shortcuts work: no error any more.
    void succeed(State state) {
        clearError();
        setState(state);
    }
    /// The shortcuts stopped working or never did: `error` is kept and logged, a push-to-talk
    /// still held is released, and the state becomes `state`.
    void fail(const QString& error, State state = State::failed) {
        recordError(error);
        setState(state);
    }

private:
    State state_;
    std::function<void(State)> stateChanged_;
};

} // namespace quillory
