#include "ui/app/AppShellTestSupport.h"

#include "Cli/Cli.h"
#include "Cli/RemoteChannel.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace quillory::testing {
namespace {

class RemoteControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        path_ = dir_.path() + QStringLiteral("/quillory/app.socket");
        server_ = std::make_unique<remote::Server>(
            [this](const QString& c) { return ui::handleRemoteCommand(c, session_, windows_); });
    }

    /// The client blocks, the server answers on this thread's loop: the client runs on another
    /// thread while this one serves.
    remote::Reply ask(const QString& command, const QString& path = {}) {
        auto reply = std::async(std::launch::async, [&] { return remote::send(command, path.isEmpty() ? path_ : path, 2000); });
        EXPECT_TRUE(QTest::qWaitFor([&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 5000));
        return reply.get();
    }

    QTemporaryDir dir_;
    QString path_;
    FakeAppWindows windows_;
    FakeSessionControl session_;
    std::unique_ptr<remote::Server> server_;
};

TEST_F(RemoteControlTest, EachCommandReachesItsSessionOperation) {
    ASSERT_EQ(server_->listen(path_), remote::Server::Listen::listening);
    EXPECT_EQ(QFileInfo(dir_.path() + QStringLiteral("/quillory")).permissions() & (QFile::ReadGroup | QFile::ReadOther), 0)
        << "the socket's folder is private";
    for (const char* command : {"toggle", "press", "release", "cancel", "undo"}) {
        const auto reply = ask(QString::fromLatin1(command));
        EXPECT_EQ(reply.kind, remote::Reply::Kind::ok) << command;
        EXPECT_TRUE(reply.text.isEmpty()) << "nothing to print on success: " << command;
    }
    EXPECT_EQ(session_.calls, (QStringList{"toggle", "press", "release", "cancel", "undo"}));

    const auto settings = ask(QStringLiteral("settings"));
    EXPECT_EQ(settings.kind, remote::Reply::Kind::ok);
    EXPECT_EQ(windows_.shown, 1);

    session_.status = QStringLiteral("recording");
    const auto status = ask(QStringLiteral("status"));
    EXPECT_EQ(status.kind, remote::Reply::Kind::ok);
    EXPECT_EQ(status.text, QStringLiteral("recording"));
}

TEST_F(RemoteControlTest, RefusalsAreClearAndChangeNothing) {
    ASSERT_EQ(server_->listen(path_), remote::Server::Listen::listening);
    const auto unknown = ask(QStringLiteral("format-disk"));
    EXPECT_EQ(unknown.kind, remote::Reply::Kind::error);
    EXPECT_TRUE(unknown.text.contains(QStringLiteral("format-disk")));

    session_.isAvailable = false;
    const auto unavailable = ask(QStringLiteral("toggle"));
    EXPECT_EQ(unavailable.kind, remote::Reply::Kind::error);
    EXPECT_FALSE(unavailable.text.isEmpty());
    // The settings window opens even while dictation is not available.
    EXPECT_EQ(ask(QStringLiteral("settings")).kind, remote::Reply::Kind::ok);
    EXPECT_TRUE(session_.calls.isEmpty());
    // A server that cannot quit says so rather than pretending.
    EXPECT_EQ(ask(QStringLiteral("quit")).kind, remote::Reply::Kind::error);
}

TEST_F(RemoteControlTest, OneOwnerPerSocketAndAStaleSocketIsTakenOver) {
    // Nobody listens: the client says so.
    EXPECT_EQ(remote::send(QStringLiteral("toggle"), path_, 500).kind, remote::Reply::Kind::noApp);

    // A socket file left behind by a crashed run: bound, then closed without removing it.
    QDir().mkpath(QFileInfo(path_).absolutePath());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray native = QFile::encodeName(path_);
    std::memcpy(address.sun_path, native.constData(), native.size());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    ASSERT_TRUE(QFileInfo::exists(path_));
    EXPECT_EQ(remote::send(QStringLiteral("toggle"), path_, 500).kind, remote::Reply::Kind::noApp);

    ASSERT_EQ(server_->listen(path_), remote::Server::Listen::listening);
    EXPECT_EQ(ask(QStringLiteral("toggle")).kind, remote::Reply::Kind::ok);

    // A second app finds the first one alive and leaves its socket alone.
    remote::Server second([](const QString&) { return remote::Server::Result{}; });
    EXPECT_EQ(second.listen(path_), remote::Server::Listen::anotherInstance);
    EXPECT_EQ(ask(QStringLiteral("toggle")).kind, remote::Reply::Kind::ok);
    EXPECT_EQ(session_.calls.size(), 2);

    // Closing removes the socket: the next client finds no app.
    server_->close();
    EXPECT_FALSE(QFileInfo::exists(path_));
}

TEST_F(RemoteControlTest, SocketFolderMustBeThisUsersAndPrivate) {
    const QString folder = dir_.path() + QStringLiteral("/quillory");
    ASSERT_TRUE(QDir().mkpath(folder));
    ::chmod(QFile::encodeName(folder).constData(), 0755);
    QString error;
    EXPECT_TRUE(remote::prepareSocketFolder(path_, &error)) << error.toStdString();
    struct stat st {};
    ::stat(QFile::encodeName(folder).constData(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A file where the folder should be is refused, not followed.
    const QString blocked = dir_.path() + QStringLiteral("/file");
    QFile f(blocked);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    EXPECT_FALSE(remote::prepareSocketFolder(blocked + QStringLiteral("/app.socket"), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(server_->listen(blocked + QStringLiteral("/app.socket")), remote::Server::Listen::failed);
}

TEST_F(RemoteControlTest, CommandLineIsSilentOnSuccessAndFailsClearlyWithoutApp) {
    qputenv("QUILLORY_APP_SOCKET", path_.toLocal8Bit());
    auto runCli = [&](const QStringList& args, QString& out, QString& err) {
        auto result = std::async(std::launch::async, [&] {
            QTextStream o(&out), e(&err);
            cli::Io io{o, e};
            return cli::run(args, io);
        });
        EXPECT_TRUE(QTest::qWaitFor([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 8000));
        return result.get();
    };
    QString out, err;
    EXPECT_EQ(runCli({QStringLiteral("toggle")}, out, err), cli::Failure);
    EXPECT_TRUE(out.isEmpty());
    EXPECT_EQ(err, QStringLiteral("Quillory is not running. Start it with 'quillory' first.\n"));

    ASSERT_EQ(server_->listen(path_), remote::Server::Listen::listening);
    out.clear();
    err.clear();
    EXPECT_EQ(runCli({QStringLiteral("toggle")}, out, err), cli::Ok);
    EXPECT_EQ(runCli({QStringLiteral("settings")}, out, err), cli::Ok);
    EXPECT_TRUE(out.isEmpty() && err.isEmpty()) << out.toStdString() << err.toStdString();
    EXPECT_EQ(windows_.shown, 1);
    EXPECT_EQ(runCli({QStringLiteral("status")}, out, err), cli::Ok);
    EXPECT_EQ(out, QStringLiteral("idle\n"));
    EXPECT_EQ(runCli({QStringLiteral("toggle"), QStringLiteral("extra")}, out, err), cli::Usage);
    session_.isAvailable = false;
    err.clear();
    EXPECT_EQ(runCli({QStringLiteral("press")}, out, err), cli::Failure);
    EXPECT_TRUE(err.startsWith(QStringLiteral("The running Quillory refused the request: "))) << err.toStdString();
    EXPECT_EQ(session_.calls, QStringList{QStringLiteral("toggle")});
    qunsetenv("QUILLORY_APP_SOCKET");
}

} // namespace
} // namespace quillory::testing
