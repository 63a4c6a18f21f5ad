#include "Utilities/CommitDiagnosticsExporter.h"

#include "Runtime/Localization.h"
#include "Runtime/Scheduler.h"
#include "Runtime/Text.h"
#include "Utilities/CommitDiagnostics.h"

#include <QFile>
#include <QSaveFile>
#include <QStringDecoder>

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
        QStringDecoder decoder(QStringDecoder::Utf8);
        const QString text = decoder.decode(bytes);
        if (decoder.hasError()) {
            throw ExportError::readFailed(QStringLiteral("%1 is not valid UTF-8 text").arg(path));
        }
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
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        throw ExportError::writeFailed(file.errorString());
    }
    if (file.write(text) != text.size() || !file.commit()) {
        const QString why = file.errorString();
        file.cancelWriting();
        throw ExportError::writeFailed(why);
    }
}
} // namespace

void exportTo(const QString& path, int lookbackMinutes) {
    const QDateTime now = Scheduler::current().wallNow();
    const QDateTime cutoff = now.addSecs(-60LL * lookbackMinutes);
    writeExport(path, lookbackMinutes, now, collectLines(cutoff, CommitDiagnostics::snapshotURLs()));
}

Task<> exportAsync(QString path, int lookbackMinutes) {
    const QDateTime now = Scheduler::current().wallNow();
    const QDateTime cutoff = now.addSecs(-60LL * lookbackMinutes);
    const QStringList files = CommitDiagnostics::snapshotURLs();
    const QStringList lines =
        co_await runInBackground<QStringList>([cutoff, files] { return collectLines(cutoff, files); });
    writeExport(path, lookbackMinutes, now, lines);
}

} // namespace quillory::CommitDiagnosticsExporter
