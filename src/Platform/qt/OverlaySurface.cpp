#include "Platform/qt/OverlaySurface.h"

#include "Runtime/Log.h"

namespace quillory::platform {

OverlayPresentation chooseOverlayPresentation(
    const BackendChoice& overlay,
    const std::function<std::unique_ptr<OverlaySurfaces>(QString* why)>& openLayerShell) {
    OverlayPresentation out;
    out.choice = overlay;
    if (overlay.path == DesktopPaths::layerShell) {
        QString why;
        std::unique_ptr<OverlaySurfaces> surfaces = openLayerShell ? openLayerShell(&why) : nullptr;
        if (surfaces) {
            out.surfaces = std::move(surfaces);
            qCInfo(lcApp, "overlay: layer-shell surfaces (%s)", qUtf8Printable(overlay.reason));
            return out;
        }
        // Today's window on XWayland: shown, though some compositors may give it the keyboard.
        out.choice.path = DesktopPaths::xwaylandWindow;
        out.choice.reason = QStringLiteral("layer-shell surfaces could not be made (%1): a window on XWayland")
                                .arg(why.isEmpty() ? QStringLiteral("no reason given") : why);
        out.choice.limitation = QStringLiteral("some compositors give it the keyboard focus when it is shown");
        qCWarning(lcApp, "overlay: %s", qUtf8Printable(out.choice.reason));
        return out;
    }
    qCInfo(lcApp, "overlay: %s (%s)", qUtf8Printable(overlay.path), qUtf8Printable(overlay.reason));
    return out;
}

} // namespace quillory::platform
