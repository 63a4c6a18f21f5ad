// The microphone through the desktop session's PulseAudio, whose default source is a pipe we
// feed ourselves: what goes into the pipe must come out of the backend, in order, as 16 kHz mono.
#include "Speech/WavFileAudioSource.h"
#include "Speech/pulse/AudioDevices.h"
#include "Speech/pulse/PulseAudioSource.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

using namespace quillory;
using namespace std::chrono_literals;

namespace {

/// Sample i of the test signal: a non-zero ramp, exact in float32, easy to find in a stream.
float patternSample(std::size_t i) {
    return float((i % 4000) + 1) / 8192.0f;
}

/// Writes the test signal into the pipe source from a thread, in 20 ms blocks at about real
/// time, until destroyed or `limit` samples are written.
class PipeFeeder {
public:
    explicit PipeFeeder(std::size_t limit = SIZE_MAX) : limit_(limit) {
        thread_ = std::thread([this] { run(); });
    }
    ~PipeFeeder() {
        stop_ = true;
        thread_.join();
    }
    std::size_t written() const { return written_; }

private:
    void run() {
        // Non-blocking: a server that stops reading (an idle source may be suspended) must not
        // leave this thread stuck in write(). Blocks under PIPE_BUF are written whole or not at all.
        const int fd = ::open(qgetenv("QUILLORY_TEST_PIPE_SOURCE").constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        std::vector<float> block(320);
        while (!stop_ && written_ < limit_) {
            const std::size_t n = std::min(block.size(), limit_ - written_);
            for (std::size_t i = 0; i < n; ++i) {
                block[i] = patternSample(written_ + i);
            }
            const ssize_t done = ::write(fd, block.data(), n * sizeof(float));
            if (done == ssize_t(n * sizeof(float))) {
                written_ += n;
            } else if (done >= 0 || errno != EAGAIN) {
                break;
            }
            std::this_thread::sleep_for(10ms); // twice real time: fast tests, still a stream
        }
        ::close(fd);
    }

    std::size_t limit_;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> written_{0};
    std::thread thread_;
};

/// Where the test signal's start first appears in `captured` followed by `count` matching
/// samples; -1 when it does not. (Silence or the tail of an earlier feed may come first.)
qsizetype findPattern(const std::vector<float>& captured, std::size_t count) {
    for (std::size_t k = 0; k + count <= captured.size(); ++k) {
        if (captured[k] != patternSample(0)) {
            continue;
        }
        bool all = true;
        for (std::size_t i = 0; i < count && all; ++i) {
            all = captured[k + i] == patternSample(i);
        }
        if (all) {
            return qsizetype(k);
        }
    }
    return -1;
}

/// Records what a source delivers, from its capture thread.
struct Recorder {
    std::mutex mutex;
    std::vector<float> samples;
    std::vector<std::size_t> bufferSizes;
    std::atomic<bool> onMainThread{false};
    std::atomic<bool> stopped{false};
    std::atomic<int> afterStop{0};

    AudioSource::BufferHandler handler() {
        const auto mainThread = std::this_thread::get_id();
        return [this, mainThread](std::span<const float> s) {
            if (stopped) {
                ++afterStop;
            }
            if (std::this_thread::get_id() == mainThread) {
                onMainThread = true;
            }
            std::lock_guard lock(mutex);
            samples.insert(samples.end(), s.begin(), s.end());
            bufferSizes.push_back(s.size());
        };
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return samples.size();
    }
    qsizetype patternAt(std::size_t n) {
        std::lock_guard lock(mutex);
        return findPattern(samples, n);
    }
};

bool pactl(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral("pactl"), args);
    return p.waitForFinished(5000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace

TEST(PulseAudioCapture, KnownSamplesArriveInOrderInSmallBuffersOffTheMainThreadAndNoneAfterStop) {
    PulseAudioSource source;
    Recorder recorder;
    source.start(recorder.handler());
    EXPECT_EQ(source.sourceName(), "quillory_test_mic");

    constexpr std::size_t kSamples = 12000; // 0.75 s of audio
    {
        PipeFeeder feeder;
        ASSERT_TRUE(QTest::qWaitFor([&] { return recorder.patternAt(kSamples) >= 0; }, 5000))
            << "captured " << recorder.count() << " samples, written " << feeder.written();

        // Stop while audio is still flowing: nothing may be delivered once stop() has returned.
        source.stop();
        recorder.stopped = true;
        const std::size_t atStop = recorder.count();
        QTest::qWait(150);
        EXPECT_EQ(recorder.afterStop.load(), 0);
        EXPECT_EQ(recorder.count(), atStop);
    }
    source.stop(); // twice is harmless
    EXPECT_FALSE(recorder.onMainThread.load());
    std::lock_guard lock(recorder.mutex);
    for (std::size_t n : recorder.bufferSizes) {
        ASSERT_GE(n, 1u);
        ASSERT_LE(n, std::size_t(kAudioBufferFrames));
    }
}

TEST(PulseAudioCapture, RestartsAfterStopAndAfterAFailureAndMayBeStoppedFromItsOwnHandler) {
    PulseAudioSourceOptions missing;
    missing.source = QStringLiteral("no_such_microphone");
    PulseAudioSource named(missing);
    Recorder ignored;
    QElapsedTimer clock;
    clock.start();
    try {
        named.start(ignored.handler());
        FAIL() << "a source that does not exist opened";
    } catch (const SpeechBackendError& e) {
        const QString message = QString::fromStdString(e.what());
        EXPECT_TRUE(message.contains("no_such_microphone")) << message.toStdString();
        EXPECT_TRUE(message.contains("No such entity")) << message.toStdString();
    }
    EXPECT_LT(clock.elapsed(), 2000);
    named.stop();

    PulseAudioSource source;
    for (int round = 0; round < 2; ++round) {
        Recorder recorder;
        source.start(recorder.handler());
        PipeFeeder feeder;
        EXPECT_TRUE(QTest::qWaitFor([&] { return recorder.patternAt(1600) >= 0; }, 5000)) << "round " << round;
        source.stop();
    }

    // A handler that stops the source from the capture thread neither deadlocks nor gets more.
    std::atomic<int> buffers{0};
    source.start([&](std::span<const float>) {
        ++buffers;
        source.stop();
    });
    {
        PipeFeeder feeder;
        EXPECT_TRUE(QTest::qWaitFor([&] { return buffers > 0; }, 5000));
        QTest::qWait(100);
    }
    source.stop();
    EXPECT_EQ(buffers.load(), 1);
}

TEST(PulseAudioCapture, NoServerOrAServerThatNeverAnswersFailsQuicklyWithAClearError) {
    const QByteArray realServer = qgetenv("PULSE_SERVER");
    {
        qputenv("PULSE_SERVER", "unix:/nonexistent/quillory-no-server");
        PulseAudioSource source;
        Recorder recorder;
        QElapsedTimer clock;
        clock.start();
        try {
            source.start(recorder.handler());
            FAIL() << "started without a server";
        } catch (const SpeechBackendError& e) {
            const QString message = QString::fromStdString(e.what());
            EXPECT_TRUE(message.startsWith("Cannot connect to the sound server: ")) << message.toStdString();
        }
        EXPECT_LT(clock.elapsed(), 2000);
        source.stop();

        const AudioDeviceReport report = probeAudioDevices();
        EXPECT_FALSE(report.serverReachable);
        EXPECT_FALSE(report.error.isEmpty());
        EXPECT_FALSE(hasAudioCaptureDevice());
        qputenv("PULSE_SERVER", realServer);
    }

    // A socket that accepts the connection and then says nothing: the wait is bounded.
    QTemporaryDir dir;
    QLocalServer silent;
    ASSERT_TRUE(silent.listen(dir.filePath("silent")));
    PulseAudioSourceOptions options;
    options.server = "unix:" + dir.filePath("silent");
    options.startTimeout = 400ms;
    PulseAudioSource source(options);
    Recorder recorder;
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(source.start(recorder.handler()), SpeechBackendError);
    EXPECT_GE(clock.elapsed(), 350);
    EXPECT_LT(clock.elapsed(), 1500);
    EXPECT_FALSE(probeAudioDevices(300ms, options.server).serverReachable);
}

TEST(AudioDevices, ThePipeMicrophoneCountsMonitorsDoNot) {
    AudioDeviceReport report = probeAudioDevices();
    ASSERT_TRUE(report.serverReachable) << report.error.toStdString();
    EXPECT_FALSE(report.server.isEmpty());
    EXPECT_EQ(report.defaultSource, "quillory_test_mic");
    const auto find = [&](const QString& name) {
        return std::find_if(report.sources.begin(), report.sources.end(),
                            [&](const AudioSourceInfo& s) { return s.name == name; });
    };
    ASSERT_NE(find("quillory_test_mic"), report.sources.end());
    EXPECT_FALSE(find("quillory_test_mic")->isMonitor);
    ASSERT_NE(find("quillory_test_sink.monitor"), report.sources.end());
    EXPECT_TRUE(find("quillory_test_sink.monitor")->isMonitor);
    EXPECT_TRUE(hasAudioCaptureDevice());

    // Without the pipe microphone only the sink's monitor is left.
    ASSERT_TRUE(pactl({"unload-module", "module-pipe-source"}));
    report = probeAudioDevices();
    EXPECT_TRUE(report.serverReachable);
    EXPECT_FALSE(report.sources.isEmpty());
    EXPECT_FALSE(report.hasCaptureDevice());
    EXPECT_FALSE(hasAudioCaptureDevice());

    // With no microphone the server would hand us the monitor (what the speakers play):
    // recording refuses it rather than dictating a video. Naming the monitor still works.
    PulseAudioSource source;
    Recorder recorder;
    try {
        source.start(recorder.handler());
        ADD_FAILURE() << "recorded " << source.sourceName().toStdString() << " without a microphone";
    } catch (const SpeechBackendError& e) {
        EXPECT_TRUE(QString::fromStdString(e.what()).startsWith("No microphone found")) << e.what();
    }
    source.stop();
    PulseAudioSourceOptions monitor;
    monitor.source = QStringLiteral("quillory_test_sink.monitor");
    PulseAudioSource named(monitor);
    EXPECT_NO_THROW(named.start(recorder.handler()));
    named.stop();

    // Put the microphone back for the tests that follow.
    ASSERT_TRUE(pactl({"load-module", "module-pipe-source", "source_name=quillory_test_mic",
                       "file=" + qEnvironmentVariable("QUILLORY_TEST_PIPE_SOURCE"), "format=float32le",
                       "rate=16000", "channels=1"}));
    ASSERT_TRUE(pactl({"set-default-source", "quillory_test_mic"}));
    EXPECT_TRUE(hasAudioCaptureDevice());
}

namespace {

struct MicRun {
    int exitCode = -1;
    QString out;
    QString err;
};

MicRun runMic(const QStringList& args, const std::function<void(QProcess&)>& whileRunning = {},
              const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(QUILLORY_BINARY), QStringList{"mic"} + args);
    MicRun run;
    if (!p.waitForStarted(5000)) {
        return run;
    }
    if (whileRunning) {
        whileRunning(p);
    }
    if (!p.waitForFinished(10000)) {
        p.kill();
        p.waitForFinished(2000);
        return run;
    }
    run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    run.out = QString::fromUtf8(p.readAllStandardOutput());
    run.err = QString::fromUtf8(p.readAllStandardError());
    return run;
}

std::vector<float> readWav(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return {};
    }
    return WavFileAudioSource::decode(f.readAll());
}

} // namespace

TEST(MicCommand, RecordsTheMicrophoneToAWavFileAndReportsLevels) {
    QTemporaryDir dir;
    const QString wav = dir.filePath("x.wav");
    MicRun run;
    std::size_t written = 0;
    {
        PipeFeeder feeder;
        run = runMic({"--seconds", "1", "--output", wav});
        written = feeder.written();
    }
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("Recording from quillory_test_mic")) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("level ")) << "plain level lines when stderr is not a terminal";
    EXPECT_TRUE(run.out.contains("Peak: -")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("RMS:  -")) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains("Wrote ")) << run.out.toStdString();

    const std::vector<float> samples = readWav(wav);
    EXPECT_LE(samples.size(), written); // the pipe is not clocked: the file holds what was fed
    EXPECT_GE(findPattern(samples, 8000), 0) << samples.size() << " samples in the file";
}

TEST(MicCommand, CtrlCEndsEarlyAndStillWritesTheFileAndFailuresAreClear) {
    QTemporaryDir dir;
    const QString wav = dir.filePath("early.wav");
    QElapsedTimer clock;
    clock.start();
    MicRun run;
    {
        PipeFeeder feeder;
        run = runMic({"--seconds", "30", "--output", wav}, [](QProcess& p) {
            QString err;
            (void)QTest::qWaitFor([&] {
                err += QString::fromUtf8(p.readAllStandardError());
                return err.contains("Recording from") || p.state() != QProcess::Running;
            }, 5000);
            QTest::qWait(500);
            ::kill(pid_t(p.processId()), SIGINT);
        });
    }
    EXPECT_LT(clock.elapsed(), 5000);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("Stopped early")) << run.err.toStdString();
    EXPECT_GT(readWav(wav).size(), 1600u);

    // No server: a clear message and a failure status, and no file left behind.
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("PULSE_SERVER", "unix:/nonexistent/quillory-no-server");
    const QString none = dir.filePath("none.wav");
    run = runMic({"--seconds", "1", "--output", none}, {}, env);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains("Cannot connect to the sound server")) << run.err.toStdString();
    EXPECT_FALSE(QFile::exists(none));

    // A source that does not exist, and bad arguments.
    run = runMic({"--seconds", "1", "--source", "no_such_microphone"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains("no_such_microphone")) << run.err.toStdString();
    EXPECT_EQ(runMic({"--seconds", "0"}).exitCode, 2);
    EXPECT_EQ(runMic({"--seconds", "abc"}).exitCode, 2);
    EXPECT_EQ(runMic({"--output", dir.filePath("missing-folder/x.wav"), "--seconds", "1"}).exitCode, 1);
}
