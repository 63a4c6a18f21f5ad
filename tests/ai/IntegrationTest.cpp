// The engine against the real llama-server and the tiny generated model, on real time.
//
// Paths come from QUILLORY_TEST_LLAMA_SERVER (the executable), QUILLORY_TEST_TINY_MODEL and
// QUILLORY_TEST_KNOWN_SENTENCE (set by scripts/run-tests.sh); without them the dependency cache of
// the real home is tried. The tests skip only when neither gives a runtime and a model.

#include "AI/LocalPolishEngine.h"
#include "Cli/Cli.h"
#include "support/CoreTest.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QThread>

#include <csignal>

namespace quillory {
namespace {

// Captured before any fixture points HOME into a temporary folder.
const QString kRealCache = [] {
    const QString xdg = qEnvironmentVariable("XDG_CACHE_HOME");
    return (xdg.isEmpty() ? QDir::homePath() + "/.cache" : xdg) + "/quillory/deps";
}();

struct Runtime {
    QString server;
    QString model;
    QString sentence;
};

std::optional<Runtime> findRuntime() {
    Runtime r{qEnvironmentVariable("QUILLORY_TEST_LLAMA_SERVER"),
              qEnvironmentVariable("QUILLORY_TEST_TINY_MODEL"),
              qEnvironmentVariable("QUILLORY_TEST_KNOWN_SENTENCE")};
    if (r.server.isEmpty()) {
        QFile stamp(kRealCache + "/llama-current");
        if (stamp.open(QIODevice::ReadOnly)) {
            r.server = kRealCache + "/" + QString::fromUtf8(stamp.readLine()).trimmed() + "/bin/llama-server";
        }
    }
    if (r.model.isEmpty()) {
        r.model = kRealCache + "/tiny-polish.gguf";
    }
    if (r.sentence.isEmpty()) {
        QProcess p;
        p.start("/usr/bin/python3",
                {QStringLiteral(QUILLORY_SOURCE_DIR "/scripts/make-tiny-gguf.py"), "--print-sentence"});
        p.waitForFinished(30000);
        r.sentence = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
    }
    if (!QFileInfo(r.server).isExecutable() || !QFileInfo(r.model).isFile() || r.sentence.isEmpty()) {
        return std::nullopt;
    }
    return r;
}

bool alive(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray stat = f.readAll();
    return stat.mid(stat.lastIndexOf(')') + 2, 1) != "Z";
}

class RealServerTest : public testing::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        runtime_ = findRuntime();
        if (!runtime_) {
            GTEST_SKIP()
                << "llama-server runtime or tiny model not found: run scripts/run-tests.sh (it builds "
                   "them) or set QUILLORY_TEST_LLAMA_SERVER and QUILLORY_TEST_TINY_MODEL";
        }
        realClock_ = std::make_unique<ScopedScheduler>(real_);
        QDir().mkpath(path("tmp"));
        qputenv("TMPDIR", path("tmp").toUtf8());
        config_.runtimeDirectory = QFileInfo(runtime_->server).absolutePath();
        config_.modelDirectory = path("models");
        for (PolishModel m : PolishModels::allCases) {
            config_.modelFiles.insert(m, runtime_->model);
        }
        engine_ = std::make_unique<LocalPolishEngine>(config_);
    }
    void TearDown() override {
        if (engine_) {
            engine_->shutdown();
        }
        engine_.reset();
        realClock_.reset();
        qunsetenv("TMPDIR");
        CoreTest::TearDown();
    }
    template <typename T> T await(Task<T>&& task) {
        return runUntilDone(std::move(task),
                            [] { QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents); });
    }
    static void spin(int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
            QCoreApplication::processEvents();
        }
    }
    static bool waitUntil(const std::function<bool()>& done, int ms) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < ms) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::msleep(5);
        }
        return done();
    }

    std::optional<Runtime> runtime_;
    QtScheduler real_;
    std::unique_ptr<ScopedScheduler> realClock_;
    LocalPolishEngine::Configuration config_;
    std::unique_ptr<LocalPolishEngine> engine_;
};

TEST_F(RealServerTest, PolishesReusesTheServerAndRestartsForAnotherModel) {
    const QString first = await(engine_->polish(QString::fromUtf8("えーと、今日は天気がいいです"),
                                                SpeechLocale::jaJP, PolishModel::qwen35_4bQ4KM, "INSTR", {}));
    EXPECT_EQ(first, runtime_->sentence);
    const qint64 pid = engine_->serverProcessId();
    const int port = *engine_->serverPort();
    EXPECT_GE(port, 49152);
    EXPECT_LE(port, 65535);
    EXPECT_TRUE(QFile::exists(path("tmp/quillory-llama-server-%1.log").replace("%1", QString::number(port))));

    EXPECT_EQ(await(engine_->polish("second", SpeechLocale::jaJP, PolishModel::qwen35_4bQ4KM, "INSTR", {})),
              runtime_->sentence);
    EXPECT_EQ(engine_->serverProcessId(), pid) << "the same model reuses the running server";

    EXPECT_EQ(await(engine_->polish("third", SpeechLocale::jaJP, PolishModel::gemma4_e2bQ4KM, "INSTR", {})),
              runtime_->sentence);
    EXPECT_NE(engine_->serverProcessId(), pid);
    EXPECT_EQ(engine_->runningModel(), PolishModel::gemma4_e2bQ4KM);
    EXPECT_TRUE(waitUntil([&] { return !alive(pid); }, 5000)) << "the old server did not exit";

    EXPECT_EQ(await(engine_->chatCompletion({{LocalLLMChatRole::user, "hi"}}, PolishModel::gemma4_e2bQ4KM)),
              runtime_->sentence);
}

TEST_F(RealServerTest, StopDuringARunningRequestEndsTheProcessWithinTwoSeconds) {
    await(engine_->ensureServer(PolishModel::qwen35_4bQ4KM));
    const qint64 pid = engine_->serverProcessId();
    // A stopped process holds the request without answering, and, like a busy server, does not
    // act on the terminate signal: only the escalation ends it.
    ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGSTOP), 0);
    std::optional<LocalPolishError> error;
    auto run = [&]() -> Task<> {
        try {
            co_await engine_->polish("text", SpeechLocale::jaJP, PolishModel::qwen35_4bQ4KM, "x", {});
        } catch (const LocalPolishError& e) {
            error = e;
        }
    };
    auto task = run();
    ASSERT_TRUE(waitUntil([&] { return engine_->hasRequestsInFlight(); }, 2000));
    spin(100);
    QElapsedTimer t;
    t.start();
    engine_->stopServer();
    EXPECT_TRUE(waitUntil([&] { return !alive(pid); }, 4000));
    const qint64 ms = t.elapsed();
    EXPECT_LE(ms, 2500) << "process exit " << ms << " ms after the stop";
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), LocalPolishError::Kind::requestFailed);
}

TEST_F(RealServerTest, CorruptModelReportsTheExitWithTheLogTail) {
    QFile corrupt(path("corrupt.gguf"));
    ASSERT_TRUE(corrupt.open(QIODevice::WriteOnly));
    corrupt.write(QByteArray(100, '\x5a'));
    corrupt.close();
    config_.modelFiles.insert(PolishModel::phi3_miniQ4, corrupt.fileName());
    engine_->setConfiguration(config_);
    try {
        await(engine_->ensureServer(PolishModel::phi3_miniQ4));
        ADD_FAILURE() << "the server started with a corrupt model";
    } catch (const LocalPolishError& e) {
        EXPECT_EQ(e.kind(), LocalPolishError::Kind::serverStartFailed);
        EXPECT_TRUE(e.message().startsWith("process exited. ")) << e.message().toStdString();
        const QString tail = e.message().mid(16);
        EXPECT_FALSE(tail.isEmpty());
        EXPECT_LE(tail.split(" | ").size(), 12);
    }
}

TEST_F(RealServerTest, CleanupEndsTwoStrayServers) {
    // Strays started from a folder unique to this test; the listing only reports those, so other
    // servers of the user on this machine are left alone.
    const QString strayDir = path("stray");
    QDir().mkpath(strayDir);
    ASSERT_TRUE(QFile::link(runtime_->server, strayDir + "/llama-server"));
    const QString pgrep = path("pgrep-strays");
    QFile script(pgrep);
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral(R"(#!/bin/sh
/usr/bin/pgrep "$@" | while read -r pid; do
  state=$(sed 's/.*) //' /proc/$pid/stat 2>/dev/null | cut -c1)
  [ "$state" = Z ] && continue
  tr '\0' ' ' < /proc/$pid/cmdline 2>/dev/null | grep -q -F '%1/' && echo "$pid"
done
exit 0
)")
                     .arg(strayDir)
                     .toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    QList<std::shared_ptr<QProcess>> strays;
    for (int i = 0; i < 2; ++i) {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const int port = probe.serverPort();
        probe.close();
        auto p = std::make_shared<QProcess>();
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->setStandardOutputFile(QProcess::nullDevice());
        p->start(strayDir + "/llama-server",
                 LocalPolishEngine::serverArguments(runtime_->model, port, PolishModel::phi3_miniQ4));
        ASSERT_TRUE(p->waitForStarted());
        strays << p;
    }
    config_.pgrepPath = pgrep;
    engine_->setConfiguration(config_);
    ASSERT_TRUE(waitUntil([&] { return engine_->llamaServerPIDs().size() == 2; }, 5000));
    EXPECT_EQ(engine_->cleanupResidualServers(), 2);
    for (auto& p : strays) {
        EXPECT_TRUE(p->waitForFinished(5000));
    }
    EXPECT_TRUE(engine_->llamaServerPIDs().isEmpty());
}

TEST_F(RealServerTest, CommandLinePolishStopsTheServerItStarted) {
    auto& shared = LocalPolishEngine::shared();
    const auto saved = shared.configuration();
    shared.setConfiguration(config_);
    QString out, err;
    QTextStream o(&out), e(&err);
    cli::Io io{o, e};
    const int status = cli::run({"polish", "--model", "qwen3.5-4b-instruct-q4_k_m", "--model-file",
                                 runtime_->model, QString::fromUtf8("あのー明日は雨")},
                                io);
    EXPECT_EQ(status, 0) << err.toStdString();
    EXPECT_EQ(out.trimmed(), runtime_->sentence);
    EXPECT_FALSE(shared.serverPort());
    shared.setConfiguration(saved);
}

} // namespace
} // namespace quillory
