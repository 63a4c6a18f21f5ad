#pragma once
// What the Wayland desktop tests share: a wait that keeps the event loop turning, and a native
// Wayland text field in another process (tests/desktop/real_target.py or the Qt target window).

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QThread>

#include <functional>
#include <string>

namespace quillory::test {

/// Polls `done` with the event loop turning until it holds or `timeoutMs` ran out.
inline bool pollUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs) {
            return done();
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return true;
}

/// A native Wayland text field (never XWayland) that reports "ready" / "inactive" as it gets and
/// loses the keyboard, and "text <ns> <base64>" after each change.
class WaylandTarget {
public:
    WaylandTarget(const QString& program, const QStringList& args, const QStringList& env) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString& pair : env) {
            environment.insert(pair.section(QLatin1Char('='), 0, 0), pair.section(QLatin1Char('='), 1));
        }
        environment.remove(QStringLiteral("DISPLAY")); // native Wayland only, never XWayland
        process_.setProcessEnvironment(environment);
        process_.setProcessChannelMode(QProcess::SeparateChannels);
        process_.start(program, args);
    }
    ~WaylandTarget() {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(3000)) {
            process_.kill();
            process_.waitForFinished(3000);
        }
    }
    void pump() {
        buffer_ += process_.readAllStandardOutput();
        qsizetype end;
        while ((end = buffer_.indexOf('\n')) >= 0) {
            const QByteArray line = buffer_.left(end);
            buffer_.remove(0, end + 1);
            transcript_ += line + '\n';
            if (line == "ready") {
                ready_ = true;
            } else if (line == "inactive") {
                ready_ = false;
                ++focusLosses_;
            } else if (line.startsWith("text ")) {
                text_ = QString::fromUtf8(QByteArray::fromBase64(line.split(' ').value(2)));
            }
        }
    }
    bool waitReady() {
        return pollUntil([&] {
            pump();
            return ready_ || process_.state() == QProcess::NotRunning;
        }, 60000) && ready_;
    }
    qint64 pid() const { return process_.processId(); }
    /// How often it lost the keyboard.
    int focusLosses() {
        pump();
        return focusLosses_;
    }
    QString text() {
        pump();
        return text_;
    }
    std::string transcript() {
        pump();
        return (transcript_ + process_.readAllStandardError()).toStdString();
    }

private:
    QProcess process_;
    QByteArray buffer_;
    QByteArray transcript_;
    bool ready_ = false;
    int focusLosses_ = 0;
    QString text_;
};

} // namespace quillory::test
