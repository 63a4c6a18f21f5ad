#include "Speech/whisper/WhisperDecoder.h"

#include "Speech/whisper/GpuBackend.h"
#include "Speech/whisper/WhisperContext.h"
#include "Runtime/Log.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>

namespace quillory::whisper {

namespace {

constexpr qint64 kSamplesPerMs = kSampleRate / 1000;

class WhisperDecoder final : public SpeechDecoder {
public:
    WhisperDecoder(std::shared_ptr<WhisperModel> model, std::shared_ptr<VadModel> vad, int threads)
        : model_(std::move(model)), vad_(std::move(vad)), threads_(threads) {}

    DecodeResult decode(std::span<const float> samples, const QString& prompt, int audioCtx,
                        const std::function<bool()>& shouldAbort) override {
        DecodeOptions options;
        options.language = QStringLiteral("ja");
        options.initialPrompt = prompt;
        options.audioCtx = audioCtx;
        options.threads = threadsForIdleCores(
            sharing_ ? std::clamp(physicalCores() - partialThreads(), 1, threads_) : threads_,
            QThread::idealThreadCount(), othersRunning());
        options.shouldAbort = shouldAbort;
        // About 10 tokens a second of Japanese speech; the cap bounds a repetition loop's cost.
        options.maxTokens = 32 + static_cast<int>(samples.size() * 20 / kSampleRate);
        const Expected<Transcript> decoded = model_->decode(samples, options);
        DecodeResult result;
        if (!decoded) {
            result.status = DecodeResult::Status::failed;
            result.error = decoded.error().isEmpty() ? QStringLiteral("whisper.cpp could not decode the audio")
                                                     : decoded.error();
        } else if (decoded->aborted) {
            result.status = DecodeResult::Status::aborted;
        } else {
            for (const Segment& s : decoded->segments) {
                result.segments.push_back(s.text);
            }
        }
        return result;
    }

    DetectResult detectSpeech(std::span<const float> samples) override {
        VadOptions options;
        // whisper.cpp's default minimum of 250 ms drops a quick "はい"; the recogniser pads short
        // speech before decoding it.
        options.minSpeechMs = kMinSpeechMs;
        options.minSilenceMs = 100;
        options.speechPadMs = 30;
        const Expected<std::vector<SpeechInterval>> detected = vad_->detect(samples, options);
        if (!detected) {
            return DetectResult::failure(detected.error());
        }
        const std::vector<SpeechInterval>& intervals = detected.value();
        DetectResult result;
        std::vector<SpeechSpan>& spans = result.spans;
        spans.reserve(intervals.size());
        const auto total = static_cast<qint64>(samples.size());
        for (const SpeechInterval& i : intervals) {
            const qint64 start = std::clamp<qint64>(i.startMs * kSamplesPerMs, 0, total);
            const qint64 end = std::clamp<qint64>(i.endMs * kSamplesPerMs, start, total);
            if (end > start) {
                spans.push_back({start, end});
            }
        }
        return result;
    }

    int maxPromptTokens() const override { return model_->maxPromptTokens(); }
    int tokenCount(const QString& text) const override {
        const int n = model_->tokenCount(text);
        return n >= 0 ? n : static_cast<int>(text.size()) * 2;
    }
    int modelAudioCtx() const override { return model_->modelAudioCtx(); }
    void setSharingCpu(bool sharing) override { sharing_ = sharing; }

    void beginRecognition() override {
        ++recognitions_;
        if (const Expected<> prepared = model_->prepare(); !prepared) {
            // The first decode tries again and reports the failure.
            qCWarning(lcSpeech, "%s", qUtf8Printable(prepared.error()));
        }
    }
    void endRecognition() override {
        // whisper.cpp's caches and compute buffers hold tens of MB (hundreds for the large models)
        // that the longest decode of the dictation touched: none of it stays between dictations.
        if (recognitions_ > 0 && --recognitions_ == 0) {
            model_->releaseState();
        }
    }

private:
    std::shared_ptr<WhisperModel> model_;
    std::shared_ptr<VadModel> vad_;
    int threads_;
    bool sharing_ = false;
    int recognitions_ = 0; // under way (worker only)
};

} // namespace

int physicalCores() {
    // whisper.cpp gains nothing from a core's second hardware thread, and loses when its threads
    // wait on each other across them.
    const int logical = std::max(1, QThread::idealThreadCount());
    QFile smt(QStringLiteral("/sys/devices/system/cpu/smt/active"));
    if (smt.open(QIODevice::ReadOnly) && smt.readAll().trimmed() == "1") {
        return std::max(1, logical / 2);
    }
    return logical;
}

int defaultThreads() {
    bool ok = false;
    const int configured = qEnvironmentVariableIntValue("QUILLORY_WHISPER_THREADS", &ok);
    if (ok && configured > 0) {
        return configured;
    }
    return std::clamp(physicalCores(), 1, 8);
}

int partialThreads() { return std::clamp(physicalCores() / 4, 1, 2); }

int threadsForIdleCores(int wanted, int cores, int othersRunning) {
    return std::clamp(cores - std::max(0, othersRunning), 1, std::max(1, wanted));
}

int othersRunning() {
    QFile stat(QStringLiteral("/proc/stat"));
    if (!stat.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (QByteArray line = stat.readLine(); !line.isEmpty(); line = stat.readLine()) {
        if (line.startsWith("procs_running ")) {
            return std::max(0, line.mid(14).trimmed().toInt() - 1);
        }
    }
    return 0;
}

namespace {

Expected<std::shared_ptr<SpeechDecoder>> loadDecoderOn(const QString& modelPath, const QString& vadPath, int threads,
                                                       bool gpu) {
    auto model = WhisperModel::load(modelPath, threads, gpu);
    if (!model) {
        return Failure{model.error()};
    }
    if (!model.value()->isMultilingual()) {
        return Failure{QStringLiteral("%1 is an English-only model").arg(QFileInfo(modelPath).fileName())};
    }
    auto vad = VadModel::load(vadPath, 1);
    if (!vad) {
        return Failure{vad.error()};
    }
    return std::shared_ptr<SpeechDecoder>(
        std::make_shared<WhisperDecoder>(std::move(model).value(), std::move(vad).value(), threads));
}

} // namespace

Expected<std::shared_ptr<SpeechDecoder>> loadDecoder(const QString& modelPath, const QString& vadPath, int threads) {
    if (!QFileInfo::exists(vadPath)) {
        return Failure{QStringLiteral("the voice-activity model %1 is missing").arg(vadPath)};
    }
    const ComputeDevice device = currentComputeDevice();
    if (!device.gpu) {
        return loadDecoderOn(modelPath, vadPath, threads, false);
    }
    auto onGpu = loadDecoderOn(modelPath, vadPath, threads, true);
    if (onGpu) {
        return withCpuFallback(
            std::move(onGpu).value(),
            [modelPath, vadPath, threads] { return loadDecoderOn(modelPath, vadPath, threads, false); },
            [](const QString& why) { reportGpuFailure(why); });
    }
    // A file that does not load at all is the file's fault, not the GPU's.
    auto onCpu = loadDecoderOn(modelPath, vadPath, threads, false);
    if (onCpu) {
        qCWarning(lcSpeech, "The speech model could not be loaded on the GPU (%s): recognising on the CPU",
                  qUtf8Printable(onGpu.error()));
        reportGpuFailure(onGpu.error());
    }
    return onCpu;
}

SpeechDecoderLoader makeDecoderLoader(std::function<QString()> vadPath, int threads) {
    return [vadPath = std::move(vadPath), threads](const QString& modelPath) {
        return loadDecoder(modelPath, vadPath ? vadPath() : QString(), threads > 0 ? threads : defaultThreads());
    };
}

} // namespace quillory::whisper
