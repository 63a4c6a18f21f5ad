#include "Hotkey/kde/KGlobalAccelBackend.h"

#include "Hotkey/HotkeyBackend.h"
#include "Runtime/Log.h"

#include <QDBusError>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QKeySequence>

#include <algorithm>
#include <map>

namespace quillory {

namespace {

const QString kInterface = QStringLiteral("org.kde.KGlobalAccel");
const QString kObject = QStringLiteral("/kglobalaccel");
const QString kComponentInterface = QStringLiteral("org.kde.kglobalaccel.Component");

// The registration encoding of `HotkeyConfig::modifiers`.
constexpr std::uint32_t kCmdKey = 0x0100, kShiftKey = 0x0200, kOptionKey = 0x0800, kControlKey = 0x1000;

/// Core key code → Qt key (the keys the X11 backend can grab, less the JIS "ro" key Qt has no
/// name for).
std::optional<int> qtKeyFor(std::uint32_t keyCode) {
    static const std::map<std::uint32_t, int> table = {
        {0x00, Qt::Key_A},          {0x01, Qt::Key_S},         {0x02, Qt::Key_D},          {0x03, Qt::Key_F},
        {0x04, Qt::Key_H},          {0x05, Qt::Key_G},         {0x06, Qt::Key_Z},          {0x07, Qt::Key_X},
        {0x08, Qt::Key_C},          {0x09, Qt::Key_V},         {0x0B, Qt::Key_B},          {0x0C, Qt::Key_Q},
        {0x0D, Qt::Key_W},          {0x0E, Qt::Key_E},         {0x0F, Qt::Key_R},          {0x10, Qt::Key_Y},
        {0x11, Qt::Key_T},          {0x12, Qt::Key_1},         {0x13, Qt::Key_2},          {0x14, Qt::Key_3},
        {0x15, Qt::Key_4},          {0x16, Qt::Key_6},         {0x17, Qt::Key_5},          {0x18, Qt::Key_Equal},
        {0x19, Qt::Key_9},          {0x1A, Qt::Key_7},         {0x1B, Qt::Key_Minus},      {0x1C, Qt::Key_8},
        {0x1D, Qt::Key_0},          {0x1E, Qt::Key_BracketRight}, {0x1F, Qt::Key_O},       {0x20, Qt::Key_U},
        {0x21, Qt::Key_BracketLeft}, {0x22, Qt::Key_I},        {0x23, Qt::Key_P},          {0x24, Qt::Key_Return},
        {0x25, Qt::Key_L},          {0x26, Qt::Key_J},         {0x27, Qt::Key_Apostrophe}, {0x28, Qt::Key_K},
        {0x29, Qt::Key_Semicolon},  {0x2A, Qt::Key_Backslash}, {0x2B, Qt::Key_Comma},      {0x2C, Qt::Key_Slash},
        {0x2D, Qt::Key_N},          {0x2E, Qt::Key_M},         {0x2F, Qt::Key_Period},     {0x30, Qt::Key_Tab},
        {0x31, Qt::Key_Space},      {0x32, Qt::Key_QuoteLeft}, {0x33, Qt::Key_Backspace},  {0x35, Qt::Key_Escape},
        {0x5D, Qt::Key_yen},        {0x66, Qt::Key_Muhenkan},  {0x68, Qt::Key_Henkan},     {0x7A, Qt::Key_F1},
        {0x78, Qt::Key_F2},         {0x63, Qt::Key_F3},        {0x76, Qt::Key_F4},         {0x60, Qt::Key_F5},
        {0x61, Qt::Key_F6},         {0x62, Qt::Key_F7},        {0x64, Qt::Key_F8},         {0x65, Qt::Key_F9},
        {0x6D, Qt::Key_F10},        {0x67, Qt::Key_F11},       {0x6F, Qt::Key_F12},        {0x73, Qt::Key_Home},
        {0x74, Qt::Key_PageUp},     {0x75, Qt::Key_Delete},    {0x77, Qt::Key_End},        {0x79, Qt::Key_PageDown},
        {0x7B, Qt::Key_Left},       {0x7C, Qt::Key_Right},     {0x7D, Qt::Key_Down},       {0x7E, Qt::Key_Up},
    };
    const auto it = table.find(keyCode);
    return it == table.end() ? std::nullopt : std::optional<int>(it->second);
}

/// The Qt modifier a physical modifier key (X keycode) carries; 0 for other keys.
int qtModifierOfKey(int keycode) {
    switch (keycode) {
    case 37:  // LCTL
    case 105: // RCTL
        return Qt::ControlModifier;
    case 50: // LFSH
    case 62: // RTSH
        return Qt::ShiftModifier;
    case 64:  // LALT
    case 108: // RALT
        return Qt::AltModifier;
    case 133: // LWIN
    case 134: // RWIN
        return Qt::MetaModifier;
    default:
        return 0;
    }
}

QString describeKeys(const QList<int>& keys) {
    QStringList names;
    for (int key : keys) {
        names << QKeySequence(key).toString(QKeySequence::PortableText);
    }
    return names.join(QStringLiteral(", "));
}

QList<int> nonZero(const QList<int>& keys) {
    QList<int> out;
    for (int key : keys) {
        if (key != 0) out << key;
    }
    return out;
}

} // namespace

QString kglobalaccelStateName(KGlobalAccelBackend::State state) {
    using State = KGlobalAccelBackend::State;
    switch (state) {
    case State::idle:
        return QStringLiteral("idle");
    case State::registering:
        return QStringLiteral("registering");
    case State::registered:
        return QStringLiteral("registered");
    case State::failed:
        return QStringLiteral("failed");
    }
    return {};
}

std::optional<int> KGlobalAccelBackend::toggleKey(const HotkeyConfig& config, const ModifierKeyMap& keys, QString* why) {
    auto none = [why](const QString& reason) -> std::optional<int> {
        if (why) *why = reason;
        return std::nullopt;
    };
    if (config.toggleDoubleCommand) {
        return none(QStringLiteral("the toggle is a double press of Command, which is no key combination"));
    }
    if (config.modifierChordFnRightShift) {
        return none(QStringLiteral("the toggle is the fn chord, which is no key combination"));
    }
    if (config.keyCode == 0) {
        return none(QStringLiteral("no key combination is configured for the toggle"));
    }
    const auto key = qtKeyFor(config.keyCode);
    if (!key) {
        return none(QStringLiteral("the configured key (code %1) has no name in KDE's shortcuts").arg(config.keyCode));
    }
    int mods = 0;
    if (config.modifiers & kShiftKey) mods |= Qt::ShiftModifier;
    if (config.modifiers & kControlKey) mods |= Qt::ControlModifier;
    for (const auto& [bit, left, right, name] :
         {std::tuple{kCmdKey, HotkeyKeys::leftCommand, HotkeyKeys::rightCommand, "Command"},
          std::tuple{kOptionKey, HotkeyKeys::leftOption, HotkeyKeys::rightOption, "Option"}}) {
        if (!(config.modifiers & bit)) continue;
        int m = 0;
        for (auto vk : {left, right}) {
            for (int k : keys.keysFor(vk)) {
                if (!m) m = qtModifierOfKey(k);
            }
        }
        if (!m) {
            return none(QStringLiteral("the %1 key is no Ctrl, Shift, Alt or Meta key").arg(QString::fromLatin1(name)));
        }
        mods |= m;
    }
    return mods | *key;
}

KGlobalAccelBackend::KGlobalAccelBackend() : KGlobalAccelBackend(Options{}) {}

KGlobalAccelBackend::KGlobalAccelBackend(Options options) : options_(std::move(options)) {
    qDBusRegisterMetaType<QList<int>>();
    watcher_ = new QDBusServiceWatcher(options_.service, options_.bus,
                                       QDBusServiceWatcher::WatchForRegistration |
                                           QDBusServiceWatcher::WatchForUnregistration,
                                       this);
    connect(watcher_, &QDBusServiceWatcher::serviceRegistered, this, &KGlobalAccelBackend::onServiceRegistered);
    connect(watcher_, &QDBusServiceWatcher::serviceUnregistered, this, &KGlobalAccelBackend::onServiceUnregistered);
}

KGlobalAccelBackend::~KGlobalAccelBackend() {
    shortcuts_.clearActions();
    QStringList ids = assigned_.keys();
    deactivate(ids);
}

void KGlobalAccelBackend::deactivate(const QStringList& ids) {
    for (const QString& id : ids) {
        QDBusMessage call = QDBusMessage::createMethodCall(options_.service, kObject, kInterface,
                                                           QStringLiteral("setInactive"));
        call << QStringList{QString::fromLatin1(kComponent), id, QString::fromLatin1(kComponentName), QString()};
        call.setAutoStartService(false);
        options_.bus.send(call); // no answer needed; the key stays assigned for the next start
    }
}

QStringList KGlobalAccelBackend::actionsWithoutKey() const {
    QStringList ids;
    for (auto it = assigned_.cbegin(); it != assigned_.cend(); ++it) {
        if (it.value().isEmpty()) ids << it.key();
    }
    return ids;
}

void KGlobalAccelBackend::bind(Actions actions, const HotkeyConfig& config, const ModifierKeyMap& keys) {
    shortcuts_.setActions(std::move(actions), config.pushToTalkShortcutEnabled);
    QList<Wanted> wanted;
    for (const auto& [id, description] :
         ShortcutActions::wanted(config.toggleShortcutEnabled, config.pushToTalkShortcutEnabled)) {
        Wanted w{id, description, std::nullopt, {}};
        if (id == QLatin1String(ShortcutActions::kToggleId)) {
            w.key = toggleKey(config, keys, &w.keyWhy);
        } else {
            w.keyWhy = QStringLiteral("push-to-talk is a modifier gesture, which is no key combination");
        }
        wanted << w;
    }
    if (wanted == wanted_ && (state() == State::registered || state() == State::registering)) {
        return;
    }
    // Actions no longer wanted stop listening to their keys (which stay assigned).
    QStringList dropped;
    for (auto it = assigned_.cbegin(); it != assigned_.cend(); ++it) {
        const bool kept = std::any_of(wanted.cbegin(), wanted.cend(), [&](const Wanted& w) { return w.id == it.key(); });
        if (!kept) dropped << it.key();
    }
    deactivate(dropped);
    wanted_ = wanted;
    start();
}

void KGlobalAccelBackend::clearActions() {
    shortcuts_.clearActions();
}

QStringList KGlobalAccelBackend::actionId(const Wanted& wanted) const {
    // componentUnique, actionUnique, componentFriendly, actionFriendly
    return {QString::fromLatin1(kComponent), wanted.id, QString::fromLatin1(kComponentName), wanted.friendly};
}

void KGlobalAccelBackend::call(const QString& method, const QVariantList& args,
                               std::function<void(const QDBusMessage&)> done) {
    QDBusMessage message = QDBusMessage::createMethodCall(options_.service, kObject, kInterface, method);
    message.setArguments(args);
    message.setAutoStartService(false);
    auto* watcher = new QDBusPendingCallWatcher(options_.bus.asyncCall(message, options_.callTimeoutMs), this);
    const quint64 generation = generation_;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, generation, method, done = std::move(done)] {
                watcher->deleteLater();
                if (generation != generation_) return;
                const QDBusMessage reply = watcher->reply();
                if (reply.type() == QDBusMessage::ErrorMessage) {
                    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
                        reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
                        fail(QStringLiteral("KDE's global shortcut service (%1) is not on the session bus")
                                 .arg(options_.service));
                    } else {
                        fail(QStringLiteral("KDE's global shortcut service refused %1: %2")
                                 .arg(method, reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage()));
                    }
                    return;
                }
                done(reply);
            });
}

void KGlobalAccelBackend::start() {
    ++generation_;
    shortcuts_.releaseHeld();
    assigned_.clear();
    notes_.clear();
    shortcuts_.setState(State::registering);
    if (wanted_.isEmpty()) { // both shortcuts switched off: nothing to ask the service
        shortcuts_.succeed(State::registered);
        return;
    }
    if (!options_.bus.isConnected()) {
        fail(QStringLiteral("no session bus for KDE's global shortcut service"));
        return;
    }
    registerAction(0);
}

void KGlobalAccelBackend::registerAction(int index) {
    if (index >= wanted_.size()) {
        finish();
        return;
    }
    const Wanted w = wanted_.at(index);
    const QStringList id = actionId(w);
    const QList<int> ours = w.key ? QList<int>{*w.key} : QList<int>{};
    call(QStringLiteral("doRegister"), {id}, [this, index, id, w, ours](const QDBusMessage&) {
        // The default the service remembers is the combination configured when we last registered.
        call(QStringLiteral("defaultShortcut"), {id}, [this, index, id, w, ours](const QDBusMessage& reply) {
            const QList<int> before = nonZero(qdbus_cast<QList<int>>(reply.arguments().value(0)));
            const bool changedHere = !ours.isEmpty() && before != ours;
            if (!ours.isEmpty()) {
                call(QStringLiteral("setShortcut"), {id, QVariant::fromValue(ours), uint(isDefault)},
                     [](const QDBusMessage&) {});
            }
            // Autoloading: the service answers with the stored keys (System Settings) of an action
            // it knows and takes ours for a new one; a combination changed in Quillory replaces them.
            const uint flags = setPresent | (changedHere ? noAutoloading : 0u);
            call(QStringLiteral("setShortcut"), {id, QVariant::fromValue(ours), flags},
                 [this, index, w, ours](const QDBusMessage& reply) {
                     const QList<int> got = nonZero(qdbus_cast<QList<int>>(reply.arguments().value(0)));
                     assigned_.insert(w.id, got);
                     if (got.isEmpty()) {
                         notes_.insert(w.id, ours.isEmpty() ? w.keyWhy
                                                            : QStringLiteral("%1 is taken by another shortcut")
                                                                  .arg(describeKeys(ours)));
                     }
                     registerAction(index + 1);
                 });
        });
    });
}

void KGlobalAccelBackend::finish() {
    call(QStringLiteral("getComponent"), {QString::fromLatin1(kComponent)}, [this](const QDBusMessage& reply) {
        const QString path = qdbus_cast<QDBusObjectPath>(reply.arguments().value(0)).path();
        if (path.isEmpty()) {
            fail(QStringLiteral("KDE's global shortcut service named no object for the shortcuts"));
            return;
        }
        if (path != componentPath_) {
            for (const char* member : {"globalShortcutPressed", "globalShortcutReleased"}) {
                if (!componentPath_.isEmpty()) {
                    options_.bus.disconnect(options_.service, componentPath_, kComponentInterface,
                                            QString::fromLatin1(member), this, SLOT(onShortcutSignal(QDBusMessage)));
                }
                options_.bus.connect(options_.service, path, kComponentInterface, QString::fromLatin1(member), this,
                                     SLOT(onShortcutSignal(QDBusMessage)));
            }
            componentPath_ = path;
        }
        QStringList names;
        for (auto it = assigned_.cbegin(); it != assigned_.cend(); ++it) {
            names << QStringLiteral("%1 (%2)").arg(
                it.key(), it.value().isEmpty() ? QStringLiteral("no key: %1").arg(notes_.value(it.key()))
                                               : describeKeys(it.value()));
        }
        qCInfo(lcHotkey, "KDE global shortcuts: registered %s", qUtf8Printable(names.join(QStringLiteral(", "))));
        shortcuts_.succeed(State::registered);
    });
}

void KGlobalAccelBackend::fail(const QString& error) {
    ++generation_; // answers still on their way are dropped
    shortcuts_.fail(error);
}

void KGlobalAccelBackend::onServiceRegistered() {
    // KWin restarted: its service forgot who listens; register again.
    if (!wanted_.isEmpty() || state() != State::idle) {
        start();
    }
}

void KGlobalAccelBackend::onServiceUnregistered() {
    if (state() == State::idle) return;
    fail(QStringLiteral("KDE's global shortcut service (%1) left the session bus").arg(options_.service));
}

void KGlobalAccelBackend::onShortcutSignal(const QDBusMessage& message) {
    const QVariantList args = message.arguments();
    if (args.size() < 2 || args.at(0).toString() != QLatin1String(kComponent) || state() != State::registered) {
        return;
    }
    const QString id = args.at(1).toString();
    if (!assigned_.contains(id)) return;
    if (message.member() == QLatin1String("globalShortcutPressed")) {
        shortcuts_.pressed(id);
    } else {
        shortcuts_.released(id);
    }
}

} // namespace quillory
