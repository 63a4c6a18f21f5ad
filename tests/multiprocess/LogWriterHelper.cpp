// A second writer of the diagnostics log for the multi-process tests: appends COUNT lines
// "writer=NAME seq=N pad=..." to the log under $XDG_DATA_HOME, a few lines per append.

#include "Utilities/CommitDiagnostics.h"

#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    bool ok = false;
    const int count = args.value(2).toInt(&ok);
    if (args.size() != 3 || !ok) {
        std::fprintf(stderr, "usage: diagnostics_log_writer NAME COUNT\n");
        return 2;
    }
    using quillory::CommitDiagnostics::Level;
    const QString padding(60, QLatin1Char('x'));
    for (int i = 0; i < count; ++i) {
        quillory::CommitDiagnostics::record(
            Level::Info, QStringLiteral("commit"),
            QStringLiteral("writer=%1 seq=%2 pad=%3").arg(args[1]).arg(i).arg(padding),
            QDateTime::currentDateTimeUtc());
        if (i % 4 == 3) {
            quillory::CommitDiagnostics::waitUntilWritten(); // many small appends, as a running app makes
        }
    }
    quillory::CommitDiagnostics::waitUntilWritten();
    return 0;
}
