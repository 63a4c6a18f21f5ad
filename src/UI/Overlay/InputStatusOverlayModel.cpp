#include "UI/Overlay/InputStatusOverlayModel.h"

#include "Runtime/Localization.h"

#include <QStringList>

namespace quillory {

QString InputStatusOverlayModel::accessibilitySummary() const {
    QStringList items{primaryTitle_};
    if (showAiPolishPolishingBadge_) {
        items << L("overlay.badge.polishing");
    }
    if (showAiFeatureBadge()) {
        items << L("overlay.badge.ai");
    }
    items << pipelineCaption_;
    items.removeAll(QString());
    return items.join(QLatin1Char(' '));
}

} // namespace quillory
