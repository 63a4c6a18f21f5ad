#pragma once

// Serving model files as the hosting service does, for download tests and benchmarks.

#include <QByteArray>
#include <QCryptographicHash>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace quillory::testing {

/// The header lines with which the hosting service announces a file's SHA-256 and size.
inline QByteArray hostedDigestHeaders(const QByteArray& body) {
    return "X-Linked-Etag: \"" + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex() +
           "\"\r\nX-Linked-Size: " + QByteArray::number(body.size()) + "\r\n";
}

/// An HTTP/1.1 server on its own thread that answers every GET with `bodyBytes` of a repeating
/// pattern, written as fast as the client takes it (no buffering here: only the socket's). The
/// process's memory then shows only what the client keeps. It notes when it could not write for
/// `stallAfterMs` in a row: the client has stopped reading.
class StreamingHttpServer {
public:
    explicit StreamingHttpServer(qint64 bodyBytes, int stallAfterMs = 200)
        : bodyBytes_(bodyBytes), stallAfterMs_(stallAfterMs) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~StreamingHttpServer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    StreamingHttpServer(const StreamingHttpServer&) = delete;
    StreamingHttpServer& operator=(const StreamingHttpServer&) = delete;

    int port() const { return port_; }
    /// Body bytes written so far (over every connection).
    qint64 sent() const { return sent_; }
    /// Whether the client has left the socket full for `stallAfterMs`.
    bool stalled() const { return stalled_; }
    /// Whether a connection was closed by the client before its body was complete.
    bool clientClosed() const { return clientClosed_; }

private:
    bool waitFor(int fd, short events) {
        while (!stop_) {
            pollfd p{fd, events, 0};
            const int n = ::poll(&p, 1, 20);
            if (n > 0) {
                return true;
            }
            if (n < 0 && errno != EINTR) {
                return false;
            }
        }
        return false;
    }
    void serve() {
        while (waitFor(listener_, POLLIN)) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                answer(fd);
                ::close(fd);
            }
        }
    }
    void answer(int fd) {
        QByteArray request;
        char buffer[4096];
        while (!request.contains("\r\n\r\n")) {
            if (!waitFor(fd, POLLIN)) {
                return;
            }
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return;
            }
            request.append(buffer, n);
        }
        QByteArray block(1 << 20, Qt::Uninitialized);
        for (int i = 0; i < block.size(); ++i) {
            block[i] = char('a' + i % 26);
        }
        const QByteArray head =
            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
            QByteArray::number(bodyBytes_) + "\r\nConnection: close\r\n\r\n";
        if (!writeAll(fd, head.constData(), head.size(), false)) {
            return;
        }
        qint64 left = bodyBytes_;
        while (left > 0 && !stop_) {
            const qint64 n = std::min<qint64>(left, block.size());
            if (!writeAll(fd, block.constData(), n, true)) {
                clientClosed_ = !stop_;
                return;
            }
            left -= n;
        }
    }
    bool writeAll(int fd, const char* data, qint64 size, bool body) {
        while (size > 0) {
            const ssize_t n = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
            if (n > 0) {
                data += n;
                size -= n;
                if (body) {
                    sent_ += n;
                }
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                return false;
            }
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, stallAfterMs_) == 0) {
                stalled_ = true;
            }
            if (stop_) {
                return false;
            }
        }
        return true;
    }

    qint64 bodyBytes_;
    int stallAfterMs_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<qint64> sent_{0};
    std::atomic<bool> stalled_{false};
    std::atomic<bool> clientClosed_{false};
    std::thread thread_;
};

} // namespace quillory::testing
