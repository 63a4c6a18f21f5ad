#include "Input/wayland/WaylandConnection.h"

#include "Runtime/Log.h"

#include "fake-input-client-protocol.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-foreign-toplevel-management-unstable-v1-client-protocol.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"
#include "wlr-layer-shell-unstable-v1-client-protocol.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <wayland-client.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>

namespace quillory::input {

/// One window of the compositor's list: what its last `done` confirmed, and what is pending.
struct WaylandConnection::Toplevel {
    zwlr_foreign_toplevel_handle_v1* handle = nullptr;
    WaylandConnection* owner = nullptr;
    QString appId, pendingAppId;
    bool activated = false, pendingActivated = false;
    ~Toplevel() { zwlr_foreign_toplevel_handle_v1_destroy(handle); }
};

struct RegistryListener {
    using Toplevel = WaylandConnection::Toplevel;
    static void title(void*, zwlr_foreign_toplevel_handle_v1*, const char*) {}
    static void appId(void* data, zwlr_foreign_toplevel_handle_v1*, const char* id) {
        static_cast<Toplevel*>(data)->pendingAppId = QString::fromUtf8(id);
    }
    static void outputEnter(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
    static void outputLeave(void*, zwlr_foreign_toplevel_handle_v1*, wl_output*) {}
    static void state(void* data, zwlr_foreign_toplevel_handle_v1*, wl_array* states) {
        auto* toplevel = static_cast<Toplevel*>(data);
        toplevel->pendingActivated = false;
        const auto* values = static_cast<const uint32_t*>(states->data);
        for (size_t i = 0; i < states->size / sizeof(uint32_t); ++i) {
            if (values[i] == ZWLR_FOREIGN_TOPLEVEL_HANDLE_V1_STATE_ACTIVATED) {
                toplevel->pendingActivated = true;
            }
        }
    }
    static void done(void* data, zwlr_foreign_toplevel_handle_v1*) {
        auto* toplevel = static_cast<Toplevel*>(data);
        toplevel->appId = toplevel->pendingAppId;
        toplevel->activated = toplevel->pendingActivated;
    }
    static void closed(void* data, zwlr_foreign_toplevel_handle_v1*) {
        auto* toplevel = static_cast<Toplevel*>(data);
        auto& list = toplevel->owner->toplevels_;
        list.erase(std::remove_if(list.begin(), list.end(), [&](const auto& t) { return t.get() == toplevel; }),
                   list.end());
    }
    static void parent(void*, zwlr_foreign_toplevel_handle_v1*, zwlr_foreign_toplevel_handle_v1*) {}
    static constexpr zwlr_foreign_toplevel_handle_v1_listener handleListener{
        &title, &appId, &outputEnter, &outputLeave, &state, &done, &closed, &parent};

    static void toplevel(void* data, zwlr_foreign_toplevel_manager_v1*, zwlr_foreign_toplevel_handle_v1* handle) {
        auto* self = static_cast<WaylandConnection*>(data);
        auto entry = std::make_unique<Toplevel>();
        entry->handle = handle;
        entry->owner = self;
        zwlr_foreign_toplevel_handle_v1_add_listener(handle, &handleListener, entry.get());
        self->toplevels_.push_back(std::move(entry));
    }
    static void finished(void* data, zwlr_foreign_toplevel_manager_v1* manager) {
        auto* self = static_cast<WaylandConnection*>(data);
        zwlr_foreign_toplevel_manager_v1_destroy(manager);
        self->toplevelManager_ = nullptr;
    }
    static constexpr zwlr_foreign_toplevel_manager_v1_listener managerListener{&toplevel, &finished};

    static void global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t version) {
        auto* self = static_cast<WaylandConnection*>(data);
        if (self->role_ == WaylandConnection::Role::surfaces) {
            surfacesGlobal(self, registry, name, interface, version);
            return;
        }
        if (std::strcmp(interface, wl_seat_interface.name) == 0 && !self->seat_) {
            self->seat_ = static_cast<wl_seat*>(
                wl_registry_bind(registry, name, &wl_seat_interface, std::min<uint32_t>(version, 2)));
        } else if (std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) == 0 && !self->dataControl_) {
            self->dataControlVersion_ = std::min<uint32_t>(version, 2);
            self->dataControl_ = static_cast<zwlr_data_control_manager_v1*>(
                wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, self->dataControlVersion_));
        } else if (std::strcmp(interface, zwlr_foreign_toplevel_manager_v1_interface.name) == 0 &&
                   !self->toplevelManager_) {
            self->toplevelManager_ = static_cast<zwlr_foreign_toplevel_manager_v1*>(wl_registry_bind(
                registry, name, &zwlr_foreign_toplevel_manager_v1_interface, std::min<uint32_t>(version, 3)));
            zwlr_foreign_toplevel_manager_v1_add_listener(self->toplevelManager_, &managerListener, self);
        } else if (std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0 &&
                   !self->virtualKeyboard_) {
            self->virtualKeyboard_ = static_cast<zwp_virtual_keyboard_manager_v1*>(
                wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
        } else if (std::strcmp(interface, org_kde_kwin_fake_input_interface.name) == 0 && !self->fakeInputName_) {
            self->fakeInputName_ = name;
            self->fakeInputVersion_ = version;
        }
    }
    static void globalRemove(void* data, wl_registry*, uint32_t name) {
        auto* self = static_cast<WaylandConnection*>(data);
        if (name == self->fakeInputName_) {
            self->fakeInputName_ = 0; // taken back: the paste key stops using it
        }
    }
    static void seatCapabilities(void* data, wl_seat*, uint32_t capabilities) {
        static_cast<WaylandConnection*>(data)->seatCapabilities_ = capabilities;
    }
    static void seatName(void*, wl_seat*, const char*) {}
    static constexpr wl_seat_listener seatListener{&seatCapabilities, &seatName};

    static void surfacesGlobal(WaylandConnection* self, wl_registry* registry, uint32_t name, const char* interface,
                               uint32_t version) {
        if (std::strcmp(interface, wl_seat_interface.name) == 0 && !self->seat_) {
            self->seat_ = static_cast<wl_seat*>(
                wl_registry_bind(registry, name, &wl_seat_interface, std::min<uint32_t>(version, 2)));
            wl_seat_add_listener(self->seat_, &seatListener, self);
        } else if (std::strcmp(interface, wl_compositor_interface.name) == 0 && !self->compositor_) {
            self->compositor_ = static_cast<wl_compositor*>(
                wl_registry_bind(registry, name, &wl_compositor_interface, std::min<uint32_t>(version, 4)));
        } else if (std::strcmp(interface, wl_shm_interface.name) == 0 && !self->shm_) {
            self->shm_ = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
        } else if (std::strcmp(interface, zwlr_layer_shell_v1_interface.name) == 0 && !self->layerShell_) {
            self->layerShell_ = static_cast<zwlr_layer_shell_v1*>(
                wl_registry_bind(registry, name, &zwlr_layer_shell_v1_interface, std::min<uint32_t>(version, 3)));
        }
    }
    static constexpr wl_registry_listener listener{&global, &globalRemove};
};

namespace {
int remainingMs(std::chrono::steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    return int(std::max<qint64>(0, left.count()));
}
} // namespace

std::shared_ptr<WaylandConnection> WaylandConnection::open(QString* why, const QString& displayName, Role role) {
    const QByteArray name = displayName.toLocal8Bit();
    wl_display* display = wl_display_connect(name.isEmpty() ? nullptr : name.constData());
    if (!display) {
        *why = QStringLiteral("no Wayland compositor answers on %1 (%2)")
                   .arg(name.isEmpty() ? qEnvironmentVariable("WAYLAND_DISPLAY", QStringLiteral("wayland-0"))
                                       : displayName,
                        QString::fromLocal8Bit(std::strerror(errno)));
        return nullptr;
    }
    std::shared_ptr<WaylandConnection> self(new WaylandConnection);
    self->display_ = display;
    self->role_ = role;
    self->registry_ = wl_display_get_registry(display);
    wl_registry_add_listener(self->registry_, &RegistryListener::listener, self.get());
    // The globals, then a second trip for the seat's first events.
    if (!self->roundtrip(kRegistryLimit) || !self->roundtrip()) {
        *why = QStringLiteral("the Wayland compositor did not answer within %1 ms").arg(kRegistryLimit.count());
        return nullptr;
    }
    // Events as they arrive, once there is an event loop (a probe before the application object
    // exists reads only in its own waits).
    if (QCoreApplication::instance()) {
        self->notifier_ = new QSocketNotifier(wl_display_get_fd(display), QSocketNotifier::Read, self.get());
        connect(self->notifier_, &QSocketNotifier::activated, self.get(),
                [raw = self.get()] { raw->readAndDispatch(0); });
    }
    return self;
}

WaylandConnection::~WaylandConnection() {
    if (notifier_) {
        notifier_->setEnabled(false);
    }
    toplevels_.clear();
    if (toplevelManager_) {
        zwlr_foreign_toplevel_manager_v1_stop(toplevelManager_);
        zwlr_foreign_toplevel_manager_v1_destroy(toplevelManager_);
    }
    if (fakeInput_) {
        org_kde_kwin_fake_input_destroy(fakeInput_);
    }
    if (virtualKeyboard_) {
        zwp_virtual_keyboard_manager_v1_destroy(virtualKeyboard_);
    }
    if (dataControl_) {
        zwlr_data_control_manager_v1_destroy(dataControl_);
    }
    if (layerShell_) {
        zwlr_layer_shell_v1_destroy(layerShell_);
    }
    if (shm_) {
        wl_shm_destroy(shm_);
    }
    if (compositor_) {
        wl_compositor_destroy(compositor_);
    }
    if (seat_) {
        wl_seat_destroy(seat_);
    }
    if (registry_) {
        wl_registry_destroy(registry_);
    }
    if (display_) {
        wl_display_flush(display_);
        wl_display_disconnect(display_);
    }
}

QString WaylandConnection::activeAppId() {
    if (!toplevelManager_ || !isAlive()) {
        return {};
    }
    readEvents();
    for (const auto& toplevel : toplevels_) {
        if (toplevel->activated) {
            return toplevel->appId;
        }
    }
    return {};
}

org_kde_kwin_fake_input* WaylandConnection::bindFakeInput() {
    if (!offersFakeInput()) {
        return nullptr;
    }
    if (!fakeInput_) {
        fakeInput_ = static_cast<org_kde_kwin_fake_input*>(
            wl_registry_bind(registry_, fakeInputName_, &org_kde_kwin_fake_input_interface, 4));
    }
    return fakeInput_;
}

bool WaylandConnection::isAlive() const {
    return display_ && wl_display_get_error(display_) == 0;
}

void WaylandConnection::noteFailure(const char* what) {
    if (failureLogged_) {
        return;
    }
    failureLogged_ = true;
    const int error = display_ ? wl_display_get_error(display_) : 0;
    qCWarning(lcInput, "Wayland connection: %s (%s)", what, error ? std::strerror(error) : "no error reported");
}

quint32 WaylandConnection::timestamp() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return quint32(qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

bool WaylandConnection::flush() {
    if (!isAlive()) {
        noteFailure("the compositor closed the connection");
        return false;
    }
    const auto end = std::chrono::steady_clock::now() + kReplyLimit;
    while (wl_display_flush(display_) < 0) {
        if (errno != EAGAIN) {
            noteFailure("sending to the compositor failed");
            return false;
        }
        pollfd fd{wl_display_get_fd(display_), POLLOUT, 0};
        if (poll(&fd, 1, remainingMs(end)) <= 0) {
            qCWarning(lcInput, "Wayland connection: the compositor took nothing for %lld ms",
                      qint64(kReplyLimit.count()));
            return false;
        }
    }
    return true;
}

void WaylandConnection::dispatchPending() {
    if (display_ && wl_display_dispatch_pending(display_) < 0) {
        noteFailure("dispatching events failed");
    }
}

void WaylandConnection::readAndDispatch(int timeoutMs) {
    if (!isAlive()) {
        if (notifier_) {
            notifier_->setEnabled(false);
        }
        noteFailure("the compositor closed the connection");
        return;
    }
    while (wl_display_prepare_read(display_) != 0) {
        if (wl_display_dispatch_pending(display_) < 0) {
            noteFailure("dispatching events failed");
            return;
        }
    }
    wl_display_flush(display_);
    pollfd fd{wl_display_get_fd(display_), POLLIN, 0};
    if (poll(&fd, 1, timeoutMs) > 0 && (fd.revents & (POLLIN | POLLHUP | POLLERR))) {
        if (wl_display_read_events(display_) < 0) {
            noteFailure("reading from the compositor failed");
            if (notifier_) {
                notifier_->setEnabled(false);
            }
            return;
        }
    } else {
        wl_display_cancel_read(display_);
    }
    dispatchPending();
}

bool WaylandConnection::waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    dispatchPending();
    while (!done()) {
        if (!isAlive()) {
            noteFailure("the compositor closed the connection");
            return false;
        }
        const int left = remainingMs(end);
        if (left <= 0) {
            return done();
        }
        readAndDispatch(left);
    }
    return true;
}

namespace {
void syncDone(void* data, wl_callback* callback, uint32_t) {
    *static_cast<bool*>(data) = true;
    wl_callback_destroy(callback);
}
constexpr wl_callback_listener kSyncListener{&syncDone};
} // namespace

bool WaylandConnection::roundtrip(std::chrono::milliseconds limit) {
    if (!isAlive()) {
        noteFailure("the compositor closed the connection");
        return false;
    }
    bool answered = false;
    wl_callback* callback = wl_display_sync(display_);
    wl_callback_add_listener(callback, &kSyncListener, &answered);
    if (!flush() || !waitUntil([&] { return answered; }, limit)) {
        // The answer may still come after we return: it then lands in a flag nobody reads.
        static bool lateAnswer = false;
        wl_proxy_set_user_data(reinterpret_cast<wl_proxy*>(callback), &lateAnswer);
        qCWarning(lcInput, "Wayland connection: the compositor did not answer within %lld ms",
                  qint64(limit.count()));
        return false;
    }
    return true;
}

} // namespace quillory::input
