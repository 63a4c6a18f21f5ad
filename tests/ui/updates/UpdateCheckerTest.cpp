#include "ai/FakeHttpServer.h"
#include "support/CoreTest.h"

#include "UI/Updates/UpdateChecker.h"
#include "UI/Updates/UpdateDialog.h"

#include "Runtime/Localization.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <gtest/gtest.h>

namespace quillory::testing {
namespace {

using namespace std::chrono_literals;
using ui::UpdateChecker;
using Outcome = UpdateChecker::Result::Outcome;

TEST(UpdateFeedTest, OnlyUsableFeedAddressesAreResolved) {
    EXPECT_TRUE(ui::resolvedFeedUrl(QStringLiteral("https://updates.example.org/quillory/appcast.xml")));
    EXPECT_TRUE(ui::resolvedFeedUrl(QStringLiteral("http://127.0.0.1:8080/quillory/appcast.xml")));
    for (const char* feed : {"https://updates.quillory.invalid/quillory/appcast.xml", // the placeholder
                             "https://UPDATES.QUILLORY.INVALID/quillory/appcast.xml", "https://invalid/appcast.xml",
                             "not a url", "", "file:///tmp/appcast.xml", "/quillory/appcast.xml",
                             "http://updates.example.org/quillory/appcast.xml", // not secure
                             "ftp://updates.example.org/appcast.xml"}) {
        EXPECT_FALSE(ui::resolvedFeedUrl(QString::fromLatin1(feed))) << feed;
    }
    EXPECT_FALSE(ui::resolvedFeedUrl(ui::compiledFeedUrl())) << "builds carry the placeholder by default";
}

TEST(UpdateFeedTest, VersionsCompareNumerically) {
    EXPECT_GT(ui::compareVersions(QStringLiteral("1.10"), QStringLiteral("1.9")), 0);
    EXPECT_EQ(ui::compareVersions(QStringLiteral("1.2"), QStringLiteral("1.2.0")), 0);
    EXPECT_LT(ui::compareVersions(QStringLiteral("0.9.9"), QStringLiteral("1.0")), 0);
    EXPECT_GT(ui::compareVersions(QStringLiteral("2.0.1"), QStringLiteral("2.0")), 0);
    EXPECT_LT(ui::compareVersions(QStringLiteral("1.0b1"), QStringLiteral("1.0b2")), 0);
    EXPECT_GT(ui::compareVersions(QStringLiteral("1.1"), QStringLiteral("1.0b2")), 0);
    EXPECT_EQ(ui::compareVersions(QStringLiteral(" 3.1 "), QStringLiteral("3.1")), 0);
}

QByteArray appcast(const QByteArray& items) {
    return "<?xml version=\"1.0\"?>\n<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
           "<channel><title>Quillory</title>" + items + "</channel></rss>";
}

TEST(UpdateFeedTest, AppcastGivesItsNewestUsableRelease) {
    QString error;
    const auto release = ui::newestRelease(
        appcast("<item><title>Quillory 1.9</title><sparkle:version>1.9</sparkle:version>"
                "<enclosure url=\"https://dl.example.org/quillory-1.9.tar.gz\"/></item>"
                "<item><title>Quillory 1.10</title><enclosure url=\"https://dl.example.org/quillory-1.10.tar.gz\" "
                "sparkle:version=\"1.10\" sparkle:shortVersionString=\"1.10 (Winter)\"/></item>"
                "<item><title>No version</title><enclosure url=\"https://dl.example.org/x.tar.gz\"/></item>"
                "<item><title>No download</title><sparkle:version>9.0</sparkle:version></item>"
                "<item><sparkle:version>8.0</sparkle:version><link>javascript:alert(1)</link></item>"),
        &error);
    ASSERT_TRUE(release) << error.toStdString();
    EXPECT_EQ(release->version, QStringLiteral("1.10"));
    EXPECT_EQ(release->displayVersion, QStringLiteral("1.10 (Winter)"));
    EXPECT_EQ(release->downloadUrl, QUrl(QStringLiteral("https://dl.example.org/quillory-1.10.tar.gz")));

    const auto linkOnly = ui::newestRelease(
        appcast("<item><sparkle:version>2.0</sparkle:version><link>https://example.org/download</link></item>"), &error);
    ASSERT_TRUE(linkOnly);
    EXPECT_EQ(linkOnly->displayVersion, QStringLiteral("2.0"));
    EXPECT_EQ(linkOnly->downloadUrl, QUrl(QStringLiteral("https://example.org/download")));

    for (const QByteArray& bad : {QByteArray("<rss><channel><item>"), QByteArray("<html>no feed</html>"),
                                  appcast(""), QByteArray()}) {
        error.clear();
        EXPECT_FALSE(ui::newestRelease(bad, &error)) << bad.constData();
        EXPECT_FALSE(error.isEmpty()) << bad.constData();
    }
}

class UpdateCheckerTest : public CoreTest {
protected:
    QString feed() const { return QStringLiteral("http://127.0.0.1:%1/quillory/appcast.xml").arg(server_.port()); }
    UpdateChecker::Result check(UpdateChecker& checker) {
        QSignalSpy finished(&checker, &UpdateChecker::finished);
        checker.checkForUpdates();
        EXPECT_TRUE(finished.wait(5000));
        return finished.isEmpty() ? UpdateChecker::Result{} : finished.first().first().value<UpdateChecker::Result>();
    }
    FakeHttpServer server_;
};

TEST_F(UpdateCheckerTest, BackgroundChecksAreScheduledAndEachIsRefusedWithoutFetching) {
    UpdateChecker checker(feed(), QStringLiteral("1.0"));
    checker.startBackgroundSchedule();
    clock_.advance(UpdateChecker::kFirstBackgroundCheck - 1ms);
    EXPECT_EQ(checker.refusedBackgroundChecks(), 0);
    clock_.advance(1ms);
    EXPECT_EQ(checker.refusedBackgroundChecks(), 1);
    clock_.advance(UpdateChecker::kBackgroundInterval * 3);
    EXPECT_EQ(checker.refusedBackgroundChecks(), 4);
    QTest::qWait(20);
    EXPECT_TRUE(server_.requests().isEmpty());
    // The user's own check is still allowed.
    EXPECT_TRUE(checker.mayPerformCheck(UpdateChecker::CheckKind::userInitiated));
    EXPECT_TRUE(checker.canCheckForUpdates());
}

TEST_F(UpdateCheckerTest, ManualCheckReportsNewerReleaseUpToDateAndFailures) {
    QByteArray body = appcast("<item><sparkle:version>1.2.0</sparkle:version>"
                              "<enclosure url=\"https://dl.example.org/quillory-1.2.0.tar.gz\"/></item>");
    int status = 200;
    server_.setHandler([&](const FakeHttpServer::Request&) {
        return FakeHttpServer::Response{.status = status, .body = body, .contentType = "application/rss+xml"};
    });

    UpdateChecker older(feed(), QStringLiteral("1.1.9"));
    QSignalSpy can(&older, &UpdateChecker::canCheckForUpdatesChanged);
    auto result = check(older);
    EXPECT_EQ(result.outcome, Outcome::updateAvailable);
    EXPECT_EQ(result.release.version, QStringLiteral("1.2.0"));
    ASSERT_EQ(can.size(), 2) << "disabled while the check runs, enabled again after";
    EXPECT_FALSE(can.at(0).first().toBool());
    EXPECT_TRUE(can.at(1).first().toBool());
    ASSERT_EQ(server_.requests().size(), 1);
    EXPECT_EQ(server_.requests().first().path, QByteArray("/quillory/appcast.xml"));
    EXPECT_TRUE(server_.requests().first().headers.value("user-agent").startsWith("Quillory/1.1.9"));
    // The answer dialog points to the download.
    QMessageBox* box = ui::showUpdateResult(result, QStringLiteral("1.1.9"));
    EXPECT_TRUE(box->text().contains(QStringLiteral("1.2.0")));
    EXPECT_EQ(box->buttons().size(), 2);
    box->close();

    UpdateChecker same(feed(), QStringLiteral("1.2"));
    EXPECT_EQ(check(same).outcome, Outcome::upToDate);
    UpdateChecker newer(feed(), QStringLiteral("1.3"));
    EXPECT_EQ(check(newer).outcome, Outcome::upToDate);

    status = 404;
    result = check(older);
    EXPECT_EQ(result.outcome, Outcome::failed);
    EXPECT_TRUE(result.error.contains(QStringLiteral("404"))) << result.error.toStdString();
    status = 200;
    body = "<html>";
    result = check(older);
    EXPECT_EQ(result.outcome, Outcome::failed);
    EXPECT_FALSE(result.error.isEmpty());
    EXPECT_TRUE(older.canCheckForUpdates());
}

TEST_F(UpdateCheckerTest, NoUsableFeedMeansNoCheck) {
    UpdateChecker placeholder(ui::compiledFeedUrl(), QStringLiteral("1.0"));
    EXPECT_FALSE(placeholder.hasFeed());
    EXPECT_FALSE(placeholder.canCheckForUpdates());
    QSignalSpy finished(&placeholder, &UpdateChecker::finished);
    placeholder.checkForUpdates();
    QTest::qWait(20);
    EXPECT_TRUE(finished.isEmpty());
}

TEST_F(UpdateCheckerTest, RefusedConnectionAndUnknownHostReadAsSentencesInTheUsersLanguage) {
    // A loopback port nobody listens on: the connection is refused.
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const quint16 closedPort = probe.serverPort();
    probe.close();
    const QString refusedFeed = QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(closedPort);
    for (const Localization::Language language : {Localization::Language::English, Localization::Language::Japanese}) {
        Localization::setLanguage(language);
        UpdateChecker checker(refusedFeed, QStringLiteral("1.0"));
        EXPECT_TRUE(checker.hasFeed());
        const auto result = check(checker);
        EXPECT_EQ(result.outcome, Outcome::failed);
        EXPECT_EQ(result.error, Localization::text("update.error.refused")) << result.error.toStdString();
        EXPECT_FALSE(result.error.contains(QStringLiteral("Connection refused"))) << "not Qt's own text";
        EXPECT_TRUE(checker.canCheckForUpdates());
    }
    Localization::setLanguage(Localization::Language::Japanese);
    EXPECT_TRUE(ui::describeUpdateFailure(QNetworkReply::ConnectionRefusedError).contains(QStringLiteral("拒否")));
    EXPECT_TRUE(ui::describeUpdateFailure(QNetworkReply::HostNotFoundError).contains(QStringLiteral("見つかりません")));
    Localization::setLanguage(Localization::Language::English);
    // The host-not-found reply of Qt maps to its own sentence (a real lookup of a name that does
    // not exist depends on the machine's resolver, so the mapping is what is checked here).
    EXPECT_EQ(ui::describeUpdateFailure(QNetworkReply::HostNotFoundError),
              QStringLiteral("the update server's address could not be found. Check the network connection."));
    for (const auto other : {QNetworkReply::RemoteHostClosedError, QNetworkReply::ProtocolFailure,
                             QNetworkReply::UnknownNetworkError}) {
        EXPECT_EQ(ui::describeUpdateFailure(other), Localization::text("update.error.network"));
    }
    // Shown in the dialog after "Could not check for updates:".
    UpdateChecker::Result failed;
    failed.error = ui::describeUpdateFailure(QNetworkReply::ConnectionRefusedError);
    QMessageBox* box = ui::showUpdateResult(failed, QStringLiteral("1.0"));
    EXPECT_EQ(box->text(), QStringLiteral("Could not check for updates: the update server refused the connection."));
    box->close();
}

TEST_F(UpdateCheckerTest, ServerThatNeverAnswersTimesOut) {
    server_.setHandler([](const FakeHttpServer::Request&) { return FakeHttpServer::Response{.hang = true}; });
    UpdateChecker checker(feed(), QStringLiteral("1.0"));
    QSignalSpy finished(&checker, &UpdateChecker::finished);
    checker.checkForUpdates();
    ASSERT_TRUE(QTest::qWaitFor([&] { return server_.parkedCount() == 1; }, 5000));
    EXPECT_FALSE(checker.canCheckForUpdates());
    clock_.advance(UpdateChecker::kTimeout - 1ms);
    QTest::qWait(10);
    EXPECT_TRUE(finished.isEmpty());
    clock_.advance(1ms);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !finished.isEmpty(); }, 5000));
    const auto result = finished.first().first().value<UpdateChecker::Result>();
    EXPECT_EQ(result.outcome, Outcome::failed);
    EXPECT_EQ(result.error, Localization::text("update.error.timeout"));
    EXPECT_TRUE(checker.canCheckForUpdates());
}

} // namespace
} // namespace quillory::testing
