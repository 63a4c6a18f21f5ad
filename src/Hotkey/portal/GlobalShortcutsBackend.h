#pragma once

#include "Hotkey/ShortcutActionState.h"
#include "Platform/linux/PortalSession.h"
#include "Runtime/Scheduler.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

namespace quillory {

/// One shortcut as the GlobalShortcuts portal lists it: `(sa{sv})`.
struct PortalShortcut {
    QString id;
    QVariantMap properties; ///< "description", "preferred_trigger"; answers add "trigger_description"
};
QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut);
const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut);
/// Registers `PortalShortcut` and its list with Qt D-Bus (once; the backend does it when made).
void registerPortalShortcutTypes();

/// The dictation shortcuts through the desktop's GlobalShortcuts portal (KDE, GNOME 48 and later,
/// Hyprland): one session held for the app's life, "toggle" and "push-to-talk" bound in it (the
/// desktop lets the user pick or change their keys in its own settings), and the portal's
/// Activated / Deactivated signals turned into the toggle and the push-to-talk press and release.
///
/// A portal that binds neither shortcut (Plasma 5.27 binds nothing for a program without an app
/// id) is a failure with the reason, never silently "registered". A session the desktop closes
/// releases a push-to-talk still held. Main thread.
class GlobalShortcutsBackend final : public QObject {
    Q_OBJECT
public:
    enum class State { idle, opening, bound, failed, closed };

    struct Options {
        /// The app's own portal connection (`platform::portalBus()`) unless set: that one is opened
        /// only when a backend is made without a bus of its own.
        std::optional<QDBusConnection> bus;
        QString service = platform::PortalNames::service;
        Duration requestTimeout = seconds(30);
        /// BindShortcuts: the desktop may show a dialog to pick the keys.
        Duration bindTimeout = seconds(300);
    };
    using Actions = ShortcutActions::Actions;

    explicit GlobalShortcutsBackend(Options options);
    ~GlobalShortcutsBackend() override;

    /// Opens the session (once) and binds the shortcuts asked for; the actions replace earlier
    /// ones at once. Binding again with the same set does not ask the portal again.
    void bind(Actions actions, bool toggle, bool pushToTalk);
    /// Drops the actions (nothing is called any more); the session stays.
    void clearActions();

    State state() const { return shortcuts_.state(); }
    const QString& lastError() const { return shortcuts_.lastError(); }
    /// The ids the portal bound, with the keys it shows for them ("" when it names none).
    const QMap<QString, QString>& bound() const { return bound_; }
    void onStateChanged(std::function<void(State)> changed) { shortcuts_.onStateChanged(std::move(changed)); }
    /// The portal's object of the open session ("" when none).
    QString sessionPath() const;

private Q_SLOTS:
    /// Activated / Deactivated `(o session_handle, s shortcut_id, t timestamp, a{sv} options)`.
    void onShortcutSignal(const QDBusMessage& message);

private:
    void onActivated(const QDBusObjectPath& session, const QString& id);
    void onDeactivated(const QDBusObjectPath& session, const QString& id);
    void open();
    void bindShortcuts();
    QList<PortalShortcut> wantedShortcuts() const;
    void fail(const QString& error);
    void sessionClosed();

    Options options_;
    QDBusConnection bus_;
    platform::PortalRequests requests_;
    std::unique_ptr<platform::PortalSessionHandle> session_;
    ShortcutActionState<State> shortcuts_{"GlobalShortcuts portal", State::idle};
    bool wantToggle_ = false;
    bool wantPushToTalk_ = false;
    QStringList requested_; ///< the ids of the last BindShortcuts sent
    QMap<QString, QString> bound_;
    quint64 generation_ = 0;
};

QString globalShortcutsStateName(GlobalShortcutsBackend::State state);

} // namespace quillory

Q_DECLARE_METATYPE(quillory::PortalShortcut)
