#include "ai/FakeHttpServer.h"
#include "support/CoreTest.h"

#include "Runtime/FileDownload.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLockFile>
#include <QNetworkAccessManager>

namespace quillory::testing {
namespace {

using namespace std::chrono_literals;

class FileDownloadTest : public CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        hosting = std::make_unique<FakeHttpServer>([this](const FakeHttpServer::Request& r) { return answer(r); });
        destination = path(QStringLiteral("models/model.bin"));
        payload = QByteArray(100'000, 'm');
        answer = [this](const FakeHttpServer::Request&) {
            return FakeHttpServer::Response{200, payload, "application/octet-stream"};
        };
    }
    void TearDown() override {
        hosting.reset();
        CoreTest::TearDown();
    }

    /// Starts the download; `pump` runs it on.
    void start() {
        FileDownload d;
        d.url = QUrl(QStringLiteral("http://127.0.0.1:%1/model.bin").arg(hosting->port()));
        d.destination = destination;
        d.progress = [this](qint64 received, qint64) { lastReceived = received; };
        task = [](FileDownloadTest* self, FileDownload d) -> Task<> {
            try {
                self->result = co_await downloadFile(self->network, std::move(d), {});
            } catch (const FileDownloadError& e) {
                self->error = e.message();
            }
            self->done = true;
        }(this, std::move(d));
    }
    /// Lets Qt events run (real sockets) until `until` holds, with virtual time moving by `step`
    /// after each turn of the loop.
    void pump(const std::function<bool()>& until, Duration step = 0ms) {
        QElapsedTimer real;
        real.start();
        while (!until() && real.elapsed() < 10'000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            if (!until()) {
                clock_.advance(step);
            }
        }
        ASSERT_TRUE(until());
    }
    QStringList leftovers() const {
        return QDir(path(QStringLiteral("models"))).entryList(QDir::Files | QDir::Hidden);
    }

    std::unique_ptr<FakeHttpServer> hosting;
    std::function<FakeHttpServer::Response(const FakeHttpServer::Request&)> answer;
    QByteArray payload;
    QString destination;
    QNetworkAccessManager network;
    Task<> task;
    bool done = false;
    std::optional<qint64> result;
    QString error;
    qint64 lastReceived = 0;
};

TEST_F(FileDownloadTest, TheIdleLimitCountsFromTheLastDataNotFromTheStart) {
    answer = [this](const FakeHttpServer::Request&) {
        FakeHttpServer::Response r{200, payload, "application/octet-stream"};
        r.hold = true;
        r.partialBytes = 30'000; // then silence on an open connection
        return r;
    };
    start();
    pump([&] { return hosting->heldCount() == 1; });
    clock_.advance(33s); // off the beat of any coarse periodic check
    hosting->release();
    pump([&] { return lastReceived == 30'000; });
    const Duration lastData = clock_.monotonicNow();
    pump([&] { return done; }, 1s);
    EXPECT_EQ(error, QStringLiteral("no data received for 60 s"));
    EXPECT_EQ(clock_.monotonicNow() - lastData, 60s);
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u' ').toStdString();
}

TEST_F(FileDownloadTest, AnEmptyAnswerIsNeverMovedIntoPlace) {
    payload.clear();
    start();
    pump([&] { return done; });
    EXPECT_EQ(error, QStringLiteral("the server sent an empty file"));
    EXPECT_FALSE(QFile::exists(destination));
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u' ').toStdString();
}

TEST_F(FileDownloadTest, AFileThatTheLockHolderCompletedIsNotFetchedAgain) {
    ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("models"))));
    QLockFile other(destination + QStringLiteral(".lock"));
    ASSERT_TRUE(other.tryLock(0));
    start();
    pump([&] { return clock_.monotonicNow() >= 3s; }, 100ms);
    EXPECT_FALSE(done);
    EXPECT_TRUE(hosting->requests().isEmpty()) << "the lock holder's partial file is its own";

    QFile finished(destination);
    ASSERT_TRUE(finished.open(QIODevice::WriteOnly));
    finished.write("theirs");
    finished.close();
    other.unlock();
    pump([&] { return done; }, 100ms);
    EXPECT_EQ(error, QString());
    EXPECT_EQ(result, std::nullopt) << "nothing was downloaded here";
    EXPECT_TRUE(hosting->requests().isEmpty());

    // Once the file is gone a download fetches it and says how much it wrote.
    QFile::remove(destination);
    done = false;
    start();
    pump([&] { return done; });
    EXPECT_EQ(result, payload.size());
    EXPECT_EQ(lastReceived, payload.size());
    EXPECT_EQ(leftovers(), QStringList{QStringLiteral("model.bin")});
}

} // namespace
} // namespace quillory::testing
