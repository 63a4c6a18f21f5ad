#pragma once
// Speech for the desktop session's pipe microphone (scripts/desktop-session.sh names the pipe in
// QUILLORY_TEST_PIPE_SOURCE): a speech fixture's samples, written in one go while the event loop
// keeps turning.

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quillory::test {

/// The samples of a 16-bit mono WAV file as floats.
inline std::vector<float> wavSamples(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QByteArray bytes = file.readAll();
    const qsizetype data = bytes.indexOf("data");
    if (data < 0) return {};
    std::vector<float> samples;
    for (qsizetype i = data + 8; i + 1 < bytes.size(); i += 2) {
        samples.push_back(float(qint16(quint8(bytes[i]) | (quint8(bytes[i + 1]) << 8))) / 32768.0f);
    }
    return samples;
}

/// Writes the samples into the pipe microphone in one go (the pipe widened to hold them, so a
/// loaded machine leaves no gap the recogniser could take for a pause).
inline bool feedPipeMicrophone(const std::vector<float>& samples) {
    const int fd = ::open(qgetenv("QUILLORY_TEST_PIPE_SOURCE").constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const std::size_t bytes = samples.size() * sizeof(float);
    (void)::fcntl(fd, F_SETPIPE_SZ, int(std::min<std::size_t>(bytes + 4096, 1 << 20)));
    const char* data = reinterpret_cast<const char*>(samples.data());
    std::size_t written = 0;
    while (written < bytes) {
        const ssize_t done = ::write(fd, data + written, bytes - written); // blocks while the pipe is full
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break;
        written += std::size_t(done);
    }
    ::close(fd);
    return written == bytes;
}

/// Feeds the samples from a thread of its own while this one keeps its event loop turning (the
/// app under test may wait on this process, e.g. for the clipboard); true when the pipe took them
/// all.
inline bool speakIntoPipeMicrophone(const std::vector<float>& samples, int timeoutMs = 60000) {
    std::atomic<bool> fed{false};
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        fed = feedPipeMicrophone(samples);
        done = true;
    });
    QElapsedTimer timer;
    timer.start();
    while (!done && timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    feeder.join();
    return fed;
}

} // namespace quillory::test
