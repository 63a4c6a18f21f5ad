#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace quillory {

/// The closed catalogue of local polish models, persisted by `id`.
enum class PolishModel { gemma4_e2bQ4KM, qwen35_4bQ4KM, phi3_miniQ4, mistral7b_v03Q4KM, llama3Japanese8bQ4KM };

/// The prompt template family of a model.
enum class PolishPromptFormat { qwen, llama3, gemma4, phi3, mistralInstruct };

namespace PolishModels {
/// Every model, in catalogue order.
inline constexpr std::array<PolishModel, 5> allCases = {
    PolishModel::gemma4_e2bQ4KM, PolishModel::qwen35_4bQ4KM, PolishModel::phi3_miniQ4,
    PolishModel::mistral7b_v03Q4KM, PolishModel::llama3Japanese8bQ4KM};

QString id(PolishModel m);
/// Accepts exactly the five ids.
std::optional<PolishModel> fromId(const QString& id);
} // namespace PolishModels

} // namespace quillory
