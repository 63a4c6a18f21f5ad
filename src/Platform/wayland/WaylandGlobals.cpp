#include "Platform/wayland/WaylandGlobals.h"

#include <QElapsedTimer>

#include <wayland-client.h>

#include <cerrno>
#include <cstring>
#include <poll.h>

namespace quillory::platform {

namespace {

struct RegistryState {
    QMap<QString, int> globals;
    bool synced = false;
};

void onGlobal(void* data, wl_registry*, uint32_t, const char* interface, uint32_t version) {
    static_cast<RegistryState*>(data)->globals.insert(QString::fromUtf8(interface), int(version));
}
void onGlobalRemove(void*, wl_registry*, uint32_t) {}
const wl_registry_listener kRegistryListener{onGlobal, onGlobalRemove};

void onSyncDone(void* data, wl_callback*, uint32_t) {
    static_cast<RegistryState*>(data)->synced = true;
}
const wl_callback_listener kSyncListener{onSyncDone};

/// Reads and dispatches until the sync callback fires; false with `error` set on failure or time-out.
bool roundtrip(wl_display* display, const RegistryState& state, std::chrono::milliseconds timeout,
               QString* error) {
    QElapsedTimer clock;
    clock.start();
    const int fd = wl_display_get_fd(display);
    for (;;) {
        if (wl_display_dispatch_pending(display) < 0) {
            *error = QStringLiteral("the connection failed (%1)").arg(QString::fromLocal8Bit(strerror(errno)));
            return false;
        }
        if (state.synced) {
            return true;
        }
        if (wl_display_prepare_read(display) != 0) {
            continue; // events are queued: dispatch them first
        }
        if (wl_display_flush(display) < 0 && errno != EAGAIN) {
            wl_display_cancel_read(display);
            *error = QStringLiteral("the request could not be sent (%1)").arg(QString::fromLocal8Bit(strerror(errno)));
            return false;
        }
        const qint64 left = timeout.count() - clock.elapsed();
        pollfd p{fd, POLLIN, 0};
        const int ready = left > 0 ? ::poll(&p, 1, int(left)) : 0;
        if (ready <= 0) {
            wl_display_cancel_read(display);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            *error = QStringLiteral("the compositor did not answer within %1 ms").arg(timeout.count());
            return false;
        }
        if (wl_display_read_events(display) < 0) {
            *error = QStringLiteral("the connection failed (%1)").arg(QString::fromLocal8Bit(strerror(errno)));
            return false;
        }
    }
}

} // namespace

WaylandGlobalsReport probeWaylandGlobals(std::chrono::milliseconds timeout) {
    WaylandGlobalsReport report;
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_SOCKET")) {
        report.error = QStringLiteral("WAYLAND_DISPLAY is not set");
        return report;
    }
    wl_display* display = wl_display_connect(nullptr);
    if (!display) {
        report.error = QStringLiteral("cannot connect to %1 (%2)")
                           .arg(qEnvironmentVariable("WAYLAND_DISPLAY"), QString::fromLocal8Bit(strerror(errno)));
        return report;
    }
    RegistryState state;
    wl_registry* registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &kRegistryListener, &state);
    wl_callback* sync = wl_display_sync(display);
    wl_callback_add_listener(sync, &kSyncListener, &state);
    report.connected = roundtrip(display, state, timeout, &report.error);
    if (report.connected) {
        report.globals = state.globals;
    }
    wl_callback_destroy(sync);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return report;
}

} // namespace quillory::platform
