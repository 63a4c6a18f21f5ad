#pragma once

#include <QRect>
#include <QRectF>

namespace quillory {

/// A rectangle in overlay layout coordinates: origin at the bottom-left corner of the screen,
/// y pointing up, in device-independent pixels. The overlay's placement rules are written in
/// these coordinates; `ScreenSpace` is the only place that converts them to Qt's (y down).
struct UpRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double midX() const { return x + width / 2; }
    double top() const { return y + height; }
    bool operator==(const UpRect&) const = default;
};

/// Converts between layout coordinates and Qt's global window coordinates for one screen.
class ScreenSpace {
public:
    /// `screenGeometry` is the screen's full geometry, `available` its visible part (without
    /// panels and docks), both in Qt global coordinates.
    ScreenSpace(QRect screenGeometry, QRect available) : screen_(screenGeometry), available_(available) {}

    QRect toQt(const UpRect& r) const;
    UpRect fromQt(const QRect& r) const;
    /// The visible part of the screen in layout coordinates.
    UpRect visibleFrame() const { return fromQt(available_); }

private:
    QRect screen_;
    QRect available_;
};

/// The overlay's geometry rules.
namespace OverlayLayout {
constexpr double kStripWidth = 308;
constexpr double kStripHeight = 48;
constexpr double kStripBottomInset = 20;
constexpr double kTranscriptWidth = 420;
constexpr double kTranscriptMinHeight = 160;
constexpr double kTranscriptMaxHeight = 460;
constexpr double kTranscriptGap = 8;
/// Fallback transcript bottom above the visible bottom: the strip's inset and height plus the gap.
constexpr double kTranscriptFallbackBottom = 28 + 48 + 8;
constexpr double kSanityMinStripWidth = 40;
constexpr double kSanityMinMidX = 80;
constexpr double kSanityMaxMidX = 50000;

/// The strip's default frame: centred on the visible frame, 20 above its bottom.
UpRect stripDefault(const UpRect& visible);
/// The transcript's height for a view whose fitting height is `fitting`.
double clampTranscriptHeight(double fitting);
/// True when a strip frame is plausible enough to dock the transcript above it.
bool stripIsSane(const UpRect& strip);
/// The transcript docked above the strip (`height` already clamped).
UpRect transcriptAbove(const UpRect& strip, double height);
/// The transcript at the bottom centre of the visible frame, 84 above its bottom.
UpRect transcriptFallback(const UpRect& visible, double width, double height);
} // namespace OverlayLayout

} // namespace quillory
