// The diagnostics log as the export reads it: a file of lines "<timestamp> <message>" that
// may be damaged (torn writes, foreign bytes). The export either refuses the file with its own
// error or keeps only whole lines of it; the first bytes of the input choose the cut-off.

#include "FuzzSupport.h"

#include "Utilities/CommitDiagnostics.h"
#include "Utilities/CommitDiagnosticsExporter.h"

#include <QDateTime>
#include <QSet>

#include <cstring>

using namespace quillory;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Cut-off: 2026-03-14 08:00 UTC, moved by up to ±2^15 minutes from the first two bytes.
    qint64 shiftMinutes = 0;
    if (size >= 2) {
        std::int16_t v;
        std::memcpy(&v, data, sizeof v);
        shiftMinutes = v;
        data += 2;
        size -= 2;
    }
    const QDateTime cutoff = QDateTime(QDate(2026, 3, 14), QTime(8, 0), Qt::UTC).addSecs(60 * shiftMinutes);
    const QByteArray bytes = fuzz::bytesOf(data, size);
    const QString path = fuzz::writeScratchFile(QStringLiteral("commit.log"), bytes);

    QStringList lines;
    try {
        lines = CommitDiagnosticsExporter::collectLines(cutoff, {path});
    } catch (const CommitDiagnosticsExporter::ExportError& e) {
        QUILLORY_FUZZ_CHECK(!e.localizedDescription().isEmpty());
        return 0;
    }
    const QString text = QString::fromUtf8(bytes);
    for (const QString& line : lines) {
        QUILLORY_FUZZ_CHECK(!line.isEmpty());
        QUILLORY_FUZZ_CHECK(!line.contains(QLatin1Char('\n')));
        QUILLORY_FUZZ_CHECK(text.contains(line));
        const qsizetype blank = line.indexOf(QLatin1Char(' '));
        if (blank > 0) {
            const auto stamp = CommitDiagnostics::parseTimestamp(QStringView(line).left(blank));
            QUILLORY_FUZZ_CHECK(!stamp || stamp->isValid());
            QUILLORY_FUZZ_CHECK(!stamp || *stamp >= cutoff);
        }
    }
    return 0;
}
