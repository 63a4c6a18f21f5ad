// `quillory mic`: the microphone test. Records from the sound server through the same backend
// as a dictation, shows the level while recording, optionally keeps the audio as a WAV file and
// ends with the peak and RMS levels.
#include "Cli/Cli.h"

#include "Runtime/Localization.h"
#include "Speech/AudioBuffers.h"
#include "Speech/pulse/PulseAudioSource.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSaveFile>

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

namespace quillory::cli {

namespace {

constexpr double kDefaultSeconds = 5.0;
constexpr double kMaxSeconds = 3600.0;

volatile std::sig_atomic_t gInterrupted = 0;

/// Ctrl+C (or SIGTERM) ends the recording early instead of the process, for as long as it lives.
class InterruptGuard {
public:
    InterruptGuard() {
        gInterrupted = 0;
        struct sigaction sa {};
        sa.sa_handler = [](int) { gInterrupted = 1; };
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &oldInt_);
        sigaction(SIGTERM, &sa, &oldTerm_);
    }
    ~InterruptGuard() {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

/// What the capture thread hands to the main thread.
struct Capture {
    std::mutex mutex;
    std::vector<float> samples;
    AudioLevels window; // since the last meter update
    AudioLevels total;
};

} // namespace

int micCommand(const Command& self, const QStringList& args, Io& io) {
    const Options options(args, self);
    if (!options.ok()) {
        return usageError(io, options.error());
    }
    if (!options.positional().isEmpty()) {
        return usageError(io, self);
    }
    double seconds = kDefaultSeconds;
    if (options.has(QStringLiteral("seconds"))) {
        bool ok = false;
        seconds = options.value(QStringLiteral("seconds")).toDouble(&ok);
        if (!ok || !(seconds > 0.0) || seconds > kMaxSeconds) {
            return usageError(
                io,
                QStringLiteral("--seconds takes a number of seconds above 0 and up to %1").arg(kMaxSeconds));
        }
    }

    // Open the output first: a bad path should fail before anyone speaks, not after.
    std::unique_ptr<QSaveFile> output;
    if (options.has(QStringLiteral("output"))) {
        output = std::make_unique<QSaveFile>(options.value(QStringLiteral("output")));
        if (!output->open(QIODevice::WriteOnly)) {
            return failure(io, L("mic.cli.cannot_write").arg(output->fileName(), output->errorString()));
        }
    }

    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES")) {
        // The command says itself which source it records; keep the channel's warnings only.
        QLoggingCategory::setFilterRules(QStringLiteral("app.quillory.quillory.speech.debug=false\n"
                                                        "app.quillory.quillory.speech.info=false"));
    }
    auto capture = std::make_shared<Capture>();
    capture->samples.reserve(std::size_t(seconds * kRecognitionSampleRate) + kAudioBufferFrames);
    PulseAudioSourceOptions sourceOptions;
    sourceOptions.source = options.value(QStringLiteral("source"));
    PulseAudioSource source(sourceOptions);
    InterruptGuard interrupts;
    try {
        source.start([capture](std::span<const float> samples) {
            std::lock_guard lock(capture->mutex);
            capture->samples.insert(capture->samples.end(), samples.begin(), samples.end());
            capture->window.add(samples);
            capture->total.add(samples);
        });
    } catch (const std::exception& e) {
        if (output) {
            output->cancelWriting();
        }
        return failure(io, QString::fromStdString(e.what()));
    }

    const bool terminal = ::isatty(STDERR_FILENO) == 1;
    io.err << L("mic.cli.recording").arg(source.sourceName(), QString::number(seconds, 'g', 6)) << Qt::endl;

    QElapsedTimer clock;
    clock.start();
    const qint64 limitMs = qint64(seconds * 1000.0);
    const auto meterInterval = std::chrono::milliseconds(terminal ? 50 : 500);
    auto nextMeter = std::chrono::steady_clock::now() + meterInterval;
    while (!gInterrupted && clock.elapsed() < limitMs) {
        const qint64 left = limitMs - clock.elapsed();
        std::this_thread::sleep_for(std::min(std::chrono::milliseconds(10), std::chrono::milliseconds(left)));
        if (std::chrono::steady_clock::now() < nextMeter) {
            continue;
        }
        nextMeter += meterInterval;
        AudioLevels window;
        {
            std::lock_guard lock(capture->mutex);
            window = capture->window;
            capture->window.reset();
        }
        // A window without any audio is not silence: the source is not delivering.
        const QString level =
            window.frames() == 0 ? L("mic.cli.no_audio_level") : AudioLevels::formatDbfs(window.rmsDbfs());
        if (terminal) {
            io.err << "\r[" << AudioLevels::meter(window.rmsDbfs()) << "] " << level.rightJustified(11)
                   << "  ";
            io.err.flush();
        } else {
            io.err << L("mic.cli.level_line")
                          .arg(QString::number(double(clock.elapsed()) / 1000.0, 'f', 1), level,
                               window.frames() == 0 ? level : AudioLevels::formatDbfs(window.peakDbfs()))
                   << Qt::endl;
        }
    }
    const bool interrupted = gInterrupted != 0;
    source.stop();
    if (terminal) {
        io.err << Qt::endl; // end the meter line before the summary
    }

    // The capture thread is gone: the buffers are ours alone now.
    const AudioLevels total = capture->total;
    const double recorded = double(total.frames()) / kRecognitionSampleRate;
    if (interrupted) {
        io.err << L("mic.cli.stopped_early") << Qt::endl;
    }
    io.out << L("mic.cli.recorded").arg(QString::number(recorded, 'f', 2), source.sourceName()) << '\n';
    io.out << Localization::format("mic.cli.peak", AudioLevels::formatDbfs(total.peakDbfs())) << '\n';
    io.out << Localization::format("mic.cli.rms", AudioLevels::formatDbfs(total.rmsDbfs())) << '\n';
    io.out.flush();

    if (output) {
        output->write(encodeFloatWav(capture->samples));
        if (!output->commit()) {
            return failure(io, L("mic.cli.cannot_write").arg(output->fileName(), output->errorString()));
        }
        io.out << Localization::format("mic.cli.wrote", QFileInfo(output->fileName()).absoluteFilePath())
               << Qt::endl;
    }
    if (total.frames() == 0) {
        return failure(io, Localization::format("mic.cli.no_audio", source.sourceName()));
    }
    return Ok;
}

} // namespace quillory::cli
