#pragma once

#include <QString>
#include <QStringList>

#include <array>
#include <optional>

namespace quillory {

/// The closed catalogue of local polish models, persisted by `id`.
enum class PolishModel {
    gemma4_e2bQ4KM,
    qwen35_4bQ4KM,
    phi3_miniQ4,
    mistral7b_v03Q4KM,
    llama3Japanese8bQ4KM
};

/// The prompt template family of a model.
enum class PolishPromptFormat { qwen, llama3, gemma4, phi3, mistralInstruct };

namespace PolishModels {
/// Every model, in catalogue order.
inline constexpr std::array<PolishModel, 5> allCases = {
    PolishModel::gemma4_e2bQ4KM, PolishModel::qwen35_4bQ4KM, PolishModel::phi3_miniQ4,
    PolishModel::mistral7b_v03Q4KM, PolishModel::llama3Japanese8bQ4KM};

/// The persisted identifier (also the raw value).
QString id(PolishModel m);
/// Accepts exactly the five ids.
std::optional<PolishModel> fromId(const QString& id);

QString displayName(PolishModel m);
/// Localised description of the model.
QString detail(PolishModel m);
/// The localisation key of `detail`.
const char* detailKey(PolishModel m);
/// The GGUF file name.
QString filename(PolishModel m);
/// owner/name on the model hosting service.
QString repositoryID(PolishModel m);
/// The hosting base URL (ending in a slash), then the repository, "/resolve/main/" and the file.
QString downloadURL(PolishModel m);
/// The file's SHA-256 where the catalogue pins it; empty when the digest the hosting service
/// announces is what the download is checked against.
QByteArray sha256(PolishModel m);
qint64 downloadSizeBytes(PolishModel m);
qint64 memoryRequirementBytes(PolishModel m);
/// The download size in decimal units ("3.46 GB").
QString downloadSizeDescription(PolishModel m);
/// The memory requirement in binary units ("2.98 GB" for 3.2e9 bytes).
QString memoryRequirementDescription(PolishModel m);
PolishPromptFormat promptFormat(PolishModel m);
/// The strings at which generation stops, in request order.
QStringList stopTokens(PolishModel m);
/// Arguments appended to the server's command line for this model.
QStringList extraLlamaServerArguments(PolishModel m);
} // namespace PolishModels

/// Byte counts as the settings show them.
namespace ByteCount {
/// Decimal units (1 kB = 1000 bytes): "3.46 GB", "2.7 GB", "512 bytes".
QString fileStyle(qint64 bytes);
/// Binary units (1 KB = 1024 bytes), written with the same unit names: "2.98 GB".
QString memoryStyle(qint64 bytes);
} // namespace ByteCount

} // namespace quillory
