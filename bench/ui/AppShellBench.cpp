// Start -> tray icon embedded, resident memory when idle without models, CPU over 10 s idle.
// Runs itself inside the private desktop (Xvfb, openbox, trayer, PulseAudio).
#include "Strings/StringTables.h"
#include "support/BenchDesktop.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

bool iconEmbedded() {
    QProcess p;
    p.start(QStringLiteral("xwininfo"), {"-root", "-tree"});
    p.waitForFinished(5000);
    const QList<QByteArray> lines = p.readAllStandardOutput().split('\n');
    int panelIndent = -1;
    for (const QByteArray& line : lines) {
        const int indent = int(line.size() - line.trimmed().size());
        if (line.contains("(\"panel\" \"trayer\")")) {
            panelIndent = indent;
        } else if (panelIndent >= 0 && indent <= panelIndent && !line.trimmed().isEmpty()) {
            panelIndent = -1;
        } else if (panelIndent >= 0 && line.contains("(\"quillory\" \"quillory\")")) {
            return true;
        }
    }
    return false;
}

long long cpuTicks(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    const QByteArray s = f.readAll();
    const QList<QByteArray> fields = s.mid(s.lastIndexOf(')') + 2).split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong(); // utime + stime
}

long long rssKiB(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    quillory::Localization::installAllStrings();
    quillory::bench::enterPrivateDesktop(argc, argv, {});
    QCoreApplication app(argc, argv);
    constexpr int kRounds = 5;
    std::vector<double> embedMs;
    long long rss = -1;
    double cpuPercent = -1;
    for (int round = 0; round < kRounds; ++round) {
        QTemporaryDir home;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/config"));
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + QStringLiteral("/data"));
        env.insert(QStringLiteral("QUILLORY_APP_SOCKET"), home.path() + QStringLiteral("/app.socket"));
        QProcess set;
        set.setProcessEnvironment(env);
        set.start(QStringLiteral(QUILLORY_EXECUTABLE),
                  {"settings", "set", "quillory.firstLaunch.settingsOpened", "true", "--bool"});
        set.waitForFinished(5000);

        QProcess quillory;
        quillory.setProcessEnvironment(env);
        quillory.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QElapsedTimer clock;
        clock.start();
        quillory.start(QStringLiteral(QUILLORY_EXECUTABLE), {});
        bool embedded = false;
        while (clock.elapsed() < 10000 && !(embedded = iconEmbedded())) {
            QThread::msleep(2);
        }
        if (!embedded) {
            std::fprintf(stderr, "the tray icon was never embedded\n");
            return 1;
        }
        embedMs.push_back(double(clock.nsecsElapsed()) / 1e6);
        if (round == kRounds - 1) {
            QThread::sleep(3); // settle
            const long long before = cpuTicks(quillory.processId());
            QThread::sleep(10);
            const long long after = cpuTicks(quillory.processId());
            cpuPercent = 100.0 * double(after - before) / double(sysconf(_SC_CLK_TCK)) / 10.0;
            rss = rssKiB(quillory.processId());
        }
        quillory.terminate();
        quillory.waitForFinished(5000);
    }
    std::sort(embedMs.begin(), embedMs.end());
    std::printf("start -> tray icon embedded          median %6.1f ms  max %6.1f ms  (n=%d, target <= 400 ms;"
                " includes ~xwininfo polling)\n",
                embedMs[embedMs.size() / 2], embedMs.back(), kRounds);
    std::printf("resident memory idle, no models       %6.1f MB  (target <= 80 MB)\n", double(rss) / 1024.0);
    std::printf("CPU over 10 s idle                    %6.2f %%  (target ~ 0)\n", cpuPercent);
    return 0;
}
