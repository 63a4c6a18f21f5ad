#include "AI/PolishSettings.h"
#include "Runtime/DefaultsStore.h"
#include "ai/EngineTestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>

#include <gtest/gtest-spi.h>

#include <unistd.h>

namespace quillory {
namespace {

using testing::EngineTestBase;
using testing::FakeHttpServer;
using K = LocalPolishError::Kind;
using M = PolishModel;

class EngineTest : public EngineTestBase {
protected:
    QStringList pids() const { return lines(runtimeDir_ + "/pids.txt"); }
    QString file(const char* prefix, qint64 pid) const {
        return runtimeDir_ + QStringLiteral("/%1-%2.txt").arg(prefix).arg(pid);
    }
    static int freePort() {
        QTcpServer s;
        s.listen(QHostAddress::LocalHost, 0);
        return s.serverPort();
    }
};

TEST_F(EngineTest, TheModelGoesOnTheGpuOnlyWhenTheRuntimeHasAGpuBackendAndTheSettingAllows) {
    // The runtime folder decides: a CPU-only llama-server gets no GPU layers (above: -ngl 0).
    EXPECT_EQ(LocalPolishEngine::gpuLayers(runtimeDir_, ComputeDevicePreference::automatic), 0);
    QFile backend(runtimeDir_ + "/libggml-vulkan.so");
    ASSERT_TRUE(backend.open(QIODevice::WriteOnly));
    backend.close();
    EXPECT_EQ(LocalPolishEngine::gpuLayers(runtimeDir_, ComputeDevicePreference::automatic), 99);
    EXPECT_EQ(LocalPolishEngine::gpuLayers(runtimeDir_, ComputeDevicePreference::gpu), 99);
    EXPECT_EQ(LocalPolishEngine::gpuLayers(runtimeDir_, ComputeDevicePreference::cpu), 0);
    EXPECT_EQ(LocalPolishEngine::gpuLayers(QString(), ComputeDevicePreference::gpu), 0);

    // The launch reads the setting.
    createModelFile(M::gemma4_e2bQ4KM);
    completion_ = [](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{200, QString::fromUtf8(R"({"content":"文。","tokens":[1]})").toUtf8()};
    };
    drive(engine().polish("x", SpeechLocale::jaJP, M::gemma4_e2bQ4KM, "INSTR", {}));
    ASSERT_EQ(pids().size(), 1);
    const QStringList args = lines(file("args", pids().first().toLongLong()));
    EXPECT_EQ(args.value(args.indexOf("-ngl") + 1), "99");

    engine().stopServer();
    DefaultsStore::standard().setString(ComputeDevices::preferenceKey, "cpu");
    drive(engine().polish("x", SpeechLocale::jaJP, M::gemma4_e2bQ4KM, "INSTR", {}));
    ASSERT_EQ(pids().size(), 2);
    const QStringList second = lines(file("args", pids().last().toLongLong()));
    EXPECT_EQ(second.value(second.indexOf("-ngl") + 1), "0");
}

TEST_F(EngineTest, LaunchesWithExactCommandLineAndReusesTheServer) {
    createModelFile(M::gemma4_e2bQ4KM);
    completion_ = [](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{
            200, QString::fromUtf8(R"({"content":"<think>hm</think>\n整った文。","tokens":[1]})").toUtf8()};
    };
    const QString out =
        drive(engine().polish("  えーと  ", SpeechLocale::jaJP, M::gemma4_e2bQ4KM, "INSTR", {}));
    EXPECT_EQ(out, QString::fromUtf8("整った文。"));

    ASSERT_EQ(pids().size(), 1);
    const qint64 pid = pids().first().toLongLong();
    EXPECT_EQ(engine().serverProcessId(), pid);
    const QString port = QString::number(health_->port());
    EXPECT_EQ(
        lines(file("args", pid)),
        (QStringList{"-m", modelDir_ + "/google_gemma-4-E2B-it-Q4_K_M.gguf", "--host", "127.0.0.1", "--port",
                     port, "-ngl", "0", "-c", "2048", "--no-warmup", "--no-webui", "--no-slots",
                     "--cors-origins", "http://127.0.0.1:" + port, "--no-cors-credentials", "--no-mmproj"}));
    EXPECT_EQ(lines(file("env", pid)), QStringList{runtimeDir_});
    EXPECT_EQ(lines(file("cwd", pid)), QStringList{runtimeDir_});
    const QString log = path("run/quillory/llama-server-" + port + ".log");
    EXPECT_EQ(engine().serverLogPath(), log);
    EXPECT_EQ(lines(log), QStringList{"server starting"});

    // The request: six members, the model's stop list, JSON content type, the server's key.
    ASSERT_EQ(health_->count("/completion"), 1);
    const auto& request = health_->requests().last();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.headers.value("content-type"), "application/json");
    EXPECT_EQ(request.headers.value("authorization"), "Bearer " + lines(file("key", pid)).value(0).toUtf8());
    const QJsonObject body = QJsonDocument::fromJson(request.body).object();
    EXPECT_EQ(body.keys(), (QStringList{"n_predict", "prompt", "stop", "stream", "temperature", "top_p"}));
    EXPECT_EQ(body.value("n_predict").toInt(), 256);
    EXPECT_DOUBLE_EQ(body.value("temperature").toDouble(), 0.05);
    EXPECT_DOUBLE_EQ(body.value("top_p").toDouble(), 0.8);
    EXPECT_EQ(body.value("stream"), QJsonValue(false));
    EXPECT_EQ(body.value("stop").toArray().toVariantList().size(), 5);
    EXPECT_TRUE(body.value("prompt").toString().startsWith("<bos><|turn>system\nINSTR\n"));
    EXPECT_TRUE(
        body.value("prompt").toString().contains(QString::fromUtf8("入力本文:\nえーと\n<|turn>model\n")));

    // Same model again: no health check, no second process.
    const int healthChecks = health_->count("/health");
    drive(engine().polish("again", SpeechLocale::jaJP, M::gemma4_e2bQ4KM, "INSTR", {}));
    EXPECT_EQ(health_->count("/health"), healthChecks);
    EXPECT_EQ(pids().size(), 1);
    EXPECT_EQ(engine().serverPort(), health_->port());
}

TEST_F(EngineTest, PollsHealthEvery300MillisecondsUntilReady) {
    createModelFile(M::phi3_miniQ4);
    healthStatuses_ = {503, 503, 200}; // once the process is up
    EXPECT_EQ(drive(engine().ensureServer(M::phi3_miniQ4)), health_->port());
    ASSERT_GE(healthTimes_.size(), 3);
    for (int i = 1; i < healthTimes_.size(); ++i) {
        EXPECT_EQ(healthTimes_[i] - healthTimes_[i - 1], 300ms) << "poll " << i;
    }
    EXPECT_TRUE(healthStatuses_.isEmpty());
    EXPECT_EQ(engine().runningModel(), M::phi3_miniQ4);
}

TEST_F(EngineTest, SwitchingModelsTerminatesTheOldServerAndUsesANewPort) {
    createModelFile(M::phi3_miniQ4);
    createModelFile(M::mistral7b_v03Q4KM);
    FakeHttpServer second([this](const FakeHttpServer::Request& r) { return answer(r); });
    ports_ = {health_->port(), second.port()};
    drive(engine().ensureServer(M::phi3_miniQ4));
    const qint64 first = engine().serverProcessId();
    EXPECT_EQ(drive(engine().ensureServer(M::mistral7b_v03Q4KM)), second.port());
    const qint64 next = engine().serverProcessId();
    EXPECT_NE(first, next);
    EXPECT_EQ(engine().runningModel(), M::mistral7b_v03Q4KM);
    EXPECT_TRUE(pumpRealUntil([&] { return !alive(first); })) << "the old server was not terminated";
    EXPECT_TRUE(alive(next));
    EXPECT_EQ(lines(file("args", next)).mid(10, 3), (QStringList{"--no-warmup", "--no-webui", "--no-slots"}));
}

TEST_F(EngineTest, ServerThatExitsReportsTheLastTwelveLogLines) {
    createModelFile(M::phi3_miniQ4);
    touch(runtimeDir_ + "/exit-mode");
    auto task = engine().ensureServer(M::phi3_miniQ4);
    const qint64 pid = engine().serverProcessId();
    ASSERT_TRUE(pumpRealUntil([&] { return !alive(pid); })); // before virtual time runs on
    const LocalPolishError e = driveExpectingError(std::move(task));
    EXPECT_EQ(e.kind(), K::serverStartFailed);
    QStringList expected;
    for (int i = 4; i <= 15; ++i) {
        expected << QStringLiteral("log line %1").arg(i);
    }
    EXPECT_EQ(e.message(), "process exited. " + expected.join(" | "));
    EXPECT_TRUE(engine().serverPort().has_value()) << "the fields stay set after a failed wait";

    // The next call notices the dead process and launches again.
    QFile::remove(runtimeDir_ + "/exit-mode");
    EXPECT_EQ(drive(engine().ensureServer(M::phi3_miniQ4)), health_->port());
    EXPECT_EQ(pids().size(), 2);
}

TEST_F(EngineTest, APortTakenBeforeTheServerBindsItIsTriedAgainOnAnotherPortAFewTimes) {
    createModelFile(M::phi3_miniQ4);
    touch(runtimeDir_ + "/port-taken", "1");
    ports_ = {freePort(), health_->port()};
    EXPECT_EQ(drive(engine().ensureServer(M::phi3_miniQ4)), health_->port());
    EXPECT_EQ(pids().size(), 2);

    // A port that stays taken is reported, with the server's own words, after a few tries.
    engine().stopServer();
    touch(runtimeDir_ + "/port-taken", "100");
    const LocalPolishError e = driveExpectingError(engine().ensureServer(M::phi3_miniQ4));
    EXPECT_EQ(e.kind(), K::serverStartFailed);
    EXPECT_TRUE(e.message().contains("couldn't bind HTTP server socket")) << e.message().toStdString();
    EXPECT_EQ(pids().size(), 2 + 4);
}

TEST_F(EngineTest, ServerThatNeverAnswersTimesOutAfterNinetySeconds) {
    createModelFile(M::phi3_miniQ4);
    ports_ = {freePort()};
    const Duration start = clock_.monotonicNow();
    auto task = engine().ensureServer(M::phi3_miniQ4);
    // Let the (real) process come up before virtual time runs on.
    ASSERT_TRUE(pumpRealUntil(
        [&] { return QFile::exists(runtimeDir_ + "/up-" + QString::number(engine().serverProcessId())); }));
    const LocalPolishError e = driveExpectingError(std::move(task));
    EXPECT_EQ(e.kind(), K::serverStartFailed);
    EXPECT_EQ(e.message(), "timeout waiting for /health. server starting");
    const Duration elapsed = clock_.monotonicNow() - start;
    EXPECT_GE(elapsed, 90s);
    EXPECT_LT(elapsed, 91s);
}

TEST_F(EngineTest, NothingStartsOnUnsupportedHostsWithoutRuntimeOrForBlankText) {
    createModelFile(M::gemma4_e2bQ4KM);
    EXPECT_EQ(
        driveExpectingError(engine().polish(" \n ", SpeechLocale::jaJP, M::gemma4_e2bQ4KM, "x", {})).kind(),
        K::emptyOutput);

    auto config = configuration();
    config.hostSupported = [] { return false; };
    engine().setConfiguration(config);
    EXPECT_EQ(
        driveExpectingError(engine().polish("text", SpeechLocale::jaJP, M::gemma4_e2bQ4KM, "x", {})).kind(),
        K::unsupportedPlatform);
    EXPECT_EQ(
        driveExpectingError(engine().chatCompletion({{LocalLLMChatRole::user, "hi"}}, M::gemma4_e2bQ4KM))
            .kind(),
        K::unsupportedPlatform);
    engine().warmUp();
    pumpUntil([] { return false; }, 20);

    config = configuration();
    config.runtimeDirectory = path("empty-runtime");
    engine().setConfiguration(config);
    EXPECT_EQ(driveExpectingError(engine().ensureServer(M::gemma4_e2bQ4KM)).kind(), K::missingRuntime);
    EXPECT_TRUE(pids().isEmpty());
    EXPECT_EQ(health_->requests().size(), 0);
}

TEST_F(EngineTest, WarmUpStartsTheSelectedModel) {
    PolishSettings::setSelectedModel(M::phi3_miniQ4);
    createModelFile(M::phi3_miniQ4);
    engine().warmUp();
    EXPECT_EQ(engine().serverProcessId(), 0) << "launched inside the caller instead of in its own task";
    engine().warmUp(); // the same model again: joins the one on its way
    EXPECT_TRUE(pumpUntil([&] { return health_->count("/health") > 0 && engine().runningModel(); }));
    EXPECT_EQ(engine().runningModel(), M::phi3_miniQ4);
}

TEST_F(EngineTest, PolishDuringAWarmUpWaitsForTheSameServerToBeReady) {
    PolishSettings::setSelectedModel(M::phi3_miniQ4);
    createModelFile(M::phi3_miniQ4);
    healthStatuses_ = {503, 503, 503, 200};
    engine().warmUp();
    ASSERT_TRUE(pumpUntil([&] { return !healthTimes_.isEmpty(); }));
    EXPECT_EQ(drive(engine().polish("text", SpeechLocale::jaJP, M::phi3_miniQ4, "x", {})), "ok");
    EXPECT_EQ(pids().size(), 1) << "one server for both callers";
    EXPECT_TRUE(healthStatuses_.isEmpty());
    // The completion request came only after the server reported ready.
    const auto& requests = health_->requests();
    qsizetype lastHealth = -1, completion = -1;
    for (qsizetype i = 0; i < requests.size(); ++i) {
        (requests[i].path == "/health" ? lastHealth : completion) = i;
    }
    EXPECT_GT(completion, lastHealth);
}

TEST_F(EngineTest, StopDuringARequestAbortsItAndKillsAServerThatIgnoresTerminate) {
    createModelFile(M::phi3_miniQ4);
    touch(runtimeDir_ + "/ignore-term");
    completion_ = [](const FakeHttpServer::Request&) { return FakeHttpServer::Response{.hang = true}; };
    std::optional<LocalPolishError> error;
    bool done = false;
    auto run = [&]() -> Task<> {
        try {
            co_await engine().polish("text", SpeechLocale::jaJP, M::phi3_miniQ4, "x", {});
        } catch (const LocalPolishError& e) {
            error = e;
        }
        done = true;
    };
    auto task = run();
    ASSERT_TRUE(pumpUntil([&] { return health_->count("/completion") == 1; }));
    const qint64 pid = engine().serverProcessId();
    const Duration stoppedAt = clock_.monotonicNow();
    engine().stopServer();
    EXPECT_FALSE(engine().serverPort());
    EXPECT_FALSE(engine().runningModel());
    pumpRealUntil([&] { return done; });
    ASSERT_TRUE(done);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), K::requestFailed);

    pumpRealFor(20);
    EXPECT_TRUE(alive(pid)) << "terminate is ignored by this server";
    clock_.advance(1900ms);
    pumpRealFor(10);
    EXPECT_TRUE(alive(pid));
    clock_.advance(100ms);
    EXPECT_TRUE(pumpRealUntil([&] { return !alive(pid); })) << "not killed 2 s after the stop";
    EXPECT_EQ(clock_.monotonicNow() - stoppedAt, 2s);
}

TEST_F(EngineTest, RequestErrorForms) {
    const int port = health_->port();
    const auto request = [&](Duration timeout = 60s, CancellationToken token = {}) {
        return engine().requestLlamaCompletion("p", port, {"</s>"}, 256, 0.05, 0.8, timeout, token);
    };
    QString longBody;
    for (int i = 0; i < 350; ++i) {
        longBody += QString::fromUtf8(i % 2 ? "あ" : "b");
    }
    completion_ = [&](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{500, longBody.toUtf8()};
    };
    // Statuses and lengths only: an answer may echo the prompt with the dictation, and error
    // texts end up in the diagnostics log.
    LocalPolishError e = driveExpectingError(request());
    EXPECT_EQ(e.kind(), K::requestFailed);
    EXPECT_EQ(e.message(), "HTTP 500. reply of 700 bytes (content not logged)");

    completion_ = [](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{404, "\xff\xfe bad"};
    };
    EXPECT_EQ(driveExpectingError(request()).message(), "HTTP 404. reply of 6 bytes (content not logged)");

    completion_ = [](const FakeHttpServer::Request&) { return FakeHttpServer::Response{200, "hello"}; };
    e = driveExpectingError(request());
    EXPECT_EQ(e.kind(), K::invalidResponse);
    EXPECT_TRUE(e.message().endsWith(". reply of 5 bytes (content not logged)")) << e.message().toStdString();
    EXPECT_FALSE(e.message().contains("hello"));

    completion_ = [](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{200, R"({"text":"x"})"};
    };
    e = driveExpectingError(request());
    EXPECT_EQ(e.kind(), K::invalidResponse);
    EXPECT_EQ(e.message(), "The answer has no \"content\" member. reply of 12 bytes (content not logged)");

    completion_ = [](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{200, R"({"content":7})"};
    };
    EXPECT_EQ(driveExpectingError(request()).kind(), K::invalidResponse);

    completion_ = [](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{200, R"({"content":" raw <|im_end|> ","stop":true})"};
    };
    EXPECT_EQ(drive(request()), " raw <|im_end|> ");

    // Timeout: the server never answers; 60 s of virtual time later the request fails.
    completion_ = [](const FakeHttpServer::Request&) { return FakeHttpServer::Response{.hang = true}; };
    std::optional<LocalPolishError> failure;
    bool done = false;
    auto run = [&]() -> Task<> {
        try {
            co_await request();
        } catch (const LocalPolishError& err) {
            failure = err;
        }
        done = true;
    };
    auto task = run();
    const int before = health_->count("/completion");
    ASSERT_TRUE(pumpRealUntil([&] { return health_->count("/completion") > before; }));
    clock_.advance(59s);
    pumpRealFor(5);
    EXPECT_FALSE(done);
    clock_.advance(1s);
    EXPECT_TRUE(pumpRealUntil([&] { return done; }));
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), K::requestFailed);
    EXPECT_EQ(failure->message(), "The request timed out.");

    // Cancellation ends the request with the cancellation error.
    CancellationSource source;
    bool cancelled = false;
    auto cancelRun = [&]() -> Task<> {
        try {
            co_await request(60s, source.token());
        } catch (const CancellationError&) {
            cancelled = true;
        }
    };
    auto cancelTask = cancelRun();
    const int count = health_->count("/completion");
    ASSERT_TRUE(pumpRealUntil([&] { return health_->count("/completion") > count; }));
    source.cancel();
    EXPECT_TRUE(pumpUntil([&] { return cancelled; }, 200));

    // Nothing listening: the transport error's description.
    const int closed = freePort();
    e = driveExpectingError(engine().requestLlamaCompletion("p", closed, {}, 1, 0, 0, 60s, {}));
    EXPECT_EQ(e.kind(), K::requestFailed);
    EXPECT_FALSE(e.message().isEmpty());
}

TEST_F(EngineTest, ControlTokensAndChatRules) {
    createModelFile(M::qwen35_4bQ4KM);
    createModelFile(M::phi3_miniQ4);
    completion_ = [](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{200, R"({"content":"<|im_start|>assistant\nHi"})"};
    };
    LocalPolishError e =
        driveExpectingError(engine().polish("t", SpeechLocale::jaJP, M::qwen35_4bQ4KM, "x", {}));
    EXPECT_EQ(e.kind(), K::invalidResponse);
    EXPECT_EQ(e.message(), "control tokens in output");
    EXPECT_EQ(drive(engine().polish("t", SpeechLocale::jaJP, M::phi3_miniQ4, "x", {})),
              "<|im_start|>assistant\nHi");

    using R = LocalLLMChatRole;
    const int requests = health_->requests().size();
    e = driveExpectingError(engine().chatCompletion({{R::user, "a"}, {R::assistant, "b"}}, M::phi3_miniQ4));
    EXPECT_EQ(e.message(), "chat must end with user message");
    EXPECT_EQ(driveExpectingError(engine().chatCompletion({}, M::phi3_miniQ4)).kind(), K::invalidResponse);
    EXPECT_EQ(health_->requests().size(), requests);

    completion_ = [](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{200, R"({"content":"Sure.\n<|im_start|>user\ninvented"})"};
    };
    EXPECT_EQ(drive(engine().chatCompletion({{R::user, "hi"}}, M::qwen35_4bQ4KM)), "Sure.");
    const QJsonObject body = QJsonDocument::fromJson(health_->requests().last().body).object();
    EXPECT_EQ(body.value("n_predict").toInt(), 768);
    EXPECT_DOUBLE_EQ(body.value("temperature").toDouble(), 0.65);
    EXPECT_DOUBLE_EQ(body.value("top_p").toDouble(), 0.9);
    EXPECT_TRUE(body.value("prompt").toString().endsWith(
        "<|im_start|>user\nhi<|im_end|>\n<|im_start|>assistant\n<think>\n\n</think>\n\n"));
}

TEST_F(EngineTest, DeletingTheRunningModelStopsTheServerFirst) {
    createModelFile(M::phi3_miniQ4);
    createModelFile(M::mistral7b_v03Q4KM);
    touch(engine().partialModelPath(M::phi3_miniQ4), "half");
    drive(engine().ensureServer(M::phi3_miniQ4));
    engine().deleteModel(M::mistral7b_v03Q4KM);
    EXPECT_EQ(engine().runningModel(), M::phi3_miniQ4);
    EXPECT_FALSE(engine().isModelDownloaded(M::mistral7b_v03Q4KM));
    const qint64 pid = engine().serverProcessId();
    engine().deleteModel(M::phi3_miniQ4);
    EXPECT_FALSE(engine().runningModel());
    EXPECT_FALSE(QFile::exists(engine().localModelPath(M::phi3_miniQ4)));
    EXPECT_FALSE(QFile::exists(engine().partialModelPath(M::phi3_miniQ4)));
    EXPECT_TRUE(pumpRealUntil([&] { return !alive(pid); }));
    engine().deleteModel(M::phi3_miniQ4); // nothing there: fine
    touch(engine().localModelPath(M::phi3_miniQ4));
    EXPECT_TRUE(engine().isModelDownloaded(M::phi3_miniQ4)) << "any file counts, even an empty one";
}

TEST_F(EngineTest, DriveTurnsAHangIntoAFailure) {
    const auto never = []() -> Task<int> { // polls for ever
        for (;;) {
            co_await sleepFor(std::chrono::seconds(1));
        }
        co_return 0;
    };
    EXPECT_NONFATAL_FAILURE({ EXPECT_THROW(drive(never(), std::chrono::minutes(1)), std::runtime_error); },
                            "did not finish");
}

class CleanupTest : public EngineTestBase {
protected:
    void SetUp() override {
        EngineTestBase::SetUp();
        bin_ = path("bin");
        QDir().mkpath(bin_);
        writeScript(bin_ + "/pgrep", R"(#!/bin/sh
dir=$(dirname "$0")
echo "$@" >> "$dir/pgrep.log"
cat "$dir/running" 2>/dev/null
[ -s "$dir/running" ] || exit 1
)");
        writeScript(bin_ + "/kill", R"(#!/bin/sh
dir=$(dirname "$0")
echo "$@" >> "$dir/kill.log"
if [ -f "$dir/kill-fails" ]; then echo "kill: no such process" >&2; exit 1; fi
if [ "$1" = "-9" ] || [ -f "$dir/term-works" ]; then : > "$dir/running"; fi
exit 0
)");
        auto config = configuration();
        config.pgrepPath = bin_ + "/pgrep";
        config.killPath = bin_ + "/kill";
        // The listed ids run our runtime's server, except 9999: a server the user runs himself.
        const QString ours = QFileInfo(runtimeDir_).canonicalFilePath() + "/llama-server";
        config.processExecutable = [ours](qint32 pid) {
            return pid == 9999 ? QStringLiteral("/usr/local/bin/llama-server") : ours;
        };
        engine().setConfiguration(config);
    }
    QString bin_;
};

TEST_F(CleanupTest, NoStrayServerMeansNoKill) {
    EXPECT_EQ(engine().cleanupResidualServers(), 0);
    EXPECT_EQ(lines(bin_ + "/pgrep.log"),
              QStringList{QStringLiteral("-u %1 -x llama-server").arg(::getuid())});
    EXPECT_FALSE(QFile::exists(bin_ + "/kill.log"));
    EXPECT_TRUE(pauses_.isEmpty());
}

TEST_F(CleanupTest, ServersIgnoringTerminateGetKillNine) {
    touch(bin_ + "/running", "4242\n  4343 \nnot-a-pid\n9999\n");
    EXPECT_EQ(engine().cleanupResidualServers(), 2);
    EXPECT_EQ(lines(bin_ + "/kill.log"), (QStringList{"4242 4343", "-9 4242 4343"}));
    EXPECT_EQ(pauses_, QList<Duration>{500ms});
}

TEST_F(CleanupTest, ServersObeyingTerminateNeedNoKillNine) {
    touch(bin_ + "/running", "11\n22\n");
    touch(bin_ + "/term-works");
    EXPECT_EQ(engine().cleanupResidualServers(), 2);
    EXPECT_EQ(lines(bin_ + "/kill.log"), QStringList{"11 22"});
}

TEST_F(CleanupTest, FailingKillIsACleanupError) {
    touch(bin_ + "/running", "11\n");
    touch(bin_ + "/kill-fails");
    try {
        engine().cleanupResidualServers();
        ADD_FAILURE() << "no error";
    } catch (const LocalPolishError& e) {
        EXPECT_EQ(e.kind(), K::cleanupFailed);
        EXPECT_EQ(e.message(), "kill: no such process\n");
    }
    auto config = engine().configuration();
    config.pgrepPath = path("bin/missing-pgrep");
    engine().setConfiguration(config);
    try {
        engine().cleanupResidualServers();
        ADD_FAILURE() << "no error";
    } catch (const LocalPolishError& e) {
        EXPECT_EQ(e.kind(), K::cleanupFailed);
    }
}

} // namespace
} // namespace quillory
