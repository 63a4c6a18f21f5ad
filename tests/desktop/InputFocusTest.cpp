// Reading the focused field over the accessibility bus on a real desktop with real toolkits: a
// GTK3 program on the desktop never freezes the reader, every read gives up within its bound,
// and a frozen application or a frozen accessibility bus costs at most that bound.
#include "InputTargetClient.h"

#include "Input/TextInjector.h"
#include "Input/atspi/AtspiFocus.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <signal.h>

using namespace quillory;
using namespace quillory::input;
using namespace std::chrono_literals;
using quillory::test::monotonicNs;
using quillory::test::TargetWindow;

namespace {

/// Ends the whole run with a failure when a step does not return in time: a read that hangs for
/// good would otherwise leave the test run stuck instead of failing.
class HangGuard {
public:
    HangGuard(std::chrono::seconds limit, const char* what)
        : thread_([this, limit, what] {
              std::unique_lock lock(mutex_);
              if (!done_.wait_for(lock, limit, [&] { return finished_; })) {
                  std::fprintf(stderr, "FAILED: %s did not return within %lld s (hung)\n", what,
                               static_cast<long long>(limit.count()));
                  std::fflush(stderr);
                  std::_Exit(3);
              }
          }) {}
    ~HangGuard() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

/// A GTK3 dialog with a text entry (zenity), shown on the desktop until destroyed.
class GtkEntryDialog {
public:
    explicit GtkEntryDialog(const QString& text) {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QStringLiteral("zenity"), {"--entry", "--title", title(), "--text", "GTK entry",
                                                  "--entry-text", text});
    }
    ~GtkEntryDialog() {
        ::kill(pid_t(process_.processId()), SIGCONT);
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(2000);
        }
    }
    static QString title() { return QStringLiteral("gtk entry dialog"); }
    /// Waits (generously: a loaded machine starts GTK slowly) until the dialog is mapped.
    bool shown() {
        return QTest::qWaitFor(
            [&] {
                if (process_.state() == QProcess::NotRunning) {
                    return false;
                }
                QProcess tree;
                tree.start(QStringLiteral("xwininfo"), {"-root", "-tree"});
                tree.waitForFinished(10000);
                return tree.readAllStandardOutput().contains(title().toUtf8());
            },
            30000);
    }
    qint64 pid() const { return process_.processId(); }

private:
    QProcess process_;
};

qint64 elapsedMs(qint64 sinceNs) { return (monotonicNs() - sinceNs) / 1'000'000; }

/// Generous slack over a read's bound for a loaded 2-core machine: a read that waits on a stuck
/// peer without a bound takes 25 s (the D-Bus default) or forever.
constexpr qint64 kSlackMs = 4000;

} // namespace

TEST(DesktopFocus, AGtkProgramOnTheDesktopNeverFreezesTheRead) {
    auto focus = std::make_shared<AtspiFocusedElementProvider>();
    AccessibleTextInjector reader(focus);
    qint64 slowest = 0;
    const auto read = [&] {
        const qint64 start = monotonicNs();
        const std::optional<QString> value = reader.readFocusedTextValueIfAvailable();
        slowest = std::max(slowest, elapsedMs(start));
        return value;
    };
    GtkEntryDialog gtk(QStringLiteral("gtk value"));
    ASSERT_TRUE(gtk.shown());
    {
        HangGuard guard(120s, "reading the focused GTK entry");
        // The GTK entry itself is read.
        EXPECT_TRUE(QTest::qWaitFor([&] { return read() == QStringLiteral("gtk value"); }, 60000));
    }
    TargetWindow target; // on top of the GTK dialog, focused
    ASSERT_TRUE(target.ready());
    ASSERT_TRUE(target.request("set", "set", QStringLiteral("qt value")));
    {
        HangGuard guard(120s, "reading the focused field with a GTK program on the desktop");
        std::optional<QString> value;
        EXPECT_TRUE(QTest::qWaitFor([&] { return (value = read()) == QStringLiteral("qt value"); }, 60000))
            << "last value: " << value.value_or(QStringLiteral("(none)")).toStdString();
        // Reads go on while the GTK program sends its events.
        for (int i = 0; i < 20; ++i) {
            read();
            QTest::qWait(20);
        }
    }
    EXPECT_LE(slowest, 250 + kSlackMs);

    // The command line reads the focused field before it pastes: it finishes.
    QProcess cli;
    cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    cli.start(QStringLiteral(QUILLORY_EXECUTABLE), {"paste", "gtk"});
    const bool finished = cli.waitForFinished(60000);
    if (!finished) {
        cli.kill();
        cli.waitForFinished(5000);
    }
    EXPECT_TRUE(finished) << "quillory paste hung with a GTK program on the desktop";
    EXPECT_EQ(cli.exitCode(), 0);
    EXPECT_TRUE(target.waitForText(QStringLiteral("qt valuegtk"), 30000)) << target.transcript();
}

namespace {

/// A private message bus standing in for the accessibility bus (it has no registry and no
/// applications); it can be frozen like a hung bus daemon.
class PrivateBus {
public:
    PrivateBus() {
        process_.setStandardErrorFile(QProcess::nullDevice());
        process_.start(QStringLiteral("dbus-daemon"),
                       {"--session", "--nofork", "--nopidfile", "--print-address=1",
                        "--address=unix:path=" + dir_.filePath(QStringLiteral("bus"))});
        if (process_.waitForReadyRead(30000)) {
            address_ = QString::fromUtf8(process_.readLine().trimmed());
        }
    }
    ~PrivateBus() {
        thaw();
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(2000);
        }
    }
    QString address() const { return address_; }
    void freeze() { ::kill(pid_t(process_.processId()), SIGSTOP); }
    void thaw() { ::kill(pid_t(process_.processId()), SIGCONT); }

private:
    QTemporaryDir dir_;
    QProcess process_;
    QString address_;
};

/// How long one read of the focused element takes, in milliseconds, and whether it found one.
std::pair<qint64, bool> timedRead(FocusedElementProvider& focus) {
    const qint64 start = monotonicNs();
    const bool found = focus.focusedElement() != nullptr;
    return {elapsedMs(start), found};
}

} // namespace

TEST(DesktopFocus, AFrozenAccessibilityBusCostsAtMostTheBoundAndThenNothing) {
    constexpr auto kBound = 250ms;
    {
        // Frozen before we connect: the first read waits at most the bound, later ones not at all
        // while the connection is still pending; no element, no error.
        PrivateBus bus;
        ASSERT_FALSE(bus.address().isEmpty());
        bus.freeze();
        AtspiFocusedElementProvider focus({.bound = kBound, .busAddress = bus.address(), .retryAfter = 1s});
        HangGuard guard(120s, "reading the focused field over a frozen bus");
        const auto [first, found] = timedRead(focus);
        EXPECT_FALSE(found);
        EXPECT_LE(first, kBound.count() + kSlackMs);
        // While the connection is pending, reads do not wait for it again.
        qint64 later = 0;
        for (int i = 0; i < 5; ++i) {
            const auto [ms, again] = timedRead(focus);
            EXPECT_FALSE(again);
            later += ms;
        }
        EXPECT_LE(later, kSlackMs) << "a pending connection is waited for by one read only";
        // Once the bus answers, the connection is made (the bus has no registry: no element).
        bus.thaw();
        ASSERT_TRUE(QTest::qWaitFor([&] { return focus.available(); }, 60000));
        EXPECT_FALSE(focus.focusedElement());
    }
    {
        // Frozen while connected: each read gives up within the bound.
        PrivateBus bus;
        ASSERT_FALSE(bus.address().isEmpty());
        AtspiFocusedElementProvider focus({.bound = kBound, .busAddress = bus.address()});
        ASSERT_TRUE(QTest::qWaitFor([&] { return focus.available(); }, 60000));
        bus.freeze();
        HangGuard guard(120s, "reading the focused field over a bus that froze");
        for (int i = 0; i < 4; ++i) {
            const auto [ms, found] = timedRead(focus);
            EXPECT_FALSE(found);
            EXPECT_LE(ms, kBound.count() + kSlackMs);
        }
    }
}

TEST(DesktopFocus, AFrozenApplicationCostsAtMostTheBoundAndIsReadAgainWhenItWakes) {
    constexpr auto kBound = 250ms;
    AtspiFocusedElementProvider focus({.bound = kBound});
    ASSERT_TRUE(QTest::qWaitFor([&] { return focus.available(); }, 60000));
    TargetWindow target; // gains focus after we listen: its focus event names it
    ASSERT_TRUE(target.ready());
    ASSERT_TRUE(target.request("set", "set", QStringLiteral("awake")));
    AccessibleTextInjector reader(std::shared_ptr<FocusedElementProvider>(&focus, [](auto*) {}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return reader.readFocusedTextValueIfAvailable() == QStringLiteral("awake"); }, 60000));

    ::kill(pid_t(target.processId()), SIGSTOP);
    {
        HangGuard guard(120s, "reading the focused field of a frozen application");
        for (int i = 0; i < 4; ++i) {
            const qint64 start = monotonicNs();
            EXPECT_EQ(reader.readFocusedTextValueIfAvailable(), std::nullopt);
            EXPECT_LE(elapsedMs(start), kBound.count() + kSlackMs);
        }
    }
    ::kill(pid_t(target.processId()), SIGCONT);
    EXPECT_TRUE(QTest::qWaitFor([&] { return reader.readFocusedTextValueIfAvailable() == QStringLiteral("awake"); }, 60000));
}

TEST(DesktopFocus, TheTrayAppStaysResponsiveWhenADictationStartsInAGtkEntry) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QUILLORY_APP_SOCKET"), dir.filePath(QStringLiteral("app.socket")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("QUILLORY_LANGUAGE"), QStringLiteral("en"));
    // One command of the running app: its standard output, or "(no answer)".
    const auto command = [&](const QStringList& args) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(QUILLORY_EXECUTABLE), args);
        if (!p.waitForFinished(15000)) {
            p.kill();
            p.waitForFinished(2000);
            return QStringLiteral("(no answer)");
        }
        return p.exitCode() == 0 ? QString::fromUtf8(p.readAllStandardOutput()).trimmed() : QStringLiteral("(failed)");
    };
    ASSERT_NE(command({"settings", "set", "quillory.firstLaunch.settingsOpened", "true", "--bool"}), "(failed)");

    GtkEntryDialog gtk(QStringLiteral("gtk value")); // focused
    ASSERT_TRUE(gtk.shown());
    QProcess app;
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    app.start(QStringLiteral(QUILLORY_EXECUTABLE), {});
    ASSERT_TRUE(app.waitForStarted(10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return command({"status"}) == QStringLiteral("idle"); }, 60000));

    // The dictation starts (recording, or an error without a speech model) and the app keeps
    // answering; cancelled, it is idle again.
    EXPECT_EQ(command({"toggle"}).toStdString(), "");
    QString status;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            status = command({"status"});
            return status != QStringLiteral("idle") && status != QStringLiteral("(no answer)");
        },
        60000))
        << "last status: " << status.toStdString();
    EXPECT_EQ(command({"cancel"}).toStdString(), "");
    EXPECT_TRUE(QTest::qWaitFor([&] { return (status = command({"status"})) == QStringLiteral("idle"); }, 60000))
        << "last status: " << status.toStdString();

    // And it leaves on SIGTERM.
    app.terminate();
    const bool exited = app.waitForFinished(30000);
    if (!exited) {
        app.kill();
        app.waitForFinished(5000);
    }
    EXPECT_TRUE(exited) << "the app ignored SIGTERM";
}
