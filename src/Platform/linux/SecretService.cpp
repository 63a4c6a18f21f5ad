#include "Platform/linux/SecretService.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QMap>

namespace quillory::platform {

namespace {

const QString kService = QStringLiteral("org.freedesktop.secrets");
const QString kServicePath = QStringLiteral("/org/freedesktop/secrets");
const QString kServiceInterface = QStringLiteral("org.freedesktop.Secret.Service");
const QString kCollectionInterface = QStringLiteral("org.freedesktop.Secret.Collection");
const QString kItemInterface = QStringLiteral("org.freedesktop.Secret.Item");
const QString kSessionInterface = QStringLiteral("org.freedesktop.Secret.Session");
constexpr int kCallTimeoutMs = 5000;

/// The Secret Service's secret: (session, parameters, value, content type).
struct Secret {
    QDBusObjectPath session;
    QByteArray parameters;
    QByteArray value;
    QString contentType;
};

using Attributes = QMap<QString, QString>;

} // namespace

} // namespace quillory::platform

Q_DECLARE_METATYPE(quillory::platform::Secret)

namespace quillory::platform {

namespace {

QDBusArgument& operator<<(QDBusArgument& out, const Secret& s) {
    out.beginStructure();
    out << s.session << s.parameters << s.value << s.contentType;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, Secret& s) {
    in.beginStructure();
    in >> s.session >> s.parameters >> s.value >> s.contentType;
    in.endStructure();
    return in;
}

void registerTypes() {
    static const bool registered = [] {
        qDBusRegisterMetaType<Secret>();
        qDBusRegisterMetaType<Attributes>();
        return true;
    }();
    (void)registered;
}

bool isNone(const QDBusObjectPath& path) {
    return path.path().isEmpty() || path.path() == QLatin1String("/");
}

/// One conversation with the service: a plain session, closed at the end.
class Conversation {
public:
    explicit Conversation(QDBusConnection bus) : bus_(std::move(bus)) { registerTypes(); }
    ~Conversation() {
        if (!isNone(session_)) {
            bus_.call(QDBusMessage::createMethodCall(kService, session_.path(), kSessionInterface,
                                                     QStringLiteral("Close")),
                      QDBus::Block, kCallTimeoutMs);
        }
    }

    /// Calls `method`; the reply's arguments or why it failed.
    Expected<QList<QVariant>> call(const QString& path, const QString& interface, const QString& method,
                                   const QVariantList& args = {}) {
        QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
        message.setArguments(args);
        const QDBusMessage reply = bus_.call(message, QDBus::Block, kCallTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage) {
            const QString name = reply.errorName();
            if (name == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
                name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
                return Failure{QStringLiteral("no secret service is running on this desktop (install and start "
                                              "GNOME Keyring or KWallet)")};
            }
            if (name == QLatin1String("org.freedesktop.Secret.Error.IsLocked")) {
                return lockedFailure();
            }
            return Failure{QStringLiteral("the secret service refused %1: %2").arg(method, reply.errorMessage())};
        }
        return reply.arguments();
    }

    static Failure lockedFailure() {
        return Failure{QStringLiteral("the keyring is locked: unlock it (for example by logging in again) and try "
                                      "again")};
    }

    /// Opens the session; why not.
    Expected<> open() {
        if (!bus_.isConnected()) {
            return Failure{QStringLiteral("there is no session bus, so no secret service")};
        }
        auto reply = call(kServicePath, kServiceInterface, QStringLiteral("OpenSession"),
                          {QStringLiteral("plain"), QVariant::fromValue(QDBusVariant(QString()))});
        if (!reply) {
            return Failure{reply.error()};
        }
        if (reply->size() < 2) {
            return Failure{QStringLiteral("the secret service answered OpenSession without a session")};
        }
        session_ = qvariant_cast<QDBusObjectPath>(reply->at(1));
        return {};
    }

    /// The items holding `name`, or why they cannot be used (locked ones are an error).
    Expected<QList<QDBusObjectPath>> find(const QString& name) {
        auto reply = call(kServicePath, kServiceInterface, QStringLiteral("SearchItems"),
                          {QVariant::fromValue(attributes(name))});
        if (!reply) {
            return Failure{reply.error()};
        }
        if (reply->size() < 2) {
            return Failure{QStringLiteral("the secret service answered SearchItems with nothing")};
        }
        const auto unlocked = qdbus_cast<QList<QDBusObjectPath>>(reply->at(0));
        const auto locked = qdbus_cast<QList<QDBusObjectPath>>(reply->at(1));
        if (unlocked.isEmpty() && !locked.isEmpty()) {
            return lockedFailure();
        }
        return unlocked;
    }

    static Attributes attributes(const QString& name) {
        return {{QStringLiteral("application"), QStringLiteral("quillory")}, {QStringLiteral("name"), name}};
    }

    const QDBusObjectPath& session() const { return session_; }

private:
    QDBusConnection bus_;
    QDBusObjectPath session_;
};

} // namespace

Expected<std::optional<QByteArray>> SecretServiceStore::read(const QString& name) {
    Conversation c(bus());
    if (auto opened = c.open(); !opened) {
        return Failure{opened.error()};
    }
    auto items = c.find(name);
    if (!items) {
        return Failure{items.error()};
    }
    if (items->isEmpty()) {
        return std::optional<QByteArray>();
    }
    auto reply = c.call(items->first().path(), kItemInterface, QStringLiteral("GetSecret"),
                        {QVariant::fromValue(c.session())});
    if (!reply) {
        return Failure{reply.error()};
    }
    if (reply->isEmpty()) {
        return Failure{QStringLiteral("the secret service answered GetSecret with nothing")};
    }
    const Secret secret = qdbus_cast<Secret>(reply->at(0));
    return std::optional<QByteArray>(secret.value);
}

Expected<> SecretServiceStore::write(const QString& name, const QByteArray& secret) {
    Conversation c(bus());
    if (auto opened = c.open(); !opened) {
        return opened;
    }
    auto alias = c.call(kServicePath, kServiceInterface, QStringLiteral("ReadAlias"), {QStringLiteral("default")});
    if (!alias) {
        return Failure{alias.error()};
    }
    const QDBusObjectPath collection = alias->isEmpty() ? QDBusObjectPath() : qvariant_cast<QDBusObjectPath>(alias->at(0));
    if (isNone(collection)) {
        return Failure{QStringLiteral("the secret service has no default keyring: create one (for example with "
                                      "Seahorse, \"Passwords and Keys\") and try again")};
    }
    QVariantMap properties;
    properties.insert(kItemInterface + QStringLiteral(".Label"), QStringLiteral("Quillory: API key (%1)").arg(name));
    properties.insert(kItemInterface + QStringLiteral(".Attributes"),
                      QVariant::fromValue(Conversation::attributes(name)));
    const Secret value{c.session(), {}, secret, QStringLiteral("text/plain")};
    auto created = c.call(collection.path(), kCollectionInterface, QStringLiteral("CreateItem"),
                          {properties, QVariant::fromValue(value), true});
    if (!created) {
        return Failure{created.error()};
    }
    if (created->size() < 2 || isNone(qvariant_cast<QDBusObjectPath>(created->at(0)))) {
        // A prompt instead of an item: the collection is locked (nothing was stored).
        return Conversation::lockedFailure();
    }
    return {};
}

Expected<> SecretServiceStore::remove(const QString& name) {
    Conversation c(bus());
    if (auto opened = c.open(); !opened) {
        return opened;
    }
    auto items = c.find(name);
    if (!items) {
        return Failure{items.error()};
    }
    for (const QDBusObjectPath& item : items.value()) {
        auto deleted = c.call(item.path(), kItemInterface, QStringLiteral("Delete"));
        if (!deleted) {
            return Failure{deleted.error()};
        }
        if (!deleted->isEmpty() && !isNone(qvariant_cast<QDBusObjectPath>(deleted->at(0)))) {
            return Conversation::lockedFailure();
        }
    }
    return {};
}

} // namespace quillory::platform
