#pragma once

#include "Runtime/Scheduler.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <map>
#include <memory>

namespace quillory::platform {

/// How one portal request ended.
struct PortalResult {
    enum class Status {
        success,   ///< response 0: the results are there
        denied,    ///< response 1: the user said no
        cancelled, ///< response 2: the interaction ended some other way (dialog closed, backend failed)
        missing,   ///< no portal on the bus, or it lacks the interface or method
        failed,    ///< the call itself failed (error reply, malformed answer)
        timedOut,  ///< no response within the limit
    };
    Status status = Status::failed;
    QVariantMap results; ///< the response's results (success only)
    QString error;       ///< one English sentence when not a success

    bool ok() const { return status == Status::success; }
};

/// The portal's service, object and the interfaces used here.
namespace PortalNames {
inline const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString object = QStringLiteral("/org/freedesktop/portal/desktop");
inline const QString request = QStringLiteral("org.freedesktop.portal.Request");
inline const QString session = QStringLiteral("org.freedesktop.portal.Session");
inline const QString registry = QStringLiteral("org.freedesktop.host.portal.Registry");
/// The id the desktop knows this program by: the name of its desktop file.
inline const QString appId = QStringLiteral("app.quillory.Quillory");
} // namespace PortalNames

/// The session-bus connection this program's portal sessions use (RemoteDesktop, GlobalShortcuts):
/// one of its own, opened on first use and kept for the process's life, whose first call is
/// `announceAppId`. Nothing else in the process speaks to the portal on it first (Qt's platform
/// theme reads the portal's settings on the shared connection).
QDBusConnection portalBus();

/// Announces `PortalNames::appId` on `bus` to the portal's host registry
/// (org.freedesktop.host.portal.Registry, xdg-desktop-portal 1.19 and later): a program started
/// from a terminal or an autostart entry has no app id otherwise, and GNOME keeps shortcuts and
/// consents by it. It must be the connection's first portal call and made once: sent without
/// waiting, as the portal handles registry calls the moment they arrive, ahead of the
/// connection's later calls. A portal without the registry (1.18 and older) answers with an
/// error, which is only logged.
void announceAppId(QDBusConnection& bus, const QString& service);

/// The Request/Response pattern of org.freedesktop.portal: a method that takes an options map
/// with `handle_token` returns a Request object whose `Response(u, a{sv})` signal carries the
/// outcome. The signal is subscribed on the path the portal will use (derived from our unique
/// name and the token) before the call goes out, so a quick answer is never missed; a portal that
/// answers with another path is followed there. The wait is bounded through the current scheduler.
///
/// Main thread; the callback runs once, on the main thread, also when the request object goes
/// away first (never: it is kept alive by the call until it has answered).
class PortalRequests : public QObject {
    Q_OBJECT
public:
    using Callback = std::function<void(const PortalResult&)>;

    /// Requests over `bus` (a connection the caller keeps open).
    explicit PortalRequests(QDBusConnection bus, QString service = PortalNames::service);
    ~PortalRequests() override;

    /// Calls `interface.method(args..., options)` on the portal object; `options` gets a fresh
    /// `handle_token`. `done` gets the response, or the error of the call, or a time-out after
    /// `timeout` (the request is then closed).
    void call(const QString& interface, const QString& method, const QVariantList& args, QVariantMap options,
              Duration timeout, Callback done);

    /// Cancels every pending request without calling back (their objects are closed).
    void cancelAll();

    QDBusConnection& bus() { return bus_; }
    const QString& service() const { return service_; }

    /// A token unique in this process ("quillory_<n>").
    static QString newToken();
    /// The object path of a request or session the portal makes for `token` of our connection.
    QString handlePath(const QString& kind, const QString& token) const;

private Q_SLOTS:
    void onResponse(uint response, const QVariantMap& results, const QDBusMessage& message);

private:
    struct Pending;
    void finish(const QString& path, PortalResult result);
    void subscribe(const QString& path);
    void unsubscribe(const QString& path);

    QDBusConnection bus_;
    QString service_;
    std::map<QString, std::shared_ptr<Pending>> pending_; ///< request path → request
};

/// One portal session (RemoteDesktop, GlobalShortcuts…): its object path and the `Closed` signal
/// the portal sends when the compositor or the user ends it.
class PortalSessionHandle : public QObject {
    Q_OBJECT
public:
    PortalSessionHandle(QDBusConnection bus, QString service, QString path, std::function<void()> closed);
    /// Closes the session on the portal (when it is still open).
    ~PortalSessionHandle() override;

    const QString& path() const { return path_; }
    bool open() const { return open_; }
    /// Asks the portal to close it; no `closed` callback follows.
    void close();

private Q_SLOTS:
    void onClosed(const QVariantMap& details);

private:
    QDBusConnection bus_;
    QString service_;
    QString path_;
    std::function<void()> closed_;
    bool open_ = true;
};

/// "denied", "cancelled"… for logs.
QString portalStatusName(PortalResult::Status status);

} // namespace quillory::platform
