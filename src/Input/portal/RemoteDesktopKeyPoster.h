#pragma once

#include "Input/InputPlatform.h"
#include "Platform/linux/PortalSession.h"
#include "Runtime/Scheduler.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

namespace quillory {
class DefaultsStore;
}

namespace quillory::input {

/// The paste key through the RemoteDesktop portal's keyboard (GNOME, KDE): the compositor hands
/// the keys to whatever app has the focus.
///
/// One session is held for the app's life. It is opened when the poster is made (CreateSession,
/// SelectDevices for the keyboard with `persist_mode` 2, Start), so the desktop's consent dialog
/// comes up at start-up and not in the middle of a dictation; the restore token the portal hands
/// back is kept in the settings store, so later starts open the session without asking. A token
/// the portal no longer honours is dropped and the user is asked once more.
///
/// A paste while the session is not running (still waiting for the consent, refused, or closed
/// by the desktop) fails with the reason in `lastError` — it never counts as delivered — and a
/// refused or closed session is asked for again, so the next paste can work.
class RemoteDesktopKeyPoster final : public QObject, public KeyEventPoster {
    Q_OBJECT
public:
    enum class State { idle, opening, started, failed, closed };

    struct Options {
        /// The app's own portal connection (`platform::portalBus()`) unless set: that one is opened
        /// only when a backend is made without a bus of its own.
        std::optional<QDBusConnection> bus;
        QString service = platform::PortalNames::service;
        /// Where the restore token is kept (the standard store when null).
        DefaultsStore* store = nullptr;
        /// CreateSession and SelectDevices.
        Duration requestTimeout = seconds(30);
        /// Start: the user answers the desktop's dialog meanwhile.
        Duration consentTimeout = seconds(300);
        /// Each key notification (a blocking call on the main thread).
        Duration keyTimeout = seconds(2);
    };

    /// The settings key of the restore token.
    static constexpr const char* kRestoreTokenKey = "quillory.linux.remoteDesktop.restoreToken";
    /// evdev codes of the keys pressed (KEY_LEFTCTRL, KEY_V).
    static constexpr int kKeyLeftCtrl = 29;
    static constexpr int kKeyV = 47;

    explicit RemoteDesktopKeyPoster(Options options);
    ~RemoteDesktopKeyPoster() override;

    /// Opens the session unless it is open or being opened.
    void open();
    State state() const { return state_; }
    /// Why the last paste or the last opening failed.
    const QString& lastError() const { return lastError_; }
    /// Called each time the state changes (tests, logs).
    void onStateChanged(std::function<void(State)> changed) { stateChanged_ = std::move(changed); }

    /// True while the session runs; otherwise false with `lastError` (and the session is asked
    /// for again when it was refused or closed).
    bool createEventSource() override;
    /// True for the paste key (the core's V with the Command flag).
    bool createEvent(const KeyEvent& event) override;
    /// Ctrl and V down (a key-down event) or V and Ctrl up; throws std::runtime_error when the
    /// portal does not take them (the session is then treated as closed).
    void post(const KeyEvent& event) override;

private:
    void createSession(bool withToken);
    void selectDevices(bool withToken);
    void start(bool withToken);
    void fail(const platform::PortalResult& result, const QString& step);
    void setState(State state);
    void sessionClosed();
    void notifyKey(int code, bool down);
    DefaultsStore& store() const;

    Options options_;
    QDBusConnection bus_;
    platform::PortalRequests requests_;
    std::unique_ptr<platform::PortalSessionHandle> session_;
    State state_ = State::idle;
    QString lastError_;
    std::function<void(State)> stateChanged_;
    quint64 generation_ = 0; ///< bumps per opening: answers of an abandoned one are ignored
};

QString remoteDesktopStateName(RemoteDesktopKeyPoster::State state);

} // namespace quillory::input
