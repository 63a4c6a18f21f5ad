#pragma once

#include "Runtime/Scheduler.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QList>
#include <QMap>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>
#include <memory>
#include <utility>

namespace quillory::testing {

/// A small HTTP/1.1 server inside the test process answering canned responses.
class FakeHttpServer : public QObject {
public:
    struct Request {
        QByteArray method;
        QByteArray path;
        QMap<QByteArray, QByteArray> headers; // lower-case names
        QByteArray body;
    };
    struct Response {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/json";
        /// Further header lines, each ending in CRLF ("Location: …\r\n").
        QByteArray extraHeaders;
        /// Never answer (the connection stays open).
        bool hang = false;
        /// Answer only when the test calls `release()` (the connection stays open until then).
        bool hold = false;
        /// Send the headers (with the full Content-Length) and only this many body bytes, then
        /// keep the connection open (`closeAfterPartial` false) or close it.
        qsizetype partialBytes = -1;
        bool closeAfterPartial = false;
    };
    using Handler = std::function<Response(const Request&)>;

    explicit FakeHttpServer(Handler handler = {}) : handler_(std::move(handler)) {
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { accept(); });
        server_.listen(QHostAddress::LocalHost, 0);
        live().append(this);
    }
    ~FakeHttpServer() override { live().removeOne(this); }

    /// Requests that this server has received and deliberately leaves unanswered for now
    /// (`hang`, `hold`, or a partial body on an open connection) and whose client is still
    /// connected. Nothing more will happen to them until the test (or the client) acts.
    int parkedCount() const {
        int n = 0;
        for (const auto& s : parked_) {
            n += s && s->state() == QAbstractSocket::ConnectedState ? 1 : 0;
        }
        return n;
    }
    /// The parked requests of every server alive in the process.
    static int parkedEverywhere() {
        int n = 0;
        for (const FakeHttpServer* server : live()) {
            n += server->parkedCount();
        }
        return n;
    }
    /// Answers the held requests with their responses (without `hold`).
    void release() {
        const auto held = std::exchange(held_, {});
        for (const auto& [socket, response] : held) {
            if (socket) {
                parked_.removeAll(socket);
                Response r = response;
                r.hold = false;
                respond(socket, r);
            }
        }
    }
    int heldCount() const { return static_cast<int>(held_.size()); }
    void setHandler(Handler handler) { handler_ = std::move(handler); }
    int port() const { return server_.serverPort(); }
    const QList<Request>& requests() const { return requests_; }
    /// Connections accepted so far.
    int connections() const { return connections_; }
    int count(const QByteArray& path) const {
        int n = 0;
        for (const auto& r : requests_) {
            n += r.path == path ? 1 : 0;
        }
        return n;
    }

private:
    void accept() {
        while (QTcpSocket* socket = server_.nextPendingConnection()) {
            ++connections_;
            socket->setParent(this);
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                buffer->append(socket->readAll());
                for (;;) {
                    const qsizetype end = buffer->indexOf("\r\n\r\n");
                    if (end < 0) {
                        return;
                    }
                    Request r;
                    const QList<QByteArray> lines = buffer->left(end).split('\n');
                    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
                    r.method = first.value(0);
                    r.path = first.value(1);
                    for (int i = 1; i < lines.size(); ++i) {
                        const qsizetype colon = lines[i].indexOf(':');
                        if (colon > 0) {
                            r.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                             lines[i].mid(colon + 1).trimmed());
                        }
                    }
                    const qsizetype length = r.headers.value("content-length", "0").toLongLong();
                    if (buffer->size() < end + 4 + length) {
                        return;
                    }
                    r.body = buffer->mid(end + 4, length);
                    buffer->remove(0, end + 4 + length);
                    requests_ << r;
                    respond(socket, handler_ ? handler_(r) : Response{});
                }
            });
        }
    }

    static QList<FakeHttpServer*>& live() {
        static QList<FakeHttpServer*> servers;
        return servers;
    }

    void respond(QTcpSocket* socket, const Response& response) {
        if (response.hang || response.hold) {
            parked_ << socket;
            if (response.hold) {
                held_.append({socket, response});
            }
            return;
        }
        QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " X\r\n";
        head += "Content-Type: " + response.contentType + "\r\n";
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        head += response.extraHeaders;
        head += "Connection: close\r\n\r\n";
        if (response.partialBytes >= 0) {
            socket->write(head + response.body.left(response.partialBytes));
            socket->flush();
            if (response.closeAfterPartial) {
                socket->disconnectFromHost();
            } else {
                parked_ << socket;
            }
            return;
        }
        socket->write(head + response.body);
        socket->disconnectFromHost();
    }

    QTcpServer server_;
    Handler handler_;
    QList<Request> requests_;
    int connections_ = 0;
    QList<QPointer<QTcpSocket>> parked_;
    QList<std::pair<QPointer<QTcpSocket>, Response>> held_;
};

/// Runs real events until `done`: real I/O while a request is on its way to `server` and it has
/// not parked it; otherwise `clock` jumps to its next piece of scheduled work (a time limit).
/// Bounded in both; false when `done` never held.
inline bool pumpWithServer(VirtualScheduler& clock, const FakeHttpServer* server, const std::function<bool()>& done) {
    const auto waitReal = [](int ms) {
        QTimer wake;
        wake.setSingleShot(true);
        wake.start(ms);
        QEventLoop loop;
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    };
    QElapsedTimer real;
    real.start();
    while (!done() && real.elapsed() < 60'000) {
        clock.runPending();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (done()) {
            break;
        }
        const bool parked = server && server->parkedCount() > 0;
        if (!parked && real.elapsed() < 20'000) {
            waitReal(5);
        } else if (!clock.runNext()) {
            waitReal(5);
        }
    }
    return done();
}

} // namespace quillory::testing
