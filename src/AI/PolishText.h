#pragma once

#include "AI/PolishModel.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace quillory::PolishText {

/// The request sentence before the transcript (106 bytes, ends in an ASCII colon).
QString requestSentence();
/// "\n入力本文:\n".
QString transcriptHeader();

/// The raw polish prompt for `model`'s format: the instructions as they are, then the request
/// sentence, the header and the (already trimmed) transcript, laid into the template.
QString polishPrompt(const QString& transcript, PolishModel model, const QString& instructions);

/// The JSON body of one completion request, with exactly the six members in this order:
/// "prompt", "stop", "n_predict", "temperature", "top_p", "stream" (always false).
QByteArray completionBody(const QString& prompt, const QStringList& stop, int nPredict, double temperature,
                          double topP);

/// Removes closed <think…>…</think> and <thinking>…</thinking> blocks, and an unclosed <think…>
/// with everything after it.
QString stripReasoningBlocks(const QString& text);
/// Cleans a polish answer of reasoning, template tokens, labels, label lines and wrapping quotes.
QString clean(const QString& text);
/// Cleans a chat answer (tokens and fence markers only); for the Qwen model, cuts invented turns.
QString cleanChatOutput(const QString& text, PolishModel model);

} // namespace quillory::PolishText
