#pragma once

#include "Hotkey/HotkeyConfig.h"
#include "Hotkey/ModifierKeyMap.h"
#include "Hotkey/ShortcutActionState.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <functional>
#include <optional>

class QDBusServiceWatcher;

namespace quillory {

/// The dictation shortcuts through KDE's global shortcut service (`org.kde.kglobalaccel`, which
/// KWin serves on the session bus): the actions "toggle" and "push-to-talk" of the component
/// "quillory" ("Quillory" in System Settings → Shortcuts), and the component's
/// globalShortcutPressed / globalShortcutReleased signals turned into the toggle and the
/// push-to-talk press and release.
///
/// Keys: the toggle takes the configured key combination where there is one (a modifier gesture —
/// double Command, the fn chords — is no key combination: that action is registered without a key
/// and the user assigns one in System Settings). The service keeps what the user assigned there:
/// a registration loads the stored keys instead of ours, unless the combination configured in
/// Quillory changed since it was last registered (the service remembers it as the action's
/// default). Push-to-talk is only ever a modifier gesture here, so it starts without a key.
///
/// Repeated presses while a key is held (auto-repeat) call nothing more; a service that goes away
/// releases a push-to-talk still held, and one that comes back is registered with again.
/// Main thread.
class KGlobalAccelBackend final : public QObject {
    Q_OBJECT
public:
    enum class State { idle, registering, registered, failed };

    struct Options {
        QDBusConnection bus = QDBusConnection::sessionBus();
        QString service = QStringLiteral("org.kde.kglobalaccel");
        int callTimeoutMs = 10000;
    };
    using Actions = ShortcutActions::Actions;

    static constexpr const char* kComponent = "quillory";
    static constexpr const char* kComponentName = "Quillory";

    /// The setShortcut flags of the service.
    enum SetFlags : uint { isDefault = 1, setPresent = 2, noAutoloading = 4 };

    KGlobalAccelBackend();
    explicit KGlobalAccelBackend(Options options);
    /// Marks the actions inactive (their keys stay assigned for the next start).
    ~KGlobalAccelBackend() override;

    /// Registers the actions `config` enables with the keys it names (see the class comment); the
    /// actions replace earlier ones at once. Binding again with the same keys and set does not ask
    /// the service again (unless it failed).
    void bind(Actions actions, const HotkeyConfig& config, const ModifierKeyMap& keys);
    void clearActions();

    State state() const { return shortcuts_.state(); }
    const QString& lastError() const { return shortcuts_.lastError(); }
    /// The registered actions with the keys the service assigned (Qt key codes, `QKeySequence`'s
    /// int form; empty for an action without a key).
    const QMap<QString, QList<int>>& assigned() const { return assigned_; }
    /// The registered actions that have no key ("toggle", "push-to-talk").
    QStringList actionsWithoutKey() const;
    /// Why an action started without the key asked for ("" when it got it or none was asked for).
    QString keyNote(const QString& action) const { return notes_.value(action); }
    void onStateChanged(std::function<void(State)> changed) { shortcuts_.onStateChanged(std::move(changed)); }

    /// The toggle's key combination as a Qt key code (modifiers | key) from the configured key and
    /// the physical keys behind Command and Option; nullopt with the reason when it has none.
    static std::optional<int> toggleKey(const HotkeyConfig& config, const ModifierKeyMap& keys,
                                        QString* why = nullptr);

private Q_SLOTS:
    void onShortcutSignal(const QDBusMessage& message);
    void onServiceRegistered();
    void onServiceUnregistered();

private:
    struct Wanted {
        QString id;
        QString friendly;
        std::optional<int> key;
        QString keyWhy;
        bool operator==(const Wanted&) const = default;
    };

    void start();
    void registerAction(int index);
    void finish();
    void call(const QString& method, const QVariantList& args, std::function<void(const QDBusMessage&)> done);
    QStringList actionId(const Wanted& wanted) const;
    void fail(const QString& error);
    void deactivate(const QStringList& ids);

    Options options_;
    QDBusServiceWatcher* watcher_ = nullptr;
    ShortcutActionState<State> shortcuts_{"KDE global shortcuts", State::idle};
    QList<Wanted> wanted_;
    QMap<QString, QList<int>> assigned_;
    QMap<QString, QString> notes_;
    QString componentPath_;
    quint64 generation_ = 0;
};

QString kglobalaccelStateName(KGlobalAccelBackend::State state);

} // namespace quillory
