// The org.gnome.Mutter.RemoteDesktop session over Qt D-Bus.
#include "Input/gnome/MutterRemoteDesktop.h"

#include "Runtime/Log.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QUuid>

#include <fcntl.h>

namespace quillory::input {

namespace {

const QString kService = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
const QString kSessionInterface = QStringLiteral("org.gnome.Mutter.RemoteDesktop.Session");
constexpr int kCallLimitMs = 3000;

class DBusSession final : public QObject, public MutterSessionBus {
    Q_OBJECT
public:
    DBusSession() : name_(QStringLiteral("quillory-mutter-") + QUuid::createUuid().toString(QUuid::Id128)) {}
    ~DBusSession() override {
        close();
        QDBusConnection::disconnectFromBus(name_);
    }

    Expected<> open(Events events) override {
        close();
        QDBusConnection bus = connection();
        if (!bus.isConnected()) {
            return Failure{QStringLiteral("session bus: %1").arg(bus.lastError().message())};
        }
        if (!(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
            return Failure{QStringLiteral("the session bus does not pass file descriptors")};
        }
        const QDBusMessage created = bus.call(
            QDBusMessage::createMethodCall(kService, QStringLiteral("/org/gnome/Mutter/RemoteDesktop"), kService,
                                           QStringLiteral("CreateSession")),
            QDBus::Block, kCallLimitMs);
        if (created.type() != QDBusMessage::ReplyMessage || created.arguments().isEmpty()) {
            return Failure{QStringLiteral("CreateSession: %1").arg(created.errorMessage())};
        }
        path_ = created.arguments().first().value<QDBusObjectPath>().path();
        events_ = std::move(events);
        bus.connect(kService, path_, kSessionInterface, QStringLiteral("SelectionOwnerChanged"), this,
                    SLOT(ownerChanged(QDBusMessage)));
        bus.connect(kService, path_, kSessionInterface, QStringLiteral("SelectionTransfer"), this,
                    SLOT(transfer(QDBusMessage)));
        bus.connect(kService, path_, kSessionInterface, QStringLiteral("Closed"), this, SLOT(closedSignal()));
        watcher_ = std::make_unique<QDBusServiceWatcher>(kService, bus, QDBusServiceWatcher::WatchForUnregistration);
        connect(watcher_.get(), &QDBusServiceWatcher::serviceUnregistered, this, &DBusSession::closedSignal);
        for (const auto& [method, args] : std::initializer_list<std::pair<const char*, QVariantList>>{
                 {"Start", {}}, {"EnableClipboard", {QVariant::fromValue(QVariantMap{})}}}) {
            const QDBusMessage reply = call(QString::fromLatin1(method), args);
            if (reply.type() != QDBusMessage::ReplyMessage) {
                const QString why = QStringLiteral("%1: %2").arg(QString::fromLatin1(method), reply.errorMessage());
                close();
                return Failure{why};
            }
        }
        // mutter tells of the clipboard's current owner as the clipboard is enabled: hand that
        // signal on now, before anyone reads the clipboard.
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
        return {};
    }

    void close() override {
        if (path_.isEmpty()) {
            return;
        }
        QDBusConnection bus = connection();
        bus.disconnect(kService, path_, kSessionInterface, QStringLiteral("SelectionOwnerChanged"), this,
                       SLOT(ownerChanged(QDBusMessage)));
        bus.disconnect(kService, path_, kSessionInterface, QStringLiteral("SelectionTransfer"), this,
                       SLOT(transfer(QDBusMessage)));
        bus.disconnect(kService, path_, kSessionInterface, QStringLiteral("Closed"), this, SLOT(closedSignal()));
        watcher_.reset();
        // Stopping a session that already ended fails harmlessly; no wait for the answer.
        bus.call(QDBusMessage::createMethodCall(kService, path_, kSessionInterface, QStringLiteral("Stop")),
                 QDBus::NoBlock);
        path_.clear();
        events_ = {};
    }

    Expected<> keysym(quint32 keysym, bool down) override {
        return done(call(QStringLiteral("NotifyKeyboardKeysym"), {QVariant::fromValue(keysym), QVariant(down)}));
    }

    Expected<> setSelection(const QStringList& mimeTypes) override {
        QVariantMap options;
        if (!mimeTypes.isEmpty()) {
            options.insert(QStringLiteral("mime-types"), QVariant::fromValue(mimeTypes));
        }
        return done(call(QStringLiteral("SetSelection"), {QVariant::fromValue(options)}));
    }

    Expected<int> selectionWrite(quint32 serial) override {
        return descriptor(call(QStringLiteral("SelectionWrite"), {QVariant::fromValue(serial)}));
    }

    void selectionWriteDone(quint32 serial, bool success) override {
        if (path_.isEmpty()) {
            return;
        }
        QDBusMessage message =
            QDBusMessage::createMethodCall(kService, path_, kSessionInterface, QStringLiteral("SelectionWriteDone"));
        message.setArguments({QVariant::fromValue(serial), QVariant(success)});
        connection().call(message, QDBus::NoBlock);
    }

    Expected<int> selectionRead(const QString& mimeType) override {
        return descriptor(call(QStringLiteral("SelectionRead"), {mimeType}));
    }

private Q_SLOTS:
    void ownerChanged(const QDBusMessage& message) {
        if (!events_.ownerChanged || message.arguments().isEmpty()) {
            return;
        }
        QVariantMap options;
        message.arguments().first().value<QDBusArgument>() >> options;
        QStringList types;
        const QVariant typesValue = options.value(QStringLiteral("mime-types"));
        if (typesValue.canConvert<QDBusArgument>()) {
            // mutter 43 sends the list wrapped in a one-element tuple, "(as)".
            const QDBusArgument argument = typesValue.value<QDBusArgument>();
            if (argument.currentSignature() == QLatin1String("(as)")) {
                argument.beginStructure();
                argument >> types;
                argument.endStructure();
            } else {
                argument >> types;
            }
        } else {
            types = typesValue.toStringList();
        }
        events_.ownerChanged(types, options.value(QStringLiteral("session-is-owner")).toBool());
    }
    void transfer(const QDBusMessage& message) {
        if (events_.transfer && message.arguments().size() >= 2) {
            events_.transfer(message.arguments().at(0).toString(), message.arguments().at(1).toUInt());
        }
    }
    void closedSignal() {
        if (auto closed = events_.closed) {
            closed();
        }
    }

private:
    QDBusConnection connection() const { return QDBusConnection::connectToBus(QDBusConnection::SessionBus, name_); }

    QDBusMessage call(const QString& method, const QVariantList& args) {
        if (path_.isEmpty()) {
            return QDBusMessage::createError(QDBusError::Disconnected, QStringLiteral("no session"));
        }
        QDBusMessage message = QDBusMessage::createMethodCall(kService, path_, kSessionInterface, method);
        message.setArguments(args);
        return connection().call(message, QDBus::Block, kCallLimitMs);
    }

    static Expected<> done(const QDBusMessage& reply) {
        if (reply.type() == QDBusMessage::ReplyMessage) {
            return {};
        }
        return Failure{reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage()};
    }

    static Expected<int> descriptor(const QDBusMessage& reply) {
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            return Failure{reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage()};
        }
        const auto fd = reply.arguments().first().value<QDBusUnixFileDescriptor>();
        const int own = fd.isValid() ? fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
        if (own < 0) {
            return Failure{QStringLiteral("no file descriptor in the answer")};
        }
        return own;
    }

    QString name_;
    QString path_;
    Events events_;
    std::unique_ptr<QDBusServiceWatcher> watcher_;
};

} // namespace

std::unique_ptr<MutterSessionBus> makeMutterSessionBus() {
    return std::make_unique<DBusSession>();
}

} // namespace quillory::input

#include "MutterSessionBus.moc"
