#include "UI/Overlay/OverlayGeometry.h"

#include <algorithm>
#include <cmath>

namespace quillory {

QRect ScreenSpace::toQt(const UpRect& r) const {
    // The screen's bottom edge in Qt coordinates is y + height (QRect::bottom() is one less).
    const double screenBottom = screen_.y() + screen_.height();
    return QRect(int(std::lround(screen_.x() + r.x)), int(std::lround(screenBottom - r.y - r.height)),
                 int(std::lround(r.width)), int(std::lround(r.height)));
}

UpRect ScreenSpace::fromQt(const QRect& r) const {
    const double screenBottom = screen_.y() + screen_.height();
    return UpRect{double(r.x() - screen_.x()), screenBottom - (r.y() + r.height()), double(r.width()),
                  double(r.height())};
}

namespace OverlayLayout {

UpRect stripDefault(const UpRect& visible) {
    return UpRect{visible.midX() - kStripWidth / 2, visible.y + kStripBottomInset, kStripWidth, kStripHeight};
}

double clampTranscriptHeight(double fitting) {
    if (!std::isfinite(fitting)) {
        return kTranscriptMinHeight;
    }
    return std::clamp(fitting, kTranscriptMinHeight, kTranscriptMaxHeight);
}

bool stripIsSane(const UpRect& strip) {
    const double mid = strip.midX();
    return strip.width >= kSanityMinStripWidth && mid > kSanityMinMidX && mid < kSanityMaxMidX;
}

UpRect transcriptAbove(const UpRect& strip, double height) {
    return UpRect{strip.midX() - kTranscriptWidth / 2, strip.y + strip.height + kTranscriptGap, kTranscriptWidth,
                  height};
}

UpRect transcriptFallback(const UpRect& visible, double width, double height) {
    return UpRect{visible.midX() - width / 2, visible.y + kTranscriptFallbackBottom, width, height};
}

} // namespace OverlayLayout
} // namespace quillory
