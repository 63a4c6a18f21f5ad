// Where recognition computes: the choice between the GPU and the CPU over fake steps (each failure
// gives the CPU with its reason; the setting forces either), the stored setting, and a decoder
// whose GPU decode fails doing the same audio again on the CPU.

#include "Runtime/DefaultsStore.h"
#include "Speech/SpeechDevice.h"
#include "Speech/whisper/GpuBackend.h"

#include <QTemporaryDir>

#include <functional>

#include <gtest/gtest.h>

using namespace quillory;
using namespace quillory::whisper;

namespace {

/// Steps that answer as told and count their calls.
struct FakeSteps {
    Expected<QString> library = QStringLiteral("/x/libggml-vulkan.so");
    Expected<QString> device = QStringLiteral("Vulkan0: Test GPU (1024 MiB)");
    Expected<> check;
    int loads = 0;
    int finds = 0;
    int checks = 0;

    GpuSteps steps() {
        return {[this] { return ++loads, library; }, [this] { return ++finds, device; },
                [this] { return ++checks, check; }};
    }
};

TEST(ComputeDeviceChoice, AutomaticTakesTheGpuOnlyWhenEveryStepSucceedsAndStopsAtTheFirstFailure) {
    FakeSteps good;
    const ComputeDevice device = chooseComputeDevice(ComputeDevicePreference::automatic, good.steps());
    EXPECT_TRUE(device.gpu);
    EXPECT_EQ(device.name, "Vulkan0: Test GPU (1024 MiB)");
    EXPECT_EQ(device.reason, "it computed the check right");
    EXPECT_EQ(good.checks, 1);

    // Each failing step: the CPU, the reason, and no later step run.
    struct Case {
        std::function<void(FakeSteps&)> fail;
        const char* reason;
        int stepsRun; ///< loads + finds + checks
    };
    const Case cases[] = {
        {[](FakeSteps& s) { s.library = Failure{"libggml-vulkan.so is in none of /a, /b"}; },
         "no Vulkan backend: libggml-vulkan.so is in none of /a, /b", 1},
        {[](FakeSteps& s) { s.device = Failure{"Vulkan lists no GPU"}; }, "no Vulkan GPU: Vulkan lists no GPU", 2},
        {[](FakeSteps& s) { s.check = Failure{"product[3] is nan, not 1.5"}; },
         "Vulkan0: Test GPU (1024 MiB) computed the check wrong: product[3] is nan, not 1.5", 3},
    };
    for (const Case& c : cases) {
        FakeSteps steps;
        c.fail(steps);
        const ComputeDevice cpu = chooseComputeDevice(ComputeDevicePreference::automatic, steps.steps());
        EXPECT_FALSE(cpu.gpu) << c.reason;
        EXPECT_EQ(cpu.name, "CPU");
        EXPECT_EQ(cpu.reason, c.reason);
        EXPECT_EQ(steps.loads + steps.finds + steps.checks, c.stepsRun) << c.reason;
    }
}

TEST(ComputeDeviceChoice, TheSettingForcesEitherDeviceButNotAGpuThatIsNotThere) {
    // cpu: Vulkan is not even loaded.
    FakeSteps steps;
    ComputeDevice device = chooseComputeDevice(ComputeDevicePreference::cpu, steps.steps());
    EXPECT_FALSE(device.gpu);
    EXPECT_EQ(device.reason, "quillory.speech.device is cpu");
    EXPECT_EQ(steps.loads + steps.finds + steps.checks, 0);

    // gpu: a device that fails the check is taken all the same, the check not even run...
    steps.check = Failure{"wrong"};
    device = chooseComputeDevice(ComputeDevicePreference::gpu, steps.steps());
    EXPECT_TRUE(device.gpu);
    EXPECT_EQ(device.reason, "quillory.speech.device is gpu (the check is skipped)");
    EXPECT_EQ(steps.checks, 0);

    // ...but without a library or a device there is only the CPU.
    FakeSteps missing;
    missing.library = Failure{"libvulkan.so.1: cannot open shared object file"};
    device = chooseComputeDevice(ComputeDevicePreference::gpu, missing.steps());
    EXPECT_FALSE(device.gpu);
    EXPECT_EQ(device.reason, "no Vulkan backend: libvulkan.so.1: cannot open shared object file");
}

TEST(ComputeDeviceChoice, AGpuThatFailedADecodeIsNotChosenAgain) {
    for (const auto preference : {ComputeDevicePreference::automatic, ComputeDevicePreference::gpu}) {
        FakeSteps steps;
        const ComputeDevice device = chooseComputeDevice(preference, steps.steps(), "ErrorOutOfDeviceMemory");
        EXPECT_FALSE(device.gpu);
        EXPECT_EQ(device.reason, "a decode on the GPU failed earlier (ErrorOutOfDeviceMemory)");
    }
}

TEST(ComputeDeviceSetting, ReadsAutoCpuOrGpuAndTakesAnythingElseForAuto) {
    QTemporaryDir home;
    DefaultsStore store(home.filePath("settings.json"));
    const QString key = QString::fromLatin1(ComputeDevices::preferenceKey);
    EXPECT_EQ(key, "quillory.speech.device");
    QString unknown;
    EXPECT_EQ(ComputeDevices::preference(store, &unknown), ComputeDevicePreference::automatic);
    EXPECT_TRUE(unknown.isEmpty());

    const std::pair<const char*, ComputeDevicePreference> cases[] = {
        {"auto", ComputeDevicePreference::automatic},
        {"cpu", ComputeDevicePreference::cpu},
        {" GPU ", ComputeDevicePreference::gpu},
    };
    for (const auto& [value, expected] : cases) {
        ASSERT_TRUE(store.setString(key, QString::fromLatin1(value)));
        EXPECT_EQ(ComputeDevices::preference(store, &unknown), expected) << value;
        EXPECT_TRUE(unknown.isEmpty()) << value;
    }
    ASSERT_TRUE(store.setString(key, "vulkan"));
    EXPECT_EQ(ComputeDevices::preference(store, &unknown), ComputeDevicePreference::automatic);
    EXPECT_EQ(unknown, "vulkan");
    EXPECT_EQ(ComputeDevices::name(ComputeDevicePreference::automatic), "auto");
}

/// A decoder that answers with its own name, or fails where told; it records what it was asked.
class NamedDecoder final : public SpeechDecoder {
public:
    explicit NamedDecoder(QString name) : name_(std::move(name)) {}

    DecodeResult decode(std::span<const float> samples, const QString& prompt, int audioCtx,
                        const std::function<bool()>&) override {
        calls.push_back(QStringLiteral("%1 samples, %2, ctx %3").arg(samples.size()).arg(prompt).arg(audioCtx));
        if (abortAll) {
            return {DecodeResult::Status::aborted, {}, {}};
        }
        if (failAll) {
            return {DecodeResult::Status::failed, {}, QStringLiteral("ErrorDeviceLost")};
        }
        return {DecodeResult::Status::ok, {name_}, {}};
    }
    DetectResult detectSpeech(std::span<const float>) override { return {}; }
    void setSharingCpu(bool sharing) override { sharing_ = sharing; }
    void beginRecognition() override { ++recognitions; }
    void endRecognition() override { --recognitions; }

    bool failAll = false;
    bool abortAll = false;
    int recognitions = 0;
    bool sharing_ = false;
    QStringList calls;

private:
    QString name_;
};

TEST(ComputeDeviceSetting, AGpuFailureHoldsUntilTheSettingChanges) {
    // The process's real choice, with no Vulkan backend to be found: the GPU is never reached, so
    // the reason tells whether the failure is still remembered.
    QTemporaryDir home;
    qputenv("QUILLORY_WHISPER_VULKAN_DIR", home.filePath("nowhere").toUtf8());
    DefaultsStore store(home.filePath("settings.json"));
    DefaultsStore::setStandardForTesting(&store);
    const QString key = QString::fromLatin1(ComputeDevices::preferenceKey);
    ASSERT_TRUE(store.setString(key, QStringLiteral("gpu")));
    currentComputeDevice(); // the choice the failing model was loaded under
    reportGpuFailure(QStringLiteral("device lost"));
    EXPECT_EQ(currentComputeDevice().reason, "a decode on the GPU failed earlier (device lost)");
    EXPECT_EQ(currentComputeDevice().reason, "a decode on the GPU failed earlier (device lost)") << "it holds";

    ASSERT_TRUE(store.setString(key, QStringLiteral("auto")));
    EXPECT_FALSE(currentComputeDevice().reason.contains(QStringLiteral("failed earlier"))) << "asked again: tried again";
    ASSERT_TRUE(store.setString(key, QStringLiteral("gpu")));
    EXPECT_FALSE(currentComputeDevice().reason.contains(QStringLiteral("failed earlier")));
    DefaultsStore::setStandardForTesting(nullptr);
    qunsetenv("QUILLORY_WHISPER_VULKAN_DIR");
}

TEST(GpuDecoderFallback, AFailedGpuDecodeIsDoneAgainOnTheCpuAndLaterOnesStayThere) {
    auto gpu = std::make_shared<NamedDecoder>("gpu");
    auto cpu = std::make_shared<NamedDecoder>("cpu");
    int cpuLoads = 0;
    QStringList failures;
    auto decoder = withCpuFallback(
        gpu, [&]() -> Expected<std::shared_ptr<SpeechDecoder>> { return ++cpuLoads, std::shared_ptr<SpeechDecoder>(cpu); },
        [&](const QString& why) { failures << why; });

    const std::vector<float> audio(16000, 0.1f);
    decoder->setSharingCpu(true);
    decoder->beginRecognition();
    DecodeResult result = decoder->decode(audio, "prompt", 256, [] { return false; });
    EXPECT_EQ(result.segments, std::vector<QString>{"gpu"});
    EXPECT_EQ(cpuLoads, 0); // nothing loaded while the GPU works

    gpu->failAll = true;
    result = decoder->decode(audio, "prompt", 256, [] { return false; });
    EXPECT_EQ(result.status, DecodeResult::Status::ok);
    EXPECT_EQ(result.segments, std::vector<QString>{"cpu"});
    // The same audio, prompt and context, on the CPU; the process hears why once.
    EXPECT_EQ(cpu->calls, QStringList{"16000 samples, prompt, ctx 256"});
    EXPECT_EQ(failures, QStringList{"ErrorDeviceLost"});
    // The recognition under way moved over: the GPU's ended, the CPU's begun, sharing kept.
    EXPECT_EQ(gpu->recognitions, 0);
    EXPECT_EQ(cpu->recognitions, 1);
    EXPECT_TRUE(cpu->sharing_);

    gpu->failAll = false;
    result = decoder->decode(audio, "next", 0, [] { return false; });
    EXPECT_EQ(result.segments, std::vector<QString>{"cpu"});
    EXPECT_EQ(gpu->calls.size(), 2);
    EXPECT_EQ(cpuLoads, 1);
    decoder->endRecognition();
    EXPECT_EQ(cpu->recognitions, 0);
    EXPECT_EQ(failures.size(), 1);
}

TEST(GpuDecoderFallback, AnAbortIsNoFailureAndACpuThatCannotLoadIsTriedAgainNextTime) {
    auto gpu = std::make_shared<NamedDecoder>("gpu");
    Expected<std::shared_ptr<SpeechDecoder>> cpuLoad = Failure{"cannot allocate memory"};
    int cpuLoads = 0;
    auto decoder = withCpuFallback(
        gpu, [&] { return ++cpuLoads, cpuLoad; }, [](const QString&) {});
    const std::vector<float> audio(8000, 0.1f);

    gpu->abortAll = true;
    EXPECT_EQ(decoder->decode(audio, {}, 0, [] { return true; }).status, DecodeResult::Status::aborted);
    EXPECT_EQ(cpuLoads, 0);

    gpu->abortAll = false;
    gpu->failAll = true;
    DecodeResult result = decoder->decode(audio, {}, 0, [] { return false; });
    EXPECT_EQ(result.status, DecodeResult::Status::failed);
    EXPECT_EQ(result.error, "ErrorDeviceLost; on the CPU: cannot allocate memory");

    auto cpu = std::make_shared<NamedDecoder>("cpu");
    cpuLoad = std::shared_ptr<SpeechDecoder>(cpu);
    result = decoder->decode(audio, {}, 0, [] { return false; });
    EXPECT_EQ(result.segments, std::vector<QString>{"cpu"});
    EXPECT_EQ(cpuLoads, 2);
}

} // namespace
