#include "Utilities/CommitDiagnosticsExporter.h"

#include "Runtime/FileIO.h"
#include "Runtime/Localization.h"
#include "Runtime/Scheduler.h"
#include "Runtime/Text.h"
#include "Utilities/CommitDiagnostics.h"

#include <QFile>

namespace quillory::CommitDiagnosticsExporter {

QString ExportError::localizedDescription() const {
    switch (kind_) {
    case Kind::ReadFailed:
        return Localization::format("diagnostics.error.read_failed", message_);
    case Kind::WriteFailed:
        return Localization::format("diagnostics.error.write_failed", message_);
    case Kind::NoEntries:
        return Localization::text("diagnostics.error.no_entries");
    }
    return {};
}

const char* ExportError::what() const noexcept {
    what_ = localizedDescription().toUtf8();
    return what_.constData();
}

QString defaultExportFilename(const QDateTime& now) {
    QString stamp = now.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss"));
    stamp.replace(QLatin1Char(':'), QLatin1Char('-'));
    return QStringLiteral("quillory-diagnostics-") + stamp + QStringLiteral(".log");
}

QString makeHeader(int lookbackMinutes, const QDateTime& now) {
    QString h;
    h += QStringLiteral("# Quillory diagnostics export\n");
    h += QStringLiteral("# generated: ") + now.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
         QStringLiteral(" +0000");
    h += QStringLiteral("\n# lookback_minutes: ") + QString::number(lookbackMinutes);
    h += QStringLiteral("\n# ") + CommitDiagnostics::environmentSummary();
    h += QStringLiteral("\n# source: ") + CommitDiagnostics::currentLogURL();
    h += QStringLiteral("\n# ") + QString(40, QLatin1Char('-')) + QLatin1Char('\n');
    return h;
}

QStringList collectLines(const QDateTime& cutoff, const QStringList& files) {
    const qint64 cutoffMs = cutoff.toMSecsSinceEpoch();
    QStringList kept;
    for (const QString& path : files) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            throw ExportError::readFailed(file.errorString());
        }
        const QByteArray bytes = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            throw ExportError::readFailed(file.errorString());
        }
        // A damaged line (bytes that are not UTF-8, such as a character cut by a full disk) is kept
        // with the damage shown as U+FFFD; it must not cost the user the rest of the export.
        const QString text = QString::fromUtf8(bytes);
        for (const QString& line : Text::nonEmptyLines(text)) {
            const qsizetype blank = line.indexOf(QLatin1Char(' '));
            if (blank < 0) {
                kept << line;
                continue;
            }
            const auto stamp = CommitDiagnostics::parseTimestamp(QStringView(line).left(blank));
            if (!stamp || stamp->toMSecsSinceEpoch() >= cutoffMs) {
                kept << line;
            }
        }
    }
    return kept;
}

namespace {
void writeExport(const QString& path, int lookbackMinutes, const QDateTime& now, const QStringList& lines) {
    if (lines.isEmpty()) {
        throw ExportError::noEntries();
    }
    const QByteArray text =
        (makeHeader(lookbackMinutes, now) + lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
    // Whole or not at all, every byte checked to have reached the disk: a full disk must not leave
    // an empty or cut export that was reported as written. New exports are owner-only; an export
    // written over an existing file keeps that file's permissions. A symbolic link at the chosen
    // path is replaced, never followed: in a shared folder such as /tmp anyone can plant one at a
    // name that is predictable to the second, pointing at a file of ours.
    const Expected<FileIO::FileIdentity> written =
        FileIO::replaceFile(path, text, 0600, /*keepExistingMode=*/true, FileIO::SymlinkPolicy::replaceLink);
    if (!written) {
        throw ExportError::writeFailed(written.error());
    }
}

/// The lines of the window from both generations, read under the log's lock (shared) so a
/// rotation by any process can't move a file between listing and reading it.
QStringList collectWindow(const QDateTime& cutoff) {
    const FileIO::FileLock lock(CommitDiagnostics::lockURL(), FileIO::FileLock::Mode::Shared,
                                std::chrono::seconds(2));
    return collectLines(cutoff, CommitDiagnostics::snapshotURLs());
}
} // namespace

void exportTo(const QString& path, int lookbackMinutes) {
    const QDateTime now = Scheduler::current().wallNow();
    const QDateTime cutoff = now.addSecs(-60LL * lookbackMinutes);
    writeExport(path, lookbackMinutes, now, collectWindow(cutoff));
}

Task<> exportAsync(QString path, int lookbackMinutes) {
    const QDateTime now = Scheduler::current().wallNow();
    const QDateTime cutoff = now.addSecs(-60LL * lookbackMinutes);
    const QStringList lines =
        co_await runInBackground<QStringList>([cutoff] { return collectWindow(cutoff); });
    writeExport(path, lookbackMinutes, now, lines);
}

} // namespace quillory::CommitDiagnosticsExporter
