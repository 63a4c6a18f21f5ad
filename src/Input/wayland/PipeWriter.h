#pragma once

#include <QByteArray>
#include <QObject>

#include <chrono>
#include <functional>

class QSocketNotifier;

namespace quillory::input {

/// Hands our clipboard data to a reader through a pipe as the reader takes it, then closes the
/// pipe; gives up after `limit`. Never blocks the main thread. Deletes itself when done, after
/// calling `done` (true: every byte was taken).
class PipeWriter final : public QObject {
public:
    PipeWriter(int fd, QByteArray bytes, std::chrono::milliseconds limit, QObject* parent,
               std::function<void(bool complete)> done = {});
    ~PipeWriter() override;

private:
    void writeSome();
    void finish(bool complete);

    int fd_;
    QByteArray bytes_;
    qsizetype written_ = 0;
    QSocketNotifier* notifier_ = nullptr;
    std::function<void(bool)> done_;
};

} // namespace quillory::input
