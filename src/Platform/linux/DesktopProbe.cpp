#include "Platform/linux/DesktopProbe.h"

#include "Permissions/linux/LinuxProbes.h"
#include "Platform/linux/DisplayServer.h"
#include "Platform/linux/Portals.h"
#include "Platform/wayland/WaylandGlobals.h"
#include "Runtime/Log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <mutex>
#include <optional>

namespace quillory::platform {

namespace {

DesktopFacts::Keyboards keyboardsNow() {
    switch (classifyKeyboardDevices(scanInputDevices())) {
    case PermissionProbes::KeyboardDevices::readable:
        return DesktopFacts::Keyboards::readable;
    case PermissionProbes::KeyboardDevices::noneReadable:
        return DesktopFacts::Keyboards::noneReadable;
    case PermissionProbes::KeyboardDevices::unknown:
        break;
    }
    return DesktopFacts::Keyboards::unknown;
}

/// The `Version` of mutter's remote desktop service on the session bus; 0 when it is not there
/// (it is no activatable service: an absent one answers at once).
int mutterRemoteDesktopVersion() {
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        return 0;
    }
    const QString name = QStringLiteral("quillory-mutter-probe");
    int version = 0;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.gnome.Mutter.RemoteDesktop"), QStringLiteral("/org/gnome/Mutter/RemoteDesktop"),
            QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
        call << QStringLiteral("org.gnome.Mutter.RemoteDesktop") << QStringLiteral("Version");
        const QDBusMessage reply = bus.isConnected() ? bus.call(call, QDBus::Block, 1000) : QDBusMessage();
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            version = std::max(1, reply.arguments().first().value<QDBusVariant>().variant().toInt());
        }
    }
    QDBusConnection::disconnectFromBus(name);
    return version;
}

/// Whether `service` has an owner on the session bus now (no activation).
bool ownedOnSessionBus(const QString& service) {
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        return false;
    }
    const QString name = QStringLiteral("quillory-owner-probe");
    bool owned = false;
    {
        QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, name);
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
            QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
        call << service;
        const QDBusMessage reply = bus.isConnected() ? bus.call(call, QDBus::Block, 1000) : QDBusMessage();
        owned = reply.type() == QDBusMessage::ReplyMessage && reply.arguments().value(0).toBool();
    }
    QDBusConnection::disconnectFromBus(name);
    return owned;
}

/// The facts that stay for the session.
DesktopFacts sessionFacts() {
    DesktopFacts f;
    const DisplayServerInfo display = currentDisplayServer();
    f.session = display.waylandSession                ? DesktopFacts::Session::wayland
                : display.type == SessionType::x11 ? DesktopFacts::Session::x11
                                                   : DesktopFacts::Session::none;
    f.currentDesktops = qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(QLatin1Char(':'), Qt::SkipEmptyParts);
    if (display.type == SessionType::x11) {
        const XExtensionsReport x = probeXExtensions();
        f.xDisplay = x.connected;
        f.xtest = x.xtest;
        f.xinput2 = x.xinput2;
    }
    if (display.waylandSession) {
        const WaylandGlobalsReport globals = probeWaylandGlobals();
        f.waylandConnected = globals.connected;
        f.waylandGlobals = globals.globals;
        if (!globals.connected) {
            qCWarning(lcApp, "Wayland globals unknown: %s", qUtf8Printable(globals.error));
        }
        f.mutterRemoteDesktop = mutterRemoteDesktopVersion();
        f.kglobalaccel = ownedOnSessionBus(QStringLiteral("org.kde.kglobalaccel"));
        const PortalReport portals = probePortals();
        f.portals = portals.versions;
        if (!portals.reachable) {
            qCInfo(lcApp, "Desktop portal not reachable: %s", qUtf8Printable(portals.error));
        }
    }
    return f;
}

std::mutex cacheMutex;
std::optional<DesktopFacts> cachedFacts;
QString lastLogged;

/// Where the app writes down why the shortcuts portal failed: the session's runtime folder, which
/// every Wayland session has ("" without one: nothing is written down).
QString shortcutsPortalFailurePath() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return runtime.isEmpty() ? QString() : runtime + QStringLiteral("/quillory/shortcuts-portal-failure");
}

} // namespace

QString shortcutsPortalFailure() {
    const QString path = shortcutsPortalFailurePath();
    QFile file(path);
    return !path.isEmpty() && file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.read(4096)).trimmed() : QString();
}

void setShortcutsPortalFailure(const QString& failure) {
    const QString path = shortcutsPortalFailurePath();
    if (path.isEmpty()) {
        return;
    }
    if (failure.isEmpty()) {
        QFile::remove(path);
        return;
    }
    QDir().mkdir(QFileInfo(path).absolutePath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); // as the app's socket
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(failure.toUtf8()) < 0 || !file.commit()) {
        qCWarning(lcHotkey, "Cannot write %s: %s", qUtf8Printable(path), qUtf8Printable(file.errorString()));
    }
}

namespace {

/// The facts that change while the session lasts.
void addChangingFacts(DesktopFacts& f) {
    f.uinputWritable = uinputWritable();
    f.keyboards = keyboardsNow();
    f.shortcutsPortalFailure = shortcutsPortalFailure();
}

} // namespace

DesktopFacts probeDesktopFacts() {
    DesktopFacts f = sessionFacts();
    addChangingFacts(f);
    return f;
}

BuiltBackends builtBackends() {
    BuiltBackends b;
    b.uinput = true;          // Input/uinput
    b.evdev = true;           // Hotkey/evdev
    b.virtualKeyboard = true; // Input/wayland (used together with data-control)
    b.dataControl = true;     // Input/wayland
    b.remoteDesktopPortal = true; // Input/portal
    b.kdeFakeInput = true;        // Input/kde (beside the data-control clipboard)
    b.globalShortcutsPortal = true; // Hotkey/portal (GNOME 48+, Hyprland; after kglobalaccel on KDE)
    b.kglobalaccel = true;        // Hotkey/kde (KDE's own shortcut service, ahead of the portal)
    b.mutterRemoteDesktop = true; // Input/gnome
    b.layerShell = true;          // Platform/wayland/LayerShellSurfaces (the overlay)
    return b;
}

DesktopBackends currentDesktopBackends() {
    std::unique_lock lock(cacheMutex);
    if (!cachedFacts) {
        lock.unlock();
        DesktopFacts measured = sessionFacts(); // unlocked: bounded, but it waits on other processes
        lock.lock();
        if (!cachedFacts) {
            cachedFacts = std::move(measured);
        }
    }
    DesktopFacts f = *cachedFacts;
    lock.unlock();
    if (f.session == DesktopFacts::Session::wayland) { // X11 sessions never use them
        addChangingFacts(f);
    }
    const DesktopBackends choice = chooseDesktopBackends(f, builtBackends());
    const QString line = choice.logLine();
    lock.lock();
    if (line != lastLogged) {
        lastLogged = line;
        qCInfo(lcApp, "%s", qUtf8Printable(line));
    }
    return choice;
}

} // namespace quillory::platform
