#include "AI/LocalLLMChat.h"

#include "Runtime/Localization.h"

namespace quillory {

QString rawValue(LocalLLMChatRole role) {
    switch (role) {
    case LocalLLMChatRole::system:
        return QStringLiteral("system");
    case LocalLLMChatRole::user:
        return QStringLiteral("user");
    case LocalLLMChatRole::assistant:
        return QStringLiteral("assistant");
    }
    return QStringLiteral("user");
}

std::optional<LocalLLMChatRole> chatRoleFromRawValue(const QString& raw) {
    for (auto r : {LocalLLMChatRole::system, LocalLLMChatRole::user, LocalLLMChatRole::assistant}) {
        if (rawValue(r) == raw) {
            return r;
        }
    }
    return std::nullopt;
}

namespace LocalLLMChatPrompt {

QString defaultSystemPrompt() {
    return L("localllm.system.default");
}

QString build(const QList<LocalLLMChatMessage>& messages, PolishModel model) {
    QString system = defaultSystemPrompt();
    for (const auto& m : messages) {
        if (m.role == LocalLLMChatRole::system) {
            system = m.content;
            break;
        }
    }
    QList<LocalLLMChatMessage> turns;
    for (const auto& m : messages) {
        if (m.role != LocalLLMChatRole::system) {
            turns << m;
        }
    }
    const auto isUser = [](const LocalLLMChatMessage& m) { return m.role == LocalLLMChatRole::user; };

    switch (PolishModels::promptFormat(model)) {
    case PolishPromptFormat::qwen: {
        QStringList pieces{QStringLiteral("<|im_start|>system\n") + system + QStringLiteral("<|im_end|>")};
        for (const auto& t : turns) {
            pieces << (isUser(t) ? QStringLiteral("<|im_start|>user\n")
                                 : QStringLiteral("<|im_start|>assistant\n")) +
                          t.content + QStringLiteral("<|im_end|>");
        }
        pieces << QStringLiteral("<|im_start|>assistant\n<think>\n\n</think>\n\n");
        return pieces.join(QLatin1Char('\n'));
    }
    case PolishPromptFormat::llama3: {
        QString p = QStringLiteral("<|begin_of_text|><|start_header_id|>system<|end_header_id|>\n\n") +
                    system + QStringLiteral("<|eot_id|>");
        for (const auto& t : turns) {
            p += (isUser(t) ? QStringLiteral("<|start_header_id|>user<|end_header_id|>\n\n")
                            : QStringLiteral("<|start_header_id|>assistant<|end_header_id|>\n\n")) +
                 t.content + QStringLiteral("<|eot_id|>");
        }
        return p + QStringLiteral("<|start_header_id|>assistant<|end_header_id|>\n\n");
    }
    case PolishPromptFormat::gemma4: {
        QString p = QStringLiteral("<bos><|turn>system\n") + system + QLatin1Char('\n');
        for (const auto& t : turns) {
            p += (isUser(t) ? QStringLiteral("<|turn>user\n") : QStringLiteral("<|turn>model\n")) +
                 t.content + QLatin1Char('\n');
        }
        return p + QStringLiteral("<|turn>model\n\n");
    }
    case PolishPromptFormat::phi3: {
        QString p = QStringLiteral("<|system|>\n") + system + QStringLiteral("<|end|>");
        for (const auto& t : turns) {
            p += (isUser(t) ? QStringLiteral("<|user|>\n") : QStringLiteral("<|assistant|>\n")) + t.content +
                 QStringLiteral("<|end|>");
        }
        return p + QStringLiteral("<|assistant|>\n\n");
    }
    case PolishPromptFormat::mistralInstruct: {
        QStringList pieces{system};
        for (const auto& t : turns) {
            pieces << (isUser(t) ? QStringLiteral("User: ") : QStringLiteral("Assistant: ")) + t.content;
        }
        return QStringLiteral("<s>[INST] ") + pieces.join(QStringLiteral("\n\n")) +
               QStringLiteral("\n\n[/INST]");
    }
    }
    return {};
}

} // namespace LocalLLMChatPrompt
} // namespace quillory
