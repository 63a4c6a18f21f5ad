#include "Platform/linux/PortalSession.h"

#include "Runtime/Log.h"

#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

#include <QCoreApplication>

#include <atomic>
#include <mutex>

namespace quillory::platform {

namespace {

bool isMissingPortal(const QString& errorName) {
    return errorName == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
           errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod") ||
           errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface") ||
           errorName == QLatin1String("org.freedesktop.DBus.Error.UnknownObject") ||
           errorName == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner");
}

} // namespace

struct PortalRequests::Pending {
    QString label; ///< "RemoteDesktop.Start", for messages
    Callback done;
    Timer timeout;
};

QDBusConnection portalBus() {
    static const QString name = QStringLiteral("quillory-portal");
    static std::once_flag opened;
    std::call_once(opened, [] {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
        announceAppId(bus, PortalNames::service);
    });
    return QDBusConnection(name);
}

void announceAppId(QDBusConnection& bus, const QString& service) {
    if (!bus.isConnected()) {
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, PortalNames::object, PortalNames::registry, QStringLiteral("Register"));
    call << PortalNames::appId << QVariantMap();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), QCoreApplication::instance());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [watcher] {
        watcher->deleteLater();
        const QDBusError error = watcher->error();
        if (!error.isValid()) {
            qCInfo(lcApp, "Desktop portal: registered as %s", qUtf8Printable(PortalNames::appId));
        } else if (isMissingPortal(error.name())) {
            qCDebug(lcApp, "Desktop portal: no host registry (%s)", qUtf8Printable(error.message()));
        } else {
            qCWarning(lcApp, "Desktop portal: registering as %s failed: %s", qUtf8Printable(PortalNames::appId),
                      qUtf8Printable(error.message()));
        }
    });
}

PortalRequests::PortalRequests(QDBusConnection bus, QString service)
    : bus_(std::move(bus)), service_(std::move(service)) {}

PortalRequests::~PortalRequests() {
    cancelAll();
}

QString PortalRequests::newToken() {
    static std::atomic<quint64> counter{0};
    return QStringLiteral("quillory_%1").arg(++counter);
}

QString PortalRequests::handlePath(const QString& kind, const QString& token) const {
    QString sender = bus_.baseService();
    if (sender.startsWith(QLatin1Char(':'))) {
        sender.remove(0, 1);
    }
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return QStringLiteral("/org/freedesktop/portal/desktop/%1/%2/%3").arg(kind, sender, token);
}

void PortalRequests::subscribe(const QString& path) {
    bus_.connect(service_, path, PortalNames::request, QStringLiteral("Response"), this,
                 SLOT(onResponse(uint, QVariantMap, QDBusMessage)));
}

void PortalRequests::unsubscribe(const QString& path) {
    bus_.disconnect(service_, path, PortalNames::request, QStringLiteral("Response"), this,
                    SLOT(onResponse(uint, QVariantMap, QDBusMessage)));
}

void PortalRequests::call(const QString& interface, const QString& method, const QVariantList& args,
                          QVariantMap options, Duration timeout, Callback done) {
    const QString label = interface.section(QLatin1Char('.'), -1) + QLatin1Char('.') + method;
    if (!bus_.isConnected()) {
        done({PortalResult::Status::missing, {},
              QStringLiteral("%1: no session bus (%2)").arg(label, bus_.lastError().message())});
        return;
    }
    const QString token = newToken();
    options.insert(QStringLiteral("handle_token"), token);
    const QString path = handlePath(QStringLiteral("request"), token);

    auto pending = std::make_shared<Pending>();
    pending->label = label;
    pending->done = std::move(done);
    // Subscribed before the call: the portal may answer before its reply reaches us.
    subscribe(path);
    pending_[path] = pending;
    pending->timeout = Timer::once(timeout, [this, path, label, timeout] {
        // Close the request so a dialog does not stay up for an answer nobody waits for.
        bus_.asyncCall(QDBusMessage::createMethodCall(service_, path, PortalNames::request, QStringLiteral("Close")));
        finish(path, {PortalResult::Status::timedOut, {},
                      QStringLiteral("%1: the desktop portal did not answer within %2 s")
                          .arg(label)
                          .arg(double(wholeMilliseconds(timeout)) / 1000.0)});
    });

    QDBusMessage message = QDBusMessage::createMethodCall(service_, PortalNames::object, interface, method);
    QVariantList arguments = args;
    arguments << options;
    message.setArguments(arguments);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message, int(wholeMilliseconds(timeout))), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, path, label, watcher] {
        watcher->deleteLater();
        QDBusPendingReply<QDBusObjectPath> reply = *watcher;
        if (!pending_.count(path)) {
            return; // timed out or cancelled meanwhile
        }
        if (reply.isError()) {
            const QDBusError error = reply.error();
            const bool missing = isMissingPortal(error.name());
            finish(path, {missing ? PortalResult::Status::missing : PortalResult::Status::failed, {},
                          missing ? QStringLiteral("%1: the desktop portal does not offer it (%2)")
                                        .arg(label, error.message())
                                  : QStringLiteral("%1 failed: %2 (%3)").arg(label, error.message(), error.name())});
            return;
        }
        const QString handle = reply.value().path();
        if (!handle.isEmpty() && handle != path) {
            // An older portal chose its own path: wait for the response there.
            auto request = pending_[path];
            pending_.erase(path);
            unsubscribe(path);
            subscribe(handle);
            pending_[handle] = request;
        }
    });
}

void PortalRequests::onResponse(uint response, const QVariantMap& results, const QDBusMessage& message) {
    const QString path = message.path();
    if (!pending_.count(path)) {
        return;
    }
    const QString& label = pending_[path]->label;
    switch (response) {
    case 0:
        finish(path, {PortalResult::Status::success, results, {}});
        return;
    case 1:
        finish(path, {PortalResult::Status::denied, {},
                      QStringLiteral("%1: the request was declined in the desktop's dialog").arg(label)});
        return;
    default:
        finish(path, {PortalResult::Status::cancelled, {},
                      QStringLiteral("%1: the request was cancelled or failed in the desktop portal (response %2)")
                          .arg(label)
                          .arg(response)});
        return;
    }
}

void PortalRequests::finish(const QString& path, PortalResult result) {
    const auto it = pending_.find(path);
    if (it == pending_.end()) {
        return;
    }
    const std::shared_ptr<Pending> request = it->second;
    pending_.erase(it);
    unsubscribe(path);
    request->timeout.stop();
    if (!result.ok()) {
        qCInfo(lcApp, "Portal request: %s", qUtf8Printable(result.error));
    }
    if (request->done) {
        request->done(result);
    }
}

void PortalRequests::cancelAll() {
    auto pending = std::move(pending_);
    pending_.clear();
    for (auto& [path, request] : pending) {
        unsubscribe(path);
        request->timeout.stop();
        if (bus_.isConnected()) {
            bus_.asyncCall(QDBusMessage::createMethodCall(service_, path, PortalNames::request, QStringLiteral("Close")));
        }
    }
}

PortalSessionHandle::PortalSessionHandle(QDBusConnection bus, QString service, QString path,
                                         std::function<void()> closed)
    : bus_(std::move(bus)), service_(std::move(service)), path_(std::move(path)), closed_(std::move(closed)) {
    bus_.connect(service_, path_, PortalNames::session, QStringLiteral("Closed"), this, SLOT(onClosed(QVariantMap)));
}

PortalSessionHandle::~PortalSessionHandle() {
    close();
}

void PortalSessionHandle::close() {
    if (!open_) {
        return;
    }
    open_ = false;
    bus_.disconnect(service_, path_, PortalNames::session, QStringLiteral("Closed"), this, SLOT(onClosed(QVariantMap)));
    if (bus_.isConnected()) {
        // Sent without asking for a reply: nothing would take it, and one that arrives as the
        // connection closes (the app quitting) would be left behind.
        bus_.send(QDBusMessage::createMethodCall(service_, path_, PortalNames::session, QStringLiteral("Close")));
    }
}

void PortalSessionHandle::onClosed(const QVariantMap&) {
    if (!open_) {
        return;
    }
    open_ = false;
    bus_.disconnect(service_, path_, PortalNames::session, QStringLiteral("Closed"), this, SLOT(onClosed(QVariantMap)));
    qCInfo(lcApp, "Portal session %s was closed by the desktop", qUtf8Printable(path_));
    if (closed_) {
        closed_();
    }
}

QString portalStatusName(PortalResult::Status status) {
    switch (status) {
    case PortalResult::Status::success:
        return QStringLiteral("success");
    case PortalResult::Status::denied:
        return QStringLiteral("denied");
    case PortalResult::Status::cancelled:
        return QStringLiteral("cancelled");
    case PortalResult::Status::missing:
        return QStringLiteral("missing");
    case PortalResult::Status::failed:
        return QStringLiteral("failed");
    case PortalResult::Status::timedOut:
        return QStringLiteral("timed out");
    }
    return {};
}

} // namespace quillory::platform
