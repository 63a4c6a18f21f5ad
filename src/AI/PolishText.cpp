#include "AI/PolishText.h"

#include "Runtime/Text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

namespace quillory::PolishText {

namespace {

QString replaceUntilStable(QString text, const QRegularExpression& re) {
    if (!re.isValid()) {
        return text; // a pattern that does not compile is skipped
    }
    for (;;) {
        QString next = text;
        next.replace(re, QString());
        if (next == text) {
            return text;
        }
        text = std::move(next);
    }
}

// Template tokens removed from answers (both clean-ups), in this order.
const QStringList& templateTokens() {
    static const QStringList tokens = {
        QStringLiteral("<|begin_of_text|>"),
        QStringLiteral("<|start_header_id|>"),
        QStringLiteral("<|end_header_id|>"),
        QStringLiteral("<|eot_id|>"),
        QStringLiteral("<|end_of_text|>"),
        QStringLiteral("<|im_end|>"),
        QStringLiteral("<|endoftext|>"),
        QStringLiteral("<bos>"),
        QStringLiteral("<start_of_turn>"),
        QStringLiteral("<end_of_turn>"),
        QStringLiteral("<|turn>system"),
        QStringLiteral("<|turn>user"),
        QStringLiteral("<|turn>model"),
        QStringLiteral("<|channel>"),
        QStringLiteral("<|think|>"),
        QStringLiteral("<|tool_call>"),
        QStringLiteral("<|tool_response>"),
        QStringLiteral("<|tool>"),
        QStringLiteral("<|system|>"),
        QStringLiteral("<|user|>"),
        QStringLiteral("<|assistant|>"),
        QStringLiteral("<|end|>"),
        QStringLiteral("<s>"),
        QStringLiteral("</s>"),
        QStringLiteral("[/INST]"),
        QStringLiteral("[INST]"),
    };
    return tokens;
}

bool isEdgeJunk(QChar c) {
    switch (c.unicode()) {
    case u'"':
    case 0x201C:
    case 0x201D:
    case u'`':
    case 0xFF1A:
    case u':':
    case u' ':
    case u'\n':
    case u'\t':
        return true;
    default:
        return false;
    }
}

QString jsonValue(const QJsonValue& v) {
    // Compact JSON of one value: serialise it inside an array and drop the brackets.
    const QByteArray a = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(a.mid(1, a.size() - 2));
}

} // namespace

QString requestSentence() {
    return QStringLiteral(u"次の音声入力の累積ログを、上記ルールだけで最終文章に組み立ててください:");
}

QString transcriptHeader() {
    return QStringLiteral(u"\n入力本文:\n");
}

QString polishPrompt(const QString& transcript, PolishModel model, const QString& instructions) {
    const QString user = requestSentence() + transcriptHeader() + transcript;
    switch (PolishModels::promptFormat(model)) {
    case PolishPromptFormat::qwen:
        return QStringLiteral("<|im_start|>system\n") + instructions +
               QStringLiteral("\n<|im_end|>\n<|im_start|>user\n") + user +
               QStringLiteral("\n<|im_end|>\n<|im_start|>assistant\n") +
               QStringLiteral("<think>\n\n</think>\n\n");
    case PolishPromptFormat::gemma4:
        return QStringLiteral("<bos><|turn>system\n") + instructions + QStringLiteral("\n<|turn>user\n") +
               user + QStringLiteral("\n<|turn>model\n");
    case PolishPromptFormat::phi3:
        return QStringLiteral("<|system|>\n") + instructions + QStringLiteral("<|end|>\n<|user|>\n") + user +
               QStringLiteral("<|end|>\n<|assistant|>\n");
    case PolishPromptFormat::mistralInstruct:
        return QStringLiteral("<s>[INST] ") + instructions + QStringLiteral("\n\n") + user +
               QStringLiteral(" [/INST]");
    case PolishPromptFormat::llama3:
        return QStringLiteral("<|begin_of_text|><|start_header_id|>system<|end_header_id|>\n\n") +
               instructions + QStringLiteral("<|eot_id|><|start_header_id|>user<|end_header_id|>\n\n") +
               user + QStringLiteral("<|eot_id|><|start_header_id|>assistant<|end_header_id|>\n");
    }
    return user;
}

QByteArray completionBody(const QString& prompt, const QStringList& stop, int nPredict, double temperature,
                          double topP) {
    QString out;
    out.reserve(prompt.size() + 200);
    out += QStringLiteral("{\"prompt\":") + jsonValue(prompt);
    out += QStringLiteral(",\"stop\":") +
           QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(stop)).toJson(QJsonDocument::Compact));
    out += QStringLiteral(",\"n_predict\":") + jsonValue(nPredict);
    out += QStringLiteral(",\"temperature\":") + jsonValue(temperature);
    out += QStringLiteral(",\"top_p\":") + jsonValue(topP);
    out += QStringLiteral(",\"stream\":false}");
    return out.toUtf8();
}

QString stripReasoningBlocks(const QString& input) {
    static const QRegularExpression closedThink(QStringLiteral("(?is)<think[^>]*>[\\s\\S]*?</think>"));
    static const QRegularExpression closedThinking(QStringLiteral("(?is)<thinking>[\\s\\S]*?</thinking>"));
    static const QRegularExpression openThink(QStringLiteral("(?is)<think[^>]*>[\\s\\S]*\\z"));
    QString text = replaceUntilStable(input, closedThink);
    text = replaceUntilStable(text, closedThinking);
    if (text.contains(QLatin1String("<think"), Qt::CaseInsensitive) &&
        !text.contains(QLatin1String("</think>"), Qt::CaseInsensitive) && openThink.isValid()) {
        const QRegularExpressionMatch m = openThink.match(text);
        if (m.hasMatch()) {
            text.truncate(m.capturedStart());
        }
    }
    return text;
}

QString clean(const QString& input) {
    QString text = stripReasoningBlocks(input);
    for (const QString& token : templateTokens()) {
        text.remove(token, Qt::CaseSensitive);
    }
    text.remove(QStringLiteral("```transcript"), Qt::CaseSensitive);
    text.remove(QStringLiteral("```"), Qt::CaseSensitive);
    text.remove(QStringLiteral("transcript:"), Qt::CaseInsensitive);
    text.remove(QStringLiteral("transcript"), Qt::CaseInsensitive);
    text.remove(QStringLiteral(u"入力本文:"), Qt::CaseSensitive);
    text = Text::trimmed(text);

    static const QStringList labelLines = {QStringLiteral(u"整えた文字起こし"), QStringLiteral(u"校正後"),
                                           QStringLiteral(u"出力")};
    QStringList kept;
    for (const QString& raw : text.split(QLatin1Char('\n'))) {
        const QString line = Text::trimmed(raw);
        if (line.isEmpty() || labelLines.contains(line)) {
            continue;
        }
        kept << line;
    }
    text = kept.join(QLatin1Char('\n'));

    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isEdgeJunk(text.at(begin))) {
        ++begin;
    }
    while (end > begin && isEdgeJunk(text.at(end - 1))) {
        --end;
    }
    return text.mid(begin, end - begin);
}

QString cleanChatOutput(const QString& input, PolishModel model) {
    QString text = stripReasoningBlocks(input);
    for (const QString& token : templateTokens()) {
        text.remove(token, Qt::CaseSensitive);
    }
    text.remove(QStringLiteral("```"), Qt::CaseSensitive);
    text = Text::trimmed(text);
    if (model == PolishModel::qwen35_4bQ4KM) {
        for (const char* turn : {"<|im_start|>assistant", "<|im_start|>user", "<|im_start|>system"}) {
            const qsizetype at = text.indexOf(QLatin1String(turn));
            if (at >= 0) {
                text.truncate(at);
            }
        }
        text = Text::trimmed(text);
    }
    return text;
}

} // namespace quillory::PolishText
