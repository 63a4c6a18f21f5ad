#pragma once

#include "AI/PolishModel.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace quillory::PolishText {

/// The request sentence before the transcript (106 bytes, ends in an ASCII colon).
QString requestSentence();
/// "\n入力本文:\n".
QString transcriptHeader();

/// The user's turn of a polish request: the request sentence, the header and the transcript.
QString polishUserMessage(const QString& transcript);

/// The raw polish prompt for `model`'s format: the instructions as they are, then the request
/// sentence, the header and the (already trimmed) transcript, laid into the template.
QString polishPrompt(const QString& transcript, PolishModel model, const QString& instructions);

/// The JSON body of one completion request, with exactly the six members in this order:
/// "prompt", "stop", "n_predict", "temperature", "top_p", "stream" (always false).
QByteArray completionBody(const QString& prompt, const QStringList& stop, int nPredict, double temperature,
                          double topP);

/// The JSON body of one OpenAI-style chat completion: "model" (left out when empty), "messages"
/// (the instructions as the system turn, `user` as the user's), "max_tokens", "temperature",
/// "top_p", "stream" (false). The server lays the turns into its model's own template.
QByteArray chatCompletionBody(const QString& model, const QString& instructions, const QString& user,
                              int maxTokens, double temperature, double topP);

/// The longest text one token can stand for, in bytes (a bound for answer sizes).
constexpr int kMaxTokenBytes = 256;

/// One piece of a dictation polished on its own: its text (trimmed) and the original text
/// between it and the piece before (empty for the first).
struct TranscriptPiece {
    QString text;
    QString separatorBefore;
    bool operator==(const TranscriptPiece&) const = default;
};

/// Splits a dictation into pieces of at most `budgetTokens` tokens each, a piece's tokens
/// estimated as its UTF-8 bytes times `tokensPerByte` (rounded up). Pieces end at sentence ends
/// (。！？ with any closing brackets or quotes after them) and at line breaks; a sentence longer
/// than the budget is cut after its last 、 or blank that fits, else where the budget ends. The
/// pieces with their separators give back the text exactly; a text within the budget is one piece.
QList<TranscriptPiece> splitTranscript(const QString& text, int budgetTokens, double tokensPerByte);

/// Removes closed <think…>…</think> and <thinking>…</thinking> blocks, and an unclosed <think…>
/// with everything after it. Repeats until no closed block is left (a block that removing
/// another one brings together is removed too), in time linear in the text's length.
QString stripReasoningBlocks(const QString& text);
/// Cleans a polish answer of reasoning, template tokens, labels, label lines and wrapping quotes.
QString clean(const QString& text);
/// Cleans a chat answer (tokens and fence markers only); for the Qwen model, cuts invented turns.
QString cleanChatOutput(const QString& text, PolishModel model);

} // namespace quillory::PolishText
