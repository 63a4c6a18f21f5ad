#include "Input/atspi/AtspiFocus.h"

#include "Runtime/Lifetime.h"
#include "Runtime/Scheduler.h"
#include "Runtime/Log.h"

#include <atspi/atspi-constants.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quillory::input {

namespace {

const QString kRole = QStringLiteral("AXRole");
const QString kValue = QStringLiteral("AXValue");
const QString kSelectedText = QStringLiteral("AXSelectedText");

const QString kRegistryService = QStringLiteral("org.a11y.atspi.Registry");
const QString kRootPath = QStringLiteral("/org/a11y/atspi/accessible/root");
const QString kNullPath = QStringLiteral("/org/a11y/atspi/null");
const QString kAccessibleInterface = QStringLiteral("org.a11y.atspi.Accessible");
const QString kTextInterface = QStringLiteral("org.a11y.atspi.Text");
const QString kEditableTextInterface = QStringLiteral("org.a11y.atspi.EditableText");
const QString kFocusedState = QStringLiteral("focused");

/// An accessible object: the application's connection on the bus and the object's path.
struct ObjectRef {
    QString service;
    QString path;
    bool isNull() const { return service.isEmpty() || path.isEmpty() || path == kNullPath; }
    bool operator==(const ObjectRef&) const = default;
};

/// The time one read may still wait on the bus.
class Deadline {
public:
    explicit Deadline(std::chrono::milliseconds bound) : boundMs_(bound.count()) { clock_.start(); }
    qint64 leftMs() const { return boundMs_ - clock_.elapsed(); }
    bool expired() const { return leftMs() <= 0; }

private:
    qint64 boundMs_;
    QElapsedTimer clock_;
};

/// How a bus call ended.
enum class CallResult { answered, unsupported, failed };

/// One method call that waits at most what is left of `deadline` (Qt's D-Bus thread reads the
/// answer; nothing else runs on this thread meanwhile). `reply` holds the answer's arguments.
CallResult call(const QDBusConnection& bus, const ObjectRef& target, const QString& interface,
                const QString& method, const QVariantList& arguments, const Deadline& deadline,
                QVariantList* reply = nullptr) {
    const qint64 left = deadline.leftMs();
    if (left <= 0) {
        return CallResult::failed;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(target.service, target.path, interface, method);
    message.setArguments(arguments);
    const QDBusMessage answer = bus.call(message, QDBus::Block, int(std::max<qint64>(left, 1)));
    if (answer.type() == QDBusMessage::ReplyMessage) {
        if (reply) {
            *reply = answer.arguments();
        }
        return CallResult::answered;
    }
    const QString error = answer.errorName();
    qCDebug(lcInput, "Accessibility call %s failed: %s %s", qPrintable(method), qPrintable(error),
            qPrintable(answer.errorMessage()));
    if (error == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod") ||
        error == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface") ||
        error == QLatin1String("org.freedesktop.DBus.Error.NotSupported")) {
        return CallResult::unsupported;
    }
    return CallResult::failed;
}

ObjectRef readRef(const QDBusArgument& argument) {
    ObjectRef ref;
    QDBusObjectPath path;
    argument.beginStructure();
    argument >> ref.service >> path;
    argument.endStructure();
    ref.path = path.path();
    return ref;
}

/// The children of an object (GetChildren), nullopt when the call fails.
std::optional<QList<ObjectRef>> childrenOf(const QDBusConnection& bus, const ObjectRef& node, const Deadline& deadline) {
    QVariantList reply;
    if (call(bus, node, kAccessibleInterface, QStringLiteral("GetChildren"), {}, deadline, &reply) !=
            CallResult::answered ||
        reply.isEmpty() || !reply.first().canConvert<QDBusArgument>()) {
        return std::nullopt;
    }
    QList<ObjectRef> children;
    const QDBusArgument argument = reply.first().value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
        ObjectRef child = readRef(argument);
        if (!child.isNull()) {
            children << child;
        }
    }
    argument.endArray();
    return children;
}

/// The state set of an object as one bit per AT-SPI state, nullopt when the call fails.
std::optional<quint64> statesOf(const QDBusConnection& bus, const ObjectRef& node, const Deadline& deadline) {
    QVariantList reply;
    if (call(bus, node, kAccessibleInterface, QStringLiteral("GetState"), {}, deadline, &reply) !=
            CallResult::answered ||
        reply.isEmpty()) {
        return std::nullopt;
    }
    const QList<uint> words = qdbus_cast<QList<uint>>(reply.first());
    quint64 bits = 0;
    for (qsizetype i = 0; i < std::min<qsizetype>(words.size(), 2); ++i) {
        bits |= quint64(words[i]) << (32 * i);
    }
    return bits;
}

bool has(quint64 states, AtspiStateType state) { return (states >> int(state)) & 1u; }

bool isTextLikeRole(const QString& axRole) {
    return axRole == QLatin1String("AXTextField") || axRole == QLatin1String("AXTextArea") ||
           axRole == QLatin1String("AXComboBox");
}

// ---- focus events ----

/// Follows the focus events of the bus: the element that last announced gaining focus.
class FocusEvents final : public QObject {
    Q_OBJECT
public:
    ObjectRef focused;

public Q_SLOTS:
    void stateChanged(const QDBusMessage& message) {
        const QVariantList arguments = message.arguments();
        if (arguments.size() < 2 || arguments[0].toString() != kFocusedState) {
            return;
        }
        const ObjectRef source{message.service(), message.path()};
        if (arguments[1].toInt() != 0) {
            focused = source;
        } else if (source == focused) {
            focused = {};
        }
    }
};

/// A connection being made on a helper thread (connecting waits on the bus, and a bus that
/// does not answer must not hold up the reader longer than its bound).
struct Connecting {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool connected = false;
    QString problem;
};

/// Whether the bus at a Unix socket address answers the start of a connection within
/// `timeoutMs`. A frozen bus daemon takes connections and never answers them; Qt's D-Bus would
/// wait for it 25 s on its own thread, holding up every other D-Bus connection of the process, so
/// a bus is only connected once it has answered here. Other kinds of address are not checked.
bool busAnswers(const QString& address, int timeoutMs) {
    const QString unix = address.split(QLatin1Char(';')).value(0);
    if (!unix.startsWith(QLatin1String("unix:"))) {
        return true;
    }
    sockaddr_un socketAddress{};
    socketAddress.sun_family = AF_UNIX;
    socklen_t length = 0;
    for (const QString& part : unix.mid(5).split(QLatin1Char(','))) {
        const QByteArray value = QByteArray::fromPercentEncoding(part.section(QLatin1Char('='), 1).toUtf8());
        const bool abstract = part.startsWith(QLatin1String("abstract="));
        if ((abstract || part.startsWith(QLatin1String("path="))) &&
            value.size() + 1 < qsizetype(sizeof socketAddress.sun_path)) {
            std::memcpy(socketAddress.sun_path + (abstract ? 1 : 0), value.constData(), size_t(value.size()));
            length = socklen_t(offsetof(sockaddr_un, sun_path) + (abstract ? 1 : 0) + size_t(value.size()));
        }
    }
    if (length == 0) {
        return true; // (unix:dir=, unix:tmpdir=: only a server listens on those)
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return true;
    }
    bool answered = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&socketAddress), length) == 0) {
        // The first line of the D-Bus handshake; any answer shows the bus is serving.
        const QByteArray hello =
            QByteArray(1, '\0') + "AUTH EXTERNAL " + QByteArray::number(uint(::getuid())).toHex() + "\r\n";
        if (::send(fd, hello.constData(), size_t(hello.size()), MSG_NOSIGNAL) == hello.size()) {
            pollfd wait{fd, POLLIN, 0};
            char answer[64];
            answered = ::poll(&wait, 1, timeoutMs) == 1 && ::recv(fd, answer, sizeof answer, 0) > 0;
        }
    }
    ::close(fd);
    return answered;
}

/// Finds and connects the accessibility bus on a helper thread, then calls `finished` on the
/// thread of the application object.
void connectInBackground(const std::shared_ptr<Connecting>& connecting, const QString& name, QString address,
                         std::function<void()> finished) {
    std::thread([connecting, name, address, finished = std::move(finished)]() mutable {
        QString problem;
        if (address.isEmpty()) {
            address = qEnvironmentVariable("AT_SPI_BUS_ADDRESS");
        }
        if (address.isEmpty()) {
            // The session bus names the accessibility bus (starting it when needed).
            const QDBusConnection session = QDBusConnection::sessionBus();
            QDBusMessage ask = QDBusMessage::createMethodCall(QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                                                              QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress"));
            const QDBusMessage answer = session.isConnected() ? session.call(ask, QDBus::Block, 5000) : QDBusMessage();
            if (answer.type() == QDBusMessage::ReplyMessage) {
                address = answer.arguments().value(0).toString();
            }
            if (address.isEmpty()) {
                problem = session.isConnected() ? answer.errorMessage() : QStringLiteral("no session bus");
            }
        }
        bool connected = false;
        if (!address.isEmpty() && !busAnswers(address, 3000)) {
            problem = QStringLiteral("the bus does not answer");
        } else if (!address.isEmpty()) {
            const QDBusConnection bus = QDBusConnection::connectToBus(address, name);
            connected = bus.isConnected();
            if (!connected) {
                problem = bus.lastError().message();
                QDBusConnection::disconnectFromBus(name);
            }
        }
        {
            std::lock_guard lock(connecting->mutex);
            connecting->finished = true;
            connecting->connected = connected;
            connecting->problem = problem;
            connecting->done.notify_all();
        }
        if (QCoreApplication* app = QCoreApplication::instance()) {
            QMetaObject::invokeMethod(app, std::move(finished), Qt::QueuedConnection);
        }
    }).detach();
}

// ---- the element ----

/// The focused element: its role and (for a text-like element that is not a password field)
/// its value were read with the element; the selection and writes ask the bus again, each
/// waiting at most the bound.
class AtspiElement final : public AccessibleElement {
public:
    AtspiElement(QString connectionName, ObjectRef ref, QString atspiRole, bool singleLine,
                 std::chrono::milliseconds bound)
        : connectionName_(std::move(connectionName)), ref_(std::move(ref)), atspiRole_(std::move(atspiRole)),
          singleLine_(singleLine), bound_(bound) {}

    bool secret() const { return isSecretAtspiRole(atspiRole_); }
    QString axRole() const { return axRoleForAtspiRole(atspiRole_, singleLine_); }

    /// Reads the value now: false when the bus did not answer within `deadline`.
    bool readValue(const Deadline& deadline) {
        value_ = text(0, -1, deadline);
        return value_.has_value();
    }

    std::optional<QVariant> attribute(const QString& name) const override {
        if (name == kRole) {
            return QVariant(axRole());
        }
        if (name != kValue && name != kSelectedText) {
            return QVariant();
        }
        if (secret()) {
            return std::nullopt; // never read a password field
        }
        if (name == kValue && value_) {
            return value_;
        }
        const Deadline deadline(bound_);
        if (name == kValue) {
            return text(0, -1, deadline);
        }
        QVariantList reply;
        switch (call(bus(), ref_, kTextInterface, QStringLiteral("GetNSelections"), {}, deadline, &reply)) {
        case CallResult::unsupported:
            return QVariant();
        case CallResult::failed:
            return std::nullopt;
        case CallResult::answered:
            break;
        }
        if (reply.value(0).toInt() <= 0) {
            return QVariant(QString());
        }
        if (call(bus(), ref_, kTextInterface, QStringLiteral("GetSelection"), {0}, deadline, &reply) !=
                CallResult::answered ||
            reply.size() < 2) {
            return std::nullopt;
        }
        return text(reply[0].toInt(), reply[1].toInt(), deadline);
    }

    bool setAttribute(const QString& name, const QVariant& value) override {
        if (secret() || (name != kValue && name != kSelectedText)) {
            return false;
        }
        const Deadline deadline(bound_);
        QVariantList reply;
        const QString text = value.toString();
        if (name == kValue) {
            return call(bus(), ref_, kEditableTextInterface, QStringLiteral("SetTextContents"), {text}, deadline,
                        &reply) == CallResult::answered &&
                   reply.value(0).toBool();
        }
        // The selected text: replace the selection, or insert at the caret.
        if (call(bus(), ref_, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                 {kTextInterface, QStringLiteral("CaretOffset")}, deadline, &reply) != CallResult::answered) {
            return false;
        }
        int position = qdbus_cast<QDBusVariant>(reply.value(0)).variant().toInt();
        if (call(bus(), ref_, kTextInterface, QStringLiteral("GetNSelections"), {}, deadline, &reply) !=
            CallResult::answered) {
            return false;
        }
        if (reply.value(0).toInt() > 0) {
            if (call(bus(), ref_, kTextInterface, QStringLiteral("GetSelection"), {0}, deadline, &reply) !=
                    CallResult::answered ||
                reply.size() < 2) {
                return false;
            }
            const int start = reply[0].toInt();
            const int end = reply[1].toInt();
            if (call(bus(), ref_, kEditableTextInterface, QStringLiteral("DeleteText"), {start, end}, deadline) !=
                CallResult::answered) {
                return false;
            }
            position = start;
        }
        return call(bus(), ref_, kEditableTextInterface, QStringLiteral("InsertText"),
                    {position, text, int(text.size())}, deadline, &reply) == CallResult::answered &&
               reply.value(0).toBool();
    }

private:
    QDBusConnection bus() const { return QDBusConnection(connectionName_); }

    /// The text between two offsets (-1: the end): absent without a text interface, nullopt on
    /// a failure.
    std::optional<QVariant> text(int start, int end, const Deadline& deadline) const {
        QVariantList reply;
        switch (call(bus(), ref_, kTextInterface, QStringLiteral("GetText"), {start, end}, deadline, &reply)) {
        case CallResult::unsupported:
            return QVariant();
        case CallResult::failed:
            return std::nullopt;
        case CallResult::answered:
            break;
        }
        return QVariant(reply.value(0).toString());
    }

    QString connectionName_;
    ObjectRef ref_;
    QString atspiRole_;
    bool singleLine_;
    std::chrono::milliseconds bound_;
    std::optional<QVariant> value_;
};

} // namespace

// ---- the provider ----

struct AtspiFocusedElementProvider::State {
    enum class Bus { unknown, connecting, connected, unavailable };

    /// The connection made on the helper thread is taken up only while this state lives.
    Lifetime<State> lifetime{this};

    Limits limits;
    QString connectionName;
    Bus bus = Bus::unknown;
    bool toldUnavailable = false;
    Duration lastAttempt{};
    std::shared_ptr<Connecting> connecting;
    /// Whether a read already waited for the connection being made (one read waits, once).
    bool waitedForConnecting = false;
    std::unique_ptr<FocusEvents> events;
    /// The process behind each application's bus name (asked once per name).
    QHash<QString, uint> processIds;
    bool answeredFromEvents = false;

    QDBusConnection connection() const { return QDBusConnection(connectionName); }

    bool busMayExist() const {
        return !limits.busAddress.isEmpty() || !qEnvironmentVariableIsEmpty("AT_SPI_BUS_ADDRESS") ||
               !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS");
    }

    /// Starts connecting on a helper thread; the connection is taken up on this thread as soon
    /// as it is made (so focus events are followed from then on), or by the next read.
    void startConnecting() {
        lastAttempt = Scheduler::current().monotonicNow();
        if (!busMayExist() || !QCoreApplication::instance()) {
            becomeUnavailable(QStringLiteral("no session bus"));
            return;
        }
        bus = Bus::connecting;
        waitedForConnecting = false;
        connecting = std::make_shared<Connecting>();
        connectInBackground(connecting, connectionName, limits.busAddress,
                            [weak = lifetime.ref()] {
                                if (State* self = weak.get()) {
                                    self->takeUpConnection(nullptr);
                                }
                            });
    }

    void becomeUnavailable(const QString& problem) {
        bus = Bus::unavailable;
        lastAttempt = Scheduler::current().monotonicNow();
        if (!toldUnavailable) {
            toldUnavailable = true;
            qCInfo(lcInput, "No accessibility bus (%s): the focused field is not read", qPrintable(problem));
        }
    }

    /// Takes up the connection being made once it is done. A read (`deadline`) waits for it at
    /// most what is left of its bound, and only the first read after connecting started.
    void takeUpConnection(const Deadline* deadline) {
        if (bus != Bus::connecting) {
            return;
        }
        std::unique_lock lock(connecting->mutex);
        if (deadline && !waitedForConnecting) {
            waitedForConnecting = true;
            connecting->done.wait_for(lock, std::chrono::milliseconds(std::max<qint64>(deadline->leftMs(), 0)),
                                      [&] { return connecting->finished; });
            if (!connecting->finished) {
                qCWarning(lcInput, "The accessibility bus does not answer yet: the focused field is not read");
            }
        }
        if (!connecting->finished) {
            return; // still waiting on the bus: no element until it answers
        }
        const bool connected = connecting->connected;
        const QString problem = connecting->problem;
        lock.unlock();
        connecting.reset();
        if (!connected) {
            becomeUnavailable(problem);
            return;
        }
        bus = Bus::connected;
        listenToFocusEvents();
    }

    /// Connected and listening to focus events (see `takeUpConnection` for the wait).
    bool ensureConnected(const Deadline& deadline) {
        if (bus == Bus::unavailable && Scheduler::current().monotonicNow() - lastAttempt >= limits.retryAfter) {
            bus = Bus::unknown;
        }
        if (bus == Bus::unknown) {
            startConnecting();
        }
        takeUpConnection(&deadline);
        if (bus == Bus::connected && !connection().isConnected()) {
            QDBusConnection::disconnectFromBus(connectionName);
            events.reset();
            becomeUnavailable(QStringLiteral("the accessibility bus went away"));
        }
        return bus == Bus::connected;
    }

    void listenToFocusEvents() {
        events = std::make_unique<FocusEvents>();
        QDBusConnection bus = connection();
        bus.connect(QString(), QString(), QStringLiteral("org.a11y.atspi.Event.Object"), QStringLiteral("StateChanged"),
                    {kFocusedState}, QString(), events.get(), SLOT(stateChanged(QDBusMessage)));
        // Applications send focus events only while someone has asked for them; nothing waits
        // for the answer.
        QDBusMessage registerEvent = QDBusMessage::createMethodCall(
            kRegistryService, QStringLiteral("/org/a11y/atspi/registry"), QStringLiteral("org.a11y.atspi.Registry"),
            QStringLiteral("RegisterEvent"));
        registerEvent.setArguments({QStringLiteral("object:state-changed:focused")});
        bus.asyncCall(registerEvent, int(std::max<qint64>(limits.bound.count(), 1000)));
    }

    /// Whether the application behind `service` is this process; nullopt when that cannot be told.
    std::optional<bool> isOwnProcess(const QString& service, const Deadline& deadline) {
        auto known = processIds.constFind(service);
        if (known == processIds.constEnd()) {
            QVariantList reply;
            if (call(connection(), {QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus")},
                     QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"), {service},
                     deadline, &reply) != CallResult::answered) {
                return std::nullopt;
            }
            known = processIds.insert(service, reply.value(0).toUInt());
        }
        return *known == uint(getpid());
    }

    /// The element for a focused object, its value read when it is a text field; null when the
    /// bus does not answer in time.
    std::shared_ptr<AccessibleElement> describe(const ObjectRef& ref, quint64 states, const Deadline& deadline) {
        QVariantList reply;
        if (call(connection(), ref, kAccessibleInterface, QStringLiteral("GetRole"), {}, deadline, &reply) !=
            CallResult::answered) {
            return nullptr;
        }
        auto element = std::make_shared<AtspiElement>(connectionName, ref, atspiRoleName(reply.value(0).toUInt()),
                                                      // Qt marks only multi-line text; a "text" without that is a line.
                                                      !has(states, ATSPI_STATE_MULTI_LINE), limits.bound);
        if (isTextLikeRole(element->axRole()) && !element->secret() && !element->readValue(deadline)) {
            return nullptr;
        }
        return element;
    }

    struct Search {
        const Deadline& deadline;
        int nodesLeft;
        bool exhausted() { return nodesLeft-- <= 0 || deadline.expired(); }
    };

    /// The focused node under `node` (with its states), visiting only showing nodes.
    std::optional<std::pair<ObjectRef, quint64>> findFocused(const ObjectRef& node, Search& search, int depth) {
        if (search.exhausted() || depth > 64) {
            return std::nullopt;
        }
        const std::optional<quint64> states = statesOf(connection(), node, search.deadline);
        if (!states) {
            return std::nullopt;
        }
        if (has(*states, ATSPI_STATE_FOCUSED)) {
            return std::make_pair(node, *states);
        }
        if ((depth > 0 && !has(*states, ATSPI_STATE_SHOWING)) ||
            // Tables and lists with many rows manage their own focus; their children are not walked.
            has(*states, ATSPI_STATE_MANAGES_DESCENDANTS)) {
            return std::nullopt;
        }
        const auto children = childrenOf(connection(), node, search.deadline);
        for (const ObjectRef& child : children.value_or(QList<ObjectRef>())) {
            if (auto found = findFocused(child, search, depth + 1)) {
                return found;
            }
            if (search.exhausted()) {
                break;
            }
        }
        return std::nullopt;
    }

    std::shared_ptr<AccessibleElement> focusedElement() {
        answeredFromEvents = false;
        const Deadline deadline(limits.bound);
        if (!ensureConnected(deadline)) {
            return nullptr;
        }
        const QDBusConnection bus = connection();
        // The element that last announced gaining focus, while it still has it.
        if (events && !events->focused.isNull()) {
            const ObjectRef focused = events->focused;
            const std::optional<quint64> states = statesOf(bus, focused, deadline);
            if (states && has(*states, ATSPI_STATE_FOCUSED) && isOwnProcess(focused.service, deadline) == false) {
                auto element = describe(focused, *states, deadline);
                answeredFromEvents = element != nullptr;
                return element;
            }
        }
        // Else the focused descendant of an active window of another application.
        Search search{deadline, limits.maxNodes};
        const auto apps = childrenOf(bus, {kRegistryService, kRootPath}, deadline);
        for (const ObjectRef& app : apps.value_or(QList<ObjectRef>())) {
            if (search.exhausted()) {
                break;
            }
            if (isOwnProcess(app.service, deadline) != false) {
                continue;
            }
            const auto windows = childrenOf(bus, app, deadline);
            for (const ObjectRef& window : windows.value_or(QList<ObjectRef>())) {
                if (search.exhausted()) {
                    break;
                }
                const std::optional<quint64> states = statesOf(bus, window, deadline);
                if (!states || !has(*states, ATSPI_STATE_ACTIVE)) {
                    continue;
                }
                if (auto found = findFocused(window, search, 0)) {
                    return describe(found->first, found->second, deadline);
                }
            }
        }
        if (deadline.expired() || search.nodesLeft <= 0) {
            qCDebug(lcInput, "The focused element search stopped at its limit");
        }
        return nullptr;
    }
};

QString axRoleForAtspiRole(const QString& atspiRoleName, bool singleLine) {
    static const QHash<QString, QString> roles = {
        {QStringLiteral("entry"), QStringLiteral("AXTextField")},
        {QStringLiteral("text"), QStringLiteral("AXTextArea")},
        {QStringLiteral("paragraph"), QStringLiteral("AXTextArea")},
        {QStringLiteral("document text"), QStringLiteral("AXTextArea")},
        {QStringLiteral("combo box"), QStringLiteral("AXComboBox")},
        {QStringLiteral("password text"), QStringLiteral("AXSecureTextField")},
        {QStringLiteral("push button"), QStringLiteral("AXButton")},
        {QStringLiteral("document web"), QStringLiteral("AXWebArea")},
    };
    const QString key = atspiRoleName.trimmed().toLower();
    if (singleLine && key == QLatin1String("text")) {
        return QStringLiteral("AXTextField");
    }
    return roles.value(key, key.isEmpty() ? QString() : QStringLiteral("AXUnknown"));
}

bool isSecretAtspiRole(const QString& atspiRoleName) {
    return atspiRoleName.trimmed().compare(QLatin1String("password text"), Qt::CaseInsensitive) == 0;
}

QString atspiRoleName(uint role) {
    switch (role) {
    case ATSPI_ROLE_ENTRY:
        return QStringLiteral("entry");
    case ATSPI_ROLE_TEXT:
        return QStringLiteral("text");
    case ATSPI_ROLE_PARAGRAPH:
        return QStringLiteral("paragraph");
    case ATSPI_ROLE_DOCUMENT_TEXT:
        return QStringLiteral("document text");
    case ATSPI_ROLE_COMBO_BOX:
        return QStringLiteral("combo box");
    case ATSPI_ROLE_PASSWORD_TEXT:
        return QStringLiteral("password text");
    case ATSPI_ROLE_PUSH_BUTTON:
        return QStringLiteral("push button");
    case ATSPI_ROLE_DOCUMENT_WEB:
        return QStringLiteral("document web");
    case ATSPI_ROLE_TERMINAL:
        return QStringLiteral("terminal");
    case ATSPI_ROLE_LABEL:
        return QStringLiteral("label");
    default:
        return QStringLiteral("role %1").arg(role);
    }
}

AtspiFocusedElementProvider::AtspiFocusedElementProvider() : AtspiFocusedElementProvider(Limits{}) {}

AtspiFocusedElementProvider::AtspiFocusedElementProvider(Limits limits) : state_(std::make_shared<State>()) {
    static std::atomic<int> instances{0};
    state_->limits = std::move(limits);
    state_->connectionName = QStringLiteral("quillory-accessibility-%1").arg(++instances);
    // Connect now, so that the focus events are followed before the first read.
    if (state_->busMayExist() && QCoreApplication::instance()) {
        state_->startConnecting();
    }
}

AtspiFocusedElementProvider::~AtspiFocusedElementProvider() {
    if (state_->bus == State::Bus::connected) {
        QDBusConnection::disconnectFromBus(state_->connectionName);
    }
    // A connection still being made finishes on its own thread and is left to the process.
}

bool AtspiFocusedElementProvider::available() {
    return state_->ensureConnected(Deadline(state_->limits.bound));
}

bool AtspiFocusedElementProvider::answeredFromEvents() const { return state_->answeredFromEvents; }

std::shared_ptr<AccessibleElement> AtspiFocusedElementProvider::focusedElement() {
    return state_->focusedElement();
}

} // namespace quillory::input

#include "AtspiFocus.moc"
