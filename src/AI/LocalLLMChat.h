#pragma once

#include "AI/PolishModel.h"

#include <QList>
#include <QString>
#include <QUuid>

#include <optional>

namespace quillory {

enum class LocalLLMChatRole { system, user, assistant };

/// "system", "user", "assistant".
QString rawValue(LocalLLMChatRole role);
std::optional<LocalLLMChatRole> chatRoleFromRawValue(const QString& raw);

/// One message of a chat dialogue; equal when all fields are equal.
struct LocalLLMChatMessage {
    QUuid id = QUuid::createUuid();
    LocalLLMChatRole role = LocalLLMChatRole::user;
    QString content;

    LocalLLMChatMessage() = default;
    LocalLLMChatMessage(LocalLLMChatRole r, QString c) : role(r), content(std::move(c)) {}
    bool operator==(const LocalLLMChatMessage&) const = default;
};

namespace LocalLLMChatPrompt {
/// The raw chat prompt of a whole dialogue in `model`'s chat template.
QString build(const QList<LocalLLMChatMessage>& messages, PolishModel model);
/// The localised default system text ("localllm.system.default").
QString defaultSystemPrompt();
} // namespace LocalLLMChatPrompt

} // namespace quillory
