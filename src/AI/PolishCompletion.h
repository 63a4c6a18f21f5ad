#pragma once

// What every polish engine shares, whichever server answers: how one completion's answer is read
// (llama-server's /completion or the OpenAI-style /v1/chat/completions), and how a dictation is
// polished piece by piece with each answer cleaned and checked.

#include "AI/PolishModel.h"
#include "Runtime/Async.h"
#include "Runtime/Scheduler.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

namespace quillory {

/// The answer format a polish server speaks.
enum class PolishAnswerFormat { llamaCompletion, openAiChat };

/// A completion's answer. `cutShort`: it stopped at the token limit or its prompt was truncated.
/// `overflow`: the server refused the prompt as longer than its context (its message).
struct PolishCompletion {
    QString content;
    bool cutShort = false;
    std::optional<QString> overflow;
};

/// How one piece of a polish went (for the command line and the benchmarks).
struct PolishPieceReport {
    qsizetype characters = 0;
    bool polished = false; // false: the piece's own text was kept
    QString keptBecause;   // why it was kept
    Duration elapsed{};    // the time its request took
};

/// The tokens a polish answer may take ("n_predict", "max_tokens").
inline constexpr int kPolishPredictTokens = 256;
/// The most tokens one piece of a dictation may take: its answer, about as long, must fit in
/// `kPolishPredictTokens`.
inline constexpr int kPolishPieceTokens = kPolishPredictTokens * 3 / 4;

/// Reads the answer (`status`, `body`) to a completion request of at most `nPredict` tokens.
/// Throws `LocalPolishError` (`requestFailed` for a status outside 2xx, with the server's own
/// message unless it quotes `prompt`; `invalidResponse` for anything that is not an answer). A
/// context overflow comes back as `overflow`. Error texts never carry the answer's content.
PolishCompletion readPolishCompletion(PolishAnswerFormat format, int status, const QByteArray& body,
                                      const QString& prompt, int nPredict);

/// The longest answer a completion request `body` of `nPredict` tokens can come as.
qint64 polishCompletionReplyLimit(const QByteArray& body, int nPredict);

/// "reply of N bytes (content not logged)".
QString polishBodyDescription(const QByteArray& body);

/// A cleaned answer as it may be handed back: not empty (`emptyOutput`), and for the Qwen model
/// free of its turn tokens (`invalidResponse`).
QString checkedPolishAnswer(const QString& cleaned, PolishModel model);

/// One request of a piece's text (already trimmed): its answer.
using PolishPieceRequest = std::function<Task<PolishCompletion>(QString pieceText)>;
/// The number of tokens of a text as the server counts them; none when it can't tell.
using PolishTokenCounter = std::function<Task<std::optional<int>>(QString text)>;

/// Polishes `transcript` (trimmed, not empty) in pieces of at most `kPolishPieceTokens` (the
/// tokens counted by `countTokens` when its UTF-8 length may be more): each piece's answer is
/// cleaned and checked, and a piece whose answer is unusable keeps its own text (logged under
/// `engineName`). Every piece kept means failure with the first reason. `reports` (not null)
/// gets one entry per piece sent.
Task<QString> polishInPieces(QString transcript, PolishModel model, PolishPieceRequest request,
                             PolishTokenCounter countTokens, QList<PolishPieceReport>* reports,
                             QString engineName);

} // namespace quillory
