#include "AI/PolishSettings.h"

#include "Runtime/DefaultsStore.h"
#include "Runtime/Text.h"

// Minimal settings reads so the session core can be built and tested; the model catalogue work
// completes this file (default prompt text, retired-model migration, prompt editing).

namespace quillory::PolishSettings {

namespace {
DefaultsStore& store() { return DefaultsStore::standard(); }
} // namespace

bool isEnabled() { return store().boolValue(QLatin1String(enabledKey)).value_or(false); }
void setEnabled(bool enabled) { store().setBool(QLatin1String(enabledKey), enabled); }

PolishModel selectedModel() {
    const auto stored = store().stringValue(QLatin1String(modelKey));
    if (!stored) {
        return PolishModel::gemma4_e2bQ4KM;
    }
    return PolishModels::fromId(*stored).value_or(PolishModel::gemma4_e2bQ4KM);
}

void setSelectedModel(PolishModel model) { store().setString(QLatin1String(modelKey), PolishModels::id(model)); }

QString prompt() {
    const QString stored = store().stringValue(QLatin1String(promptKey)).value_or(QString());
    if (!Text::isBlank(stored)) {
        return stored;
    }
    return QStringLiteral("(default prompt)");
}

} // namespace quillory::PolishSettings
