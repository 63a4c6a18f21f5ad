// Paste latency: from the synthesised paste key to the text in another application's line edit,
// and from the start of an insertion (clipboard snapshot and write included) to the same point.
// Run on its own it starts a private headless desktop for itself.
#include "Strings/StringTables.h"
#include "support/BenchDesktop.h"
#include "support/BenchFigures.h"
#include "InputTargetClient.h"
#include "PasteRounds.h"
#include "RealTargetsBench.h"

#include "Input/InputEngine.h"
#include "Input/atspi/AtspiFocus.h"
#include "Input/x11/LinuxInputPlatform.h"

#include <QApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <signal.h>
#include <unistd.h>
#include <vector>

using namespace quillory;

int main(int argc, char** argv) {
    quillory::Localization::installAllStrings();
    quillory::bench::enterPrivateDesktop(argc, argv, {"--no-pulse", "--no-tray"});
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    constexpr int kRounds = 25;

    input::LinuxInputPlatform desktop = input::createLinuxInputPlatform();
    if (!desktop.unavailableReason.isEmpty()) {
        std::fprintf(stderr, "cannot paste: %s\n", qPrintable(desktop.unavailableReason));
        return 1;
    }
    auto keys = std::make_shared<bench::TimedKeys>(desktop.platform.keys);
    desktop.platform.keys = keys;
    InputEngine engine(desktop.platform);

    test::TargetWindow target;
    if (!target.ready() || !target.request("copy-multi", "copied")) {
        std::fprintf(stderr, "the target window did not start\n");
        return 1;
    }
    bench::PasteFigures figures;
    if (!bench::pasteRounds(engine, target, *keys, kRounds, figures)) {
        return 1;
    }
    std::printf("Paste into a Qt line edit of another application:\n");
    bench::report("paste key -> text in the target line edit", figures.keyToText, 50);
    bench::report("insert() start -> text (snapshot included)", figures.insertToText, 0);
    // (Before anything here asks the accessibility bus: a focus listener of ours must not be
    // registered while real programs come and go.)
    bench::benchRealTargets(engine, [&] { return keys->keyDownNs; }, 15);

    // The focused field at the start of a recording (the baseline read), then the same read
    // while the application or the accessibility bus is frozen: bounded, never a hang.
    auto* focus = dynamic_cast<input::AtspiFocusedElementProvider*>(desktop.platform.focus.get());
    const auto timedBaseline = [&](std::vector<double>& into) {
        const qint64 start = test::monotonicNs();
        const std::optional<QString> value = engine.captureBaselineForLiveDictation();
        into.push_back(double(test::monotonicNs() - start) / 1e6);
        return value;
    };
    std::vector<double> baseline, frozenApp, frozenBus;
    if (focus) {
        target.request("set", "set", QStringLiteral("baseline"));
        if (!QTest::qWaitFor([&] { return engine.captureBaselineForLiveDictation() == QStringLiteral("baseline"); },
                             30000)) {
            std::fprintf(stderr, "the focused line edit was not found over the accessibility bus\n");
        }
        for (int i = 0; i < kRounds; ++i) {
            if (timedBaseline(baseline) != QStringLiteral("baseline")) {
                std::fprintf(stderr, "round %d: the baseline was not read\n", i);
            }
            QTest::qWait(20);
        }
        ::kill(pid_t(target.processId()), SIGSTOP);
        for (int i = 0; i < 5; ++i) {
            timedBaseline(frozenApp);
        }
        ::kill(pid_t(target.processId()), SIGCONT);
    }
    // A private bus standing in for the accessibility bus, frozen once connected.
    QTemporaryDir busDir;
    QProcess busDaemon;
    busDaemon.start(QStringLiteral("dbus-daemon"), {"--session", "--nofork", "--nopidfile", "--print-address=1",
                                                     "--address=unix:path=" + busDir.filePath(QStringLiteral("bus"))});
    if (busDaemon.waitForReadyRead(30000)) {
        input::AtspiFocusedElementProvider stuck({.busAddress = QString::fromUtf8(busDaemon.readLine().trimmed())});
        if (!QTest::qWaitFor([&] { return stuck.available(); }, 30000)) {
            std::fprintf(stderr, "the private bus did not connect\n");
        }
        ::kill(pid_t(busDaemon.processId()), SIGSTOP);
        for (int i = 0; i < 5; ++i) {
            const qint64 start = test::monotonicNs();
            stuck.focusedElement();
            frozenBus.push_back(double(test::monotonicNs() - start) / 1e6);
        }
        ::kill(pid_t(busDaemon.processId()), SIGCONT);
    }
    busDaemon.terminate();
    busDaemon.waitForFinished(5000);
    const double bound = double(input::AtspiFocusedElementProvider::Limits{}.bound.count());
    std::printf("Focused field over the accessibility bus (the baseline read; main thread waits at most %g ms):\n", bound);
    bench::report("baseline read of the focused line edit", baseline, bound);
    bench::report("baseline read, target application frozen", frozenApp, bound * 1.2);
    bench::report("focused element read, accessibility bus frozen", frozenBus, bound * 1.2);
    return 0;
}
