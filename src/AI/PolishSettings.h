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

/// The id of the model that the Qwen 3.5 model replaced, and its file.
inline constexpr const char* retiredModelId = "qwen2.5-3b-instruct-q4_k_m";
inline constexpr const char* retiredModelFilename = "qwen2.5-3b-instruct-q4_k_m.gguf";

/// The built-in polish prompt (626 characters, no final line feed).
QString defaultPrompt();
inline constexpr PolishModel defaultSelectedModel = PolishModel::gemma4_e2bQ4KM;

bool isEnabled();
void setEnabled(bool enabled);
/// The selected model (migrating a retired one, deleting its file); never fails.
PolishModel selectedModel();
void setSelectedModel(PolishModel model);
/// The prompt to send: the stored one (untrimmed) unless it is blank, else the default.
QString prompt();
/// The stored prompt as it is, or the default when nothing is stored (fills the editor).
QString storedPromptForEditing();
/// Stores `text` untrimmed, or removes the key when it is blank or equals the default.
void setPrompt(const QString& text);
void resetPrompt();
/// The chat tab's model, or none when nothing (or an unknown id) is stored.
std::optional<PolishModel> localLLMChatStoredModel();
void setLocalLLMChatStoredModel(PolishModel model);

/// The folder of the model files: `QUILLORY_MODELS_DIR` when set, else `AIModels` in the
/// application support folder.
QString modelDirectory();

} // namespace PolishSettings
} // namespace quillory
