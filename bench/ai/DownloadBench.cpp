// Model download figures against a loopback server that sends as fast as it can: the memory the
// process holds while a 1 GiB body streams to disk, and how soon a cancel ends a download.

#include "DownloadBench.h"

#include "Runtime/FileDownload.h"
#include "support/HostedFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSocketNotifier>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <unistd.h>

namespace quillory::bench {

namespace {
using Clock = std::chrono::steady_clock;

/// The resident memory of this process, in MiB.
double residentMiB() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return double(fields.value(1).toLongLong()) * double(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

void report(const char* what, double value, const char* unit, double target) {
    std::printf("%-58s %10.3f %-3s target <= %g %s  (%s)\n", what, value, unit, target, unit,
                value <= target ? "meets target" : "MISSES target");
}

struct Outcome {
    bool done = false;
    QString error;
};

Task<> run(QNetworkAccessManager& network, FileDownload download, CancellationToken cancel, Outcome& out) {
    try {
        co_await downloadFile(network, std::move(download), cancel);
    } catch (const FileDownloadError& e) {
        out.error = e.message();
    } catch (const CancellationError&) {
        out.error = QStringLiteral("cancelled");
    }
    out.done = true;
}
} // namespace

void downloadFigures() {
    QTemporaryDir folder;
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);

    // 1. An unpaced 1 GiB body: the peak of resident memory above what the process held before.
    {
        constexpr qint64 size = qint64(1) << 30;
        testing::StreamingHttpServer server(size);
        FileDownload download;
        download.url = QUrl(QStringLiteral("http://127.0.0.1:%1/model.bin").arg(server.port()));
        download.destination = folder.filePath(QStringLiteral("model.bin"));
        download.requireDigest = false; // the figure is about memory, not the digest
        const double before = residentMiB();
        double peak = before;
        qint64 samples = 0;
        download.progress = [&](qint64, qint64) {
            if (++samples % 16 == 0) {
                peak = std::max(peak, residentMiB());
            }
        };
        Outcome outcome;
        const auto t0 = Clock::now();
        auto task = run(network, download, {}, outcome);
        while (!outcome.done) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        peak = std::max(peak, residentMiB());
        if (!outcome.error.isEmpty()) {
            std::printf("download of 1 GiB failed: %s\n", qPrintable(outcome.error));
        }
        std::printf("%-58s %10.1f MB/s\n", "unpaced loopback download of 1 GiB, throughput",
                    double(size) / (1024.0 * 1024.0) / seconds);
        report("resident memory during a 1 GiB loopback download (peak)", peak, "MiB", 100);
        std::printf("%-58s %10.1f MiB\n", "  of which held before the download", before);
        QFile::remove(download.destination);
    }

    // 2. Cancel latency: an endless body; the cancel arrives as the app's signals do, through a
    //    socket notifier on the event loop, while the download runs at full speed.
    std::vector<double> latencies;
    for (int i = 0; i < 3; ++i) {
        testing::StreamingHttpServer server(qint64(1) << 40);
        FileDownload download;
        download.url = QUrl(QStringLiteral("http://127.0.0.1:%1/model.bin").arg(server.port()));
        download.destination = folder.filePath(QStringLiteral("endless.bin"));
        int pipeFds[2];
        if (::pipe(pipeFds) != 0) {
            return;
        }
        CancellationSource source;
        QSocketNotifier notifier(pipeFds[0], QSocketNotifier::Read);
        QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
            char byte = 0;
            [[maybe_unused]] const auto n = ::read(pipeFds[0], &byte, 1);
            source.cancel();
        });
        Outcome outcome;
        auto task = run(network, download, source.token(), outcome);
        Clock::time_point sent = Clock::now();
        std::atomic<bool> over{false};
        std::thread interrupt([&] {
            while (server.sent() < 256 * 1024 * 1024 && !over) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            sent = Clock::now();
            [[maybe_unused]] const auto n = ::write(pipeFds[1], "x", 1);
        });
        while (!outcome.done) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        const auto ended = Clock::now();
        over = true;
        interrupt.join();
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        latencies.push_back(std::chrono::duration<double>(ended - sent).count());
        if (outcome.error != QStringLiteral("cancelled") ||
            QFile::exists(download.destination + ".download")) {
            std::printf("cancel: unexpected outcome \"%s\" or a partial file left\n",
                        qPrintable(outcome.error));
        }
    }
    std::sort(latencies.begin(), latencies.end());
    report("cancel of a full-speed download to its end, worst of 3", latencies.back(), "s", 1.0);
}

} // namespace quillory::bench
