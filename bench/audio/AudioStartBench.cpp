// Microphone start-up figures against the desktop session's pipe microphone, fed at real time
// in 20 ms blocks like a sound card: how long start() takes, and how long from calling start()
// until the first buffer of audio is in our hands (the words spoken in that time would be lost
// if the source did not keep them).

#include "Strings/StringTables.h"
#include "support/BenchDesktop.h"
#include "support/BenchFigures.h"
#include "Speech/pulse/PulseAudioSource.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using namespace quillory;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

using quillory::bench::millis;
using quillory::bench::report;


struct Figures {
    std::vector<double> start;
    std::vector<double> firstBuffer;
    int failures = 0;
};

Figures measure(int rounds) {
    Figures f;
    PulseAudioSourceOptions options;
    for (int r = 0; r < rounds; ++r) {
        PulseAudioSource source(options);
        std::atomic<Clock::rep> first{0};
        const auto t0 = Clock::now();
        try {
            source.start([&first](std::span<const float>) {
                Clock::rep expected = 0;
                first.compare_exchange_strong(expected, Clock::now().time_since_epoch().count());
            });
        } catch (const std::exception& e) {
            std::fprintf(stderr, "start failed: %s\n", e.what());
            ++f.failures;
            continue;
        }
        const auto started = Clock::now();
        while (first == 0 && Clock::now() - t0 < 5s) {
            std::this_thread::sleep_for(200us);
        }
        source.stop();
        f.start.push_back(millis(started - t0));
        if (first != 0) {
            f.firstBuffer.push_back(millis(Clock::time_point(Clock::duration(first.load())) - t0));
        } else {
            ++f.failures;
        }
        // Vary the phase against the feeder's 20 ms blocks, as a key press would.
        std::this_thread::sleep_for(30ms + std::chrono::milliseconds((r * 7) % 20));
    }
    return f;
}

} // namespace

int main(int argc, char** argv) {
    quillory::Localization::installAllStrings();
    quillory::bench::enterPrivateDesktop(argc, argv, {"--no-tray"}); // with the pipe microphone
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("app.quillory.quillory.speech.debug=false"));
    quillory::bench::PipeMicrophoneFeeder feeder([](std::vector<float>& block, std::size_t n) {
        for (std::size_t i = 0; i < block.size(); ++i) {
            block[i] = float(((n * block.size() + i) % 200) + 1) / 1024.0f;
        }
    });
    std::this_thread::sleep_for(100ms);
    measure(3); // warm-up: first connection, server-side module start-up

    const Figures low = measure(40);
    report("start() returns", low.start, 0);
    report("start() -> first captured buffer", low.firstBuffer, 150);
    if (low.failures > 0) {
        std::printf("failures: %d\n", low.failures);
        return 1;
    }
    return 0;
}
