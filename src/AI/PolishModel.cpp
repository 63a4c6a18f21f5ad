#include "AI/PolishModel.h"

namespace quillory::PolishModels {

QString id(PolishModel m) {
    switch (m) {
    case PolishModel::gemma4_e2bQ4KM:
        return QStringLiteral("google_gemma-4-e2b-it-q4_k_m");
    case PolishModel::qwen35_4bQ4KM:
        return QStringLiteral("qwen3.5-4b-instruct-q4_k_m");
    case PolishModel::phi3_miniQ4:
        return QStringLiteral("phi-3-mini-4k-instruct-q4");
    case PolishModel::mistral7b_v03Q4KM:
        return QStringLiteral("mistral-7b-instruct-v0.3-q4_k_m");
    case PolishModel::llama3Japanese8bQ4KM:
        return QStringLiteral("llama-3-8b-japanese-instruct-q4_k_m");
    }
    return {};
}

std::optional<PolishModel> fromId(const QString& text) {
    for (PolishModel m : allCases) {
        if (id(m) == text) {
            return m;
        }
    }
    return std::nullopt;
}

} // namespace quillory::PolishModels
