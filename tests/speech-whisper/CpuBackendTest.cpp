// ggml's CPU backend for whisper.cpp, loaded at run time from the runtime's folder: the variant
// this processor gets, and a clear failure (never a crash) when none can be loaded. The failing
// cases run in a child process of this test binary, since a process loads its backend once.

#include "Speech/whisper/CpuBackend.h"
#include "Speech/whisper/WhisperContext.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace quillory;
using namespace quillory::whisper;

namespace {

/// The variant ggml should choose here: the best whose instructions /proc/cpuinfo lists.
QString expectedVariant() {
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    if (!cpuinfo.open(QIODevice::ReadOnly)) {
        return {};
    }
    QStringList flags;
    for (const QByteArray& line : cpuinfo.readAll().split('\n')) {
        if (line.startsWith("flags")) {
            flags = QString::fromLatin1(line.mid(line.indexOf(':') + 1)).split(' ', Qt::SkipEmptyParts);
            break;
        }
    }
    const auto has = [&](std::initializer_list<const char*> wanted) {
        return std::all_of(wanted.begin(), wanted.end(), [&](const char* f) { return flags.contains(QLatin1String(f)); });
    };
    if (!has({"sse4_2", "avx", "f16c", "fma", "avx2", "bmi2"})) {
        return QStringLiteral("x64");
    }
    return has({"avx512f", "avx512cd", "avx512vl", "avx512dq", "avx512bw"}) ? QStringLiteral("skylakex")
                                                                             : QStringLiteral("haswell");
}

TEST(WhisperCpuBackend, TheBestVariantForThisProcessorIsLoadedFromTheRuntimeFolder) {
    const Expected<CpuBackend>& backend = ensureCpuBackend();
    ASSERT_TRUE(backend.ok()) << backend.error().toStdString();
    EXPECT_EQ(backend->variant, expectedVariant());
    EXPECT_EQ(backend->file, backend->folder + QStringLiteral("/libggml-cpu-%1.so").arg(backend->variant));
    // Asked again (from another thread too), the same backend: loaded once.
    QString again;
    std::thread([&] { again = ensureCpuBackend()->file; }).join();
    EXPECT_EQ(again, backend->file);
}

/// Runs the child case below with the backend folder `folder`; its standard output, or a test
/// failure when it crashed or its own expectations failed.
QString childLoadingFrom(const QString& folder) {
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUILLORY_WHISPER_CPU_DIR"), folder);
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_also_run_disabled_tests"),
                 QStringLiteral("--gtest_filter=WhisperCpuBackendChild.DISABLED_ModelsFailToLoadWithTheReason")});
    EXPECT_TRUE(child.waitForFinished(120000));
    const QString output = QString::fromUtf8(child.readAllStandardOutput() + child.readAllStandardError());
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << output.toStdString();
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    return output;
}

TEST(WhisperCpuBackend, WithoutAUsableVariantSpeechModelsFailToLoadNamingTheFolder) {
    if (qEnvironmentVariableIsEmpty("QUILLORY_TEST_WHISPER_MODEL")) {
        GTEST_SKIP() << "the tiny whisper models are not there: run scripts/run-tests.sh";
    }
    QTemporaryDir empty;
    ASSERT_TRUE(empty.isValid());
    QString output = childLoadingFrom(empty.path());
    EXPECT_TRUE(output.contains(QStringLiteral("no CPU backend (libggml-cpu-*.so) in ") + empty.path()))
        << output.toStdString();

    // A damaged variant (cut short, as by a full disk), which the loader would map as if whole.
    const Expected<CpuBackend>& installed = ensureCpuBackend();
    ASSERT_TRUE(installed.ok()) << installed.error().toStdString();
    QFile baseline(installed->folder + QStringLiteral("/libggml-cpu-x64.so"));
    ASSERT_TRUE(baseline.open(QIODevice::ReadOnly));
    QTemporaryDir damaged;
    QFile cut(damaged.filePath(QStringLiteral("libggml-cpu-x64.so")));
    ASSERT_TRUE(cut.open(QIODevice::WriteOnly));
    cut.write(baseline.read(4096));
    cut.close();
    output = childLoadingFrom(damaged.path());
    EXPECT_TRUE(output.contains(QStringLiteral("damaged CPU backend in %1 (libggml-cpu-x64.so: cut short (4096 bytes))")
                                    .arg(damaged.path())))
        << output.toStdString();
}

// Run only by the case above, in a process of its own.
TEST(WhisperCpuBackendChild, DISABLED_ModelsFailToLoadWithTheReason) {
    const QString folder = qEnvironmentVariable("QUILLORY_WHISPER_CPU_DIR");
    ASSERT_FALSE(folder.isEmpty());
    auto model = WhisperModel::load(qEnvironmentVariable("QUILLORY_TEST_WHISPER_MODEL"));
    ASSERT_FALSE(model.ok());
    EXPECT_TRUE(model.error().contains(folder));
    auto vad = VadModel::load(qEnvironmentVariable("QUILLORY_TEST_WHISPER_VAD_MODEL"));
    ASSERT_FALSE(vad.ok());
    EXPECT_EQ(vad.error(), model.error());
    printf("%s\n", qUtf8Printable(model.error()));
}

} // namespace
