// Reading a completion's answer, and the piece-by-piece polish every engine runs.

#include "AI/PolishCompletion.h"

#include "AI/LocalPolishError.h"
#include "AI/PolishText.h"
#include "Runtime/Log.h"
#include "Runtime/Text.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace quillory {

namespace {

/// The server's own error text ("error": {"message": …}) when it is the server's words and not
/// the request's: a message that quotes 12 or more characters of the prompt in a row is withheld.
/// Empty when there is none.
QString serverErrorMessage(const QByteArray& body, const QString& prompt, QString* type) {
    const QJsonObject error = QJsonDocument::fromJson(body).object().value(QLatin1String("error")).toObject();
    const QString message = Text::trimmed(error.value(QLatin1String("message")).toString()).left(300);
    *type = error.value(QLatin1String("type")).toString();
    constexpr qsizetype window = 12;
    for (qsizetype i = 0; i + window <= message.size(); ++i) {
        if (prompt.contains(QStringView(message).mid(i, window))) {
            return QStringLiteral("(the server's message quotes the request; not logged)");
        }
    }
    return message;
}

/// The answer's text and whether it was cut short, or why there is none.
struct AnswerText {
    QJsonValue content;
    bool cutShort = false;
    QString problem;
};

AnswerText answerText(PolishAnswerFormat format, const QJsonObject& object) {
    AnswerText out;
    if (format == PolishAnswerFormat::llamaCompletion) {
        out.content = object.value(QLatin1String("content"));
        if (out.content.isUndefined()) {
            out.problem = QStringLiteral("The answer has no \"content\" member");
        }
        // Cut short: stopped at the token limit, or the prompt did not fit and lost its start.
        out.cutShort = object.value(QLatin1String("stop_type")).toString() == QLatin1String("limit") ||
                       object.value(QLatin1String("truncated")).toBool();
        return out;
    }
    const QJsonObject choice = object.value(QLatin1String("choices")).toArray().at(0).toObject();
    if (choice.isEmpty()) {
        out.problem = QStringLiteral("The answer has no \"choices\"");
        return out;
    }
    out.content = choice.value(QLatin1String("message")).toObject().value(QLatin1String("content"));
    if (out.content.isUndefined()) {
        out.problem = QStringLiteral("The answer's choice has no message \"content\"");
    }
    out.cutShort = choice.value(QLatin1String("finish_reason")).toString() == QLatin1String("length");
    return out;
}

} // namespace

QString polishBodyDescription(const QByteArray& body) {
    return QStringLiteral("reply of %1 bytes (content not logged)").arg(body.size());
}

qint64 polishCompletionReplyLimit(const QByteArray& body, int nPredict) {
    // Besides a fixed part for the other members, the prompt (echoed back) and every token (a
    // token piece is at most `kMaxTokenBytes`) with JSON escaping of up to six characters a byte.
    return 64 * 1024 + 6 * qint64(body.size()) +
           qint64(std::max(nPredict, 1)) * (6 * PolishText::kMaxTokenBytes + 16);
}

PolishCompletion readPolishCompletion(PolishAnswerFormat format, int status, const QByteArray& body,
                                      const QString& prompt, int nPredict) {
    if (status < 200 || status > 299) {
        QString type;
        const QString message = serverErrorMessage(body, prompt, &type);
        if (message.isEmpty()) {
            throw LocalPolishError::requestFailed(
                QStringLiteral("HTTP %1. %2").arg(status).arg(polishBodyDescription(body)));
        }
        const QString text = QStringLiteral("HTTP %1. %2").arg(status).arg(message);
        if (type == QLatin1String("exceed_context_size_error")) {
            PolishCompletion answer;
            answer.overflow = text;
            return answer;
        }
        throw LocalPolishError::requestFailed(text);
    }
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    QString decodingError;
    if (parseError.error != QJsonParseError::NoError) {
        decodingError = QStringLiteral("The answer is not valid JSON (%1 at offset %2)")
                            .arg(parseError.errorString())
                            .arg(parseError.offset);
    } else if (!document.isObject()) {
        decodingError = QStringLiteral("The answer is not a JSON object");
    } else if (const AnswerText answer = answerText(format, document.object()); !answer.problem.isEmpty()) {
        decodingError = answer.problem;
    } else if (!answer.content.isString()) {
        decodingError = QStringLiteral("The answer's \"content\" member is not a string");
    } else if (const QString text = answer.content.toString();
               text.size() > qsizetype(std::max(nPredict, 1)) * PolishText::kMaxTokenBytes) {
        decodingError = QStringLiteral("The answer is longer than %1 tokens can be").arg(nPredict);
    } else {
        return PolishCompletion{text, answer.cutShort, std::nullopt};
    }
    throw LocalPolishError::invalidResponse(decodingError + QStringLiteral(". ") + polishBodyDescription(body));
}

QString checkedPolishAnswer(const QString& cleaned, PolishModel model) {
    if (cleaned.isEmpty()) {
        throw LocalPolishError::emptyOutput();
    }
    if (model == PolishModel::qwen35_4bQ4KM &&
        (cleaned.contains(QLatin1String("<|im_start|>")) || cleaned.contains(QLatin1String("<|im_end|>")))) {
        throw LocalPolishError::invalidResponse(QStringLiteral("control tokens in output"));
    }
    return cleaned;
}

Task<QString> polishInPieces(QString transcript, PolishModel model, PolishPieceRequest request,
                             PolishTokenCounter countTokens, QList<PolishPieceReport>* reports,
                             QString engineName) {
    // A dictation that may be longer than one answer can hold is polished in pieces. Its UTF-8
    // length bounds its tokens; past that bound the server counts them.
    double tokensPerByte = 1.0;
    const qsizetype bytes = transcript.toUtf8().size();
    if (bytes > kPolishPieceTokens && countTokens) {
        if (const auto tokens = co_await countTokens(transcript); tokens && *tokens > 0) {
            // A fifth more than the average: sentences differ a little.
            tokensPerByte = std::min(1.0, 1.2 * double(*tokens) / double(bytes));
        }
    }
    const QList<PolishText::TranscriptPiece> pieces =
        PolishText::splitTranscript(transcript, kPolishPieceTokens, tokensPerByte);

    QString joined;
    std::optional<LocalPolishError> firstReason;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        const PolishText::TranscriptPiece& piece = pieces.at(i);
        PolishPieceReport report;
        report.characters = piece.text.size();
        const Duration began = Scheduler::current().monotonicNow();
        const PolishCompletion answer = co_await request(piece.text);
        report.elapsed = Scheduler::current().monotonicNow() - began;
        std::optional<LocalPolishError> reason;
        QString polished;
        if (answer.overflow) {
            reason = LocalPolishError::requestFailed(*answer.overflow);
        } else if (answer.cutShort) {
            reason = LocalPolishError::invalidResponse(
                QStringLiteral("The answer stopped at the token limit or its prompt was truncated"));
        } else {
            try {
                polished = checkedPolishAnswer(PolishText::clean(answer.content), model);
            } catch (const LocalPolishError& e) {
                reason = e;
            }
        }
        if (reason) {
            report.keptBecause =
                reason->message().isEmpty() ? reason->localizedDescription() : reason->message();
            if (pieces.size() > 1) {
                qCWarning(lcInput).noquote()
                    << QStringLiteral("%1: piece %2 of %3 (%4 characters) kept as dictated: %5")
                           .arg(engineName)
                           .arg(i + 1)
                           .arg(pieces.size())
                           .arg(piece.text.size())
                           .arg(report.keptBecause);
            }
            firstReason = firstReason ? firstReason : reason;
            polished = piece.text;
        }
        report.polished = !reason;
        reports->append(report);
        joined += piece.separatorBefore + polished;
    }
    // Nothing polished at all is a failure with its reason; the caller keeps the dictation.
    if (firstReason && std::none_of(reports->cbegin(), reports->cend(),
                                    [](const PolishPieceReport& r) { return r.polished; })) {
        throw *firstReason;
    }
    co_return joined;
}

} // namespace quillory
