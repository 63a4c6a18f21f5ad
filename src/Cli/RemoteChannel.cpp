#include "Cli/RemoteChannel.h"

#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QPointer>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace quillory::remote {

namespace {
constexpr qint64 kMaxLine = 4096;

QString usableRuntimeDir() {
    const QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty() || !QDir::isAbsolutePath(dir)) {
        return {};
    }
    struct stat st {};
    if (::stat(QFile::encodeName(dir).constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
        return {};
    }
    return dir;
}
} // namespace

QString socketPath() {
    if (const QString forced = qEnvironmentVariable("QUILLORY_APP_SOCKET"); !forced.isEmpty()) {
        return forced;
    }
    const QString runtime = usableRuntimeDir();
    if (!runtime.isEmpty()) {
        return runtime + QStringLiteral("/quillory/app.socket");
    }
    return QStringLiteral("/tmp/quillory-%1/app.socket").arg(::getuid());
}

bool prepareSocketFolder(const QString& socket, QString* error) {
    const QString folder = QFileInfo(socket).absolutePath();
    const QByteArray native = QFile::encodeName(folder);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST) {
        if (error) *error = QStringLiteral("cannot create %1: %2").arg(folder, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid()) {
        if (error) *error = QStringLiteral("%1 is not a folder of this user").arg(folder);
        return false;
    }
    if ((st.st_mode & 0077) != 0 && ::chmod(native.constData(), 0700) != 0) {
        if (error) *error = QStringLiteral("cannot make %1 private").arg(folder);
        return false;
    }
    return true;
}

Reply send(const QString& command, const QString& path, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(timeoutMs)) {
        return {};
    }
    socket.write(command.toUtf8() + '\n');
    if (!socket.waitForBytesWritten(timeoutMs)) {
        return {};
    }
    QByteArray line;
    while (!line.contains('\n') && line.size() < kMaxLine) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(timeoutMs)) {
            break;
        }
        line += socket.readAll();
    }
    if (!line.contains('\n')) {
        return {};
    }
    const QString text = QString::fromUtf8(line.left(line.indexOf('\n')));
    if (text == QLatin1String("ok")) {
        return {Reply::Kind::ok, {}};
    }
    if (text.startsWith(QLatin1String("ok "))) {
        return {Reply::Kind::ok, text.mid(3)};
    }
    if (text.startsWith(QLatin1String("error "))) {
        return {Reply::Kind::error, text.mid(6)};
    }
    return {Reply::Kind::error, QStringLiteral("unreadable reply from the running app: %1").arg(text)};
}

Server::Server(Handler handler, QObject* parent) : QObject(parent), handler_(std::move(handler)) {
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, &Server::accept);
}

Server::~Server() {
    close();
}

void Server::close() {
    if (server_.isListening()) {
        server_.close(); // removes the socket file
    }
}

Server::Listen Server::listen(const QString& path, QString* error) {
    if (!prepareSocketFolder(path, error)) {
        return Listen::failed;
    }
    if (QFileInfo::exists(path)) {
        QLocalSocket probe;
        probe.connectToServer(path);
        if (probe.waitForConnected(500)) {
            probe.abort();
            return Listen::anotherInstance;
        }
        QLocalServer::removeServer(path); // left by a run that ended without closing it
    }
    if (!server_.listen(path)) {
        if (error) *error = server_.errorString();
        return Listen::failed;
    }
    return Listen::listening;
}

void Server::accept() {
    while (QLocalSocket* socket = server_.nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (socket->property("answered").toBool()) {
                return;
            }
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaxLine) {
                    socket->abort();
                }
                return;
            }
            socket->setProperty("answered", true);
            const QString command = QString::fromUtf8(socket->readLine(kMaxLine)).trimmed();
            QPointer<QLocalSocket> guard(socket);
            const Result result = handler_ ? handler_(command) : Result{false, QStringLiteral("not ready")};
            if (!guard) {
                return;
            }
            QByteArray reply = result.ok ? QByteArrayLiteral("ok") : QByteArrayLiteral("error");
            if (!result.text.isEmpty() || !result.ok) {
                reply += ' ' + result.text.simplified().toUtf8();
            }
            socket->write(reply + '\n');
            socket->flush();
            socket->disconnectFromServer();
        });
    }
}

} // namespace quillory::remote
