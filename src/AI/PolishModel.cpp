#include "AI/PolishModel.h"

#include "Runtime/Localization.h"
#include "Runtime/ModelHosting.h"

#include <cmath>

namespace quillory {

namespace {

struct CatalogueEntry {
    PolishModel model;
    const char* id;
    const char* displayName;
    const char* detailKey;
    const char* filename;
    const char* repositoryOwner;
    const char* repositoryName;
    qint64 downloadSize;
    qint64 memoryRequirement;
    PolishPromptFormat format;
    /// The file's SHA-256 where we have checked it ourselves; null: the digest the hosting
    /// service announces for the file is checked instead.
    const char* sha256;
};

// Repository owners on the model hosting service are configuration: this table is the one place.
constexpr CatalogueEntry kCatalogue[] = {
    {PolishModel::gemma4_e2bQ4KM, "google_gemma-4-e2b-it-q4_k_m", "Gemma 4 E2B IT Q4_K_M",
     "polish.model.gemma4_e2b.detail", "google_gemma-4-E2B-it-Q4_K_M.gguf", "bartowski",
     "google_gemma-4-E2B-it-GGUF", 3'462'677'760, 3'200'000'000, PolishPromptFormat::gemma4, nullptr},
    {PolishModel::qwen35_4bQ4KM, "qwen3.5-4b-instruct-q4_k_m", "Qwen3.5 4B Instruct Q4_K_M",
     "polish.model.qwen35.detail", "qwen3.5-4b-instruct-Q4_K_M.gguf", "Qwen", "Qwen3.5-4B-Instruct-GGUF",
     2'708'804'384, 5'200'000'000, PolishPromptFormat::qwen, nullptr},
    {PolishModel::phi3_miniQ4, "phi-3-mini-4k-instruct-q4", "Phi-3 Mini 4k Instruct Q4",
     "polish.model.phi3.detail", "Phi-3-mini-4k-instruct-q4.gguf", "microsoft", "Phi-3-mini-4k-instruct-gguf",
     2'300'000'000, 4'000'000'000, PolishPromptFormat::phi3, nullptr},
    {PolishModel::mistral7b_v03Q4KM, "mistral-7b-instruct-v0.3-q4_k_m", "Mistral 7B Instruct v0.3 Q4_K_M",
     "polish.model.mistral7b.detail", "Mistral-7B-Instruct-v0.3-Q4_K_M.gguf", "bartowski",
     "Mistral-7B-Instruct-v0.3-GGUF", 4'400'000'000, 5'500'000'000, PolishPromptFormat::mistralInstruct,
     nullptr},
    {PolishModel::llama3Japanese8bQ4KM, "llama-3-8b-japanese-instruct-q4_k_m",
     "Llama 3 8B Japanese Instruct Q4_K_M", "polish.model.llama3jp8b.detail",
     "Llama-3-8B-Japanese-Instruct-Q4_K_M.gguf", "mmnga", "Llama-3-8B-Japanese-Instruct-GGUF", 4'900'000'000,
     8'500'000'000, PolishPromptFormat::llama3, nullptr},
};

const CatalogueEntry& entry(PolishModel m) {
    for (const auto& e : kCatalogue) {
        if (e.model == m) {
            return e;
        }
    }
    return kCatalogue[0];
}

QString formatBytes(qint64 bytes, double unit) {
    static const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB"};
    if (bytes < 0) {
        bytes = 0;
    }
    if (static_cast<double>(bytes) < unit) {
        return bytes == 1 ? QStringLiteral("1 byte") : QStringLiteral("%1 bytes").arg(bytes);
    }
    double value = static_cast<double>(bytes) / unit;
    int index = 0;
    while (value >= unit && index < 4) {
        value /= unit;
        ++index;
    }
    // kB without decimals, MB with one, larger units with two; trailing zeros are dropped.
    const int decimals = index == 0 ? 0 : (index == 1 ? 1 : 2);
    const double scale = std::pow(10.0, decimals);
    value = std::round(value * scale) / scale;
    if (value >= unit && index < 4) { // rounding reached the next unit
        value /= unit;
        ++index;
    }
    QString number = QString::number(value, 'f', decimals);
    if (number.contains(QLatin1Char('.'))) {
        while (number.endsWith(QLatin1Char('0'))) {
            number.chop(1);
        }
        if (number.endsWith(QLatin1Char('.'))) {
            number.chop(1);
        }
    }
    return number + QLatin1Char(' ') + QLatin1String(kUnits[index]);
}

} // namespace

namespace PolishModels {

QString id(PolishModel m) {
    return QString::fromLatin1(entry(m).id);
}

std::optional<PolishModel> fromId(const QString& text) {
    for (const auto& e : kCatalogue) {
        if (text == QLatin1String(e.id)) {
            return e.model;
        }
    }
    return std::nullopt;
}

QString displayName(PolishModel m) {
    return QString::fromLatin1(entry(m).displayName);
}
const char* detailKey(PolishModel m) {
    return entry(m).detailKey;
}
QString detail(PolishModel m) {
    return L(entry(m).detailKey);
}
QString filename(PolishModel m) {
    return QString::fromLatin1(entry(m).filename);
}

QString repositoryID(PolishModel m) {
    return QString::fromLatin1(entry(m).repositoryOwner) + QLatin1Char('/') +
           QString::fromLatin1(entry(m).repositoryName);
}

QByteArray sha256(PolishModel m) {
    return QByteArray(entry(m).sha256);
}

QString downloadURL(PolishModel m) {
    return ModelHosting::fileURL(repositoryID(m), filename(m));
}

qint64 downloadSizeBytes(PolishModel m) {
    return entry(m).downloadSize;
}
qint64 memoryRequirementBytes(PolishModel m) {
    return entry(m).memoryRequirement;
}
QString downloadSizeDescription(PolishModel m) {
    return ByteCount::fileStyle(entry(m).downloadSize);
}
QString memoryRequirementDescription(PolishModel m) {
    return ByteCount::memoryStyle(entry(m).memoryRequirement);
}
PolishPromptFormat promptFormat(PolishModel m) {
    return entry(m).format;
}

QStringList stopTokens(PolishModel m) {
    switch (m) {
    case PolishModel::gemma4_e2bQ4KM:
        return {QStringLiteral("<|turn>user"), QStringLiteral("<|turn>system"), QStringLiteral("<|channel>"),
                QStringLiteral("<|tool_call>"), QStringLiteral("<|tool_response>")};
    case PolishModel::qwen35_4bQ4KM:
        return {QStringLiteral("<|im_end|>"), QStringLiteral("<|endoftext|>")};
    case PolishModel::phi3_miniQ4:
        return {QStringLiteral("<|end|>"), QStringLiteral("<|user|>"), QStringLiteral("<|assistant|>")};
    case PolishModel::mistral7b_v03Q4KM:
        return {QStringLiteral("</s>"), QStringLiteral("[INST]")};
    case PolishModel::llama3Japanese8bQ4KM:
        return {QStringLiteral("<|eot_id|>"), QStringLiteral("<|end_of_text|>")};
    }
    return {};
}

QStringList extraLlamaServerArguments(PolishModel m) {
    switch (m) {
    case PolishModel::gemma4_e2bQ4KM:
        return {QStringLiteral("--no-mmproj")};
    case PolishModel::qwen35_4bQ4KM:
        return {QStringLiteral("--no-mmproj"), QStringLiteral("--reasoning"), QStringLiteral("off"),
                QStringLiteral("--reasoning-budget"), QStringLiteral("0")};
    default:
        return {};
    }
}

} // namespace PolishModels

namespace ByteCount {
QString fileStyle(qint64 bytes) {
    return formatBytes(bytes, 1000.0);
}
QString memoryStyle(qint64 bytes) {
    return formatBytes(bytes, 1024.0);
}
} // namespace ByteCount

} // namespace quillory
