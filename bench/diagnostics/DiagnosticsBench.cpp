// Diagnostics log figures: the caller's cost of `record`, sustained throughput through
// rotation, and the export of a full log (two generations, about 512 KiB).

#include "Strings/StringTables.h"
#include "Utilities/CommitDiagnostics.h"
#include "Utilities/CommitDiagnosticsExporter.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace quillory;
using Clock = std::chrono::steady_clock;

namespace {
double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void report(const char* what, double value, const char* unit, double target, bool lowerIsBetter) {
    const double ratio = lowerIsBetter ? value / target : target / value;
    std::printf("%-48s %12.3f %-8s target %s %g %s  (ratio %.3f: %s)\n", what, value, unit,
                lowerIsBetter ? "<=" : ">=", target, unit, ratio,
                ratio <= 1.0 ? "meets target" : "MISSES target");
}
} // namespace

int main(int argc, char** argv) {
    quillory::Localization::installAllStrings();
    QCoreApplication app(argc, argv);
    QTemporaryDir home;
    CommitDiagnostics::setLogDirectoryForTesting(home.filePath(QStringLiteral("Diagnostics")));
    const QString message =
        QStringLiteral("stage=polish_done session=1234 result=committed len=42 elapsed_ms=1834");

    // 1. Caller-side cost of record(): median over batches, with the writer draining between.
    std::vector<double> perCall;
    for (int batch = 0; batch < 200; ++batch) {
        for (int i = 0; i < 50; ++i) {
            const auto t0 = Clock::now();
            CommitDiagnostics::record(CommitDiagnostics::Level::Info, message);
            perCall.push_back(micros(Clock::now() - t0));
        }
        CommitDiagnostics::waitUntilWritten();
    }
    std::nth_element(perCall.begin(), perCall.begin() + perCall.size() / 2, perCall.end());
    report("record() on the caller thread, median", perCall[perCall.size() / 2], "us", 2.0, true);

    // 2. Sustained lines per second, from the first record to the last byte on disk, through
    //    several rotations.
    const int lines = 200000;
    const auto t0 = Clock::now();
    for (int i = 0; i < lines; ++i) {
        CommitDiagnostics::record(CommitDiagnostics::Level::Info, message);
    }
    CommitDiagnostics::waitUntilWritten();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    report("sustained lines per second (through rotation)", lines / seconds, "lines/s", 50000, false);

    // 3. Export of a full log: both generations present, every line inside the window.
    const QStringList files = CommitDiagnostics::snapshotURLs();
    qint64 bytes = 0;
    for (const QString& f : files) {
        bytes += QFileInfo(f).size();
    }
    std::vector<double> exportMs;
    for (int i = 0; i < 20; ++i) {
        const auto e0 = Clock::now();
        CommitDiagnosticsExporter::exportTo(home.filePath(QStringLiteral("export.log")), 180);
        exportMs.push_back(micros(Clock::now() - e0) / 1000.0);
    }
    std::sort(exportMs.begin(), exportMs.end());
    std::printf("(log on disk: %lld bytes in %lld files)\n", static_cast<long long>(bytes),
                static_cast<long long>(files.size()));
    report("export of the full log, median", exportMs[exportMs.size() / 2], "ms", 50.0, true);
    return 0;
}
