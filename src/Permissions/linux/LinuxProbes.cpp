#include "Permissions/linux/LinuxProbes.h"

#include "Platform/linux/DesktopProbe.h"
#include "Platform/linux/DisplayServer.h"
#include "Platform/x11/XDisplay.h"

#include <QDir>
#include <QElapsedTimer>

#include <X11/Xlib.h>
#include <dbus/dbus.h>
#include <pulse/pulseaudio.h>

#include <cerrno>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quillory::platform {

// ---- X11 ----

XExtensionsReport probeXExtensions() {
    XExtensionsReport report;
    const x11::DisplayPtr display = x11::openDisplay(&report.error);
    if (!display) {
        return report;
    }
    report.connected = true;
    // The hotkey backend's raw key events need XInput 2.2; an older server cannot serve it.
    report.xinput2 = x11::hasXInput(display.get(), 2, 2);
    int opcode = 0, event = 0, error = 0;
    report.xtest = XQueryExtension(display.get(), "XTEST", &opcode, &event, &error);
    return report;
}

// ---- evdev and uinput ----

bool uinputWritable() {
    const int fd = ::open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    return true;
}

namespace {
bool hasLetterKeys(int fd) {
    unsigned long bits[(KEY_MAX + 1) / (8 * sizeof(unsigned long)) + 1] = {};
    if (ioctl(fd, EVIOCGBIT(EV_KEY, sizeof(bits)), bits) < 0) {
        return false;
    }
    const auto has = [&](int key) {
        return (bits[key / (8 * sizeof(unsigned long))] >> (key % (8 * sizeof(unsigned long)))) & 1UL;
    };
    return has(KEY_A) && has(KEY_Z) && has(KEY_SPACE);
}
} // namespace

QList<InputDeviceProbe> scanInputDevices(const QString& directory) {
    QList<InputDeviceProbe> devices;
    const QStringList names =
        QDir(directory).entryList({QStringLiteral("event*")}, QDir::System | QDir::Files);
    for (const QString& name : names) {
        InputDeviceProbe probe;
        const QByteArray path = QFile::encodeName(directory + QLatin1Char('/') + name);
        const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            probe.permissionDenied = errno == EACCES || errno == EPERM;
        } else {
            probe.opened = true;
            probe.isKeyboard = hasLetterKeys(fd);
            ::close(fd);
        }
        devices << probe;
    }
    return devices;
}

// ---- PulseAudio ----

namespace {
struct PulseProbeState {
    PulseReport report;
    int pending = 0;
    bool failed = false;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* state = static_cast<PulseProbeState*>(userdata);
    if (info) {
        state->report.serverName = QString::fromUtf8(info->server_name ? info->server_name : "");
        state->report.serverVersion = QString::fromUtf8(info->server_version ? info->server_version : "");
        state->report.defaultSource =
            QString::fromUtf8(info->default_source_name ? info->default_source_name : "");
    }
    --state->pending;
}

void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
    auto* state = static_cast<PulseProbeState*>(userdata);
    if (eol != 0) {
        --state->pending;
        return;
    }
    if (info && info->name) {
        const QString name = QString::fromUtf8(info->name);
        (info->monitor_of_sink != PA_INVALID_INDEX ? state->report.monitorSources
                                                   : state->report.captureSources)
            << name;
    }
}
} // namespace

PulseReport probePulse(std::chrono::milliseconds timeout) {
    PulseProbeState state;
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "quillory-probe");
    QElapsedTimer clock;
    clock.start();
    const auto remainingUs = [&]() -> int {
        const qint64 left = timeout.count() - clock.elapsed();
        return left > 0 ? int(left * 1000) : 0;
    };
    const auto iterate = [&]() -> bool {
        if (pa_mainloop_prepare(loop, remainingUs()) < 0 || pa_mainloop_poll(loop) < 0 ||
            pa_mainloop_dispatch(loop) < 0) {
            return false;
        }
        return clock.elapsed() < timeout.count();
    };

    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        state.report.error = QString::fromUtf8(pa_strerror(pa_context_errno(context)));
    } else {
        bool timedOut = false;
        for (;;) {
            const pa_context_state_t s = pa_context_get_state(context);
            if (s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s)) {
                break;
            }
            if (!iterate()) {
                timedOut = true;
                break;
            }
        }
        if (pa_context_get_state(context) == PA_CONTEXT_READY) {
            state.pending = 2;
            if (pa_operation* op = pa_context_get_server_info(context, onServerInfo, &state)) {
                pa_operation_unref(op);
            }
            if (pa_operation* op = pa_context_get_source_info_list(context, onSourceInfo, &state)) {
                pa_operation_unref(op);
            }
            while (state.pending > 0 && iterate()) {
            }
            state.report.reachable = state.pending <= 0;
            if (!state.report.reachable) {
                state.report.error = QStringLiteral("the server did not answer in time");
            }
        } else {
            state.report.error = timedOut ? QStringLiteral("no answer in time")
                                          : QString::fromUtf8(pa_strerror(pa_context_errno(context)));
        }
        pa_context_disconnect(context);
    }
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return state.report;
}

// ---- AT-SPI ----

AccessibilityBusReport probeAccessibilityBus(std::chrono::milliseconds timeout) {
    AccessibilityBusReport report;
    DBusError error;
    dbus_error_init(&error);
    QByteArray address = qgetenv("AT_SPI_BUS_ADDRESS");
    if (address.isEmpty()) {
        // Without a session bus address libdbus would try to autolaunch one through X11: refuse.
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
            report.detail = QStringLiteral("no session bus (DBUS_SESSION_BUS_ADDRESS is not set)");
            return report;
        }
        DBusConnection* session = dbus_bus_get_private(DBUS_BUS_SESSION, &error);
        if (!session) {
            report.detail = QStringLiteral("session bus: %1").arg(QString::fromUtf8(error.message));
            dbus_error_free(&error);
            return report;
        }
        dbus_connection_set_exit_on_disconnect(session, false);
        DBusMessage* call =
            dbus_message_new_method_call("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress");
        DBusMessage* reply =
            call ? dbus_connection_send_with_reply_and_block(session, call, int(timeout.count()), &error)
                 : nullptr;
        if (call) {
            dbus_message_unref(call);
        }
        const char* text = nullptr;
        if (reply && dbus_message_get_args(reply, &error, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID) &&
            text) {
            address = QByteArray(text);
        } else {
            report.detail = QStringLiteral("org.a11y.Bus: %1")
                                .arg(dbus_error_is_set(&error) ? QString::fromUtf8(error.message)
                                                               : QStringLiteral("no address"));
        }
        if (reply) {
            dbus_message_unref(reply);
        }
        dbus_error_free(&error);
        dbus_connection_close(session);
        dbus_connection_unref(session);
        if (address.isEmpty()) {
            return report;
        }
    }
    DBusConnection* bus = dbus_connection_open_private(address.constData(), &error);
    if (!bus) {
        report.detail =
            QStringLiteral("%1: %2").arg(QString::fromUtf8(address), QString::fromUtf8(error.message));
        dbus_error_free(&error);
        return report;
    }
    dbus_connection_set_exit_on_disconnect(bus, false);
    report.reachable = dbus_bus_register(bus, &error);
    report.detail = report.reachable ? QString::fromUtf8(address)
                                     : QStringLiteral("%1: %2").arg(QString::fromUtf8(address),
                                                                    QString::fromUtf8(error.message));
    dbus_error_free(&error);
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
    return report;
}

// ---- the permission probes ----

PermissionProbes linuxPermissionProbes() {
    PermissionProbes probes;
    probes.session = [] {
        const DisplayServerInfo info = currentDisplayServer();
        if (info.waylandSession) {
            return PermissionProbes::Session::wayland;
        }
        return info.type == SessionType::x11 ? PermissionProbes::Session::x11
                                             : PermissionProbes::Session::none;
    };
    probes.xExtensionPresent = [](const QString& extension) -> std::optional<bool> {
        const XExtensionsReport report = probeXExtensions();
        if (!report.connected) {
            return std::nullopt;
        }
        if (extension == QLatin1String("XTEST")) {
            return report.xtest;
        }
        if (extension == QLatin1String("XInputExtension")) {
            return report.xinput2;
        }
        return std::nullopt;
    };
    probes.desktopBackends = []() -> std::optional<DesktopBackends> { return currentDesktopBackends(); };
    probes.keyboardDevices = [] { return classifyKeyboardDevices(scanInputDevices()); };
    return probes;
}

} // namespace quillory::platform
