#include "AI/LocalPolishEngine.h"
#include "AI/PolishSettings.h"
#include "AI/PolishText.h"
#include "Cli/Cli.h"
#include "Runtime/Localization.h"
#include "support/CoreTest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTimer>

namespace quillory {
namespace {

class CliAiTest : public testing::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        saved_ = LocalPolishEngine::shared().configuration();
        auto config = saved_;
        config.runtimeDirectory = path("runtime");
        config.pickPort = [] { return 50000; };
        LocalPolishEngine::shared().setConfiguration(config);
    }
    void TearDown() override {
        LocalPolishEngine::shared().setConfiguration(saved_);
        CoreTest::TearDown();
    }
    int run(const QStringList& args) {
        out_.clear();
        err_.clear();
        QTextStream o(&out_), e(&err_);
        cli::Io io{o, e};
        const int status = cli::run(args, io);
        o.flush();
        e.flush();
        return status;
    }
    void write(const QString& file, const QByteArray& content) {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    QString out_, err_;
    LocalPolishEngine::Configuration saved_;
};

TEST_F(CliAiTest, PolishDryRunPrintsTheBodyAndTheServerCommandLine) {
    write(path("prompt.txt"), "MY PROMPT");
    ASSERT_EQ(run({"polish", "--model", "phi-3-mini-4k-instruct-q4", "--prompt-file", path("prompt.txt"),
                   "--dry-run", "  hello \n"}),
              0)
        << err_.toStdString();
    const QString prompt = PolishText::polishPrompt("hello", PolishModel::phi3_miniQ4, "MY PROMPT");
    EXPECT_EQ(out_.toUtf8(), PolishText::completionBody(
                                 prompt, PolishModels::stopTokens(PolishModel::phi3_miniQ4), 256, 0.05, 0.8) +
                                 "\n");
    const QString modelPath = PolishSettings::modelDirectory() + "/Phi-3-mini-4k-instruct-q4.gguf";
    EXPECT_EQ(err_.trimmed(), "llama-server -m " + modelPath +
                                  " --host 127.0.0.1 --port 50000 -ngl 0 -c 2048 --no-warmup --no-webui"
                                  " --no-slots --cors-origins http://127.0.0.1:50000 --no-cors-credentials");

    // Without options: the selected model and the effective prompt from the settings.
    PolishSettings::setSelectedModel(PolishModel::qwen35_4bQ4KM);
    ASSERT_EQ(run({"polish", "--dry-run", "x"}), 0);
    const QJsonObject body = QJsonDocument::fromJson(out_.toUtf8()).object();
    EXPECT_EQ(body.value("prompt").toString(),
              PolishText::polishPrompt("x", PolishModel::qwen35_4bQ4KM, PolishSettings::defaultPrompt()));
    EXPECT_TRUE(err_.contains("--reasoning off --reasoning-budget 0"));
}

TEST_F(CliAiTest, RelativeModelPathsAreUsedAsAbsolutePaths) {
    // The server runs in the runtime folder: a path relative to where the command was started
    // would name another file there.
    QDir().mkpath(path("relmodels"));
    write(path("relmodels/tiny.gguf"), "GGUF");
    const auto base = LocalPolishEngine::shared().configuration();
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(path("relmodels")));
    const int status = run(
        {"polish", "--model", "phi-3-mini-4k-instruct-q4", "--model-file", "tiny.gguf", "--dry-run", "x"});
    const QString commandLine = err_;
    LocalPolishEngine::shared().setConfiguration(base);
    QDir::setCurrent(home_.path());
    qputenv("QUILLORY_MODELS_DIR", "relmodels");
    const int pathStatus = run({"models", "path", "phi-3-mini-4k-instruct-q4"});
    const QString printed = out_.trimmed();
    qunsetenv("QUILLORY_MODELS_DIR");
    QDir::setCurrent(previous);
    ASSERT_EQ(status, 0);
    EXPECT_TRUE(commandLine.contains(" -m " + path("relmodels/tiny.gguf") + " "))
        << commandLine.toStdString();
    ASSERT_EQ(pathStatus, 0);
    EXPECT_EQ(printed, path("relmodels/Phi-3-mini-4k-instruct-q4.gguf"));
}

TEST_F(CliAiTest, FailuresGoToStderrWithAStatus) {
    EXPECT_EQ(run({"polish", "--model", "nope", "x"}), cli::Failure);
    EXPECT_TRUE(err_.contains("nope"));
    EXPECT_EQ(run({"polish", "--dry-run", " "}), cli::Failure);
    EXPECT_EQ(err_.trimmed(), L("polish.error.empty_output"));
    EXPECT_EQ(run({"polish"}), cli::Usage);
    EXPECT_EQ(run({"models", "download"}), cli::Usage);
    // No runtime in the configured folder: the localised missing-runtime text, nothing started.
    EXPECT_EQ(run({"polish", "--model", "phi-3-mini-4k-instruct-q4", "text"}), cli::Failure);
    EXPECT_EQ(err_.trimmed(), L("polish.error.runtime_missing"));
    // A mistyped stand-in model file is refused before anything is downloaded into it.
    EXPECT_EQ(run({"polish", "--model-file", path("typo.gguf"), "text"}), cli::Failure);
    EXPECT_EQ(err_.trimmed(), Localization::format("cli.polish.file_unreadable", path("typo.gguf")));
    EXPECT_EQ(run({"chat", "--model-file", path("typo.gguf")}), cli::Failure);
    EXPECT_FALSE(QFile::exists(path("typo.gguf")));
    EXPECT_FALSE(LocalPolishEngine::shared().configuration().modelFiles.contains(PolishModel::phi3_miniQ4));
}

TEST_F(CliAiTest, ChatDryRunPrintsTheBodyOfTheDialogue) {
    write(path("dialogue.json"), R"([{"role":"system","content":"S"},{"role":"user","content":"U"}])");
    ASSERT_EQ(run({"chat", "--model", "mistral-7b-instruct-v0.3-q4_k_m", "--dry-run", "--dialogue",
                   path("dialogue.json")}),
              0)
        << err_.toStdString();
    EXPECT_EQ(out_.toUtf8(), PolishText::completionBody("<s>[INST] S\n\nUser: U\n\n[/INST]",
                                                        {"</s>", "[INST]"}, 768, 0.65, 0.9) +
                                 "\n");

    write(path("bad.json"), R"([{"role":"robot","content":"U"}])");
    EXPECT_EQ(run({"chat", "--dry-run", "--dialogue", path("bad.json")}), cli::Failure);
    write(path("assistant-last.json"),
          R"([{"role":"user","content":"U"},{"role":"assistant","content":"A"}])");
    EXPECT_EQ(run({"chat", "--dry-run", "--dialogue", path("assistant-last.json")}), cli::Failure);
    EXPECT_TRUE(err_.contains("chat must end with user message"));
}

TEST_F(CliAiTest, ModelsListPathAndDelete) {
    ASSERT_EQ(run({"models", "list"}), 0);
    EXPECT_EQ(out_.split('\n', Qt::SkipEmptyParts).size(), 5);
    EXPECT_TRUE(out_.startsWith(
        "google_gemma-4-e2b-it-q4_k_m\tGemma 4 E2B IT Q4_K_M\t3.46 GB\t2.98 GB\tnot downloaded"));
    ASSERT_EQ(run({"models", "path", "phi-3-mini-4k-instruct-q4"}), 0);
    const QString file = out_.trimmed();
    EXPECT_EQ(file, PolishSettings::modelDirectory() + "/Phi-3-mini-4k-instruct-q4.gguf");
    QDir().mkpath(PolishSettings::modelDirectory());
    write(file, "x");
    write(file + ".download", "x");
    ASSERT_EQ(run({"models", "list"}), 0);
    EXPECT_TRUE(out_.contains("Phi-3 Mini 4k Instruct Q4\t2.3 GB\t3.73 GB\tdownloaded"));
    ASSERT_EQ(run({"models", "delete", "phi-3-mini-4k-instruct-q4"}), 0);
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_FALSE(QFile::exists(file + ".download"));
    EXPECT_EQ(run({"models", "path", "bogus"}), cli::Failure);
}

TEST_F(CliAiTest, TheServerInheritsNoPipeOfTheCommand) {
    // A server that notes its open files and exits; the command then fails, as it should.
    QDir().mkpath(path("runtime"));
    write(path("runtime/llama-server"),
          "#!/bin/sh\ndir=$(dirname \"$0\")\nls -l /proc/$$/fd > \"$dir/fds.txt\"\nexit 1\n");
    QFile::setPermissions(path("runtime/llama-server"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    write(path("model.gguf"), "GGUF");
    // Pipes this test process had before the command (inherited from whoever started it).
    QSet<QString> before;
    for (const QFileInfo& fd : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::NoDotAndDotDot)) {
        before << fd.symLinkTarget().section('/', -1);
    }
    // The command loops on the event loop itself: a timer there moves virtual time on.
    QTimer driver;
    driver.setInterval(2);
    QObject::connect(&driver, &QTimer::timeout, [this] { clock_.runNext(); });
    driver.start();
    EXPECT_EQ(run({"polish", "--model-file", path("model.gguf"), "text"}), cli::Failure);
    driver.stop();
    QFile fds(path("runtime/fds.txt"));
    ASSERT_TRUE(fds.open(QIODevice::ReadOnly)) << err_.toStdString();
    const QString listing = QString::fromUtf8(fds.readAll());
    EXPECT_TRUE(listing.contains(" 0 -> ")) << listing.toStdString();
    for (const QString& line : listing.split('\n')) {
        const QString target = line.section(" -> ", 1);
        EXPECT_FALSE(target.startsWith("pipe:") && !before.contains(target))
            << "a pipe of the command leaked into the server: " << line.toStdString();
    }
}

TEST_F(CliAiTest, ServersCleanupPrintsTheCount) {
    QDir().mkpath(path("bin"));
    write(path("bin/pgrep"), "#!/bin/sh\nexit 1\n");
    QFile::setPermissions(path("bin/pgrep"), QFile::ReadOwner | QFile::ExeOwner);
    auto config = LocalPolishEngine::shared().configuration();
    config.pgrepPath = path("bin/pgrep");
    LocalPolishEngine::shared().setConfiguration(config);
    ASSERT_EQ(run({"servers", "cleanup"}), 0) << err_.toStdString();
    EXPECT_EQ(out_, "0\n");
}

} // namespace
} // namespace quillory
