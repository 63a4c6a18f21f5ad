// The tray app on a real desktop (Xvfb, openbox, trayer): the tray icon is embedded and its menu
// opens, a second launch shows the first one's settings window, remote control reaches the
// session, and SIGTERM cleans up the inference servers.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <csignal>

namespace {

struct CommandRun {
    int exitCode = -1;
    QString out;
    QString err;
};

class AppTrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert(QStringLiteral("QUILLORY_APP_SOCKET"), dir_.path() + QStringLiteral("/run/app.socket"));
        env_.insert(QStringLiteral("XDG_CONFIG_HOME"), dir_.path() + QStringLiteral("/config"));
        env_.insert(QStringLiteral("XDG_DATA_HOME"), dir_.path() + QStringLiteral("/data"));
        env_.insert(QStringLiteral("QUILLORY_LANGUAGE"), QStringLiteral("en"));
    }
    void TearDown() override {
        if (app_.state() != QProcess::NotRunning) {
            app_.kill();
            app_.waitForFinished(3000);
        }
    }

    CommandRun quillory(const QStringList& args, int timeoutMs = 8000) {
        QProcess p;
        p.setProcessEnvironment(env_);
        p.start(QStringLiteral(QUILLORY_EXECUTABLE), args);
        CommandRun r;
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished(1000);
            r.err = QStringLiteral("timed out");
            return r;
        }
        r.exitCode = p.exitCode();
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }
    static QString tool(const QString& program, const QStringList& args) {
        QProcess p;
        p.start(program, args);
        p.waitForFinished(5000);
        return QString::fromUtf8(p.readAllStandardOutput());
    }
    /// Starts the app with the first-launch window already handled (nothing opens by itself).
    void startApp() {
        ASSERT_EQ(quillory({"settings", "set", "quillory.firstLaunch.settingsOpened", "true", "--bool"}).exitCode, 0);
        app_.setProcessEnvironment(env_);
        app_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app_.start(QStringLiteral(QUILLORY_EXECUTABLE), {});
        ASSERT_TRUE(app_.waitForStarted(5000));
        ASSERT_TRUE(QTest::qWaitFor([&] { return quillory({"status"}, 2000).exitCode == 0; }, 8000))
            << "the app never answered on its socket";
    }
    /// The geometry "x y w h" of our icon inside trayer's panel (from the window tree), empty
    /// when it is not embedded.
    static QString embeddedIcon() {
        const QStringList lines = tool(QStringLiteral("xwininfo"), {"-root", "-tree"}).split('\n');
        int panelIndent = -1;
        static const QRegularExpression icon(QStringLiteral(R"(\("quillory" "quillory"\)\s+(\d+)x(\d+)\S*\s+\+(-?\d+)\+(-?\d+))"));
        for (const QString& line : lines) {
            const int indent = int(line.size() - line.trimmed().size());
            if (line.contains(QLatin1String("(\"panel\" \"trayer\")"))) {
                panelIndent = indent;
            } else if (panelIndent >= 0 && !line.trimmed().isEmpty() && indent <= panelIndent) {
                panelIndent = -1;
            } else if (panelIndent >= 0) {
                if (const auto m = icon.match(line); m.hasMatch()) {
                    return QStringLiteral("%1 %2 %3 %4").arg(m.captured(3), m.captured(4), m.captured(1), m.captured(2));
                }
            }
        }
        return {};
    }
    static int visibleWindows(const QStringList& search) {
        return int(tool(QStringLiteral("xdotool"), QStringList{"search", "--onlyvisible"} + search)
                       .split('\n', Qt::SkipEmptyParts)
                       .size());
    }
    static int settingsWindows() { return visibleWindows({"--name", "^Quillory$"}); }

    QTemporaryDir dir_;
    QProcessEnvironment env_;
    QProcess app_;
};

TEST_F(AppTrayTest, TrayIconIsEmbeddedAndItsMenuOpens) {
    QElapsedTimer started;
    started.start();
    startApp();
    QString icon;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !(icon = embeddedIcon()).isEmpty(); }, 5000))
        << tool(QStringLiteral("xwininfo"), {"-root", "-tree"}).toStdString();
    std::printf("start -> tray icon embedded: %lld ms\n", static_cast<long long>(started.elapsed()));
    const QStringList g = icon.split(' ');
    const int x = g[0].toInt() + g[2].toInt() / 2;
    const int y = g[1].toInt() + g[3].toInt() / 2;

    const int before = visibleWindows({"--class", "quillory"});
    tool(QStringLiteral("xdotool"), {"mousemove", QString::number(x), QString::number(y), "click", "3"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return visibleWindows({"--class", "quillory"}) > before; }, 3000))
        << "the context menu did not open";
    tool(QStringLiteral("xdotool"), {"key", "Escape"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return visibleWindows({"--class", "quillory"}) == before; }, 3000));
}

TEST_F(AppTrayTest, SecondLaunchShowsTheFirstOnesSettingsAndExits) {
    startApp();
    EXPECT_EQ(settingsWindows(), 0);
    const CommandRun second = quillory({});
    EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
    EXPECT_TRUE(second.out.isEmpty());
    EXPECT_TRUE(QTest::qWaitFor([&] { return settingsWindows() == 1; }, 3000));
    // Still one app, still answering.
    EXPECT_EQ(app_.state(), QProcess::Running);
    EXPECT_EQ(quillory({"status"}).exitCode, 0);
}

TEST_F(AppTrayTest, RemoteControlReachesTheSessionAndFailsClearlyWithoutApp) {
    const CommandRun none = quillory({"toggle"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.err, QStringLiteral("Quillory is not running. Start it with 'quillory' first.\n"));

    startApp();
    EXPECT_EQ(quillory({"status"}).out, QStringLiteral("idle\n"));
    const CommandRun toggle = quillory({"toggle"});
    EXPECT_EQ(toggle.exitCode, 0) << toggle.err.toStdString();
    EXPECT_TRUE(toggle.out.isEmpty() && toggle.err.isEmpty());
    // The session started: it leaves idle (recording, or an error when no speech model is
    // installed on this machine), and the diagnostics log has its first session.
    EXPECT_TRUE(QTest::qWaitFor([&] { return quillory({"status"}).out != QStringLiteral("idle\n"); }, 3000));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            QFile log(dir_.path() + QStringLiteral("/data/quillory/Diagnostics/commit.log"));
            return log.open(QIODevice::ReadOnly) && log.readAll().contains("session=1");
        },
        3000));
    const CommandRun second = quillory({"toggle"});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(quillory({"cancel"}).exitCode, 0);
}

TEST_F(AppTrayTest, SigtermLeavesNoInferenceServerBehind) {
    // A stand-in server: a program named llama-server inside the runtime folder.
    const QString runtime = dir_.path() + QStringLiteral("/runtime");
    ASSERT_TRUE(QDir().mkpath(runtime));
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), runtime + QStringLiteral("/llama-server")));
    QFile::setPermissions(runtime + QStringLiteral("/llama-server"), QFile::ExeOwner | QFile::ReadOwner);
    env_.insert(QStringLiteral("QUILLORY_RUNTIME_DIR"), runtime);
    QProcess server;
    server.start(runtime + QStringLiteral("/llama-server"), {"60"});
    ASSERT_TRUE(server.waitForStarted(3000));

    startApp();
    ::kill(static_cast<pid_t>(app_.processId()), SIGTERM);
    ASSERT_TRUE(app_.waitForFinished(8000));
    EXPECT_EQ(app_.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app_.exitCode(), 0);
    EXPECT_TRUE(server.waitForFinished(3000)) << "the stand-in llama-server still runs";
    // The socket is gone with the app.
    EXPECT_EQ(quillory({"status"}).exitCode, 1);
}

} // namespace
