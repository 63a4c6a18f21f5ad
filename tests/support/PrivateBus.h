#pragma once
// A private dbus-daemon for tests that talk to a fake service (the desktop portal): it activates
// nothing, the fake is served on a thread of its own (the code under test may block the main
// thread on a call), and everything is stopped with the object.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <functional>

namespace quillory::testing {

/// Turns the event loop until `done` holds or `timeoutMs` ran out (the bus is real I/O).
inline bool pumpUntil(const std::function<bool()>& done, int timeoutMs = 30000) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

class PrivateBus {
public:
    /// Starts the daemon with its socket in `folder`; `ok()` tells whether it runs.
    explicit PrivateBus(const QString& folder) {
        const QString config = folder + QStringLiteral("/bus.conf");
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly)) return;
        file.write(QStringLiteral("<busconfig><type>session</type><listen>unix:dir=%1</listen><auth>EXTERNAL</auth>"
                                  "<policy context=\"default\"><allow send_destination=\"*\"/><allow eavesdrop=\"true\"/>"
                                  "<allow own=\"*\"/></policy></busconfig>")
                       .arg(folder)
                       .toUtf8());
        file.close();
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                       QStringLiteral("--print-address=1"), QStringLiteral("--nopidfile")});
        if (!daemon_.waitForStarted(30000) || !pumpUntil([&] { return daemon_.canReadLine(); })) return;
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        client_ = QDBusConnection::connectToBus(address_, QStringLiteral("private-bus-client"));
        worker_.moveToThread(&thread_);
        thread_.start();
    }
    ~PrivateBus() {
        drain();
        QDBusConnection::disconnectFromBus(QStringLiteral("private-bus-client"));
        if (thread_.isRunning()) {
            onServiceThread([] { QDBusConnection::disconnectFromBus(QStringLiteral("private-bus-service")); });
            thread_.quit();
            thread_.wait();
        }
        daemon_.terminate();
        daemon_.waitForFinished(10000);
    }

    bool ok() const { return client_.isConnected(); }
    /// The bus's address (for a real service started on it).
    const QString& address() const { return address_; }
    /// The connection the code under test uses.
    QDBusConnection client() const { return client_; }

    /// Serves `object` (moved to the service thread) under `path` and its sub-paths as `name`.
    bool serve(QDBusVirtualObject* object, const QString& name, const QString& path) {
        object->moveToThread(&thread_);
        bool registered = false;
        onServiceThread([&] {
            QDBusConnection bus = QDBusConnection::connectToBus(address_, QStringLiteral("private-bus-service"));
            registered = bus.registerVirtualObject(path, object, QDBusConnection::SubPath) && bus.registerService(name);
        });
        return registered;
    }
    /// Runs `work` on the service thread and waits for it (signals the fake sends).
    void onServiceThread(const std::function<void()>& work) {
        QMetaObject::invokeMethod(&worker_, work, Qt::BlockingQueuedConnection);
    }
    /// The fake's connection; only on the service thread.
    static QDBusConnection serviceConnection() { return QDBusConnection(QStringLiteral("private-bus-service")); }

private:
    /// Lets every message between the code under test and the fake land before the connections
    /// close: the fake's connection answers a ping only after what it was sent before, and what it
    /// sent before its answer is delivered here. (A reply or signal still on its way at the close
    /// was seen left behind by libdbus, and once delivered to an object already gone.)
    void drain() {
        if (!client_.isConnected() || !thread_.isRunning()) return;
        QString service;
        onServiceThread([&] { service = serviceConnection().baseService(); });
        if (service.isEmpty()) return;
        client_.call(QDBusMessage::createMethodCall(service, QStringLiteral("/"), QStringLiteral("org.freedesktop.DBus.Peer"),
                                                    QStringLiteral("Ping")),
                     QDBus::Block, 10000);
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    QProcess daemon_;
    QString address_;
    QDBusConnection client_{QStringLiteral("private-bus-none")};
    QThread thread_;
    QObject worker_;
};

} // namespace quillory::testing
