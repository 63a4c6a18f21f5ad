#include "ai/FakeHttpServer.h"
#include "support/CoreTest.h"
#include "support/HostedFile.h"

#include "Runtime/FileDownload.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLockFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QThread>

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
            return FakeHttpServer::Response{200, payload, "application/octet-stream",
                                            hostedDigestHeaders(payload)};
        };
    }
    void TearDown() override {
        hosting.reset();
        CoreTest::TearDown();
    }

    /// Starts the download; `pump` runs it on.
    void start(int port = 0, QByteArray sha256 = {}) {
        FileDownload d;
        d.url = QUrl(QStringLiteral("http://127.0.0.1:%1/model.bin").arg(port ? port : hosting->port()));
        d.destination = destination;
        d.sha256 = sha256;
        d.progress = [this](qint64 received, qint64) { lastReceived = received; };
        d.started = [this](QNetworkReply* reply) {
            readBufferSizes << reply->readBufferSize();
            http2Allowed << reply->request().attribute(QNetworkRequest::Http2AllowedAttribute).toBool();
        };
        done = false;
        error.clear();
        result.reset();
        task = [](FileDownloadTest* self, FileDownload d, CancellationToken cancel) -> Task<> {
            try {
                self->result = co_await downloadFile(self->network, std::move(d), cancel);
            } catch (const FileDownloadError& e) {
                self->error = e.message();
            } catch (const CancellationError&) {
                self->error = QStringLiteral("cancelled");
            }
            self->done = true;
        }(this, std::move(d), cancelSource.token());
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
    CancellationSource cancelSource;
    QList<qint64> readBufferSizes;
    QList<bool> http2Allowed;
    QByteArray served;
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

TEST_F(FileDownloadTest, AClientThatStopsReadingStopsTheServerAndACancelLeavesNoFile) {
    // An endless body, as fast as loopback goes. While the loop is busy elsewhere nothing may pile
    // up in memory: the socket fills and the server has to wait.
    StreamingHttpServer server(qint64(1) << 40);
    start(server.port());
    pump([&] { return lastReceived > 0; });
    QElapsedTimer real;
    real.start();
    while (!server.stalled() && server.sent() < 64 * 1024 * 1024 && real.elapsed() < 60'000) {
        QThread::msleep(5); // the main loop does not run: the download reads nothing
    }
    EXPECT_TRUE(server.stalled()) << "the server sent " << server.sent() << " bytes to a client that read "
                                  << lastReceived;
    EXPECT_LT(server.sent(), 64 * 1024 * 1024);
    EXPECT_EQ(readBufferSizes, QList<qint64>{kDownloadReadBufferBytes});
    EXPECT_EQ(http2Allowed, QList<bool>{false}) << "Qt's HTTP/2 ignores the read buffer's bound";

    // A cancel ends the endless download and removes what it wrote.
    pump([&] { return lastReceived > 4 * kDownloadReadBufferBytes; });
    cancelSource.cancel();
    pump([&] { return done; });
    EXPECT_EQ(error, QStringLiteral("cancelled"));
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u' ').toStdString();
}

TEST_F(FileDownloadTest, TheBodyMustMatchTheDigestTheHostAnnouncesOnItsRedirect) {
    // As the hosting service does: the resolve address redirects to storage elsewhere and carries
    // the file's SHA-256 and size in its own headers.
    FakeHttpServer storage([this](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{200, served, "application/octet-stream", {}};
    });
    answer = [&](const FakeHttpServer::Request&) {
        FakeHttpServer::Response r{302, {}, "text/plain", {}};
        r.extraHeaders = "Location: http://127.0.0.1:" + QByteArray::number(storage.port()) + "/blob\r\n" +
                         hostedDigestHeaders(payload);
        return r;
    };
    served = payload;
    start();
    pump([&] { return done; });
    EXPECT_EQ(error, QString());
    EXPECT_EQ(result, payload.size());
    EXPECT_EQ(leftovers(), QStringList{QStringLiteral("model.bin")});
    ASSERT_TRUE(QFile::remove(destination));

    // The same length with one byte changed: refused, nothing left.
    served = payload;
    served[50'000] = 'x';
    start();
    pump([&] { return done; });
    EXPECT_TRUE(error.startsWith(QStringLiteral("the file is damaged or not the one expected (SHA-256 ")))
        << error.toStdString();
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u' ').toStdString();

    // A shorter file, whole by its own Content-Length, is refused by the size the host announced.
    served = payload.left(90'000);
    start();
    pump([&] { return done; });
    EXPECT_EQ(error, QStringLiteral("the file has 90000 bytes, not the 100000 the server announced"));
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u' ').toStdString();
}

TEST_F(FileDownloadTest, APinnedDigestIsCheckedAndAFileNothingCanCheckIsRefused) {
    const QByteArray digest = QCryptographicHash::hash(payload, QCryptographicHash::Sha256).toHex();
    answer = [this](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{200, payload, "application/octet-stream", {}};
    };
    start(0, digest.toUpper());
    pump([&] { return done; });
    EXPECT_EQ(error, QString());
    ASSERT_TRUE(QFile::remove(destination));

    QByteArray other = digest;
    other[0] = other[0] == 'a' ? 'b' : 'a';
    start(0, other);
    pump([&] { return done; });
    EXPECT_TRUE(error.contains(QString::fromLatin1(other))) << error.toStdString();
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u' ').toStdString();

    // A pinned digest the host contradicts: refused too.
    answer = [this](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{200, payload, "application/octet-stream",
                                        "X-Linked-Etag: " + QByteArray(64, 'e') + "\r\n"};
    };
    start(0, digest);
    pump([&] { return done; });
    EXPECT_TRUE(error.endsWith(QStringLiteral("expected %1)").arg(QString(64, u'e')))) << error.toStdString();
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u' ').toStdString();

    // Neither pinned nor announced (a git object id is not a SHA-256).
    answer = [this](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{200, payload, "application/octet-stream",
                                        "X-Linked-Etag: \"0123456789abcdef0123456789abcdef01234567\"\r\n"};
    };
    start();
    pump([&] { return done; });
    EXPECT_EQ(error, QStringLiteral("the file can't be checked: the server announced no SHA-256 for it"));
    EXPECT_FALSE(QFile::exists(destination));
    EXPECT_TRUE(leftovers().isEmpty()) << leftovers().join(u' ').toStdString();
}

TEST(EtagDigestTest, TakesSha256InItsUsualSpellingsOnly) {
    const QByteArray hex = QByteArray(64, 'a');
    EXPECT_EQ(sha256FromEtag('"' + hex + '"'), hex);
    EXPECT_EQ(sha256FromEtag("W/\"" + hex.toUpper() + '"'), hex);
    EXPECT_EQ(sha256FromEtag(" " + hex + " "), hex);
    EXPECT_EQ(sha256FromEtag(QByteArray(40, 'a')), QByteArray());
    EXPECT_EQ(sha256FromEtag(QByteArray(63, 'a') + 'g'), QByteArray());
    EXPECT_EQ(sha256FromEtag("\"\""), QByteArray());
}

} // namespace
} // namespace quillory::testing
