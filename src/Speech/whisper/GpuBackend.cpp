#include "Speech/whisper/GpuBackend.h"

#include "Runtime/DefaultsStore.h"
#include "Runtime/Log.h"
#include "Speech/whisper/CpuBackend.h"
#include "Speech/whisper/WhisperContext.h"

#include <ggml-alloc.h>
#include <ggml-backend.h>
#include <ggml.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <dlfcn.h>

#include <cmath>
#include <mutex>
#include <optional>

namespace quillory::whisper {

namespace {

const QString kLibrary = QStringLiteral("libggml-vulkan.so");

ComputeDevice onCpu(QString reason) {
    return {false, QStringLiteral("CPU"), std::move(reason)};
}

// ---- the check: a matrix product and a softmax on the device ----

// The encoder's and the decoder's bulk: f16 weights times f32 activations, then a softmax over
// each row of the product. Sizes that are not multiples of the shaders' tiles.
constexpr int kInner = 80;  // the dot products' length
constexpr int kRows = 96;   // weight rows (the product's row length)
constexpr int kColumns = 7; // activation columns

// Deterministic values in [-1, 1).
struct Numbers {
    quint32 x = 0x2545F491u;
    float next() {
        x = x * 1664525u + 1013904223u;
        return float((x >> 8) & 0xffffu) / 32768.0f - 1.0f;
    }
};

struct Reference {
    std::vector<ggml_fp16_t> weights; // kRows rows of kInner
    std::vector<float> activations;   // kColumns columns of kInner
    std::vector<double> product;      // kColumns rows of kRows
    std::vector<double> softmax;      // the same shape
};

Reference reference() {
    Reference r;
    Numbers numbers;
    std::vector<float> weights(size_t(kRows) * kInner);
    for (float& w : weights) {
        w = numbers.next();
    }
    r.weights.resize(weights.size());
    ggml_fp32_to_fp16_row(weights.data(), r.weights.data(), int64_t(weights.size()));
    ggml_fp16_to_fp32_row(r.weights.data(), weights.data(), int64_t(weights.size())); // as the device sees them
    r.activations.resize(size_t(kColumns) * kInner);
    for (float& a : r.activations) {
        a = numbers.next();
    }
    r.product.resize(size_t(kColumns) * kRows);
    r.softmax.resize(r.product.size());
    for (int c = 0; c < kColumns; ++c) {
        double largest = -INFINITY;
        for (int row = 0; row < kRows; ++row) {
            double sum = 0;
            for (int i = 0; i < kInner; ++i) {
                sum += double(weights[size_t(row) * kInner + i]) * r.activations[size_t(c) * kInner + i];
            }
            r.product[size_t(c) * kRows + row] = sum;
            largest = std::max(largest, sum);
        }
        double total = 0;
        for (int row = 0; row < kRows; ++row) {
            total += std::exp(r.product[size_t(c) * kRows + row] - largest);
        }
        for (int row = 0; row < kRows; ++row) {
            r.softmax[size_t(c) * kRows + row] = std::exp(r.product[size_t(c) * kRows + row] - largest) / total;
        }
    }
    return r;
}

// Where `got` is further from `want` than `tolerance(want)` allows (NaN and infinity included), or
// empty. The device may round the activations to f16 and add in f16 (sums of about 3, up to 10,
// over 80 terms: some 0.03 off), which moves the softmax by a few per cent; a wrong result is off
// by whole units, or not a number.
template <typename Tolerance>
QString firstMismatch(const char* what, const std::vector<float>& got, const std::vector<double>& want,
                      Tolerance tolerance) {
    for (size_t i = 0; i < want.size(); ++i) {
        const double error = std::abs(double(got[i]) - want[i]);
        if (!std::isfinite(got[i]) || !(error <= tolerance(want[i]))) {
            return QStringLiteral("%1[%2] is %3, not %4").arg(QLatin1String(what)).arg(i).arg(double(got[i])).arg(want[i]);
        }
    }
    return {};
}

Expected<> checkOn(ggml_backend_dev_t device) {
    const Reference want = reference();
    ggml_backend_t backend = ggml_backend_dev_init(device, nullptr);
    if (!backend) {
        return Failure{QStringLiteral("the device could not be opened")};
    }
    ggml_init_params params{};
    params.mem_size = ggml_tensor_overhead() * 8 + ggml_graph_overhead();
    params.no_alloc = true;
    ggml_context* context = ggml_init(params);
    ggml_tensor* weights = ggml_new_tensor_2d(context, GGML_TYPE_F16, kInner, kRows);
    ggml_tensor* activations = ggml_new_tensor_2d(context, GGML_TYPE_F32, kInner, kColumns);
    ggml_tensor* product = ggml_mul_mat(context, weights, activations); // kRows by kColumns
    ggml_tensor* softmax = ggml_soft_max(context, product);
    ggml_cgraph* graph = ggml_new_graph(context);
    ggml_build_forward_expand(graph, softmax);
    // Every tensor of the context gets memory of its own, the product included: both are read back.
    ggml_backend_buffer_t buffer = ggml_backend_alloc_ctx_tensors(context, backend);
    QString failure;
    std::vector<float> gotProduct(want.product.size());
    std::vector<float> gotSoftmax(want.softmax.size());
    if (!buffer) {
        failure = QStringLiteral("no device memory for the check");
    } else {
        ggml_backend_tensor_set(weights, want.weights.data(), 0, ggml_nbytes(weights));
        ggml_backend_tensor_set(activations, want.activations.data(), 0, ggml_nbytes(activations));
        if (ggml_backend_graph_compute(backend, graph) != GGML_STATUS_SUCCESS) {
            failure = QStringLiteral("the device could not compute the check");
        } else {
            ggml_backend_tensor_get(product, gotProduct.data(), 0, ggml_nbytes(product));
            ggml_backend_tensor_get(softmax, gotSoftmax.data(), 0, ggml_nbytes(softmax));
            failure = firstMismatch("product", gotProduct, want.product,
                                    [](double w) { return 0.05 + 0.01 * std::abs(w); });
            if (failure.isEmpty()) {
                failure = firstMismatch("softmax", gotSoftmax, want.softmax,
                                        [](double w) { return 0.005 + 0.1 * w; });
            }
        }
        ggml_backend_buffer_free(buffer);
    }
    ggml_free(context);
    ggml_backend_free(backend);
    if (!failure.isEmpty()) {
        return Failure{failure};
    }
    return {};
}

// ---- the real steps, each once per process ----

struct Vulkan {
    std::mutex mutex;
    std::optional<Expected<QString>> loaded;
    std::optional<Expected<QString>> found;
    std::optional<Expected<>> checked;
    ggml_backend_dev_t device = nullptr;
    QString gpuFailure;
    /// The preference `gpuFailure` came under: another one forgets it (the user asked again).
    ComputeDevicePreference failedUnder = ComputeDevicePreference::automatic;
    ComputeDevicePreference lastPreference = ComputeDevicePreference::automatic;
    QString lastChoice;

    static Vulkan& shared() {
        static Vulkan vulkan;
        return vulkan;
    }

    Expected<QString> load() {
        installLogCallback();
        if (const Expected<CpuBackend>& cpu = ensureCpuBackend(); !cpu) {
            return Failure{cpu.error()};
        }
        const QStringList folders = vulkanBackendFolders();
        QString path;
        for (const QString& folder : folders) {
            if (QFileInfo::exists(folder + QLatin1Char('/') + kLibrary)) {
                path = QDir::cleanPath(QDir(folder).absoluteFilePath(kLibrary));
                break;
            }
        }
        if (path.isEmpty()) {
            return Failure{QStringLiteral("%1 is in none of %2").arg(kLibrary, folders.join(QStringLiteral(", ")))};
        }
        if (const QString damage = libraryDamage(path); !damage.isEmpty()) {
            return Failure{QStringLiteral("%1 is damaged (%2)").arg(path, damage)};
        }
        // The dynamic loader's own reason (a missing libvulkan.so.1, a foreign file) first.
        const QByteArray encoded = QFile::encodeName(path);
        void* handle = dlopen(encoded.constData(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char* error = dlerror();
            return Failure{error ? QString::fromLocal8Bit(error) : path + QStringLiteral(" cannot be loaded")};
        }
        clearLastLogError();
        ggml_backend_reg_t reg = nullptr;
        try {
            reg = ggml_backend_load(encoded.constData());
        } catch (const std::exception& e) {
            reg = nullptr;
            qCDebug(lcSpeech, "Vulkan backend: %s", e.what());
        }
        dlclose(handle); // ggml holds its own reference when it took the library
        if (!reg) {
            const QString error = lastLogError();
            return Failure{QStringLiteral("Vulkan did not start from %1%2")
                               .arg(path, error.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(error))};
        }
        return path;
    }

    Expected<QString> find() {
        // whisper.cpp takes the first GPU among ggml's devices (`gpu_device` 0); ggml-vulkan lists
        // discrete and integrated GPUs, and CPU-only drivers only when GGML_VK_VISIBLE_DEVICES says so.
        for (size_t i = 0; i < ggml_backend_dev_count(); ++i) {
            ggml_backend_dev_t dev = ggml_backend_dev_get(i);
            const enum ggml_backend_dev_type type = ggml_backend_dev_type(dev);
            if (type == GGML_BACKEND_DEVICE_TYPE_GPU || type == GGML_BACKEND_DEVICE_TYPE_IGPU) {
                device = dev;
                size_t free = 0;
                size_t total = 0;
                ggml_backend_dev_memory(dev, &free, &total);
                return QStringLiteral("%1: %2 (%3 MiB)")
                    .arg(QString::fromUtf8(ggml_backend_dev_name(dev)),
                         QString::fromUtf8(ggml_backend_dev_description(dev)))
                    .arg(qulonglong(total >> 20));
            }
        }
        return Failure{QStringLiteral("Vulkan lists no GPU (a CPU-only driver such as lavapipe counts only when "
                                      "GGML_VK_VISIBLE_DEVICES names it)")};
    }

    Expected<> check() {
        QElapsedTimer timer;
        timer.start();
        Expected<> result;
        try {
            result = checkOn(device);
        } catch (const std::exception& e) {
            result = Failure{QString::fromLocal8Bit(e.what())};
        }
        qCDebug(lcSpeech, "GPU check took %lld ms", static_cast<long long>(timer.elapsed()));
        return result;
    }
};

} // namespace

ComputeDevice chooseComputeDevice(ComputeDevicePreference preference, const GpuSteps& steps,
                                  const QString& gpuFailure) {
    const QString key = QString::fromLatin1(ComputeDevices::preferenceKey);
    if (preference == ComputeDevicePreference::cpu) {
        return onCpu(QStringLiteral("%1 is cpu").arg(key));
    }
    if (!gpuFailure.isEmpty()) {
        return onCpu(QStringLiteral("a decode on the GPU failed earlier (%1)").arg(gpuFailure));
    }
    const Expected<QString> library = steps.loadBackend();
    if (!library) {
        return onCpu(QStringLiteral("no Vulkan backend: %1").arg(library.error()));
    }
    const Expected<QString> device = steps.findDevice();
    if (!device) {
        return onCpu(QStringLiteral("no Vulkan GPU: %1").arg(device.error()));
    }
    if (preference == ComputeDevicePreference::gpu) {
        return {true, device.value(), QStringLiteral("%1 is gpu (the check is skipped)").arg(key)};
    }
    if (const Expected<> checked = steps.checkDevice(); !checked) {
        return onCpu(QStringLiteral("%1 computed the check wrong: %2").arg(device.value(), checked.error()));
    }
    return {true, device.value(), QStringLiteral("it computed the check right")};
}

QStringList vulkanBackendFolders() {
    if (const QString env = qEnvironmentVariable("QUILLORY_WHISPER_VULKAN_DIR"); !env.isEmpty()) {
        return {env};
    }
    QStringList folders;
    const QFileInfo program(QStringLiteral("/proc/self/exe"));
    if (!program.canonicalFilePath().isEmpty()) {
        const QString programDir = QFileInfo(program.canonicalFilePath()).absolutePath();
        folders << QDir::cleanPath(programDir + QStringLiteral("/../lib/quillory/whisper/vulkan"));
    }
#ifdef QUILLORY_WHISPER_VULKAN_ROOT
    folders << QDir::cleanPath(QStringLiteral(QUILLORY_WHISPER_VULKAN_ROOT "/lib"));
#endif
    return folders;
}

const GpuSteps& vulkanSteps() {
    static const GpuSteps steps{
        [] {
            Vulkan& v = Vulkan::shared();
            std::lock_guard lock(v.mutex);
            if (!v.loaded) {
                v.loaded = v.load();
            }
            return *v.loaded;
        },
        [] {
            Vulkan& v = Vulkan::shared();
            std::lock_guard lock(v.mutex);
            if (!v.found) {
                v.found = v.find();
            }
            return *v.found;
        },
        [] {
            Vulkan& v = Vulkan::shared();
            std::lock_guard lock(v.mutex);
            if (!v.checked) {
                v.checked = v.device ? v.check() : Expected<>(Failure{QStringLiteral("no device")});
            }
            return *v.checked;
        },
    };
    return steps;
}

ComputeDevice currentComputeDevice() {
    QString unknown;
    const ComputeDevicePreference preference = ComputeDevices::preference(DefaultsStore::standard(), &unknown);
    QString failure;
    {
        Vulkan& v = Vulkan::shared();
        std::lock_guard lock(v.mutex);
        if (!v.gpuFailure.isEmpty() && v.failedUnder != preference) {
            qCInfo(lcSpeech, "%s changed: the GPU is tried again", ComputeDevices::preferenceKey);
            v.gpuFailure.clear();
        }
        v.lastPreference = preference;
        failure = v.gpuFailure;
    }
    ComputeDevice device = chooseComputeDevice(preference, vulkanSteps(), failure);
    if (!unknown.isEmpty()) {
        device.reason += QStringLiteral(" (%1 \"%2\" is not auto, cpu or gpu: read as auto)")
                             .arg(QLatin1String(ComputeDevices::preferenceKey), unknown);
    }
    const QString line = QStringLiteral("Speech device: %1 (%2)").arg(device.name, device.reason);
    Vulkan& v = Vulkan::shared();
    std::lock_guard lock(v.mutex);
    if (line != v.lastChoice) {
        v.lastChoice = line;
        qCInfo(lcSpeech, "%s", qUtf8Printable(line));
    }
    return device;
}

void reportGpuFailure(const QString& reason) {
    Vulkan& v = Vulkan::shared();
    std::lock_guard lock(v.mutex);
    if (v.gpuFailure.isEmpty()) {
        v.gpuFailure = reason;
        v.failedUnder = v.lastPreference;
    }
}

namespace {

class CpuFallbackDecoder final : public SpeechDecoder {
public:
    CpuFallbackDecoder(std::shared_ptr<SpeechDecoder> gpu, std::function<Expected<std::shared_ptr<SpeechDecoder>>()> loadCpu,
                       std::function<void(const QString&)> onGpuFailure)
        : current_(std::move(gpu)), loadCpu_(std::move(loadCpu)), onGpuFailure_(std::move(onGpuFailure)) {}

    DecodeResult decode(std::span<const float> samples, const QString& prompt, int audioCtx,
                        const std::function<bool()>& shouldAbort) override {
        DecodeResult result = current_->decode(samples, prompt, audioCtx, shouldAbort);
        if (!onGpu_ || result.status != DecodeResult::Status::failed) {
            return result;
        }
        qCWarning(lcSpeech, "Speech decoding on the GPU failed (%s): decoding the same audio again on the CPU",
                  qUtf8Printable(result.error));
        if (!reportedFailure_) {
            reportedFailure_ = true;
            if (onGpuFailure_) {
                onGpuFailure_(result.error);
            }
        }
        Expected<std::shared_ptr<SpeechDecoder>> cpu = loadCpu_();
        if (!cpu || !cpu.value()) {
            // Kept on the GPU decoder: the next decode tries it, and the CPU, again.
            const QString why = cpu ? QStringLiteral("no decoder") : cpu.error();
            qCWarning(lcSpeech, "The speech model could not be loaded on the CPU either: %s", qUtf8Printable(why));
            result.error += QStringLiteral("; on the CPU: ") + why;
            return result;
        }
        if (recognitions_ > 0) {
            current_->endRecognition();
        }
        current_ = std::move(cpu).value();
        onGpu_ = false;
        current_->setSharingCpu(sharing_);
        if (recognitions_ > 0) {
            current_->beginRecognition();
        }
        return current_->decode(samples, prompt, audioCtx, shouldAbort);
    }

    DetectResult detectSpeech(std::span<const float> samples) override { return current_->detectSpeech(samples); }
    int maxPromptTokens() const override { return current_->maxPromptTokens(); }
    int tokenCount(const QString& text) const override { return current_->tokenCount(text); }
    int modelAudioCtx() const override { return current_->modelAudioCtx(); }
    void setSharingCpu(bool sharing) override {
        sharing_ = sharing;
        current_->setSharingCpu(sharing);
    }
    void beginRecognition() override {
        ++recognitions_;
        current_->beginRecognition();
    }
    void endRecognition() override {
        if (recognitions_ > 0) {
            --recognitions_;
            current_->endRecognition();
        }
    }

private:
    std::shared_ptr<SpeechDecoder> current_;
    std::function<Expected<std::shared_ptr<SpeechDecoder>>()> loadCpu_;
    std::function<void(const QString&)> onGpuFailure_;
    bool onGpu_ = true;
    bool reportedFailure_ = false;
    bool sharing_ = false;
    int recognitions_ = 0;
};

} // namespace

std::shared_ptr<SpeechDecoder> withCpuFallback(std::shared_ptr<SpeechDecoder> gpu,
                                               std::function<Expected<std::shared_ptr<SpeechDecoder>>()> loadCpu,
                                               std::function<void(const QString&)> onGpuFailure) {
    return std::make_shared<CpuFallbackDecoder>(std::move(gpu), std::move(loadCpu), std::move(onGpuFailure));
}

} // namespace quillory::whisper
