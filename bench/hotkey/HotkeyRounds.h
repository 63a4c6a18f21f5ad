#pragma once
// What the per-compositor hotkey benchmarks share: waits that keep the event loop turning, the
// rounds of key → callback, and one printed row per path.

#include "support/BenchFigures.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QString>

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <tuple>
#include <vector>

namespace quillory::bench {

/// Generous for a loaded 2-core machine: every wait polls its condition.
inline constexpr int kHotkeyWaitMs = 60000;
/// Presses per row.
inline constexpr int kHotkeyRounds = 40;

/// Turns the event loop until `done` holds or `timeoutMs` ran out; returns `done()`.
inline bool spinUntil(const std::function<bool()>& done, int timeoutMs = kHotkeyWaitMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) {
            return done();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

/// Turns the event loop for `ms`.
inline void spinFor(int ms) {
    QElapsedTimer timer;
    timer.start();
    spinUntil([&] { return timer.elapsed() >= ms; }, ms + 1000);
}

/// A callback that notes when it ran and how often.
struct CallbackClock {
    int count = 0;
    std::chrono::steady_clock::time_point last;
    void hit() {
        last = std::chrono::steady_clock::now();
        ++count;
    }
};

/// `rounds` times: `down()` sends the key (it returns the moment the key went out, or nullopt when
/// it could not be sent), the event loop turns until `clock` counts one more, then `up()` ends the
/// round. The milliseconds from key to callback, or empty (with a line on stderr) when a round
/// failed.
inline std::vector<double> keyRounds(
    CallbackClock& clock, const std::function<std::optional<std::chrono::steady_clock::time_point>()>& down,
    const std::function<bool()>& up, int rounds = kHotkeyRounds) {
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        const int before = clock.count;
        const auto sent = down();
        if (!sent) {
            std::fprintf(stderr, "round %d: the key could not be sent\n", i);
            return {};
        }
        if (!spinUntil([&] { return clock.count > before; })) {
            std::fprintf(stderr, "round %d: no callback within %d s\n", i, kHotkeyWaitMs / 1000);
            return {};
        }
        ms.push_back(millis(clock.last - *sent));
        if (!up()) {
            std::fprintf(stderr, "round %d: the key could not be released\n", i);
            return {};
        }
        spinFor(30); // what the round set off settles (a repeat would show as an extra callback)
    }
    return ms;
}

/// `rounds` holds of a push-to-talk key: `down()` and `up()` send the key's press and release (each
/// returns the moment it went out), each awaited at `pressed` and `released`. False (with a line on
/// stderr) when a round failed.
inline bool holdRounds(CallbackClock& pressed, CallbackClock& released,
                       const std::function<std::optional<std::chrono::steady_clock::time_point>()>& down,
                       const std::function<std::optional<std::chrono::steady_clock::time_point>()>& up,
                       std::vector<double>& pressMs, std::vector<double>& releaseMs, int rounds = kHotkeyRounds) {
    for (int i = 0; i < rounds; ++i) {
        for (const auto& [awaited, send, ms, what] : {std::tuple{&pressed, &down, &pressMs, "press"},
                                                      std::tuple{&released, &up, &releaseMs, "release"}}) {
            CallbackClock* clock = awaited;
            const int before = clock->count;
            const auto sent = (*send)();
            if (!sent) {
                std::fprintf(stderr, "round %d: the %s could not be sent\n", i, what);
                return false;
            }
            if (!spinUntil([&] { return clock->count > before; })) {
                std::fprintf(stderr, "round %d: no %s callback within %d s\n", i, what, kHotkeyWaitMs / 1000);
                return false;
            }
            ms->push_back(millis(clock->last - *sent));
            spinFor(30);
        }
    }
    return true;
}

/// One row: "key -> callback on COMPOSITOR (PATH): median, p95, max over n presses".
inline void printHotkeyRow(const char* compositor, const char* path, const std::vector<double>& ms) {
    if (ms.empty()) {
        std::printf("key -> callback on %s (%s): no figure\n", compositor, path);
        return;
    }
    std::printf("key -> callback on %s (%s): median %.2f ms, p95 %.2f ms, max %.2f ms over %zu presses\n",
                compositor, path, percentile(ms, 0.5), percentile(ms, 0.95), percentile(ms, 1.0), ms.size());
    std::fflush(stdout);
}

/// A row that has no figure, and why.
inline void printHotkeyNoFigure(const char* compositor, const char* path, const QString& why) {
    std::printf("key -> callback on %s (%s): no figure: %s\n", compositor, path, qPrintable(why));
    std::fflush(stdout);
}

} // namespace quillory::bench
