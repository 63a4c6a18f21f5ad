// llama-server of the Vulkan runtime (`scripts/llama-runtime.sh --vulkan`) with the engine's own
// choice of `-ngl`, on lavapipe (Mesa's Vulkan driver on the CPU, so no GPU is needed): the tiny
// model answers on the Vulkan device what it answers on the CPU, and a Vulkan that cannot start
// leaves the answer to the CPU. Label "vulkan": scripts/run-tests.sh runs it only when that runtime
// is built (QUILLORY_TEST_LLAMA_VULKAN_DIR, its bin folder).

#include "RealServerFixture.h"

#include <QRegularExpression>
#include <QTemporaryDir>

namespace quillory {
namespace {

const char* const kLavapipe = "/usr/share/vulkan/icd.d/lvp_icd.x86_64.json";

class LlamaVulkanTest : public RealServerTest {
protected:
    void SetUp() override {
        RealServerTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        vulkanDir_ = qEnvironmentVariable("QUILLORY_TEST_LLAMA_VULKAN_DIR");
        if (vulkanDir_.isEmpty()) {
            GTEST_SKIP() << "the Vulkan runtime is not set (scripts/run-tests.sh sets it when it is built)";
        }
        // ggml leaves CPU-only Vulkan drivers out unless they are named; llama-server inherits both.
        qputenv("GGML_VK_VISIBLE_DEVICES", "0");
        config_.runtimeDirectory = vulkanDir_;
        engine_ = std::make_unique<LocalPolishEngine>(config_);
    }
    void TearDown() override {
        RealServerTest::TearDown();
        qunsetenv("GGML_VK_VISIBLE_DEVICES");
        qunsetenv("VK_ICD_FILENAMES");
    }
    /// Polishes once; the answer and the server's log.
    std::pair<QString, QString> polishOnce() {
        const QString answer = await(engine_->polish(QString::fromUtf8("えーと、今日は天気がいいです"),
                                                     SpeechLocale::jaJP, PolishModel::qwen35_4bQ4KM, "INSTR", {}));
        QFile log(path("run/quillory/llama-server-%1.log").arg(engine_->serverPort().value_or(0)));
        log.open(QIODevice::ReadOnly);
        return {answer, QString::fromUtf8(log.readAll())};
    }

    /// Whether the process `pid` has the Vulkan module of our folder mapped.
    bool mapsVulkanModule(qint64 pid) const {
        QFile maps(QStringLiteral("/proc/%1/maps").arg(pid));
        return maps.open(QIODevice::ReadOnly)
            && maps.readAll().contains(QFileInfo(vulkanDir_ + "/libggml-vulkan.so").canonicalFilePath().toUtf8());
    }

    QString vulkanDir_;
};

TEST_F(LlamaVulkanTest, TheTinyModelOnLavapipeAnswersWhatItAnswersOnTheCpu) {
    ASSERT_TRUE(QFile::exists(QString::fromLatin1(kLavapipe))) << "mesa-vulkan-drivers is not installed";
    EXPECT_EQ(LocalPolishEngine::gpuLayers(vulkanDir_, ComputeDevicePreference::automatic), 99);
    EXPECT_EQ(LocalPolishEngine::gpuLayers(runtime_->server.section('/', 0, -2), ComputeDevicePreference::automatic), 0)
        << "the CPU runtime holds no Vulkan module";
    qputenv("VK_ICD_FILENAMES", kLavapipe);
    const auto [answer, log] = polishOnce();
    EXPECT_EQ(answer, runtime_->sentence) << log.toStdString();
    EXPECT_TRUE(mapsVulkanModule(engine_->serverProcessId())) << "the server did not load libggml-vulkan.so";

    // The engine's server logs at the info level, which leaves out where the layers went: the
    // same arguments with the loader's account (-lv 4), until the weights are placed.
    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(vulkanDir_ + "/llama-server",
                 LocalPolishEngine::serverArguments(runtime_->model, 0, PolishModel::qwen35_4bQ4KM,
                                                    LocalPolishEngine::gpuLayers(vulkanDir_, ComputeDevicePreference::automatic))
                     + QStringList{"-lv", "4"});
    QString account;
    QElapsedTimer timer;
    timer.start();
    // llama_context's lines follow the weights' placement.
    while (!account.contains(QStringLiteral("llama_context")) && timer.elapsed() < 120000
           && server.waitForReadyRead(10000)) {
        account += QString::fromUtf8(server.readAll());
    }
    server.kill();
    server.waitForFinished();
    EXPECT_TRUE(account.contains(QRegularExpression(QStringLiteral("offloaded (\\d+)/\\1 layers to GPU"))))
        << account.toStdString();
    EXPECT_TRUE(account.contains(QStringLiteral("Vulkan0 model buffer size"))) << account.toStdString();
}

TEST_F(LlamaVulkanTest, AVulkanThatCannotStartLeavesTheAnswerToTheCpu) {
    QTemporaryDir nowhere;
    qputenv("VK_ICD_FILENAMES", nowhere.filePath(QStringLiteral("missing_icd.json")).toUtf8());
    const auto [answer, log] = polishOnce();
    EXPECT_EQ(answer, runtime_->sentence) << log.toStdString();
    EXPECT_FALSE(log.contains(QStringLiteral("Vulkan0"))) << log.toStdString();
}

} // namespace
} // namespace quillory
