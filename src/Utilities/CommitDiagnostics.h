#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

/// The commit diagnostics log: an always-on, append-only, rotating text file of what happens in
/// each dictation session and commit. `record` only enqueues; one writer thread formats and
/// appends the lines in call order and swallows every file-system failure. The files are
/// owner-only (0600, in 0700 folders it creates), rotation is serialised across processes by a
/// lock file, and an append the disk takes only in part is cut back to whole lines.
namespace quillory::CommitDiagnostics {

enum class Level { Info, Notice, Error };

/// "INFO ", "NOTE " or "ERROR": always five characters.
QString rawValue(Level level);
/// Accepts exactly the three raw values (with their trailing blanks).
std::optional<Level> levelFromRawValue(const QString& raw);

/// The size past which `commit.log` is moved to `commit.log.1` before the next write.
constexpr qint64 kRotationThresholdBytes = 262144;

/// `$XDG_DATA_HOME/quillory/Diagnostics`, fixed at first use.
QString logDirectory();
/// `logDirectory()/commit.log` (file locations are local paths).
QString currentLogURL();
/// `logDirectory()/commit.log.1`.
QString rotatedLogURL();
/// `logDirectory()/commit.log.lock`: the lock file every writing process holds while it checks,
/// rotates and appends; readers that need both generations to be consistent hold it shared.
QString lockURL();

/// Enqueues one line and returns at once; never fails, never blocks on I/O.
void record(Level level, const QString& category, const QString& message, const QDateTime& date);
/// `record` with the category "commit", dated now (by the current scheduler's wall clock).
void record(Level level, const QString& message);
/// The launch boundary line: notice, category "session", "boot " + the environment summary.
void recordSessionBoundary();

/// "quillory_version=<version> build=<build> os=<os>".
QString environmentSummary();
/// The same from given pieces; a missing version or build is written as "?".
QString environmentSummary(const std::optional<QString>& version, const std::optional<QString>& build,
                           const QString& os);
/// The operating system's human-readable version (distribution name and kernel).
QString operatingSystemVersion();

/// The log files that exist now, oldest first (`commit.log.1`, then `commit.log`).
QStringList snapshotURLs();

/// One formatted line, with its final line feed.
QByteArray formatLine(Level level, const QString& category, const QString& message, const QDateTime& date);
/// The timestamp form of a line: 2026-03-14T08:15:02.417Z.
QByteArray formatTimestamp(qint64 msecsSinceEpoch);
/// Parses an ISO 8601 internet date-time with fractional seconds; nullopt when it doesn't parse.
std::optional<QDateTime> parseTimestamp(QStringView text);

/// Blocks until every line recorded so far has been written (tests, benchmarks, shutdown).
void waitUntilWritten();

/// Points the log at another folder, for tests. Waits for queued lines first.
void setLogDirectoryForTesting(const QString& directory);

} // namespace quillory::CommitDiagnostics
