#pragma once

#include "AI/PolishModel.h"

#include <QString>

#include <optional>

namespace quillory {

/// The persisted polish settings. Nothing is cached: each read sees the latest write.
namespace PolishSettings {

inline constexpr const char* enabledKey = "quillory.aiPolish.enabled";
inline constexpr const char* modelKey = "quillory.aiPolish.model";
inline constexpr const char* promptKey = "quillory.aiPolish.prompt";
inline constexpr const char* chatModelKey = "quillory.localLLM.chatModel";

bool isEnabled();
void setEnabled(bool enabled);
/// The selected model (migrating a retired one); never fails.
PolishModel selectedModel();
void setSelectedModel(PolishModel model);
/// The prompt to send: the stored one unless it is blank, else the default.
QString prompt();

} // namespace PolishSettings
} // namespace quillory
