#include "Input/wayland/PipeWriter.h"

#include "Runtime/Log.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace quillory::input {

PipeWriter::PipeWriter(int fd, QByteArray bytes, std::chrono::milliseconds limit, QObject* parent,
                       std::function<void(bool)> done)
    : QObject(parent), fd_(fd), bytes_(std::move(bytes)), done_(std::move(done)) {
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
    connect(notifier_, &QSocketNotifier::activated, this, &PipeWriter::writeSome);
    QTimer::singleShot(limit, this, [this, limit] {
        qCWarning(lcInput, "A client did not read the clipboard within %lld ms", qint64(limit.count()));
        finish(false);
    });
    writeSome();
}

PipeWriter::~PipeWriter() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void PipeWriter::writeSome() {
    while (written_ < bytes_.size()) {
        const ssize_t n = ::write(fd_, bytes_.constData() + written_, size_t(bytes_.size() - written_));
        if (n > 0) {
            written_ += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            return; // the notifier calls again when the reader has taken some
        } else {
            break; // the reader went away
        }
    }
    finish(written_ == bytes_.size());
}

void PipeWriter::finish(bool complete) {
    if (fd_ < 0) {
        return;
    }
    notifier_->setEnabled(false);
    ::close(fd_);
    fd_ = -1;
    if (auto done = std::exchange(done_, nullptr)) {
        done(complete);
    }
    deleteLater();
}

} // namespace quillory::input
