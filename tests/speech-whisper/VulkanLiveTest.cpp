// whisper.cpp on ggml's Vulkan backend, run on lavapipe (Mesa's Vulkan driver on the CPU, so no GPU
// is needed): the tiny model writes on the Vulkan device what it writes on the CPU, and a Vulkan
// that cannot start leaves recognition on the CPU with the reason in the log. Label "vulkan":
// scripts/run-tests.sh runs it only when `scripts/whisper-runtime.sh --vulkan` has built the
// backend (QUILLORY_TEST_WHISPER_VULKAN_DIR). Each case runs in a child process of this binary,
// since a process chooses its device once.

#include "Runtime/Log.h"
#include "Speech/WavFileAudioSource.h"
#include "SpeechFixtures.h"
#include "Speech/whisper/GpuBackend.h"
#include "Speech/whisper/WhisperContext.h"
#include "Speech/whisper/WhisperDecoder.h"
#include "support/LogCapture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <whisper.h>

using namespace quillory;
using namespace quillory::whisper;

namespace {

const char* const kLavapipe = "/usr/share/vulkan/icd.d/lvp_icd.x86_64.json";

QString env(const char* name) {
    return qEnvironmentVariable(name);
}

using quillory::testing::speechFixture;

QString joined(const Expected<Transcript>& decoded) {
    if (!decoded) {
        return QStringLiteral("failed: ") + decoded.error();
    }
    QString text;
    for (const Segment& s : decoded->segments) {
        text += s.text;
    }
    return text;
}

void skipWithoutTheBackend() {
    if (env("QUILLORY_TEST_WHISPER_VULKAN_DIR").isEmpty() || env("QUILLORY_TEST_WHISPER_MODEL").isEmpty()) {
        GTEST_SKIP() << "the Vulkan variant or the tiny models are not set (scripts/run-tests.sh sets them)";
    }
}

/// Runs the child case `name` with the Vulkan driver file `icd`; its output (a test failure when it
/// crashed or its own expectations failed).
QString child(const char* name, const QString& icd) {
    QTemporaryDir home;
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUILLORY_WHISPER_VULKAN_DIR"), env("QUILLORY_TEST_WHISPER_VULKAN_DIR"));
    environment.insert(QStringLiteral("VK_ICD_FILENAMES"), icd);
    // ggml leaves CPU-only Vulkan drivers out unless they are named.
    environment.insert(QStringLiteral("GGML_VK_VISIBLE_DEVICES"), QStringLiteral("0"));
    // No setting of the developer's: the device setting is "auto".
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
    process.setProcessEnvironment(environment);
    process.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("--gtest_also_run_disabled_tests"),
                   QStringLiteral("--gtest_filter=WhisperVulkanChild.DISABLED_%1").arg(QLatin1String(name))});
    EXPECT_TRUE(process.waitForFinished(480000));
    const QString output = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit) << output.toStdString();
    EXPECT_EQ(process.exitCode(), 0) << output.toStdString();
    return output;
}

TEST(WhisperVulkan, TheTinyModelOnLavapipeWritesWhatItWritesOnTheCpu) {
    skipWithoutTheBackend();
    ASSERT_TRUE(QFile::exists(QString::fromLatin1(kLavapipe))) << "mesa-vulkan-drivers is not installed";
    const QString output = child("DecodesOnTheVulkanDevice", QString::fromLatin1(kLavapipe));
    EXPECT_TRUE(output.contains(QStringLiteral("Speech device: Vulkan0: llvmpipe"))) << output.toStdString();
    printf("timings:%s\n", qUtf8Printable(output.section(QStringLiteral("timings:"), 1).section(QLatin1Char('\n'), 0, 0)));
}

TEST(WhisperVulkan, AVulkanThatCannotStartLeavesRecognitionOnTheCpuWithTheReasonLogged) {
    skipWithoutTheBackend();
    QTemporaryDir nowhere;
    const QString output = child("DecodesOnTheCpu", nowhere.filePath(QStringLiteral("missing_icd.json")));
    EXPECT_TRUE(output.contains(QStringLiteral("Speech device: CPU (no Vulkan"))) << output.toStdString();
}

// Run only by the cases above, each in a process of its own.

TEST(WhisperVulkanChild, DISABLED_DecodesOnTheVulkanDevice) {
    quillory::testing::LogCapture log("app.quillory.quillory.speech");
    const ComputeDevice device = currentComputeDevice();
    ASSERT_TRUE(device.gpu) << device.reason.toStdString();
    EXPECT_EQ(device.reason, "it computed the check right");

    const QString path = env("QUILLORY_TEST_WHISPER_MODEL");
    const QString sentence = env("QUILLORY_TEST_WHISPER_SENTENCE");
    // whisper.cpp's own account of the load says where the weights went.
    static QString s_whisperLines;
    whisper_log_set([](ggml_log_level, const char* text, void*) { s_whisperLines += QString::fromUtf8(text); },
                    nullptr);
    auto gpu = WhisperModel::load(path, 2, true);
    ASSERT_TRUE(gpu.ok()) << gpu.error().toStdString();
    EXPECT_TRUE(s_whisperLines.contains(QStringLiteral("Vulkan0 total size"))) << s_whisperLines.toStdString();
    auto cpu = WhisperModel::load(path, 2, false);
    ASSERT_TRUE(cpu.ok()) << cpu.error().toStdString();

    qint64 cpuMs = 0;
    qint64 gpuMs = 0;
    for (const QString& name : {QStringLiteral("plain.wav"), QStringLiteral("pauses.wav"), QStringLiteral("noisy.wav")}) {
        const std::vector<float> audio = speechFixture(name);
        DecodeOptions options;
        options.threads = 2;
        options.audioCtx = audioCtxFor(qint64(audio.size()) * 1000 / kSampleRate);
        QElapsedTimer timer;
        timer.start();
        const auto onCpu = cpu.value()->decode(audio, options);
        cpuMs += timer.restart();
        const auto onGpu = gpu.value()->decode(audio, options);
        gpuMs += timer.elapsed();
        EXPECT_EQ(joined(onGpu), joined(onCpu)) << name.toStdString();
        EXPECT_EQ(joined(onGpu), sentence) << name.toStdString();
    }
    printf("timings: three fixtures, tiny model, 2 threads: CPU %lld ms, Vulkan on lavapipe %lld ms\n",
           static_cast<long long>(cpuMs), static_cast<long long>(gpuMs));

    // The recogniser's loader takes the GPU too, and decodes the same.
    auto decoder = loadDecoder(path, env("QUILLORY_TEST_WHISPER_VAD_MODEL"), 2);
    ASSERT_TRUE(decoder.ok()) << decoder.error().toStdString();
    const DecodeResult result = decoder.value()->decode(speechFixture("plain.wav"), {}, 0, [] { return false; });
    ASSERT_EQ(result.status, DecodeResult::Status::ok) << result.error.toStdString();
    QString text;
    for (const QString& s : result.segments) {
        text += s;
    }
    EXPECT_EQ(text, sentence);
    printf("%s\n", qUtf8Printable(log.lines.filter(QStringLiteral("Speech device:")).join(QLatin1Char('\n'))));
}

TEST(WhisperVulkanChild, DISABLED_DecodesOnTheCpu) {
    quillory::testing::LogCapture log("app.quillory.quillory.speech");
    auto decoder = loadDecoder(env("QUILLORY_TEST_WHISPER_MODEL"), env("QUILLORY_TEST_WHISPER_VAD_MODEL"), 2);
    ASSERT_TRUE(decoder.ok()) << decoder.error().toStdString();
    EXPECT_FALSE(currentComputeDevice().gpu);
    const DecodeResult result = decoder.value()->decode(speechFixture("plain.wav"), {}, 0, [] { return false; });
    ASSERT_EQ(result.status, DecodeResult::Status::ok) << result.error.toStdString();
    QString text;
    for (const QString& s : result.segments) {
        text += s;
    }
    EXPECT_EQ(text, env("QUILLORY_TEST_WHISPER_SENTENCE"));
    printf("%s\n", qUtf8Printable(log.text()));
}

} // namespace
