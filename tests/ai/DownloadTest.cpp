#include "AI/PolishSettings.h"
#include "ai/EngineTestSupport.h"
#include "support/HostedFile.h"

namespace quillory {
namespace {

using testing::EngineTestBase;
using testing::FakeHttpServer;
using K = LocalPolishError::Kind;
using M = PolishModel;

/// Downloads against a hosting service inside the test process (QUILLORY_MODEL_BASE_URL).
class DownloadTest : public EngineTestBase {
protected:
    void SetUp() override {
        EngineTestBase::SetUp();
        hosting_ = std::make_unique<FakeHttpServer>(
            [this](const FakeHttpServer::Request& r) { return hostingAnswer_(r); });
        qputenv("QUILLORY_MODEL_BASE_URL",
                QStringLiteral("http://127.0.0.1:%1/").arg(hosting_->port()).toUtf8());
        for (int i = 0; i < 300'000; ++i) {
            payload_.append(char('a' + i % 26));
        }
        hostingAnswer_ = [this](const FakeHttpServer::Request&) {
            return FakeHttpServer::Response{200, payload_, "application/octet-stream",
                                            testing::hostedDigestHeaders(payload_)};
        };
        auto config = configuration();
        config.modelDirectory.clear(); // the real model folder inside the test home
        engine().setConfiguration(config);
    }
    void TearDown() override {
        qunsetenv("QUILLORY_MODEL_BASE_URL");
        hosting_.reset();
        EngineTestBase::TearDown();
    }
    QByteArray fileContent(const QString& p) {
        QFile f(p);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    Task<int> prepare(M model, CancellationToken token = {}, LocalPolishEngine::Progress progress = {}) {
        co_await engine().prepareModel(model, token, std::move(progress));
        co_return 0;
    }

    std::unique_ptr<FakeHttpServer> hosting_;
    std::function<FakeHttpServer::Response(const FakeHttpServer::Request&)> hostingAnswer_;
    QByteArray payload_;
};

TEST_F(DownloadTest, StreamsToThePartialFileReportsProgressAndMovesItInPlace) {
    const QString target = engine().localModelPath(M::phi3_miniQ4);
    EXPECT_EQ(target, PolishSettings::modelDirectory() + "/Phi-3-mini-4k-instruct-q4.gguf");
    EXPECT_FALSE(QDir(PolishSettings::modelDirectory()).exists());
    QDir().mkpath(PolishSettings::modelDirectory());
    touch(engine().partialModelPath(M::phi3_miniQ4), "stale partial from an interrupted download");

    QList<std::pair<qint64, qint64>> progress;
    QList<std::tuple<M, qint64, qint64>> observed;
    engine().setDownloadProgressHandler(
        [&](M m, qint64 r, qint64 t) { observed << std::make_tuple(m, r, t); });
    drive(prepare(M::phi3_miniQ4, {}, [&](qint64 r, qint64 t) { progress << std::make_pair(r, t); }));

    EXPECT_EQ(fileContent(target), payload_);
    EXPECT_FALSE(QFile::exists(engine().partialModelPath(M::phi3_miniQ4)));
    EXPECT_TRUE(engine().isModelDownloaded(M::phi3_miniQ4));
    ASSERT_FALSE(progress.isEmpty());
    EXPECT_EQ(progress.last(), std::make_pair(qint64(payload_.size()), qint64(payload_.size())));
    EXPECT_EQ(observed.size(), progress.size());
    ASSERT_EQ(hosting_->requests().size(), 1);
    EXPECT_EQ(hosting_->requests().first().path,
              "/microsoft/Phi-3-mini-4k-instruct-gguf/resolve/main/Phi-3-mini-4k-instruct-q4.gguf");

    // Present: nothing is fetched again.
    drive(prepare(M::phi3_miniQ4));
    EXPECT_EQ(hosting_->requests().size(), 1);
}

TEST_F(DownloadTest, FirstDownloadCreatesTheModelFolder) {
    EXPECT_FALSE(QDir(PolishSettings::modelDirectory()).exists());
    drive(prepare(M::gemma4_e2bQ4KM));
    EXPECT_TRUE(QFile::exists(PolishSettings::modelDirectory() + "/google_gemma-4-E2B-it-Q4_K_M.gguf"));
}

TEST_F(DownloadTest, ErrorStatusLeavesNoFile) {
    hostingAnswer_ = [](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{404, "Entry not found"};
    };
    const LocalPolishError e = driveExpectingError(prepare(M::phi3_miniQ4));
    EXPECT_EQ(e.kind(), K::modelDownloadFailed);
    EXPECT_EQ(e.message(), "HTTP 404");
    EXPECT_FALSE(QFile::exists(engine().localModelPath(M::phi3_miniQ4)));
    EXPECT_FALSE(QFile::exists(engine().partialModelPath(M::phi3_miniQ4)));
}

TEST_F(DownloadTest, ConnectionLostMidwayLeavesNoFile) {
    hostingAnswer_ = [this](const FakeHttpServer::Request&) {
        FakeHttpServer::Response r{200, payload_, "application/octet-stream",
                                   testing::hostedDigestHeaders(payload_)};
        r.partialBytes = 50'000;
        r.closeAfterPartial = true;
        return r;
    };
    const LocalPolishError e = driveExpectingError(prepare(M::phi3_miniQ4));
    EXPECT_EQ(e.kind(), K::modelDownloadFailed);
    EXPECT_FALSE(QFile::exists(engine().localModelPath(M::phi3_miniQ4)));
    EXPECT_FALSE(QFile::exists(engine().partialModelPath(M::phi3_miniQ4)));
}

TEST_F(DownloadTest, CancelledDownloadLeavesNoFile) {
    hostingAnswer_ = [this](const FakeHttpServer::Request&) {
        FakeHttpServer::Response r{200, payload_, "application/octet-stream",
                                   testing::hostedDigestHeaders(payload_)};
        r.partialBytes = 50'000; // and then the server stalls
        return r;
    };
    CancellationSource source;
    qint64 received = 0;
    bool cancelled = false;
    bool done = false;
    auto run = [&]() -> Task<> {
        try {
            co_await engine().prepareModel(M::phi3_miniQ4, source.token(),
                                           [&](qint64 r, qint64) { received = r; });
        } catch (const CancellationError&) {
            cancelled = true; // the one form a cancelled request takes
        }
        done = true;
    };
    auto task = run();
    ASSERT_TRUE(pumpRealUntil([&] { return received > 0; })) << hosting_->requests().size() << " " << done;
    EXPECT_TRUE(QFile::exists(engine().partialModelPath(M::phi3_miniQ4)));
    source.cancel();
    ASSERT_TRUE(pumpUntil([&] { return done; }, 500));
    EXPECT_TRUE(cancelled);
    EXPECT_FALSE(QFile::exists(engine().localModelPath(M::phi3_miniQ4)));
    EXPECT_FALSE(QFile::exists(engine().partialModelPath(M::phi3_miniQ4)));
}

// ---- races of downloads with starts, stops and deletions ----

class DownloadRaceTest : public DownloadTest {
protected:
    void SetUp() override {
        DownloadTest::SetUp();
        hostingAnswer_ = [this](const FakeHttpServer::Request&) {
            FakeHttpServer::Response r{200, payload_, "application/octet-stream",
                                       testing::hostedDigestHeaders(payload_)};
            r.hold = true; // answered when the test releases it
            return r;
        };
        QDir().mkpath(PolishSettings::modelDirectory());
    }
    QStringList pids() const { return lines(runtimeDir_ + "/pids.txt"); }
    QString partial() { return engine().partialModelPath(M::phi3_miniQ4); }
    FakeHttpServer::Response stalled() {
        FakeHttpServer::Response r{200, payload_, "application/octet-stream",
                                   testing::hostedDigestHeaders(payload_)};
        r.partialBytes = 50'000; // and then nothing more on an open connection
        return r;
    }
};

TEST_F(DownloadRaceTest, StopDuringTheDownloadOfAStartLaunchesNothing) {
    auto start = begin(engine().ensureServer(M::phi3_miniQ4));
    ASSERT_TRUE(pumpUntil([&] { return hosting_->heldCount() == 1; }));
    engine().stopServer();
    hosting_->release();
    ASSERT_TRUE(pumpUntil([&] { return start->done; }));
    const auto error = errorOf(*start);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->kind(), K::serverStartFailed);
    EXPECT_EQ(error->message(), "The start was abandoned: the local server was stopped.");
    EXPECT_TRUE(pids().isEmpty()) << "a server was launched after the stop";
    EXPECT_FALSE(engine().serverPort());
    // The download itself was not the stop's business: the file is complete and in place.
    EXPECT_EQ(fileContent(engine().localModelPath(M::phi3_miniQ4)), payload_);
}

TEST_F(DownloadRaceTest, StopCancelsAWarmUpAndItsDownload) {
    PolishSettings::setSelectedModel(M::phi3_miniQ4);
    hostingAnswer_ = [this](const FakeHttpServer::Request&) { return stalled(); };
    engine().warmUp();
    EXPECT_EQ(engine().requestsInFlight(), 0) << "the warm-up runs in its own task, not inside the caller";
    ASSERT_TRUE(pumpUntil([&] { return QFile::exists(partial()); }, 500));
    engine().stopServer();
    ASSERT_TRUE(
        pumpUntil([&] { return engine().requestsInFlight() == 0 && !QFile::exists(partial()); }, 500));
    pumpUntil([] { return false; }, 30);
    EXPECT_TRUE(pids().isEmpty());
    EXPECT_FALSE(engine().isModelDownloaded(M::phi3_miniQ4));
}

TEST_F(DownloadRaceTest, AStaleDownloadNeverReplacesTheServerOfTheNewerModel) {
    touch(engine().localModelPath(M::mistral7b_v03Q4KM), "GGUF");
    auto stale = begin(engine().ensureServer(M::phi3_miniQ4));
    ASSERT_TRUE(pumpUntil([&] { return hosting_->heldCount() == 1; }));
    EXPECT_EQ(drive(engine().ensureServer(M::mistral7b_v03Q4KM)), health_->port());
    const qint64 pid = engine().serverProcessId();
    hosting_->release();
    ASSERT_TRUE(pumpUntil([&] { return stale->done; }));
    ASSERT_TRUE(errorOf(*stale));
    EXPECT_EQ(errorOf(*stale)->kind(), K::serverStartFailed);
    EXPECT_EQ(engine().runningModel(), M::mistral7b_v03Q4KM);
    EXPECT_EQ(engine().serverProcessId(), pid);
    EXPECT_EQ(pids().size(), 1);
    pumpRealFor(10);
    EXPECT_TRUE(alive(pid)) << "the newer model's server was stopped";
}

TEST_F(DownloadRaceTest, TwoPrepareCallsShareOneDownload) {
    auto first = begin(prepare(M::phi3_miniQ4));
    auto second = begin(prepare(M::phi3_miniQ4));
    ASSERT_TRUE(pumpUntil([&] { return hosting_->heldCount() == 1; }));
    pumpUntil([] { return false; }, 30); // virtual time runs on: the second caller keeps waiting
    EXPECT_EQ(hosting_->requests().size(), 1);
    hosting_->release();
    ASSERT_TRUE(pumpUntil([&] { return first->done && second->done; }));
    EXPECT_FALSE(first->error);
    EXPECT_FALSE(second->error);
    EXPECT_EQ(hosting_->requests().size(), 1);
    EXPECT_EQ(fileContent(engine().localModelPath(M::phi3_miniQ4)), payload_);
}

TEST_F(DownloadRaceTest, ASecondProcessWaitsForTheFirstOnesDownload) {
    auto config = engine().configuration();
    LocalPolishEngine other(config); // another process as far as the engine can tell
    otherEngines_ << &other;
    auto first = begin(prepare(M::phi3_miniQ4));
    ASSERT_TRUE(pumpUntil([&] { return hosting_->heldCount() == 1; }));
    auto second = begin([](LocalPolishEngine& e) -> Task<int> {
        co_await e.prepareModel(M::phi3_miniQ4);
        co_return 0;
    }(other));
    pumpUntil([] { return false; }, 30);
    EXPECT_EQ(hosting_->requests().size(), 1) << "the second process started its own download";
    hosting_->release();
    ASSERT_TRUE(pumpUntil([&] { return first->done && second->done; }));
    EXPECT_FALSE(first->error);
    EXPECT_FALSE(second->error);
    EXPECT_EQ(hosting_->requests().size(), 1);
    EXPECT_EQ(fileContent(engine().localModelPath(M::phi3_miniQ4)), payload_);
    EXPECT_FALSE(QFile::exists(engine().localModelPath(M::phi3_miniQ4) + ".lock"));
    otherEngines_.clear();
}

TEST_F(DownloadRaceTest, DeletingTheModelDuringItsDownloadCancelsIt) {
    hostingAnswer_ = [this](const FakeHttpServer::Request&) { return stalled(); };
    qint64 received = 0;
    auto download = begin(prepare(M::phi3_miniQ4, {}, [&](qint64 r, qint64) { received = r; }));
    ASSERT_TRUE(pumpRealUntil([&] { return received > 0; }));
    engine().deleteModel(M::phi3_miniQ4);
    ASSERT_TRUE(pumpUntil([&] { return download->done; }, 500));
    ASSERT_TRUE(errorOf(*download));
    EXPECT_EQ(errorOf(*download)->kind(), K::modelDownloadFailed);
    EXPECT_EQ(errorOf(*download)->message(), "the model was deleted during the download");
    EXPECT_FALSE(QFile::exists(partial()));
    EXPECT_FALSE(engine().isModelDownloaded(M::phi3_miniQ4));
    EXPECT_EQ(engine().requestsInFlight(), 0);
}

TEST_F(DownloadRaceTest, AStalledDownloadFailsAfterSixtySecondsWithoutData) {
    hostingAnswer_ = [this](const FakeHttpServer::Request&) { return stalled(); };
    const Duration start = clock_.monotonicNow();
    const LocalPolishError e = driveExpectingError(prepare(M::phi3_miniQ4));
    EXPECT_EQ(e.kind(), K::modelDownloadFailed);
    EXPECT_EQ(e.message(), "no data received for 60 s");
    EXPECT_EQ(clock_.monotonicNow() - start, 60s);
    EXPECT_FALSE(QFile::exists(partial()));
}

TEST_F(DownloadRaceTest, AMissingStandInModelFileIsNeverDownloaded) {
    auto config = engine().configuration();
    config.modelFiles.insert(M::phi3_miniQ4, path("typo.gguf"));
    engine().setConfiguration(config);
    const LocalPolishError e = driveExpectingError(engine().ensureServer(M::phi3_miniQ4));
    EXPECT_EQ(e.kind(), K::modelDownloadFailed);
    EXPECT_TRUE(e.message().contains("typo.gguf does not exist")) << e.message().toStdString();
    EXPECT_TRUE(hosting_->requests().isEmpty());
    EXPECT_FALSE(QFile::exists(path("typo.gguf")));
}

TEST_F(DownloadTest, PolishingWithAMissingModelDownloadsItBeforeTheLaunch) {
    drive(engine().ensureServer(M::mistral7b_v03Q4KM));
    EXPECT_EQ(fileContent(engine().localModelPath(M::mistral7b_v03Q4KM)), payload_);
    EXPECT_EQ(engine().runningModel(), M::mistral7b_v03Q4KM);
}

} // namespace
} // namespace quillory
