// The overlay's panels as wlr-layer-shell surfaces: layer "overlay", anchored at the output's
// top-left corner with the panel's place as margins, no exclusive zone, and no keyboard
// interactivity — the compositor never gives them the keyboard, so showing, updating or clicking
// one cannot take the focus from the application being dictated into. Their pixels are the
// panel's own rendering, handed over in wl_shm buffers.
#include "Platform/qt/OverlaySurface.h"

#include "Input/wayland/WaylandConnection.h"
#include "Runtime/Log.h"

#include "wlr-layer-shell-unstable-v1-client-protocol.h"

#include <QCoreApplication>

#include <wayland-client.h>

#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace quillory::platform {
namespace {

using input::WaylandConnection;

class LayerSurface;

/// The connection and the pointer, shared by every surface of the overlay.
struct LayerShellCore {
    std::shared_ptr<WaylandConnection> connection;
    QByteArray layerNamespace;
    wl_pointer* pointer = nullptr;
    std::vector<LayerSurface*> surfaces;
    LayerSurface* pointerFocus = nullptr;
    QPointF lastPosition;

    ~LayerShellCore() {
        if (pointer) {
            wl_pointer_destroy(pointer);
        }
    }
    void ensurePointer();
    LayerSurface* owner(wl_surface* surface) const;
};

/// One shared-memory buffer the compositor reads a frame from.
struct ShmBuffer {
    wl_buffer* buffer = nullptr;
    void* data = MAP_FAILED;
    size_t bytes = 0;
    QSize size;
    bool busy = false;

    ~ShmBuffer() {
        if (buffer) {
            wl_buffer_destroy(buffer);
        }
        if (data != MAP_FAILED) {
            munmap(data, bytes);
        }
    }
    static void released(void* data, wl_buffer*) { static_cast<ShmBuffer*>(data)->busy = false; }
    static constexpr wl_buffer_listener listener{&released};

    static std::unique_ptr<ShmBuffer> create(wl_shm* shm, QSize size) {
        auto b = std::make_unique<ShmBuffer>();
        b->size = size;
        const int stride = size.width() * 4;
        b->bytes = size_t(stride) * size_t(size.height());
        const int fd = memfd_create("quillory-overlay", MFD_CLOEXEC);
        if (fd < 0) {
            return nullptr;
        }
        if (ftruncate(fd, off_t(b->bytes)) != 0) {
            close(fd);
            return nullptr;
        }
        b->data = mmap(nullptr, b->bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (b->data == MAP_FAILED) {
            close(fd);
            return nullptr;
        }
        wl_shm_pool* pool = wl_shm_create_pool(shm, fd, int32_t(b->bytes));
        b->buffer = wl_shm_pool_create_buffer(pool, 0, size.width(), size.height(), stride, WL_SHM_FORMAT_ARGB8888);
        wl_shm_pool_destroy(pool);
        close(fd);
        wl_buffer_add_listener(b->buffer, &listener, b.get());
        return b;
    }
};

class LayerSurface final : public OverlaySurface {
public:
    LayerSurface(std::shared_ptr<LayerShellCore> core, QString name) : core_(std::move(core)), name_(std::move(name)) {
        core_->surfaces.push_back(this);
    }
    ~LayerSurface() override {
        destroySurface();
        auto& list = core_->surfaces;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
        if (core_->pointerFocus == this) {
            core_->pointerFocus = nullptr;
        }
    }

    void present(const QImage& image, QPoint topLeft) override {
        if (image.isNull() || !core_->connection->isAlive()) {
            return;
        }
        if (!surface_ && (gaveUp_ || !createSurface(image.size(), topLeft))) {
            // Not again for this showing: each try may wait for the compositor.
            gaveUp_ = true;
            return;
        }
        if (image.size() != size_) {
            size_ = image.size();
            zwlr_layer_surface_v1_set_size(layer_, uint32_t(size_.width()), uint32_t(size_.height()));
        }
        if (topLeft != topLeft_) {
            topLeft_ = topLeft;
            zwlr_layer_surface_v1_set_margin(layer_, topLeft.y(), 0, 0, topLeft.x());
        }
        ShmBuffer* buffer = freeBuffer(image.size());
        if (!buffer) {
            // Every buffer is still on screen: the frame is dropped, the next update draws anew.
            core_->connection->flush();
            return;
        }
        const QImage argb = image.format() == QImage::Format_ARGB32_Premultiplied
                                ? image
                                : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        auto* out = static_cast<uchar*>(buffer->data);
        const qsizetype row = qsizetype(argb.width()) * 4;
        for (int y = 0; y < argb.height(); ++y) {
            std::memcpy(out + y * row, argb.constScanLine(y), size_t(row));
        }
        buffer->busy = true;
        wl_surface_attach(surface_, buffer->buffer, 0, 0);
        wl_surface_damage(surface_, 0, 0, argb.width(), argb.height());
        wl_surface_commit(surface_);
        core_->connection->flush();
    }

    void withdraw() override {
        gaveUp_ = false;
        if (surface_) {
            destroySurface();
            core_->connection->flush();
        }
    }

    bool isMapped() const override { return surface_ != nullptr; }

    wl_surface* surface() const { return surface_; }
    void deliver(const OverlayPointerEvent& event) {
        // Outside the compositor's dispatch: the panel may present (and wait on the connection).
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) {
            return;
        }
        std::weak_ptr<LayerShellCore> weakCore = core_;
        QMetaObject::invokeMethod(
            app,
            [weakCore, self = this, event] {
                const auto core = weakCore.lock();
                if (!core || std::find(core->surfaces.begin(), core->surfaces.end(), self) == core->surfaces.end()) {
                    return; // the surface went meanwhile
                }
                if (self->onPointer) {
                    self->onPointer(event);
                }
            },
            Qt::QueuedConnection);
    }

private:
    bool createSurface(QSize size, QPoint topLeft) {
        WaylandConnection& c = *core_->connection;
        surface_ = wl_compositor_create_surface(c.compositor());
        layer_ = zwlr_layer_shell_v1_get_layer_surface(c.layerShell(), surface_, nullptr,
                                                       ZWLR_LAYER_SHELL_V1_LAYER_OVERLAY,
                                                       core_->layerNamespace.constData());
        zwlr_layer_surface_v1_add_listener(layer_, &kLayerListener, this);
        size_ = size;
        topLeft_ = topLeft;
        zwlr_layer_surface_v1_set_size(layer_, uint32_t(size.width()), uint32_t(size.height()));
        zwlr_layer_surface_v1_set_anchor(layer_, ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT);
        zwlr_layer_surface_v1_set_margin(layer_, topLeft.y(), 0, 0, topLeft.x());
        // -1: placed from the output's edge whatever panels reserve, as the window was.
        zwlr_layer_surface_v1_set_exclusive_zone(layer_, -1);
        zwlr_layer_surface_v1_set_keyboard_interactivity(layer_, 0);
        configured_ = false;
        wl_surface_commit(surface_); // the initial commit, without a buffer: the compositor configures
        if (!c.flush() || !c.waitUntil([this] { return configured_ || !layer_; })) {
            qCWarning(lcApp, "overlay: the compositor did not configure the layer surface of %s",
                      qUtf8Printable(name_));
            destroySurface();
            return false;
        }
        if (!layer_) {
            return false; // closed at once
        }
        if (!loggedMapped_) {
            loggedMapped_ = true;
            qCInfo(lcApp, "overlay: %s shown as a layer-shell surface (%dx%d, namespace %s, no keyboard interactivity)",
                   qUtf8Printable(name_), size.width(), size.height(), core_->layerNamespace.constData());
        }
        return true;
    }

    void destroySurface() {
        if (core_->pointerFocus == this) {
            core_->pointerFocus = nullptr;
        }
        buffers_.clear();
        if (layer_) {
            zwlr_layer_surface_v1_destroy(layer_);
            layer_ = nullptr;
        }
        if (surface_) {
            wl_surface_destroy(surface_);
            surface_ = nullptr;
        }
        topLeft_ = QPoint(-1, -1);
        size_ = QSize();
    }

    ShmBuffer* freeBuffer(QSize size) {
        buffers_.erase(std::remove_if(buffers_.begin(), buffers_.end(),
                                      [&](const auto& b) { return !b->busy && b->size != size; }),
                       buffers_.end());
        for (const auto& b : buffers_) {
            if (!b->busy) {
                return b.get();
            }
        }
        if (buffers_.size() >= 3) {
            return nullptr;
        }
        auto created = ShmBuffer::create(core_->connection->shm(), size);
        if (!created) {
            qCWarning(lcApp, "overlay: no shared memory for a %dx%d frame", size.width(), size.height());
            return nullptr;
        }
        buffers_.push_back(std::move(created));
        return buffers_.back().get();
    }

    static void configure(void* data, zwlr_layer_surface_v1* layer, uint32_t serial, uint32_t, uint32_t) {
        auto* self = static_cast<LayerSurface*>(data);
        zwlr_layer_surface_v1_ack_configure(layer, serial);
        self->configured_ = true;
    }
    static void closed(void* data, zwlr_layer_surface_v1*) {
        // The compositor took it away (its output went): the next present makes a new one.
        auto* self = static_cast<LayerSurface*>(data);
        qCInfo(lcApp, "overlay: the compositor closed the layer surface of %s", qUtf8Printable(self->name_));
        self->destroySurface();
    }
    static constexpr zwlr_layer_surface_v1_listener kLayerListener{&configure, &closed};

    std::shared_ptr<LayerShellCore> core_;
    QString name_;
    wl_surface* surface_ = nullptr;
    zwlr_layer_surface_v1* layer_ = nullptr;
    bool configured_ = false;
    bool loggedMapped_ = false;
    bool gaveUp_ = false;
    QSize size_;
    QPoint topLeft_{-1, -1};
    std::vector<std::unique_ptr<ShmBuffer>> buffers_;
};

LayerSurface* LayerShellCore::owner(wl_surface* surface) const {
    for (LayerSurface* s : surfaces) {
        if (surface && s->surface() == surface) {
            return s;
        }
    }
    return nullptr;
}

struct PointerListener {
    static LayerShellCore* core(void* data) { return static_cast<LayerShellCore*>(data); }
    static void send(LayerShellCore* c, OverlayPointerEvent::Kind kind, QPointF position, Qt::MouseButton button) {
        if (c->pointerFocus) {
            c->pointerFocus->deliver(OverlayPointerEvent{kind, position, button, {}});
        }
    }
    static void enter(void* data, wl_pointer*, uint32_t, wl_surface* surface, wl_fixed_t x, wl_fixed_t y) {
        LayerShellCore* c = core(data);
        c->pointerFocus = c->owner(surface);
        c->lastPosition = QPointF(wl_fixed_to_double(x), wl_fixed_to_double(y));
        send(c, OverlayPointerEvent::Kind::motion, QPointF(wl_fixed_to_double(x), wl_fixed_to_double(y)), Qt::NoButton);
    }
    static void leave(void* data, wl_pointer*, uint32_t, wl_surface*) {
        LayerShellCore* c = core(data);
        send(c, OverlayPointerEvent::Kind::leave, {}, Qt::NoButton);
        c->pointerFocus = nullptr;
    }
    static void motion(void* data, wl_pointer*, uint32_t, wl_fixed_t x, wl_fixed_t y) {
        LayerShellCore* c = core(data);
        c->lastPosition = QPointF(wl_fixed_to_double(x), wl_fixed_to_double(y));
        send(c, OverlayPointerEvent::Kind::motion, c->lastPosition, Qt::NoButton);
    }
    static void button(void* data, wl_pointer*, uint32_t, uint32_t, uint32_t button, uint32_t state) {
        const Qt::MouseButton which = button == BTN_LEFT    ? Qt::LeftButton
                                      : button == BTN_RIGHT ? Qt::RightButton
                                      : button == BTN_MIDDLE ? Qt::MiddleButton
                                                              : Qt::NoButton;
        if (which == Qt::NoButton) {
            return;
        }
        send(core(data),
             state == WL_POINTER_BUTTON_STATE_PRESSED ? OverlayPointerEvent::Kind::press
                                                       : OverlayPointerEvent::Kind::release,
             core(data)->lastPosition, which);
    }
    static void axis(void* data, wl_pointer*, uint32_t, uint32_t axis, wl_fixed_t value) {
        // 10 units a notch (libinput's wheel); Wayland counts downwards and rightwards positive.
        const int delta = int(-wl_fixed_to_double(value) * 12.0);
        if (delta == 0) {
            return;
        }
        LayerShellCore* c = core(data);
        if (c->pointerFocus) {
            OverlayPointerEvent event{OverlayPointerEvent::Kind::wheel, c->lastPosition, Qt::NoButton, {}};
            event.angleDelta = axis == WL_POINTER_AXIS_VERTICAL_SCROLL ? QPoint(0, delta) : QPoint(delta, 0);
            c->pointerFocus->deliver(event);
        }
    }
    /// The events of version 2 (the later ones are never sent to a version 2 pointer).
    static wl_pointer_listener make() {
        wl_pointer_listener l{};
        l.enter = &enter;
        l.leave = &leave;
        l.motion = &motion;
        l.button = &button;
        l.axis = &axis;
        return l;
    }
    static inline const wl_pointer_listener listener = make();
};

void LayerShellCore::ensurePointer() {
    if (pointer || !connection->seat() || !(connection->seatCapabilities() & WL_SEAT_CAPABILITY_POINTER)) {
        return;
    }
    pointer = wl_seat_get_pointer(connection->seat());
    wl_pointer_add_listener(pointer, &PointerListener::listener, this);
}

class LayerShellSurfaces final : public OverlaySurfaces {
public:
    LayerShellSurfaces(std::shared_ptr<WaylandConnection> connection, const QString& layerNamespace)
        : core_(std::make_shared<LayerShellCore>()) {
        core_->connection = std::move(connection);
        core_->layerNamespace = layerNamespace.toUtf8();
        core_->ensurePointer();
    }
    std::unique_ptr<OverlaySurface> createSurface(const QString& name) override {
        core_->ensurePointer(); // a pointer plugged in since
        return std::make_unique<LayerSurface>(core_, name);
    }

private:
    std::shared_ptr<LayerShellCore> core_;
};

} // namespace

std::unique_ptr<OverlaySurfaces> openLayerShellSurfaces(QString* why, const QString& layerNamespace,
                                                        const QString& displayName) {
    QString reason;
    auto connection = WaylandConnection::open(&reason, displayName, WaylandConnection::Role::surfaces);
    if (!connection) {
        *why = reason;
        return nullptr;
    }
    QStringList missing;
    if (!connection->layerShell()) missing << QStringLiteral("zwlr_layer_shell_v1");
    if (!connection->compositor()) missing << QStringLiteral("wl_compositor");
    if (!connection->shm()) missing << QStringLiteral("wl_shm");
    if (!missing.isEmpty()) {
        *why = QStringLiteral("the compositor does not advertise %1").arg(missing.join(QStringLiteral(", ")));
        return nullptr;
    }
    return std::make_unique<LayerShellSurfaces>(std::move(connection), layerNamespace);
}

} // namespace quillory::platform
