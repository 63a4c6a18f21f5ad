// The server start as a sequence of intents (stops and model switches during the readiness wait),
// and what guards the user's text and machine: who may answer on the port, redirects and answer
// sizes, the server log, the server's lifetime, and which processes the clean-up may end.

#include "AI/PolishSettings.h"
#include "ai/EngineTestSupport.h"

#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>

#include <cstdio>

#include <sys/stat.h>
#include <unistd.h>

namespace quillory {
namespace {

using testing::EngineTestBase;
using testing::FakeHttpServer;
using K = LocalPolishError::Kind;
using M = PolishModel;

class ServerGuardTest : public EngineTestBase {
protected:
    QStringList pids() const { return lines(runtimeDir_ + "/pids.txt"); }
    /// Waits (for real) until the launched script has come up, so it counts among `pids()`.
    bool serverUp() {
        return pumpRealUntil([&] {
            return QFile::exists(runtimeDir_ + "/up-" + QString::number(engine().serverProcessId()));
        });
    }
    /// /health requests are held (unanswered) while `holdHealth_` is set.
    void holdHealthRequests() {
        health_->setHandler([this](const FakeHttpServer::Request& r) {
            if (r.path == "/health" && holdHealth_) {
                FakeHttpServer::Response held = answer(r);
                held.hold = true;
                return held;
            }
            return answer(r);
        });
    }
    bool holdHealth_ = true;
};

TEST_F(ServerGuardTest, StopOrAnotherModelDuringTheHealthWaitAbandonsTheStart) {
    createModelFile(M::phi3_miniQ4);
    createModelFile(M::mistral7b_v03Q4KM);
    holdHealthRequests();
    auto start = begin(engine().ensureServer(M::phi3_miniQ4));
    ASSERT_TRUE(pumpUntil([&] { return health_->heldCount() == 1; }));
    const qint64 first = engine().serverProcessId();
    ASSERT_TRUE(serverUp());
    engine().stopServer();
    health_->release();
    ASSERT_TRUE(pumpUntil([&] { return start->done; }));
    ASSERT_TRUE(errorOf(*start));
    EXPECT_EQ(errorOf(*start)->message(), "The start was abandoned: the local server was stopped.");
    EXPECT_EQ(pids().size(), 1) << "nothing launched after the stop";
    EXPECT_FALSE(engine().serverPort());
    EXPECT_TRUE(pumpRealUntil([&] { return !alive(first); }));

    // A start for another model takes the place of one still waiting: the waiter fails and
    // leaves the new server alone.
    FakeHttpServer second([this](const FakeHttpServer::Request& r) { return answer(r); });
    ports_ = {health_->port(), second.port()};
    auto waiter = begin(engine().ensureServer(M::phi3_miniQ4));
    ASSERT_TRUE(pumpUntil([&] { return health_->heldCount() == 1; }));
    EXPECT_EQ(drive(engine().ensureServer(M::mistral7b_v03Q4KM)), second.port());
    const qint64 mistral = engine().serverProcessId();
    health_->release();
    ASSERT_TRUE(pumpUntil([&] { return waiter->done; }));
    ASSERT_TRUE(errorOf(*waiter));
    EXPECT_EQ(errorOf(*waiter)->kind(), K::serverStartFailed);
    EXPECT_EQ(engine().runningModel(), M::mistral7b_v03Q4KM);
    pumpRealFor(10);
    EXPECT_TRUE(alive(mistral));
}

TEST_F(ServerGuardTest, AWaiterFollowsTheServerThatReplacedADeadOneOfTheSameModel) {
    createModelFile(M::phi3_miniQ4);
    holdHealthRequests();
    FakeHttpServer second([this](const FakeHttpServer::Request& r) { return answer(r); });
    ports_ = {health_->port(), second.port()};
    auto waiter = begin(engine().ensureServer(M::phi3_miniQ4));
    ASSERT_TRUE(pumpUntil([&] { return health_->heldCount() == 1; }));
    const qint64 dead = engine().serverProcessId();
    ASSERT_TRUE(serverUp());
    ASSERT_EQ(::kill(static_cast<pid_t>(dead), SIGKILL), 0);
    ASSERT_TRUE(pumpRealUntil([&] { return !alive(dead) && engine().serverProcessId() == 0; }));
    holdHealth_ = false;
    EXPECT_EQ(drive(engine().ensureServer(M::phi3_miniQ4)), second.port()); // relaunched
    health_->release(); // the old port answers "ready" now: it must not be believed
    ASSERT_TRUE(pumpUntil([&] { return waiter->done; }));
    ASSERT_FALSE(waiter->error);
    EXPECT_EQ(*waiter->value, second.port());
    EXPECT_EQ(pids().size(), 2);
}

TEST_F(ServerGuardTest, AHealthCheckThatNeverAnswersTimesOutAfterNinetySeconds) {
    createModelFile(M::phi3_miniQ4);
    health_->setHandler([this](const FakeHttpServer::Request& r) {
        return r.path == "/health" ? FakeHttpServer::Response{.hang = true} : answer(r);
    });
    const Duration start = clock_.monotonicNow();
    auto task = engine().ensureServer(M::phi3_miniQ4);
    ASSERT_TRUE(pumpRealUntil(
        [&] { return QFile::exists(runtimeDir_ + "/up-" + QString::number(engine().serverProcessId())); }));
    const LocalPolishError e = driveExpectingError(std::move(task));
    EXPECT_EQ(e.message(), "timeout waiting for /health. server starting");
    const Duration elapsed = clock_.monotonicNow() - start;
    EXPECT_GE(elapsed, 90s);
    EXPECT_LE(elapsed, 91300ms); // polls of 1 s timeout + 0.3 s pause
    EXPECT_GE(health_->count("/health"), 60);
}

TEST_F(ServerGuardTest, AFailedLaunchLeavesNoServer) {
    createModelFile(M::phi3_miniQ4);
    writeScript(runtimeDir_ + "/llama-server", "#!/nonexistent/interpreter\n");
    const LocalPolishError e = driveExpectingError(engine().ensureServer(M::phi3_miniQ4));
    EXPECT_EQ(e.kind(), K::serverStartFailed);
    EXPECT_FALSE(e.message().isEmpty());
    EXPECT_FALSE(engine().serverPort());
    EXPECT_EQ(engine().serverProcessId(), 0);
    const QString log = LocalPolishEngine::serverLogPath(health_->port());
    EXPECT_EQ(QFileInfo(log).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteOther),
              QFile::Permissions());
}

TEST_F(ServerGuardTest, TheServerLogIsOwnerOnlyAndNeverWrittenThroughALink) {
    createModelFile(M::phi3_miniQ4);
    const QString log = LocalPolishEngine::serverLogPath(health_->port());
    EXPECT_EQ(log, path("run/quillory/llama-server-%1.log").arg(health_->port()));
    touch(log, "old run\n");
    ::chmod(QFile::encodeName(log).constData(), 0644);
    drive(engine().ensureServer(M::phi3_miniQ4));
    EXPECT_EQ(lines(log), QStringList{"server starting"}) << "replaced by the new run's output";
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(log).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(QFile::encodeName(path("run/quillory")).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    engine().stopServer();

    // A link at the name: replaced by a new file, never followed.
    const QString victim = path("victim.txt");
    touch(victim, "precious\n");
    QFile::remove(log);
    ASSERT_TRUE(QFile::link(victim, log));
    drive(engine().ensureServer(M::phi3_miniQ4));
    EXPECT_EQ(lines(victim), QStringList{"precious"});
    EXPECT_FALSE(QFileInfo(log).isSymLink());
    EXPECT_EQ(lines(log), QStringList{"server starting"});
    EXPECT_EQ(pids().size(), 2);
}

TEST_F(ServerGuardTest, FilesOthersPlantInTheTemporaryFolderBlockNoStart) {
    createModelFile(M::phi3_miniQ4);
    // What another user can create in the shared temporary folder: the old log names (a file of
    // someone else's would not open; a folder neither), and our fallback folder's name.
    QDir().mkpath(path("tmp/quillory-llama-server-%1.log").arg(health_->port()));
    touch(path("tmp/quillory-%1").arg(::getuid()), "taken");
    drive(engine().ensureServer(M::phi3_miniQ4));
    EXPECT_TRUE(engine().serverLogPath().startsWith(path("run/quillory/")));
    engine().stopServer();

    // Without a runtime folder: a private folder in the temporary folder, even when the usual
    // name is taken.
    qunsetenv("XDG_RUNTIME_DIR");
    drive(engine().ensureServer(M::phi3_miniQ4));
    const QString folder = QFileInfo(engine().serverLogPath()).absolutePath();
    EXPECT_TRUE(folder.startsWith(path("tmp/quillory-%1-").arg(::getuid()))) << folder.toStdString();
    struct stat st {};
    ASSERT_EQ(::lstat(QFile::encodeName(folder).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(lines(engine().serverLogPath()), QStringList{"server starting"});
    engine().stopServer();

    QFile::remove(path("tmp/quillory-%1").arg(::getuid()));
    drive(engine().ensureServer(M::phi3_miniQ4));
    EXPECT_EQ(engine().serverLogPath(),
              path("tmp/quillory-%1/llama-server-%2.log").arg(::getuid()).arg(health_->port()));
}

TEST_F(ServerGuardTest, OnlyOurOwnChildListeningOnThePortIsAccepted) {
    // The check itself, on real sockets and processes.
    QTcpServer mine;
    ASSERT_TRUE(mine.listen(QHostAddress::LocalHost, 0));
    EXPECT_TRUE(LocalPolishEngine::isListenerOwnedBy(::getpid(), mine.serverPort()));
    QProcess other;
    other.start("/bin/sleep", {"30"});
    ASSERT_TRUE(other.waitForStarted());
    EXPECT_FALSE(LocalPolishEngine::isListenerOwnedBy(other.processId(), mine.serverPort()));
    const int closed = mine.serverPort();
    mine.close();
    EXPECT_FALSE(LocalPolishEngine::isListenerOwnedBy(::getpid(), closed));
    other.kill();
    other.waitForFinished();

    // The engine with the real check: the answers come from this test process, a stranger to
    // the launched server, so it is never ready and no text is ever sent.
    createModelFile(M::phi3_miniQ4);
    auto config = configuration();
    config.listenerOwnedBy = nullptr;
    engine().setConfiguration(config);
    auto task = engine().polish("secret dictation", SpeechLocale::jaJP, M::phi3_miniQ4, "x", {});
    ASSERT_TRUE(pumpRealUntil(
        [&] { return QFile::exists(runtimeDir_ + "/up-" + QString::number(engine().serverProcessId())); }));
    const LocalPolishError e = driveExpectingError(std::move(task));
    EXPECT_EQ(e.kind(), K::serverStartFailed);
    EXPECT_TRUE(e.message().startsWith("timeout waiting for /health. ")) << e.message().toStdString();
    EXPECT_GT(health_->count("/health"), 0);
    EXPECT_EQ(health_->count("/completion"), 0);
}

TEST_F(ServerGuardTest, RedirectsAndOversizedAnswersAreErrors) {
    const int port = health_->port();
    const auto request = [&] {
        return engine().requestLlamaCompletion("dictated text", port, {}, 256, 0.05, 0.8, 60s, {});
    };
    FakeHttpServer elsewhere;
    completion_ = [&](const FakeHttpServer::Request&) {
        FakeHttpServer::Response r{307, {}};
        r.extraHeaders =
            "Location: http://127.0.0.1:" + QByteArray::number(elsewhere.port()) + "/completion\r\n";
        return r;
    };
    LocalPolishError e = driveExpectingError(request());
    EXPECT_EQ(e.kind(), K::requestFailed);
    EXPECT_TRUE(e.message().startsWith("HTTP 307. ")) << e.message().toStdString();
    pumpRealFor(10);
    EXPECT_TRUE(elsewhere.requests().isEmpty()) << "the prompt followed the redirect";

    completion_ = [](const FakeHttpServer::Request&) {
        QByteArray huge = R"({"content":")" + QByteArray(5 * 1024 * 1024, 'x') + R"("})";
        return FakeHttpServer::Response{200, huge};
    };
    e = driveExpectingError(request());
    EXPECT_EQ(e.kind(), K::requestFailed);
    EXPECT_TRUE(e.message().startsWith("The answer is longer than ")) << e.message().toStdString();

    // Health: a small answer counts, a long one (or a redirect) does not.
    health_->setHandler([](const FakeHttpServer::Request&) { return FakeHttpServer::Response{200, "{}"}; });
    EXPECT_TRUE(drive(engine().isServerReady(port)));
    health_->setHandler([](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{200, QByteArray(100 * 1024, ' ')};
    });
    EXPECT_FALSE(drive(engine().isServerReady(port)));
    health_->setHandler([&](const FakeHttpServer::Request&) {
        FakeHttpServer::Response r{302, {}};
        r.extraHeaders = "Location: http://127.0.0.1:" + QByteArray::number(elsewhere.port()) + "/health\r\n";
        return r;
    });
    EXPECT_FALSE(drive(engine().isServerReady(port)));
    EXPECT_TRUE(elsewhere.requests().isEmpty());
}

// ---- the server dies with the app ----

// The test runs itself again as the parent to kill: with QUILLORY_TEST_ORPHAN_ROLE set, that child
// starts a server, reports its id, then blocks until it is killed.
TEST_F(ServerGuardTest, ServerDiesWithItsParent) {
    if (!qEnvironmentVariableIsEmpty("QUILLORY_TEST_ORPHAN_ROLE")) {
        createModelFile(M::phi3_miniQ4);
        auto start = begin(engine().ensureServer(M::phi3_miniQ4));
        std::printf("orphan-home %s\nserver-pid %lld\n", qPrintable(home_.path()),
                    static_cast<long long>(engine().serverProcessId()));
        std::fflush(stdout);
        std::getchar(); // until killed
        return;
    }
    QProcess parent;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUILLORY_TEST_ORPHAN_ROLE", "1");
    parent.setProcessEnvironment(env);
    parent.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=ServerGuardTest.ServerDiesWithItsParent"});
    ASSERT_TRUE(parent.waitForStarted());
    qint64 server = 0;
    QByteArray output;
    while (server == 0 && parent.waitForReadyRead(10'000)) {
        output += parent.readAllStandardOutput();
        const qsizetype at = output.indexOf("server-pid ");
        if (at >= 0 && output.indexOf('\n', at) > at) {
            server = output.mid(at + 11, output.indexOf('\n', at) - at - 11).toLongLong();
        }
    }
    ASSERT_GT(server, 0) << output.toStdString();
    ASSERT_TRUE(alive(server));
    ::kill(static_cast<pid_t>(parent.processId()), SIGKILL); // a crash: no clean-up runs
    parent.waitForFinished();
    EXPECT_TRUE(pumpRealUntil([&] { return !alive(server); }, 1000)) << "the server outlived its parent";
    if (alive(server)) {
        ::kill(static_cast<pid_t>(server), SIGKILL);
    }
    const qsizetype home = output.indexOf("orphan-home ");
    if (home >= 0) { // the killed helper could not remove its temporary home
        QDir(QString::fromUtf8(output.mid(home + 12, output.indexOf('\n', home) - home - 12)))
            .removeRecursively();
    }
}

// ---- clean-up ends only our own servers ----

TEST_F(ServerGuardTest, CleanupEndsOnlyServersRunningOurRuntime) {
    // Two real processes named llama-server: one runs the executable in our runtime folder, the
    // other one the user's own build elsewhere.
    QDir().mkpath(runtimeDir_ + "/llama");
    QDir().mkpath(path("elsewhere"));
    ASSERT_TRUE(QFile::copy("/bin/sleep", runtimeDir_ + "/llama/llama-server"));
    ASSERT_TRUE(QFile::copy("/bin/sleep", path("elsewhere/llama-server")));
    QProcess ours, theirs;
    ours.start(runtimeDir_ + "/llama/llama-server", {"60"});
    theirs.start(path("elsewhere/llama-server"), {"60"});
    ASSERT_TRUE(ours.waitForStarted());
    ASSERT_TRUE(theirs.waitForStarted());
    QDir().mkpath(path("bin"));
    writeScript(path("bin/pgrep"), QStringLiteral("#!/bin/sh\necho %1\necho %2\n")
                                       .arg(ours.processId())
                                       .arg(theirs.processId())
                                       .toUtf8()
                                       .constData());
    auto config = configuration();
    config.pgrepPath = path("bin/pgrep");
    config.killPath = "/bin/kill";
    engine().setConfiguration(config);

    EXPECT_EQ(engine().cleanupResidualServers(), 1);
    EXPECT_TRUE(ours.waitForFinished(5000));
    EXPECT_EQ(theirs.state(), QProcess::Running);
    EXPECT_TRUE(alive(theirs.processId())) << "the user's own server was killed";
    theirs.kill();
    theirs.waitForFinished();
}

} // namespace
} // namespace quillory
