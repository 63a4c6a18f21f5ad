#include "Platform/linux/Portals.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>

namespace quillory::platform {

QStringList portalInterfacesOfInterest() {
    return {QStringLiteral("org.freedesktop.portal.RemoteDesktop"),
            QStringLiteral("org.freedesktop.portal.GlobalShortcuts"),
            QStringLiteral("org.freedesktop.portal.Clipboard")};
}

PortalReport probePortals(std::chrono::milliseconds timeout) {
    PortalReport report;
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        report.error = QStringLiteral("no session bus (DBUS_SESSION_BUS_ADDRESS is not set)");
        return report;
    }
    const QString name = QStringLiteral("quillory-portal-probe");
    {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
        if (!bus.isConnected()) {
            report.error = QStringLiteral("session bus: %1").arg(bus.lastError().message());
        } else {
            QElapsedTimer clock;
            clock.start();
            for (const QString& interface : portalInterfacesOfInterest()) {
                const qint64 left = timeout.count() - clock.elapsed();
                if (left <= 0) {
                    report.error = QStringLiteral("the portal did not answer within %1 ms").arg(timeout.count());
                    break;
                }
                QDBusMessage call = QDBusMessage::createMethodCall(
                    QStringLiteral("org.freedesktop.portal.Desktop"), QStringLiteral("/org/freedesktop/portal/desktop"),
                    QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
                call << interface << QStringLiteral("version");
                const QDBusMessage reply = bus.call(call, QDBus::Block, int(left));
                if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
                    report.reachable = true;
                    const QVariant value = reply.arguments().first().value<QDBusVariant>().variant();
                    bool ok = false;
                    const int version = value.toInt(&ok);
                    if (ok && version > 0) {
                        report.versions.insert(interface, version);
                    }
                    continue;
                }
                const QString error = reply.errorName();
                if (error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
                    error == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
                    error == QLatin1String("org.freedesktop.DBus.Error.Timeout") ||
                    error == QLatin1String("org.freedesktop.DBus.Error.Disconnected")) {
                    report.error = QStringLiteral("xdg-desktop-portal: %1").arg(reply.errorMessage());
                    break; // no portal at all: asking again would only wait again
                }
                report.reachable = true; // the portal answered: it lacks this interface
            }
        }
    }
    QDBusConnection::disconnectFromBus(name);
    if (report.reachable) {
        report.error.clear();
    }
    return report;
}

} // namespace quillory::platform
