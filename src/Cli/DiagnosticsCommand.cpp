#include "Cli/Cli.h"

#include "Runtime/Scheduler.h"
#include "Utilities/CommitDiagnosticsExporter.h"

#include <QDir>
#include <QFileInfo>

namespace quillory::cli {

int diagnosticsCommand(const Command& self, const QStringList& args, Io& io) {
    const Options opts(args, self);
    if (!opts.ok()) {
        return usageError(io, opts.error());
    }
    const QStringList& p = opts.positional();
    if (p != QStringList{QStringLiteral("export")}) {
        return usageError(io, self);
    }
    const QString minutesText = opts.value(QStringLiteral("minutes"), QStringLiteral("15"));
    if (minutesText != QLatin1String("15") && minutesText != QLatin1String("60") &&
        minutesText != QLatin1String("180")) {
        return usageError(io, QStringLiteral("--minutes takes 15, 60 or 180"));
    }
    QString output = opts.value(QStringLiteral("output"));
    if (output.isEmpty()) {
        output = QDir::current().filePath(
            CommitDiagnosticsExporter::defaultExportFilename(Scheduler::current().wallNow()));
    }
    try {
        CommitDiagnosticsExporter::exportTo(output, minutesText.toInt());
    } catch (const CommitDiagnosticsExporter::ExportError& e) {
        return failure(io, e.localizedDescription());
    }
    io.out << QFileInfo(output).absoluteFilePath() << '\n';
    return Ok;
}

} // namespace quillory::cli
