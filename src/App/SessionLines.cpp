#include "App/SessionLines.h"

#include "Runtime/Text.h"

namespace quillory::SessionLines {

namespace {
using Level = CommitDiagnostics::Level;

QString num(quint64 v) {
    return QString::number(v);
}
QString len(const QString& s) {
    return QString::number(Text::graphemeCount(s));
}
QString ms(Duration d) {
    return QString::number(wholeMilliseconds(d));
}
QString wholeSeconds(Duration d) {
    return QString::number(std::chrono::duration_cast<std::chrono::seconds>(d).count());
}
QString flag(bool v) {
    return v ? QStringLiteral("true") : QStringLiteral("false");
}
Line info(QString m) {
    return {Level::Info, std::move(m)};
}
Line notice(QString m) {
    return {Level::Notice, std::move(m)};
}
Line error(QString m) {
    return {Level::Error, std::move(m)};
}
} // namespace

Line dictationDisabled() {
    return notice(QStringLiteral("recognition_precheck=dictation_disabled"));
}

Line stopRequested(quint64 session, const QString& accumulated, RecognitionSink sink) {
    return notice(QStringLiteral("stage=stop_requested session=%1 accumulated_len=%2 sink=%3")
                      .arg(num(session), len(accumulated), caseName(sink)));
}

Line stopCompleteReceived(quint64 session, const AppStatus& status, const QString& accumulated,
                          const QString& resultLabel) {
    return info(
        QStringLiteral("stage=stop_complete_received session=%1 status=%2 accumulated_len=%3 result=%4")
            .arg(num(session), status.logDescription(), len(accumulated), resultLabel));
}

Line attachAbandoned(quint64 session) {
    return notice(QStringLiteral("stage=attach_abandoned session=%1").arg(num(session)));
}

Line recognitionUnrecoverable(quint64 session, const QString& e) {
    return error(QStringLiteral("recognition_unrecoverable session=%1 error=%2").arg(num(session), e));
}

Line circuitBreaker(quint64 session, std::size_t attempts, const QString& e) {
    return error(
        QStringLiteral("recognition_failure_circuit_breaker session=%1 attempts=%2 window_s=5.0 error=%3")
            .arg(num(session), QString::number(attempts), e));
}

Line stopWatchdogTriggered(quint64 session, const QString& reason, const QString& accumulated) {
    return error(QStringLiteral("stage=stop_watchdog_triggered session=%1 reason=%2 accumulated_len=%3")
                     .arg(num(session), reason, len(accumulated)));
}

Line stopWatchdogNoText(quint64 session, const QString& reason) {
    return error(
        QStringLiteral("stage=stop_watchdog_no_text session=%1 reason=%2").arg(num(session), reason));
}

Line liveTextDropped(quint64 session, const QString& liveText, const QString& reason) {
    return notice(QStringLiteral("stage=live_text_dropped session=%1 live_len=%2 reason=%3")
                      .arg(num(session), len(liveText), reason));
}

Line liveTextUsed(quint64 session, const QString& liveText, const QString& reason) {
    return notice(QStringLiteral("stage=live_text_used session=%1 live_len=%2 reason=%3")
                      .arg(num(session), len(liveText), reason));
}

Line committedBeforeError(quint64 session, const QString& text, const QString& e) {
    return error(QStringLiteral("stage=commit_before_error session=%1 accumulated_len=%2 error=%3")
                     .arg(num(session), len(text), e));
}

Line commitWatchdogTriggered(quint64 session, Duration delay) {
    return error(QStringLiteral("watchdog=triggered session=%1 total_ms=%2").arg(num(session), ms(delay)));
}

Line userCancelRequested(quint64 session, bool commitStarted) {
    return notice(QStringLiteral("user_cancel=requested session=%1 commit_started=%2")
                      .arg(num(session), flag(commitStarted)));
}

Line discarded(quint64 session, const QString& text) {
    return notice(QStringLiteral("stage=discarded session=%1 text_len=%2").arg(num(session), len(text)));
}

Line discardUndone(quint64 session, const QString& text) {
    return notice(QStringLiteral("stage=discard_undone session=%1 text_len=%2").arg(num(session), len(text)));
}

Line discardExpired(quint64 session) {
    return info(QStringLiteral("stage=discard_expired session=%1").arg(num(session)));
}

Line backendError(quint64 session, const char* where, const QString& reason) {
    return error(QStringLiteral("stage=backend_error session=%1 where=%2 reason=%3")
                     .arg(num(session), QString::fromLatin1(where), reason));
}

Line commitStart(quint64 session, RecognitionSink sink, const QString& text, bool polishEnabled,
                 Duration overallTimeout) {
    return info(
        QStringLiteral("stage=start session=%1 sink=%2 text_len=%3 polish_enabled=%4 overall_timeout_s=%5")
            .arg(num(session), caseName(sink), len(text), flag(polishEnabled), wholeSeconds(overallTimeout)));
}

Line polishStart(quint64 session, Duration polishTimeout) {
    return info(QStringLiteral("stage=polish_start session=%1 polish_timeout_s=%2")
                    .arg(num(session), wholeSeconds(polishTimeout)));
}

Line polishCommitted(quint64 session, const QString& text, Duration elapsed) {
    return info(QStringLiteral("stage=polish_done session=%1 result=committed len=%2 elapsed_ms=%3")
                    .arg(num(session), len(text), ms(elapsed)));
}

Line polishFallback(quint64 session, const QString& reason, Duration elapsed) {
    return notice(QStringLiteral("stage=polish_done session=%1 result=fallback reason=%2 elapsed_ms=%3")
                      .arg(num(session), reason, ms(elapsed)));
}

Line polishCancelled(quint64 session) {
    return notice(QStringLiteral("polish_task=cancelled session=%1").arg(num(session)));
}

Line polishFailed(quint64 session, const QString& reason) {
    return error(QStringLiteral("polish_task=failed session=%1 reason=%2").arg(num(session), reason));
}

Line polishTimedOut(quint64 session) {
    return notice(QStringLiteral("polish_task=timeout session=%1").arg(num(session)));
}

Line polishUserCancel(quint64 session) {
    return notice(QStringLiteral("polish_task=user_cancel session=%1").arg(num(session)));
}

Line injectStart(quint64 session, const QString& text) {
    return info(QStringLiteral("stage=inject_start session=%1 len=%2").arg(num(session), len(text)));
}

Line injectTimedOut(quint64 session) {
    return error(QStringLiteral("inject_task=timeout session=%1").arg(num(session)));
}

Line endOk(quint64 session, Duration inject, Duration total) {
    return info(QStringLiteral("stage=end session=%1 result=ok inject_ms=%2 total_ms=%3")
                    .arg(num(session), ms(inject), ms(total)));
}

Line endInjectFailed(quint64 session, const QString& reason, Duration inject, Duration total) {
    return error(
        QStringLiteral("stage=end session=%1 result=inject_failed reason=%2 inject_ms=%3 total_ms=%4")
            .arg(num(session), reason, ms(inject), ms(total)));
}

Line endTestField(quint64 session, Duration total) {
    return info(
        QStringLiteral("stage=end session=%1 result=test_field_ok total_ms=%2").arg(num(session), ms(total)));
}

Line endEmptyAfterPolish(quint64 session, Duration total) {
    return notice(QStringLiteral("stage=end session=%1 result=empty_after_polish total_ms=%2")
                      .arg(num(session), ms(total)));
}

Line endAbandoned(quint64 session, Duration total) {
    return notice(
        QStringLiteral("stage=end session=%1 result=abandoned total_ms=%2").arg(num(session), ms(total)));
}

Line endInternalError(quint64 session, const QString& reason) {
    return error(
        QStringLiteral("stage=end session=%1 result=internal_error reason=%2").arg(num(session), reason));
}

} // namespace quillory::SessionLines
