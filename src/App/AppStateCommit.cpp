#include "App/AppState.h"

#include "AI/PolishSettings.h"
#include "App/AppStateInternal.h"
#include "App/SessionLines.h"
#include "App/UndeliveredWords.h"
#include "Dictionary/UserDictionary.h"
#include "Runtime/Localization.h"
#include "Runtime/Text.h"
#include "Runtime/Log.h"

// The commit pipeline: the polish race, the dictionary, and the insertion race.

namespace quillory {

using detail::describe;
using detail::isCancellation;

// ---- commit pipeline ----

QString AppState::rawValue(FallbackReason reason) {
    switch (reason) {
    case FallbackReason::timeout:
        return QStringLiteral("timeout");
    case FallbackReason::userCancelled:
        return QStringLiteral("userCancelled");
    case FallbackReason::polishFailed:
        return QStringLiteral("polishFailed");
    case FallbackReason::polishCancelled:
        return QStringLiteral("polishCancelled");
    }
    return QStringLiteral("timeout");
}

Task<> AppState::runCommitPipeline(std::optional<QString> baseline, RecognitionSink sink, QString finalText,
                                   CancellationToken cancel) {
    const quint64 sessionID = dictationSessionNonce_;
    std::exception_ptr failure;
    try {
        co_await runCommitPipelineStages(std::move(baseline), sink, std::move(finalText), cancel);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure && dictationSessionNonce_ == sessionID &&
        !(status_.is(AppStatus::Kind::error) && isCancellation(failure))) {
        const QString d = describe(failure);
        write(SessionLines::endInternalError(sessionID, d));
        cancelCommitWatchdog();
        setAiPolishInProgress(false);
        setStatus(AppStatus::error(d));
    }
}

Task<> AppState::runCommitPipelineStages(std::optional<QString> baseline, RecognitionSink sink,
                                         QString finalText, CancellationToken cancel) {
    // `userRequestedCommitStop_` is left as it is: an "insert now" given while the recogniser's
    // final was awaited counts for this commit too (it was reset when the session started).
    // Close the accumulator (the live preview is left as it is).
    bool closed = dictationAccumulator_.appendSegment(
        Text::isBlank(finalText) ? dictationAccumulator_.currentHypothesis : finalText);
    if (!dictationAccumulator_.currentHypothesis.isEmpty()) {
        dictationAccumulator_.currentHypothesis.clear();
        closed = true;
    }
    if (closed) {
        emit dictationAccumulatorChanged();
    }
    const QString accumulated = dictationAccumulator_.joinedSegments();
    if (Text::isBlank(accumulated)) {
        setStatus(AppStatus::idle());
        co_return;
    }

    const quint64 sessionID = dictationSessionNonce_;
    const Duration t0 = now();
    const bool polishEnabled = aiPolishEnabled_;
    cancelSpeechCompletionWatchdog();
    write(SessionLines::commitStart(sessionID, sink, accumulated, polishEnabled, kCommitWatchdogDelay));
    installCommitWatchdog(sessionID);

    const Duration t1 = now();
    const FinalCommitRaceResult outcome = co_await resolveFinalCommitOutcome(accumulated, sessionID, cancel);
    const Duration polishElapsed = now() - t1;
    QString text;
    if (outcome.committed) {
        text = *outcome.committed;
        write(SessionLines::polishCommitted(sessionID, text, polishElapsed));
    } else {
        text = Text::trimmed(UserDictionary::applySubstitutions(accumulated));
        write(SessionLines::polishFallback(sessionID, rawValue(outcome.reason), polishElapsed));
    }

    // The commit watchdog, an abort or a dismissal has ended this session meanwhile: its words were
    // discarded and must not be pasted after all.
    const bool sessionStillOurs =
        dictationSessionNonce_ == sessionID &&
        (status_.is(AppStatus::Kind::processing) || status_.is(AppStatus::Kind::recording));
    if (!sessionStillOurs) {
        write(SessionLines::endAbandoned(sessionID, now() - t0));
        if (dictationSessionNonce_ == sessionID) {
            cancelCommitWatchdog();
        }
        co_return;
    }

    if (text.isEmpty()) {
        write(SessionLines::endEmptyAfterPolish(sessionID, now() - t0));
        setStatus(AppStatus::idle());
    } else if (sink == RecognitionSink::settingsTestField) {
        insertVoiceTestFieldText(text);
        setStatus(AppStatus::idle());
        write(SessionLines::endTestField(sessionID, now() - t0));
    } else {
        const Duration t2 = now();
        write(SessionLines::injectStart(sessionID, text));
        std::exception_ptr injectError;
        try {
            co_await commitFinalWithTimeout(baseline, text, sessionID, cancel);
        } catch (...) {
            injectError = std::current_exception();
        }
        const bool current = dictationSessionNonce_ == sessionID;
        if (!injectError) {
            if (current) {
                setStatus(AppStatus::idle());
            }
            write(SessionLines::endOk(sessionID, now() - t2, now() - t0));
        } else {
            const QString d = describe(injectError);
            qCCritical(lcInput, "Insert failed: %s", qUtf8Printable(d));
            write(SessionLines::endInjectFailed(sessionID, d, now() - t2, now() - t0));
            // The words must survive a failed insertion: unless they are on the clipboard already
            // (the message says so), they go to a file of the user's, and the message says where.
            // A timed-out or cancelled paste may still land: nothing is kept then.
            QString shown = d;
            if (detail::keepsWords(injectError)) {
                QString why;
                const QString where = UndeliveredWords::keep(text, QDateTime::currentDateTime(), &why);
                if (!where.isEmpty()) {
                    shown += QLatin1Char(' ') + Localization::format("input.kept_in_file", where);
                } else {
                    qCCritical(lcInput, "The words could not be kept: %s", qUtf8Printable(why));
                }
            }
            // A cancellation that follows the session's own end (the commit watchdog, an abort)
            // must not replace the message that end has shown.
            const bool cancelledAfterEnd =
                cancel.isCancelled() && status_.is(AppStatus::Kind::error) && isCancellation(injectError);
            if (current && !cancelledAfterEnd) {
                setStatus(AppStatus::error(shown));
            }
        }
        if (!current) {
            co_return; // a later session owns the commit watchdog now
        }
    }
    cancelCommitWatchdog();
}

Task<AppState::FinalCommitRaceResult> AppState::resolveFinalCommitOutcome(QString text, quint64 sessionID,
                                                                          CancellationToken cancel) {
    if (userRequestedCommitStop_) {
        // The user asked for the words now: no polish to wait for.
        write(SessionLines::polishUserCancel(sessionID));
        co_return FinalCommitRaceResult{std::nullopt, FallbackReason::userCancelled};
    }
    write(SessionLines::polishStart(sessionID, kPolishTimeout));
    // The first finisher decides: the other racers are cancelled first, then a fallback stops the
    // server, and only then does the race wait for the cancelled racers to end.
    auto race = std::make_shared<PolishRace>();
    race->racers = cancel.child();
    auto racer = [this, race, text, sessionID](Racer run) -> RaceChild<FinalCommitRaceResult> {
        return [this, race, text, sessionID, run](CancellationToken t) {
            return decidePolishRace(race, (this->*run)(text, sessionID, t));
        };
    };
    std::vector<RaceChild<FinalCommitRaceResult>> children;
    children.push_back(racer(&AppState::polishRacer));
    children.push_back(racer(&AppState::polishTimeoutRacer));
    children.push_back(racer(&AppState::userStopRacer));
    co_await firstOf<FinalCommitRaceResult>(std::move(children), race->racers.token());
    co_return *race->first;
}

Task<AppState::FinalCommitRaceResult> AppState::decidePolishRace(std::shared_ptr<PolishRace> race,
                                                                 Task<FinalCommitRaceResult> racer) {
    FinalCommitRaceResult result = co_await std::move(racer);
    if (!race->first) {
        race->first = result;
        race->racers.cancel();
        if (!result.committed) {
            services_.polish->stopServer();
        }
    }
    co_return result;
}

Task<AppState::FinalCommitRaceResult> AppState::polishRacer(QString text, quint64 sessionID,
                                                            CancellationToken token) {
    std::optional<QString> polished;
    std::exception_ptr error;
    try {
        polished = co_await textAfterPolishIfNeeded(text, token);
    } catch (...) {
        error = std::current_exception();
    }
    if (polished) {
        co_return FinalCommitRaceResult{Text::trimmed(UserDictionary::applySubstitutions(*polished)), {}};
    }
    try {
        std::rethrow_exception(error);
    } catch (const CancellationError&) {
        write(SessionLines::polishCancelled(sessionID));
        co_return FinalCommitRaceResult{std::nullopt, FallbackReason::polishCancelled};
    } catch (...) {
        const QString d = describe(std::current_exception());
        write(SessionLines::polishFailed(sessionID, d));
        qCCritical(lcInput, "Commit polish path failed (fallback to substitutions): %s", qUtf8Printable(d));
    }
    co_return FinalCommitRaceResult{std::nullopt, FallbackReason::polishFailed};
}

Task<AppState::FinalCommitRaceResult> AppState::polishTimeoutRacer(QString, quint64 sessionID,
                                                                   CancellationToken token) {
    if (co_await sleepFor(kPolishTimeout, token)) {
        write(SessionLines::polishTimedOut(sessionID));
    }
    co_return FinalCommitRaceResult{std::nullopt, FallbackReason::timeout};
}

Task<AppState::FinalCommitRaceResult> AppState::userStopRacer(QString, quint64 sessionID,
                                                              CancellationToken token) {
    for (;;) {
        if (token.isCancelled()) {
            co_return FinalCommitRaceResult{std::nullopt, FallbackReason::userCancelled};
        }
        if (userRequestedCommitStop_) {
            write(SessionLines::polishUserCancel(sessionID));
            co_return FinalCommitRaceResult{std::nullopt, FallbackReason::userCancelled};
        }
        co_await sleepFor(kUserStopPollInterval, token);
    }
}

Task<QString> AppState::textAfterPolishIfNeeded(QString text, CancellationToken token) {
    if (!aiPolishEnabled_) {
        co_return text;
    }
    setAiPolishInProgress(true);
    std::optional<QString> result;
    std::exception_ptr error;
    try {
        result = co_await services_.polish->polish(text, SpeechLocale::jaJP, PolishSettings::selectedModel(),
                                                   PolishSettings::prompt(), token);
    } catch (...) {
        error = std::current_exception();
    }
    setAiPolishInProgress(false);
    if (error) {
        std::rethrow_exception(error);
    }
    co_return *result;
}

Task<> AppState::commitFinalWithTimeout(std::optional<QString> baseline, QString finalText, quint64 sessionID,
                                        CancellationToken cancel) {
    std::vector<RaceChild<bool>> children;
    children.push_back(
        [this, baseline, finalText](CancellationToken t) { return insertChild(baseline, finalText, t); });
    children.push_back([this, sessionID](CancellationToken t) { return insertTimeoutChild(sessionID, t); });
    co_await firstOf<bool>(std::move(children), cancel);
}

Task<bool> AppState::insertChild(std::optional<QString> baseline, QString finalText,
                                 CancellationToken token) {
    co_await services_.input->commitFinal(std::move(baseline), std::move(finalText), token);
    co_return true;
}

Task<bool> AppState::insertTimeoutChild(quint64 sessionID, CancellationToken token) {
    if (!co_await sleepFor(kInsertTimeout, token)) {
        throw CancellationError();
    }
    write(SessionLines::injectTimedOut(sessionID));
    throw detail::CommitInjectTimeout();
}

void AppState::insertVoiceTestFieldText(const QString& text) {
    const qsizetype length = voiceTestFieldText_.size();
    const TextSelection sel = voiceTestFieldSelection_;
    qsizetype start = length;
    qsizetype replaced = 0;
    if (sel.location >= 0 && sel.length >= 0 && sel.location <= length &&
        length - sel.location >= sel.length) {
        start = sel.location;
        replaced = sel.length;
    }
    QString updated = voiceTestFieldText_;
    updated.replace(start, replaced, text);
    setVoiceTestFieldText(updated);
    setVoiceTestFieldSelection(TextSelection{start + text.size(), 0});
}

} // namespace quillory
