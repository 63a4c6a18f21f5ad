#pragma once
// What the Wayland desktop tests share: a wait that keeps the event loop turning, a native
// Wayland text field in another process (tests/desktop/real_target.py or the Qt target window),
// `quillory paste` into it checked end to end, and the pipe microphone's feed (PipeMicrophone.h).

#include "PipeMicrophone.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QElapsedTimer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <unistd.h>
#include <vector>
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
    /// Whether it has the keyboard now.
    bool ready() {
        pump();
        return ready_;
    }
    bool running() const { return process_.state() != QProcess::NotRunning; }
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

/// The native Wayland fields the paste tests type into: a GTK 3 entry (tests/desktop/real_target.py
/// at `script`) and a Qt line edit (the input_target_window program at `window`).
inline std::unique_ptr<WaylandTarget> gtk3Target(const QString& script) {
    return std::make_unique<WaylandTarget>(QStringLiteral("/usr/bin/python3"),
                                           QStringList{script, QStringLiteral("gtk3")},
                                           QStringList{QStringLiteral("GDK_BACKEND=wayland")});
}
inline std::unique_ptr<WaylandTarget> qtTarget(const QString& window) {
    return std::make_unique<WaylandTarget>(window, QStringList{QStringLiteral("-platform"), QStringLiteral("wayland")},
                                           QStringList{});
}

/// Generous for a loaded 2-core machine; every wait polls its condition.
inline constexpr int kDesktopWaitMs = 60000;

/// Runs a program to its end with the event loop turning (this process may serve the clipboard);
/// its stdout, or nullopt when it failed or did not end in time.
inline std::optional<QByteArray> runServing(const QString& program, const QStringList& args,
                                            QByteArray* err = nullptr, int timeoutMs = kDesktopWaitMs) {
    QProcess process;
    process.start(program, args);
    if (!process.waitForStarted(timeoutMs)) {
        return std::nullopt;
    }
    if (!pollUntil([&] { return process.state() == QProcess::NotRunning; }, timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        return std::nullopt;
    }
    if (err) {
        *err = process.readAllStandardError();
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        return std::nullopt;
    }
    return process.readAllStandardOutput();
}

/// What another client reads from the clipboard (wl-paste hangs on an empty one: bounded).
inline std::optional<QByteArray> wlPaste(const QString& type = QStringLiteral("text/plain;charset=utf-8")) {
    return runServing(QStringLiteral("timeout"),
                      {QStringLiteral("10"), QStringLiteral("wl-paste"), QStringLiteral("-n"), QStringLiteral("-t"), type});
}
/// The types the clipboard offers.
inline QStringList wlPasteTypes() {
    const auto out = runServing(QStringLiteral("timeout"),
                                {QStringLiteral("10"), QStringLiteral("wl-paste"), QStringLiteral("-l")});
    return out ? QString::fromUtf8(*out).split(QLatin1Char('\n'), Qt::SkipEmptyParts) : QStringList();
}
/// Copies as another client does (wl-copy forks a server and returns once the compositor has its
/// selection).
inline bool wlCopy(const QByteArray& text, const QString& type = QStringLiteral("text/plain;charset=utf-8")) {
    QProcess copy;
    copy.start(QStringLiteral("wl-copy"), {QStringLiteral("-t"), type});
    if (!copy.waitForStarted(kDesktopWaitMs)) {
        return false;
    }
    copy.write(text);
    copy.closeWriteChannel();
    return copy.waitForFinished(kDesktopWaitMs) && copy.exitCode() == 0;
}

/// `quillory paste` (the program at `quillory`) into `target`: the words land exactly once, the
/// field keeps the keyboard, and the user's clipboard comes back.
inline void expectQuilloryPasteLandsOnce(const QString& quillory, WaylandTarget& target) {
    ASSERT_TRUE(target.waitReady()) << "the field never got the keyboard:\n" << target.transcript();
    const QByteArray users = QStringLiteral("ユーザーの大事なクリップボード").toUtf8();
    ASSERT_TRUE(wlCopy(users));

    const QString dictated = QStringLiteral("音声入力の文章です。");
    QByteArray err;
    const auto out = runServing(quillory, {QStringLiteral("paste"), dictated}, &err);
    ASSERT_TRUE(out) << "quillory paste failed: " << err.toStdString();
    EXPECT_TRUE(out->contains("with Ctrl+V")) << out->toStdString();
    ASSERT_TRUE(pollUntil([&] { return target.text() == dictated; }, kDesktopWaitMs))
        << "arrived: \"" << target.text().toStdString() << "\"\n"
        << target.transcript() << err.toStdString();
    ASSERT_TRUE(pollUntil([&] { return wlPaste() == users; }, kDesktopWaitMs))
        << "the clipboard holds: " << wlPaste().value_or("<none>").toStdString();

    // Exactly once, and the field kept the keyboard.
    QElapsedTimer settle;
    settle.start();
    (void)pollUntil([&] { return settle.elapsed() > 1500; }, kDesktopWaitMs);
    EXPECT_EQ(target.text(), dictated);
    EXPECT_EQ(target.focusLosses(), 0) << target.transcript();
}

} // namespace quillory::test
