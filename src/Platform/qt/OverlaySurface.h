#pragma once

#include "Platform/DesktopBackends.h"

#include <QImage>
#include <QPoint>
#include <QPointF>
#include <QString>

#include <functional>
#include <memory>

namespace quillory::platform {

/// A pointer event on an overlay surface, in the surface's own pixels.
struct OverlayPointerEvent {
    enum class Kind { motion, press, release, leave, wheel };
    Kind kind = Kind::motion;
    QPointF position;
    Qt::MouseButton button = Qt::NoButton; ///< press and release
    QPoint angleDelta; ///< wheel: eighths of a degree, as QWheelEvent (120 a notch, positive away from the user)
};

/// Where one overlay panel's pixels go when the panel is not a window of its own: a surface the
/// compositor shows above everything and never gives the keyboard (a layer-shell surface).
class OverlaySurface {
public:
    virtual ~OverlaySurface() = default;
    /// Shows `image` (premultiplied ARGB) with its top-left corner at `topLeft`, in the screen's
    /// coordinates; maps the surface first when it is not mapped.
    virtual void present(const QImage& image, QPoint topLeft) = 0;
    /// Takes the surface off the screen (the next `present` maps it again).
    virtual void withdraw() = 0;
    virtual bool isMapped() const = 0;
    /// Pointer events on the surface; set by the panel that owns it.
    std::function<void(const OverlayPointerEvent&)> onPointer;
};

/// Makes the surfaces of the overlay's panels (one connection to the compositor for all of them).
class OverlaySurfaces {
public:
    virtual ~OverlaySurfaces() = default;
    /// A new, unmapped surface; `name` identifies the panel in logs.
    virtual std::unique_ptr<OverlaySurface> createSurface(const QString& name) = 0;
};

/// How the overlay is shown in this process: the surfaces (null: the panels are windows of their
/// own) and the path with its reason, as `doctor` and the log name them.
struct OverlayPresentation {
    std::shared_ptr<OverlaySurfaces> surfaces;
    BackendChoice choice;
};

/// Follows the desktop's overlay choice: where it is `layer-shell`, `openLayerShell` is asked for
/// the surfaces; when it cannot give them (the reason in its out-parameter), the overlay falls back
/// to today's window on XWayland and says why. Logs the outcome on the app channel.
OverlayPresentation chooseOverlayPresentation(
    const BackendChoice& overlay,
    const std::function<std::unique_ptr<OverlaySurfaces>(QString* why)>& openLayerShell);

/// Layer-shell surfaces named `layerNamespace` (the desktop choice's `overlayLayerNamespace`) on a
/// Wayland connection of their own (WAYLAND_DISPLAY when `displayName` is empty); null with the
/// reason when the compositor is not reachable or has no zwlr_layer_shell_v1, wl_compositor or wl_shm.
std::unique_ptr<OverlaySurfaces> openLayerShellSurfaces(QString* why, const QString& layerNamespace,
                                                        const QString& displayName = {});

} // namespace quillory::platform
