// What a whisper.cpp speech model costs on this machine: load time, the encoder on 2, 5 and 15 s
// of audio (with audio_ctx sized to the audio, as the recogniser sizes it) and the decoder per
// token, capped at a realistic count (about 10 tokens per second of speech).
//
// Usage: bench_whisper_cost [MODEL.bin ...]
//   Without arguments: every *.bin in QUILLORY_BENCH_WHISPER_MODELS (default: the random-weight
//   real-size models of scripts/make-sized-whisper-models.sh in the dependency cache), plus the
//   tiny test model when QUILLORY_TEST_WHISPER_MODEL is set.
// QUILLORY_BENCH_THREADS sets the decoder threads (default: all cores).
// Each model gets a CPU row and, when recognition would run on a GPU (Speech/whisper/GpuBackend.h:
// the Vulkan variant built and a device that passes the check), a Vulkan row beside it. lavapipe,
// Mesa's Vulkan on the CPU, counts with VK_ICD_FILENAMES=/usr/share/vulkan/icd.d/lvp_icd.x86_64.json
// GGML_VK_VISIBLE_DEVICES=0.
//
// Random weights cost the same as real ones; the text they write is nonsense.

#include "Runtime/Paths.h"
#include "Speech/WavFileAudioSource.h"
#include "Speech/whisper/GpuBackend.h"
#include "Speech/whisper/WhisperContext.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cstdio>
#include <thread>

using namespace quillory;
using namespace quillory::whisper;

namespace {

constexpr int kTokensPerSecond = 10;

std::vector<float> speech(double seconds) {
    QFile file(QStringLiteral(QUILLORY_SPEECH_FIXTURES "/pauses.wav"));
    std::vector<float> source;
    if (file.open(QIODevice::ReadOnly)) {
        source = WavFileAudioSource::decode(file.readAll());
    }
    if (source.empty()) {
        source.assign(kSampleRate, 0.01f);
    }
    std::vector<float> out(size_t(seconds * kSampleRate));
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = source[i % source.size()];
    }
    return out;
}

double timedDecode(WhisperModel& model, const std::vector<float>& pcm, int maxTokens, int threads,
                   DecodeTimings* timings = nullptr) {
    DecodeOptions options;
    options.audioCtx = audioCtxFor(qint64(pcm.size()) * 1000 / kSampleRate, model.modelAudioCtx());
    options.maxTokens = maxTokens;
    options.threads = threads;
    QElapsedTimer timer;
    timer.start();
    const Expected<Transcript> decoded = model.decode(pcm, options);
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    if (timings) {
        *timings = model.lastTimings();
    }
    if (!decoded || decoded->aborted) {
        std::fprintf(stderr, "decode failed: %s\n", qPrintable(decoded.error()));
        return -1;
    }
    return ms;
}

QStringList defaultModels() {
    QString dir = qEnvironmentVariable("QUILLORY_BENCH_WHISPER_MODELS");
    if (dir.isEmpty()) {
        dir = Paths::cacheDirectory() + QStringLiteral("/deps/sized-whisper");
    }
    QStringList models;
    for (const QFileInfo& info : QDir(dir).entryInfoList({QStringLiteral("*.bin")}, QDir::Files, QDir::Name)) {
        models << info.absoluteFilePath();
    }
    const QString tiny = qEnvironmentVariable("QUILLORY_TEST_WHISPER_MODEL");
    if (!tiny.isEmpty()) {
        models << tiny;
    }
    return models;
}

} // namespace

int main(int argc, char** argv) {
    QStringList models;
    for (int i = 1; i < argc; ++i) {
        models << QString::fromLocal8Bit(argv[i]);
    }
    if (models.isEmpty()) {
        models = defaultModels();
    }
    if (models.isEmpty()) {
        std::printf("no models: run scripts/make-sized-whisper-models.sh or name model files\n");
        return 0;
    }
    int threads = qEnvironmentVariableIntValue("QUILLORY_BENCH_THREADS");
    if (threads <= 0) {
        threads = std::max(1, int(std::thread::hardware_concurrency()));
    }
    std::printf("whisper.cpp %s, %d threads; encoder pass and decoder step as whisper.cpp times them, the\n"
                "decoder capped at %d tokens per second of audio; per s of speech = (encoder 5 s + 50 tokens) / 5\n\n",
                qPrintable(runtimeVersion()), threads, kTokensPerSecond);
    const ComputeDevice device = currentComputeDevice();
    std::printf("device: %s (%s)\n\n", qPrintable(device.name), qPrintable(device.reason));
    std::printf("%-36s %-6s %8s %7s %8s %8s %8s %9s %10s\n", "model", "on", "MB", "load s", "enc 2s", "enc 5s",
                "enc 15s", "ms/token", "per s sp.");
    const auto row = [&](const QString& path, bool gpu) {
        const char* on = gpu ? "vulkan" : "cpu";
        auto loaded = WhisperModel::load(path, threads, gpu);
        if (!loaded) {
            std::printf("%-36s %-6s %s\n", qPrintable(QFileInfo(path).fileName()), on, qPrintable(loaded.error()));
            return;
        }
        const std::shared_ptr<WhisperModel> model = loaded.value();
        const double mb = double(QFileInfo(path).size()) / 1e6;
        // Warm-up: first-use allocations are not part of a dictation's cost.
        timedDecode(*model, speech(1.0), 1, threads);
        // whisper.cpp's own timings: wall-clock differences drown in the encoder's noise on a
        // busy machine.
        double enc[3] = {0, 0, 0};
        const double lengths[3] = {2.0, 5.0, 15.0};
        for (int i = 0; i < 3; ++i) {
            DecodeTimings t;
            timedDecode(*model, speech(lengths[i]), 1, threads, &t);
            enc[i] = t.encodeMs;
        }
        const int tokens = int(5.0 * kTokensPerSecond);
        DecodeTimings capped;
        timedDecode(*model, speech(5.0), tokens, threads, &capped);
        const double perToken = capped.perTokenMs;
        const double perSecond = (enc[1] + perToken * tokens) / 5.0;
        std::printf("%-36s %-6s %8.1f %7.2f %8.0f %8.0f %8.0f %9.1f %10.0f\n",
                    qPrintable(QFileInfo(path).fileName()), on, mb, double(model->loadMs()) / 1000.0, enc[0],
                    enc[1], enc[2], perToken, perSecond);
        std::fflush(stdout);
    };
    for (const QString& path : models) {
        row(path, false);
        if (device.gpu) {
            row(path, true);
        }
    }
    return 0;
}
