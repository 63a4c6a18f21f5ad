#pragma once

// The test's side of tests/desktop/InputTargetWindow.cpp: starts it, sends commands, reads what
// reached its line edit. Used by the desktop tests and the input benchmark.
#include <QByteArray>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QTest>

#include <ctime>

namespace quillory::test {

inline qint64 monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

/// The second application (tests/desktop/InputTargetWindow.cpp), driven over its pipes.
class TargetWindow {
public:
    explicit TargetWindow(const QStringList& args = {}, const QString& program = QStringLiteral(QUILLORY_INPUT_TARGET_WINDOW)) {
        process_.setProgram(program);
        process_.setArguments(args);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start();
        if (!process_.waitForStarted(5000)) {
            return;
        }
        // Ready when the keyboard focus stays with the window (on a busy machine the window
        // manager may still be handing it around as the window appears).
        for (int attempt = 0; attempt < 3 && !ready_; ++attempt) {
            if (attempt > 0) {
                send("focus");
            }
            if (waitForLine([](const QByteArray& l) { return l == "ready"; })) {
                ready_ = !waitForLine([](const QByteArray& l) { return l == "inactive"; }, 150);
            }
        }
    }
    ~TargetWindow() {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(3000)) {
            process_.kill();
            process_.waitForFinished(1000);
        }
    }
    bool ready() const { return ready_; }
    qint64 pid() const { return process_.processId(); }

    void send(const QByteArray& command, const QString& argument = {}) {
        process_.write(command + ' ' + argument.toUtf8().toBase64() + '\n');
        process_.waitForBytesWritten(1000);
    }
    bool request(const QByteArray& command, const QByteArray& answer, const QString& argument = {}) {
        send(command, argument);
        return waitForLine([&](const QByteArray& l) { return l == answer; });
    }

    /// Waits (a few seconds at most) until a line matching `match` arrives; earlier lines are kept.
    /// The event loop runs meanwhile without pauses, so this process answers clipboard requests
    /// of the target at once.
    template <typename Match>
    bool waitForLine(Match match, int timeoutMs = 5000) {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            while (process_.canReadLine()) {
                const QByteArray line = process_.readLine().trimmed();
                lines_ << line;
                if (line.startsWith("text ")) {
                    text_ = QString::fromUtf8(QByteArray::fromBase64(line.split(' ').value(2)));
                    textNs_ = line.split(' ').value(1).toLongLong();
                }
                if (match(line)) {
                    return true;
                }
            }
            const qint64 left = timeoutMs - clock.elapsed();
            if (left <= 0 || process_.state() == QProcess::NotRunning) {
                return false;
            }
            QEventLoop loop;
            QObject::connect(&process_, &QProcess::readyReadStandardOutput, &loop, &QEventLoop::quit);
            QObject::connect(&process_, &QProcess::finished, &loop, &QEventLoop::quit);
            QTimer::singleShot(int(left), &loop, &QEventLoop::quit);
            loop.exec();
        }
    }
    bool waitForText(const QString& text, int timeoutMs = 5000) {
        return text_ == text || waitForLine([&](const QByteArray&) { return text_ == text; }, timeoutMs);
    }
    /// The clipboard as this other client reads it: format → bytes.
    QMap<QString, QByteArray> clipboard() {
        QMap<QString, QByteArray> formats;
        send("dump");
        waitForLine([&](const QByteArray& l) {
            if (l.startsWith("clip ")) {
                formats.insert(QString::fromUtf8(l.split(' ').value(1)), QByteArray::fromBase64(l.split(' ').value(2)));
            }
            return l == "end";
        });
        return formats;
    }
    QString text() const { return text_; }
    /// Everything the target said, for failure messages.
    std::string transcript() const { return QByteArrayList(lines_).join(" | ").toStdString(); }
    qint64 textNs() const { return textNs_; }
    QList<QByteArray> keyLines() const {
        QList<QByteArray> keys;
        for (const QByteArray& l : lines_) {
            if (l.startsWith("key ")) {
                keys << l.mid(4);
            }
        }
        return keys;
    }

private:
    QProcess process_;
    bool ready_ = false;
    QList<QByteArray> lines_;
    QString text_;
    qint64 textNs_ = 0;
};

} // namespace quillory::test
