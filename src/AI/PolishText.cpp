#include "AI/PolishText.h"

#include "Runtime/Text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <utility>

namespace quillory::PolishText {

namespace {

bool endsWithIgnoringCase(const QString& text, QLatin1StringView tag) {
    return text.size() >= tag.size() &&
           QStringView(text).right(tag.size()).compare(tag, Qt::CaseInsensitive) == 0;
}

/// One left-to-right pass that leaves no closed block: every character is appended to the output,
/// and when a closing tag completes after an opening tag, the output is cut back to the earliest
/// opening tag. Text brought together by a cut ("<thi" + "nk>") is seen as it goes on, so the
/// result is the one of removing blocks again and again, in linear time. `openStart` is the
/// opening tag without its ">"; with `attributes` anything but ">" may follow it before the ">".
QString removeClosedBlocks(const QString& input, QLatin1StringView openStart, bool attributes,
                           QLatin1StringView close) {
    QString out;
    out.reserve(input.size());
    qsizetype firstOpen = -1; // where the earliest complete opening tag in `out` begins
    qsizetype pending = -1;   // where an opening tag still waiting for its ">" begins
    for (const QChar c : input) {
        out.append(c);
        if (c == u'>') {
            if (firstOpen >= 0 && endsWithIgnoringCase(out, close)) {
                out.truncate(firstOpen);
                firstOpen = pending = -1;
                continue;
            }
            if (pending >= 0) {
                firstOpen = firstOpen >= 0 ? firstOpen : pending;
                pending = -1;
            } else if (!attributes && firstOpen < 0 && out.size() > openStart.size() &&
                       QStringView(out)
                               .chopped(1)
                               .right(openStart.size())
                               .compare(openStart, Qt::CaseInsensitive) == 0) {
                firstOpen = out.size() - 1 - openStart.size();
            }
        } else if (attributes && pending < 0 && endsWithIgnoringCase(out, openStart)) {
            pending = out.size() - openStart.size();
        }
    }
    return out;
}

// Template tokens removed// Template tokens removed from answers (both clean-ups), in this order.
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

QString polishUserMessage(const QString& transcript) {
    return requestSentence() + transcriptHeader() + transcript;
}

QString polishPrompt(const QString& transcript, PolishModel model, const QString& instructions) {
    const QString user = polishUserMessage(transcript);
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

QByteArray chatCompletionBody(const QString& model, const QString& instructions, const QString& user,
                              int maxTokens, double temperature, double topP) {
    QJsonObject body;
    if (!model.isEmpty()) {
        body.insert(QStringLiteral("model"), model);
    }
    body.insert(QStringLiteral("messages"),
                QJsonArray{QJsonObject{{QStringLiteral("role"), QStringLiteral("system")},
                                       {QStringLiteral("content"), instructions}},
                           QJsonObject{{QStringLiteral("role"), QStringLiteral("user")},
                                       {QStringLiteral("content"), user}}});
    body.insert(QStringLiteral("max_tokens"), maxTokens);
    body.insert(QStringLiteral("temperature"), temperature);
    body.insert(QStringLiteral("top_p"), topP);
    body.insert(QStringLiteral("stream"), false);
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

QString stripReasoningBlocks(const QString& input) {
    QString text =
        removeClosedBlocks(input, QLatin1StringView("<think"), true, QLatin1StringView("</think>"));
    text = removeClosedBlocks(text, QLatin1StringView("<thinking"), false, QLatin1StringView("</thinking>"));
    // An opening tag never closed: it and everything after it go.
    const qsizetype open = text.indexOf(QLatin1StringView("<think"), 0, Qt::CaseInsensitive);
    if (open >= 0 && !text.contains(QLatin1StringView("</think>"), Qt::CaseInsensitive) &&
        text.indexOf(u'>', open + 6) >= 0) {
        text.truncate(open);
    }
    return text;
}

namespace {

bool isSentenceEnd(QChar c) {
    return c == u'。' || c == u'！' || c == u'？';
}
bool isCloser(QChar c) {
    return c == u'」' || c == u'』' || c == u'）' || c == u')' || c == u'"' || c == u'”' || c == u'】' ||
           c == u'〉' || c == u'》';
}
bool isSoftBreak(QChar c) {
    return c == u'、' || c == u'，' || c == u',' || c == u' ' || c == u'　' || c == u'\t';
}
bool isBlank(QChar c) {
    return c == u' ' || c == u'　' || c == u'\t' || c == u'\n' || c == u'\r';
}

} // namespace

QList<TranscriptPiece> splitTranscript(const QString& text, int budgetTokens, double tokensPerByte) {
    const qsizetype n = text.size();
    // UTF-8 bytes before each position (a surrogate pair counts 4 at its first half).
    QList<qint64> bytes(n + 1, 0);
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = text.at(i).unicode();
        bytes[i + 1] = bytes[i] + (QChar::isHighSurrogate(u)  ? 4
                                   : QChar::isLowSurrogate(u) ? 0
                                   : u < 0x80                 ? 1
                                   : u < 0x800                ? 2
                                                              : 3);
    }
    const qint64 budget = std::max(budgetTokens, 1);
    const auto cost = [&](qsizetype from, qsizetype to) {
        return static_cast<qint64>(std::ceil(double(bytes[to] - bytes[from]) * tokensPerByte));
    };

    // Sentences: up to a sentence end (with the closers after it) or a line break.
    QList<std::pair<qsizetype, qsizetype>> sentences;
    qsizetype start = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        if (isSentenceEnd(c)) {
            while (i + 1 < n && (isSentenceEnd(text.at(i + 1)) || isCloser(text.at(i + 1)))) {
                ++i;
            }
        } else if (c != u'\n') {
            continue;
        }
        sentences.append({start, i + 1});
        start = i + 1;
    }
    if (start < n) {
        sentences.append({start, n});
    }

    // Pieces: whole sentences while they fit; a sentence too long on its own is cut.
    QList<std::pair<qsizetype, qsizetype>> ranges;
    qsizetype pieceStart = 0;
    qsizetype pieceEnd = 0;
    for (auto [from, to] : sentences) {
        if (cost(pieceStart, to) <= budget) {
            pieceEnd = to;
            continue;
        }
        if (pieceEnd > pieceStart) {
            ranges.append({pieceStart, pieceEnd});
        }
        pieceStart = from;
        while (cost(from, to) > budget) {
            qsizetype fit = from;
            while (fit < to && cost(from, fit + 1) <= budget) {
                ++fit;
            }
            qsizetype cut = fit;
            while (cut > from && !isSoftBreak(text.at(cut - 1))) {
                --cut;
            }
            if (cut - from < (fit - from) / 2) {
                cut = fit; // a break that early would leave a piece far below the budget
            }
            if (cut > from && cut < n && QChar::isLowSurrogate(text.at(cut).unicode())) {
                --cut; // never between the halves of a pair
            }
            if (cut == from) {
                cut =
                    std::min<qsizetype>(to, from + (QChar::isHighSurrogate(text.at(from).unicode()) ? 2 : 1));
            }
            ranges.append({from, cut});
            from = cut;
        }
        pieceStart = from;
        pieceEnd = to;
    }
    if (pieceEnd > pieceStart) {
        ranges.append({pieceStart, pieceEnd});
    }

    // Trimmed pieces; the blanks between them (and blank-only ranges) are the separators.
    QList<TranscriptPiece> pieces;
    qsizetype previousEnd = 0;
    for (auto [from, to] : ranges) {
        while (from < to && isBlank(text.at(from))) {
            ++from;
        }
        while (to > from && isBlank(text.at(to - 1))) {
            --to;
        }
        if (from == to) {
            continue;
        }
        pieces.append({text.mid(from, to - from), text.mid(previousEnd, from - previousEnd)});
        previousEnd = to;
    }
    return pieces;
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
