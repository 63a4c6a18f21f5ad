#pragma once

#include "App/AppStatus.h"
#include "Runtime/Scheduler.h"
#include "Utilities/CommitDiagnostics.h"

#include <QString>

namespace quillory::SessionLines {

/// One diagnostics line of the session: its level and its message.
struct Line {
    CommitDiagnostics::Level level;
    QString message;
};

// Every line the session core writes, in one place. Lengths are counts of user-perceived
// characters of the given text; times are whole milliseconds.

// start and stop
Line dictationDisabled();
Line stopRequested(quint64 session, const QString& accumulated, RecognitionSink sink);
Line stopCompleteReceived(quint64 session, const AppStatus& status, const QString& accumulated,
                          const QString& resultLabel);
Line attachAbandoned(quint64 session);

// recovery
Line recognitionUnrecoverable(quint64 session, const QString& error);
Line circuitBreaker(quint64 session, std::size_t attempts, const QString& error);
Line stopWatchdogTriggered(quint64 session, const QString& reason, const QString& accumulated);
Line stopWatchdogNoText(quint64 session, const QString& reason);
Line commitWatchdogTriggered(quint64 session, Duration delay);
Line userCancelRequested(quint64 session, bool commitStarted);
/// A recording discarded by the user (its words kept for the undo), the undo, the undo's end.
Line discarded(quint64 session, const QString& text);
Line discardUndone(quint64 session, const QString& text);
Line discardExpired(quint64 session);
Line backendError(quint64 session, const char* where, const QString& reason);
/// The live text was left out: the selected model's result replaced it (`reason` says which).
Line liveTextDropped(quint64 session, const QString& liveText, const QString& reason);
/// The live text stands in for a result the selected model never gave (`reason` says why).
Line liveTextUsed(quint64 session, const QString& liveText, const QString& reason);
/// The recognition's text so far was committed before its failure is shown.
Line committedBeforeError(quint64 session, const QString& text, const QString& error);

// the commit pipeline
Line commitStart(quint64 session, RecognitionSink sink, const QString& text, bool polishEnabled,
                 Duration overallTimeout);
Line polishStart(quint64 session, Duration polishTimeout);
Line polishCommitted(quint64 session, const QString& text, Duration elapsed);
Line polishFallback(quint64 session, const QString& reason, Duration elapsed);
Line polishCancelled(quint64 session);
Line polishFailed(quint64 session, const QString& reason);
Line polishTimedOut(quint64 session);
Line polishUserCancel(quint64 session);
Line injectStart(quint64 session, const QString& text);
Line injectTimedOut(quint64 session);
Line endOk(quint64 session, Duration inject, Duration total);
Line endInjectFailed(quint64 session, const QString& reason, Duration inject, Duration total);
Line endTestField(quint64 session, Duration total);
Line endEmptyAfterPolish(quint64 session, Duration total);
Line endAbandoned(quint64 session, Duration total);
Line endInternalError(quint64 session, const QString& reason);

} // namespace quillory::SessionLines
