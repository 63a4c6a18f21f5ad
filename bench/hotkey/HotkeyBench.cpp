// Global hotkeys on X11: the time from an injected key event (XTest, another connection) to
// `onPress`, and the CPU time the listener uses while idle and while a chord is held.
// Prints the figures and their targets. Runs itself inside a private headless desktop.

#include "Strings/StringTables.h"
#include "support/BenchDesktop.h"
#include "Hotkey/GlobalHotKeyManager.h"
#include "Hotkey/x11/X11HotkeyBackend.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include "support/X11UserKeyboard.h" // after Qt: Xlib defines None, KeyPress...

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <vector>

using namespace quillory;

namespace {

constexpr int kRightCtrl = 105;  // Command by default
constexpr int kRightShift = 62;  // fn by default
constexpr double kPressTargetMs = 5.0;

double cpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

/// Runs the event loop until `done` or `timeoutMs`.
bool spinUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents | QEventLoop::AllEvents, 5);
    }
    return true;
}

void idle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

} // namespace

int main(int argc, char** argv) {
    quillory::Localization::installAllStrings();
    quillory::bench::enterPrivateDesktop(argc, argv, {"--no-pulse", "--no-tray"});
    QCoreApplication app(argc, argv);
    QString error;
    auto backend = platform::X11HotkeyBackend::open(ModifierKeyMap::defaults(), &error);
    test::X11UserKeyboard injector; // the user's keyboard: synthetic (XTEST) keys are ignored
    if (!backend || !injector.ok()) {
        std::fprintf(stderr, "no X display: %s\n", qPrintable(error));
        return 1;
    }
    GlobalHotKeyManager manager(backend->platform());
    std::chrono::steady_clock::time_point pressedAt;
    int presses = 0;
    int releases = 0;
    manager.update(
        HotkeyConfig::factoryDefaults(), [] {}, [&] {
            pressedAt = std::chrono::steady_clock::now();
            ++presses;
        },
        [&] { ++releases; });
    const auto key = [&injector](int keycode, bool down) { injector.keyNoWait(keycode, down); };

    // Injected key event → onPress: the fn key is already held, the Command key goes down.
    std::vector<double> latencies;
    for (int i = 0; i < 200; ++i) {
        key(kRightShift, true);
        XSync(injector.display(), False);
        idle(5);
        const int before = presses;
        const auto t0 = std::chrono::steady_clock::now();
        key(kRightCtrl, true);
        if (!spinUntil([&] { return presses > before; }, 2000)) {
            std::fprintf(stderr, "no press for round %d\n", i);
            return 1;
        }
        latencies.push_back(std::chrono::duration<double, std::milli>(pressedAt - t0).count());
        key(kRightCtrl, false);
        key(kRightShift, false);
        spinUntil([&] { return releases >= presses; }, 2000);
        idle(5);
    }
    const double median = percentile(latencies, 0.5);
    std::printf("injected key event -> onPress: median %.3f ms, p95 %.3f ms, max %.3f ms over %zu presses "
                "(target <= %.1f ms median: %s)\n",
                median, percentile(latencies, 0.95), percentile(latencies, 1.0), latencies.size(), kPressTargetMs,
                median <= kPressTargetMs ? "met" : "MISSED");

    // CPU time of the listener with no key activity for 10 s.
    idle(200);
    const double idle0 = cpuSeconds();
    idle(10'000);
    const double idleCpu = cpuSeconds() - idle0;
    std::printf("idle listener CPU time over 10 s: %.3f ms (%.4f %% of one core; target ~0)\n", idleCpu * 1e3,
                idleCpu / 10.0 * 100);

    // CPU time while a chord is held: the 1/30 s release watchdog polls the keys.
    key(kRightShift, true);
    key(kRightCtrl, true);
    spinUntil([&] { return manager.watchdogRunning(); }, 2000);
    const double held0 = cpuSeconds();
    idle(2'000);
    const double heldCpu = cpuSeconds() - held0;
    key(kRightCtrl, false);
    key(kRightShift, false);
    std::printf("chord held for 2 s (watchdog polling): CPU time %.3f ms (%.4f %% of one core)\n", heldCpu * 1e3,
                heldCpu / 2.0 * 100);
    return 0;
}
