#include "Hotkey/portal/GlobalShortcutsBackend.h"

#include "Runtime/Log.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>

namespace quillory {

QDBusArgument& operator<<(QDBusArgument& argument, const PortalShortcut& shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, PortalShortcut& shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

namespace {

const QString kGlobalShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kSessionToken = QStringLiteral("quillory_shortcuts");

/// The shortcuts of an answer's "shortcuts" entry.
QList<PortalShortcut> shortcutsOf(const QVariant& value) {
    if (value.userType() == qMetaTypeId<QDBusArgument>()) {
        return qdbus_cast<QList<PortalShortcut>>(value.value<QDBusArgument>());
    }
    return value.value<QList<PortalShortcut>>();
}

} // namespace

void registerPortalShortcutTypes() {
    static const bool once = [] {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<QList<PortalShortcut>>();
        return true;
    }();
    (void)once;
}

QString globalShortcutsStateName(GlobalShortcutsBackend::State state) {
    using State = GlobalShortcutsBackend::State;
    switch (state) {
    case State::idle:
        return QStringLiteral("idle");
    case State::opening:
        return QStringLiteral("opening");
    case State::bound:
        return QStringLiteral("bound");
    case State::failed:
        return QStringLiteral("failed");
    case State::closed:
        return QStringLiteral("closed");
    }
    return {};
}

GlobalShortcutsBackend::GlobalShortcutsBackend(Options options)
    : options_(std::move(options)), bus_(options_.bus ? *options_.bus : platform::portalBus()),
      requests_(bus_, options_.service) {
    registerPortalShortcutTypes();
    // One slot taking the whole message: the arguments are read from it.
    for (const char* member : {"Activated", "Deactivated"}) {
        bus_.connect(options_.service, platform::PortalNames::object, kGlobalShortcuts,
                             QString::fromLatin1(member), this, SLOT(onShortcutSignal(QDBusMessage)));
    }
}

GlobalShortcutsBackend::~GlobalShortcutsBackend() {
    shortcuts_.clearActions();
    requests_.cancelAll();
    session_.reset();
}

void GlobalShortcutsBackend::bind(Actions actions, bool toggle, bool pushToTalk) {
    shortcuts_.setActions(std::move(actions), pushToTalk);
    const bool changed = toggle != wantToggle_ || pushToTalk != wantPushToTalk_;
    wantToggle_ = toggle;
    wantPushToTalk_ = pushToTalk;
    switch (state()) {
    case State::idle:
    case State::failed:
    case State::closed:
        open();
        break;
    case State::opening:
        break; // the bind that follows the session takes the new set
    case State::bound:
        if (changed) {
            shortcuts_.setState(State::opening);
            bindShortcuts();
        }
        break;
    }
}

void GlobalShortcutsBackend::clearActions() {
    shortcuts_.clearActions();
}

void GlobalShortcutsBackend::open() {
    requests_.cancelAll();
    session_.reset();
    bound_.clear();
    ++generation_;
    shortcuts_.setState(State::opening);
    const quint64 generation = generation_;
    // The same session token at every start: Plasma 5.27 names the shortcuts' kglobalaccel
    // component after the app id and this token, so the keys the user gave them stay theirs. Its
    // portal also takes the shortcuts from CreateSession (an early draft of the interface) and
    // only reports them at BindShortcuts; portals of the published interface drop the option.
    // A session opened again in the same process (after a failure) takes another token: the
    // portal may not have closed the last one yet.
    const QString token = generation == 1 ? kSessionToken : kSessionToken + QLatin1Char('_') + QString::number(generation);
    QVariantMap options{{QStringLiteral("session_handle_token"), token},
                        {QStringLiteral("shortcuts"), QVariant::fromValue(wantedShortcuts())}};
    requests_.call(kGlobalShortcuts, QStringLiteral("CreateSession"), {}, options, options_.requestTimeout,
                   [this, generation](const platform::PortalResult& result) {
                       if (generation != generation_) return;
                       if (!result.ok()) {
                           fail(QStringLiteral("the GlobalShortcuts portal failed at CreateSession: %1").arg(result.error));
                           return;
                       }
                       const QVariant handle = result.results.value(QStringLiteral("session_handle"));
                       const QString path = handle.userType() == qMetaTypeId<QDBusObjectPath>()
                                                ? handle.value<QDBusObjectPath>().path()
                                                : handle.toString();
                       if (path.isEmpty()) {
                           fail(QStringLiteral("the GlobalShortcuts portal gave no session"));
                           return;
                       }
                       session_ = std::make_unique<platform::PortalSessionHandle>(bus_, options_.service, path,
                                                                                  [this] { sessionClosed(); });
                       bindShortcuts();
                   });
}

QList<PortalShortcut> GlobalShortcutsBackend::wantedShortcuts() const {
    QList<PortalShortcut> shortcuts;
    for (const auto& [id, description] : ShortcutActions::wanted(wantToggle_, wantPushToTalk_)) {
        shortcuts.append({id, {{QStringLiteral("description"), description}}});
    }
    return shortcuts;
}

QString GlobalShortcutsBackend::sessionPath() const {
    return session_ ? session_->path() : QString();
}

void GlobalShortcutsBackend::bindShortcuts() {
    const QList<PortalShortcut> shortcuts = wantedShortcuts();
    requested_.clear();
    for (const PortalShortcut& s : shortcuts) {
        requested_ << s.id;
    }
    const quint64 generation = generation_;
    requests_.call(
        kGlobalShortcuts, QStringLiteral("BindShortcuts"),
        {QVariant::fromValue(QDBusObjectPath(session_->path())), QVariant::fromValue(shortcuts), QString()}, {},
        options_.bindTimeout, [this, generation](const platform::PortalResult& result) {
            if (generation != generation_) return;
            if (!result.ok()) {
                fail(result.status == platform::PortalResult::Status::denied
                         ? QStringLiteral("the shortcuts were declined in the desktop's dialog")
                         : QStringLiteral("the GlobalShortcuts portal failed at BindShortcuts: %1").arg(result.error));
                return;
            }
            bound_.clear();
            for (const PortalShortcut& s : shortcutsOf(result.results.value(QStringLiteral("shortcuts")))) {
                if (requested_.contains(s.id)) {
                    bound_.insert(s.id, s.properties.value(QStringLiteral("trigger_description")).toString());
                }
            }
            if (!requested_.isEmpty() && bound_.isEmpty()) {
                fail(QStringLiteral("the GlobalShortcuts portal bound none of the shortcuts"));
                return;
            }
            QStringList names;
            for (auto it = bound_.cbegin(); it != bound_.cend(); ++it) {
                names << (it.value().isEmpty() ? it.key() : QStringLiteral("%1 (%2)").arg(it.key(), it.value()));
            }
            qCInfo(lcHotkey, "GlobalShortcuts portal: bound %s", qUtf8Printable(names.join(QStringLiteral(", "))));
            shortcuts_.succeed(State::bound);
        });
}

void GlobalShortcutsBackend::fail(const QString& error) {
    requests_.cancelAll();
    shortcuts_.fail(error);
}

void GlobalShortcutsBackend::sessionClosed() {
    requests_.cancelAll();
    ++generation_;
    bound_.clear();
    session_.release()->deleteLater(); // called from its own signal; it is closed already
    shortcuts_.fail(QStringLiteral("the desktop closed the shortcuts session"), State::closed);
}

void GlobalShortcutsBackend::onShortcutSignal(const QDBusMessage& message) {
    const QVariantList args = message.arguments();
    if (args.size() < 2) {
        return;
    }
    const QDBusObjectPath session = qdbus_cast<QDBusObjectPath>(args.at(0));
    const QString id = args.at(1).toString();
    if (message.member() == QLatin1String("Activated")) {
        onActivated(session, id);
    } else {
        onDeactivated(session, id);
    }
}

void GlobalShortcutsBackend::onActivated(const QDBusObjectPath& session, const QString& id) {
    if (state() != State::bound || !session_ || session.path() != session_->path() || !bound_.contains(id)) {
        return;
    }
    shortcuts_.pressed(id);
}

void GlobalShortcutsBackend::onDeactivated(const QDBusObjectPath& session, const QString& id) {
    if (!session_ || session.path() != session_->path()) {
        return;
    }
    shortcuts_.released(id);
}

} // namespace quillory
