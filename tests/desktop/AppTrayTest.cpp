// The tray app on a real desktop (Xvfb, openbox, trayer): the tray icon is embedded and its menu
// opens, a second launch shows the first one's settings window, remote control reaches the
// session, and SIGTERM cleans up the inference servers. With the tiny speech model, a dictation
// through the pipe microphone ends up pasted into another application's line edit. On a first run
// without any speech model, the settings window's speech model row downloads one from the hosting
// service (one inside the test) and the next dictation works.
#include "InputTargetClient.h"
#include "PipeMicrophone.h"
#include "ai/FakeHttpServer.h"
#include "support/HostedFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <vector>

namespace {

using quillory::test::speakIntoPipeMicrophone;
using quillory::test::wavSamples;

struct CommandRun {
    int exitCode = -1;
    QString out;
    QString err;
};

class AppTrayTest : public ::testing::Test {
protected:
    void startStandInServer(QProcess& server);
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
        // The tray drops a killed app's icon a moment later; the next test finds only its own.
        (void)QTest::qWaitFor([] { return embeddedIcon().isEmpty(); }, 10000);
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
    /// Right-clicks the embedded tray icon; true when its menu opened (Escape closes it).
    bool openTrayMenu() {
        QString icon;
        if (!QTest::qWaitFor([&] { return !(icon = embeddedIcon()).isEmpty(); }, 15000)) return false;
        const QStringList g = icon.split(' ');
        const int before = visibleWindows({"--class", "quillory"});
        tool(QStringLiteral("xdotool"), {"mousemove", QString::number(g[0].toInt() + g[2].toInt() / 2),
                                         QString::number(g[1].toInt() + g[3].toInt() / 2), "click", "3"});
        return QTest::qWaitFor([&] { return visibleWindows({"--class", "quillory"}) > before; }, 15000);
    }
    /// Rests the pointer on the embedded tray icon and returns the tooltip the app shows then
    /// (its status line), empty when none appeared.
    QString trayTooltip() {
        QString icon;
        if (!QTest::qWaitFor([&] { return !(icon = embeddedIcon()).isEmpty(); }, 15000)) return {};
        const QStringList g = icon.split(' ');
        const int x = g[0].toInt() + g[2].toInt() / 2;
        const int y = g[1].toInt() + g[3].toInt() / 2;
        tool(QStringLiteral("xdotool"), {"mousemove", "640", "400"});
        QTest::qWait(200);
        tool(QStringLiteral("xdotool"), {"mousemove", QString::number(x), QString::number(y)});
        QString tip;
        int wiggle = 1;
        QElapsedTimer sinceMove;
        sinceMove.start();
        (void)QTest::qWaitFor([&] {
            // Qt shows a tooltip once the pointer has rested 0.7 s: now and then a small move
            // back and forth over the icon, so a tooltip that timed out shows again.
            if (sinceMove.elapsed() > 3000) {
                tool(QStringLiteral("xdotool"), {"mousemove_relative", "--", QString::number(wiggle), "0"});
                wiggle = -wiggle;
                sinceMove.restart();
            }
            for (const QString& line : accessibleDump().split('\n')) {
                if (line.startsWith(QLatin1String("tool tip\t"))) tip = line.section('\t', 1, 1);
            }
            return !tip.isEmpty();
        }, 30000);
        return tip;
    }
    static int settingsWindows() { return visibleWindows({"--name", "^Quillory Settings$"}); }
    /// What the app shows over the accessibility bus: one "role<TAB>name" line per showing object.
    QString accessibleDump() {
        return tool(QStringLiteral(QUILLORY_ATSPI_PROBE), {"dump", QString::number(app_.processId())});
    }
    /// Presses the app's showing push button `name` through its accessible action.
    bool pressAccessibleButton(const QString& name) {
        QProcess p;
        p.start(QStringLiteral(QUILLORY_ATSPI_PROBE), {"press", QString::number(app_.processId()), name});
        return p.waitForFinished(10000) && p.exitCode() == 0;
    }
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
    const int before = visibleWindows({"--class", "quillory"});
    EXPECT_TRUE(openTrayMenu()) << "the context menu did not open";
    tool(QStringLiteral("xdotool"), {"key", "Escape"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return visibleWindows({"--class", "quillory"}) == before; }, 15000));
}

/// WCAG relative luminance of an sRGB colour.
double luminance(QRgb c) {
    const auto channel = [](int v) {
        const double s = v / 255.0;
        return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
}
double contrast(QRgb a, QRgb b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}
struct IconLook {
    double contrast = 0;  ///< the strongest contrast of any pixel with the panel behind the icon
    int red = 0;          ///< pixels of a clear red (the error state)
};
/// The icon's slot on screen, measured against the panel colour at the slot's corner.
IconLook lookOf(const QImage& slot) {
    IconLook look;
    const QRgb panel = slot.pixel(0, 0);
    for (int y = 0; y < slot.height(); ++y) {
        for (int x = 0; x < slot.width(); ++x) {
            const QRgb p = slot.pixel(x, y);
            look.contrast = std::max(look.contrast, contrast(p, panel));
            if (qRed(p) > 150 && qGreen(p) < 90 && qBlue(p) < 90) ++look.red;
        }
    }
    return look;
}

// On the panel this session has (light by default, dark with --dark-panel), the idle icon stands
// out from the panel (3:1, what a graphical object needs to be seen) and the error state is told
// apart by its colour. The slots are saved as review screenshots.
TEST_F(AppTrayTest, TrayIconStandsOutFromThePanelAndItsErrorStateIsRed) {
    const QString panel = qEnvironmentVariable("QUILLORY_TEST_PANEL", QStringLiteral("light"));
    startApp();
    QString icon;
    ASSERT_TRUE(QTest::qWaitFor([&] { return !(icon = embeddedIcon()).isEmpty(); }, 15000));
    // The slot is looked up at every grab: the tray may lay its icons out again meanwhile.
    const auto grab = [&] {
        if (const QString now = embeddedIcon(); !now.isEmpty()) icon = now;
        const QStringList g = icon.split(' ');
        return QGuiApplication::primaryScreen()
            ->grabWindow(0, g[0].toInt(), g[1].toInt(), g[2].toInt(), g[3].toInt())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    };
    const QString shots = QStringLiteral(QUILLORY_SCREENSHOT_DIR);
    QDir().mkpath(shots);

    QImage idle;
    ASSERT_TRUE(QTest::qWaitFor([&] { return lookOf(idle = grab()).contrast > 1.5; }, 15000))
        << "the icon was never drawn";
    const IconLook idleLook = lookOf(idle);
    idle.scaled(idle.size() * 4).save(shots + QStringLiteral("/tray-%1-panel-idle.png").arg(panel));
    std::printf("%s panel: idle icon contrast %.1f:1\n", qPrintable(panel), idleLook.contrast);
    EXPECT_GE(idleLook.contrast, 3.0) << "the idle icon is hard to see on a " << panel.toStdString() << " panel";
    EXPECT_EQ(idleLook.red, 0);

    // No speech model here: a dictation fails, and the icon shows the error.
    EXPECT_EQ(quillory({"toggle"}).exitCode, 0);
    QImage error;
    ASSERT_TRUE(QTest::qWaitFor([&] { return lookOf(error = grab()).red >= 12; }, 30000))
        << "the error state never showed in red at " << icon.toStdString()
        << "; status: " << quillory({"status"}).out.toStdString();
    error.scaled(error.size() * 4).save(shots + QStringLiteral("/tray-%1-panel-error.png").arg(panel));
    EXPECT_GE(lookOf(error).contrast, 3.0);
}

TEST_F(AppTrayTest, SecondLaunchShowsTheFirstOnesSettingsAndExits) {
    startApp();
    EXPECT_EQ(settingsWindows(), 0);
    const CommandRun second = quillory({});
    EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
    EXPECT_TRUE(second.out.isEmpty());
    EXPECT_TRUE(QTest::qWaitFor([&] { return settingsWindows() == 1; }, 15000));
    // The real settings window: 420 x 560.
    const QString id = tool(QStringLiteral("xdotool"), {"search", "--onlyvisible", "--name", "^Quillory Settings$"}).trimmed();
    const QString info = tool(QStringLiteral("xwininfo"), {"-id", id.section('\n', 0, 0)});
    EXPECT_TRUE(info.contains(QLatin1String("Width: 420")) && info.contains(QLatin1String("Height: 560")))
        << info.toStdString();
    // `quillory settings` raises the same window rather than opening another.
    EXPECT_EQ(quillory({"settings"}).exitCode, 0);
    QTest::qWait(300);
    EXPECT_EQ(settingsWindows(), 1);
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
    EXPECT_TRUE(QTest::qWaitFor([&] { return quillory({"status"}).out != QStringLiteral("idle\n"); }, 15000));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            QFile log(dir_.path() + QStringLiteral("/data/quillory/Diagnostics/commit.log"));
            return log.open(QIODevice::ReadOnly) && log.readAll().contains("session=1");
        },
        15000));
    const CommandRun second = quillory({"toggle"});
    EXPECT_EQ(second.exitCode, 0);
    EXPECT_EQ(quillory({"cancel"}).exitCode, 0);
}

// A stand-in local AI server: a program named llama-server inside the app's runtime folder.
void AppTrayTest::startStandInServer(QProcess& server) {
    const QString runtime = dir_.path() + QStringLiteral("/runtime");
    ASSERT_TRUE(QDir().mkpath(runtime));
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), runtime + QStringLiteral("/llama-server")));
    QFile::setPermissions(runtime + QStringLiteral("/llama-server"), QFile::ExeOwner | QFile::ReadOwner);
    env_.insert(QStringLiteral("QUILLORY_RUNTIME_DIR"), runtime);
    server.start(runtime + QStringLiteral("/llama-server"), {"60"});
    ASSERT_TRUE(server.waitForStarted(3000));
}

TEST_F(AppTrayTest, SigtermLeavesNoInferenceServerBehind) {
    QProcess server;
    ASSERT_NO_FATAL_FAILURE(startStandInServer(server));

    startApp();
    ::kill(static_cast<pid_t>(app_.processId()), SIGTERM);
    ASSERT_TRUE(app_.waitForFinished(8000));
    EXPECT_EQ(app_.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app_.exitCode(), 0);
    EXPECT_TRUE(server.waitForFinished(3000)) << "the stand-in llama-server still runs";
    // The socket is gone with the app.
    EXPECT_EQ(quillory({"status"}).exitCode, 1);
}

TEST_F(AppTrayTest, QuitCommandEndsTheAppAndItsInferenceServer) {
    QProcess server;
    ASSERT_NO_FATAL_FAILURE(startStandInServer(server));

    startApp();
    const CommandRun quit = quillory({"quit"});
    EXPECT_EQ(quit.exitCode, 0) << quit.err.toStdString();
    EXPECT_TRUE(quit.out.isEmpty() && quit.err.isEmpty());
    ASSERT_TRUE(app_.waitForFinished(15000)) << "the app did not quit";
    EXPECT_EQ(app_.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app_.exitCode(), 0);
    EXPECT_TRUE(server.waitForFinished(5000)) << "the stand-in llama-server still runs";
    EXPECT_EQ(quillory({"status"}).exitCode, 1);
    // Nothing runs any more: quitting again says so.
    const CommandRun again = quillory({"quit"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.err, QStringLiteral("Quillory is not running. Start it with 'quillory' first.\n"));
}

// Run on a desktop without a tray host (test_desktop_app_notray).
using AppNoTrayTest = AppTrayTest;

TEST_F(AppNoTrayTest, FirstStartSaysSoInAWindowAndSettingsAndQuitStillWork) {
    app_.setProcessEnvironment(env_);
    app_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    app_.start(QStringLiteral(QUILLORY_EXECUTABLE), {});
    ASSERT_TRUE(app_.waitForStarted(5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return visibleWindows({"--name", "^Quillory is running$"}) == 1; }, 20000))
        << "no notice window";
    ASSERT_TRUE(QTest::qWaitFor([&] { return quillory({"status"}, 2000).exitCode == 0; }, 8000));
    EXPECT_EQ(quillory({"settings"}).exitCode, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return settingsWindows() == 1; }, 15000));
    EXPECT_EQ(quillory({"quit"}).exitCode, 0);
    ASSERT_TRUE(app_.waitForFinished(15000)) << "the app did not quit";
    EXPECT_EQ(app_.exitCode(), 0);

    // The notice is said once: a second start shows none.
    app_.start(QStringLiteral(QUILLORY_EXECUTABLE), {});
    ASSERT_TRUE(app_.waitForStarted(5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return quillory({"status"}, 2000).exitCode == 0; }, 8000));
    QTest::qWait(500);
    EXPECT_EQ(visibleWindows({"--name", "^Quillory is running$"}), 0);
    EXPECT_EQ(quillory({"quit"}).exitCode, 0);
    ASSERT_TRUE(app_.waitForFinished(15000));
}

TEST_F(AppTrayTest, DictationWithTheSpeechModelPastesIntoTheFocusedApplication) {
    const QString model = qEnvironmentVariable("QUILLORY_TEST_WHISPER_MODEL");
    const QString vad = qEnvironmentVariable("QUILLORY_TEST_WHISPER_VAD_MODEL");
    const QString sentence = qEnvironmentVariable("QUILLORY_TEST_WHISPER_SENTENCE");
    if (model.isEmpty() || vad.isEmpty() || sentence.isEmpty() || qEnvironmentVariableIsEmpty("QUILLORY_TEST_PIPE_SOURCE")) {
        GTEST_SKIP() << "the tiny speech model or the pipe microphone is not set up";
    }
    // The tiny model stands in for the selected (default) model in the app's own model folder.
    const QString models = dir_.path() + QStringLiteral("/data/quillory/SpeechModels");
    ASSERT_TRUE(QDir().mkpath(models));
    ASSERT_TRUE(QFile::link(model, models + QStringLiteral("/ggml-kotoba-whisper-v2.0-q5_0.bin")));
    ASSERT_TRUE(QFile::link(vad, models + QStringLiteral("/ggml-silero-v5.1.2.bin")));
    env_.insert(QStringLiteral("QUILLORY_WHISPER_THREADS"), QStringLiteral("1"));
    const std::vector<float> speech = wavSamples(QStringLiteral(QUILLORY_FIXTURES "/speech/plain.wav"));
    ASSERT_GT(speech.size(), 16000u);

    startApp();
    quillory::test::TargetWindow target;
    ASSERT_TRUE(target.ready()) << target.transcript();

    const CommandRun start = quillory({"toggle"});
    ASSERT_EQ(start.exitCode, 0) << start.err.toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return quillory({"status"}).out == QStringLiteral("recording\n"); }, 5000))
        << quillory({"status"}).out.toStdString();
    std::vector<float> audio = speech;
    audio.insert(audio.end(), 16000, 0.0f); // a second of silence after the sentence
    ASSERT_TRUE(speakIntoPipeMicrophone(audio)) << "the pipe microphone did not take the audio";
    QTest::qWait(300);
    const CommandRun stop = quillory({"toggle"});
    ASSERT_EQ(stop.exitCode, 0) << stop.err.toStdString();

    // The known sentence reaches the line edit of the other application, which kept the focus:
    // once (the tiny model writes it for each stretch of speech it decodes; one sentence said
    // without a pause is one stretch).
    EXPECT_TRUE(QTest::qWaitFor([&] { return quillory({"status"}).out == QStringLiteral("idle\n"); }, 60000))
        << quillory({"status"}).out.toStdString();
    EXPECT_TRUE(target.text() == sentence ||
                target.waitForLine([&](const QByteArray&) { return target.text() == sentence; }, 30000))
        << target.transcript();
    QTest::qWait(500); // nothing more follows
    EXPECT_EQ(target.text(), sentence) << target.transcript();
}

TEST_F(AppTrayTest, FirstRunWithoutASpeechModelDownloadsOneFromTheSettingsRowAndDictates) {
    const QString model = qEnvironmentVariable("QUILLORY_TEST_WHISPER_MODEL");
    const QString vad = qEnvironmentVariable("QUILLORY_TEST_WHISPER_VAD_MODEL");
    const QString sentence = qEnvironmentVariable("QUILLORY_TEST_WHISPER_SENTENCE");
    if (model.isEmpty() || vad.isEmpty() || sentence.isEmpty() || qEnvironmentVariableIsEmpty("QUILLORY_TEST_PIPE_SOURCE")) {
        GTEST_SKIP() << "the tiny speech model or the pipe microphone is not set up";
    }
    // The hosting service: every speech model file is the tiny model, the VAD file the tiny VAD
    // model, each announced with its SHA-256 as the real service does.
    QFile modelFile(model);
    QFile vadFile(vad);
    ASSERT_TRUE(modelFile.open(QIODevice::ReadOnly) && vadFile.open(QIODevice::ReadOnly));
    const QByteArray modelBytes = modelFile.readAll();
    const QByteArray vadBytes = vadFile.readAll();
    QStringList requested;
    quillory::testing::FakeHttpServer hosting([&](const quillory::testing::FakeHttpServer::Request& r) {
        requested << QString::fromUtf8(r.path);
        const QByteArray& body = r.path.endsWith("/ggml-silero-v5.1.2.bin") ? vadBytes : modelBytes;
        if (!r.path.endsWith(".bin")) return quillory::testing::FakeHttpServer::Response{.status = 404, .body = "not here"};
        return quillory::testing::FakeHttpServer::Response{200, body, "application/octet-stream",
                                                           quillory::testing::hostedDigestHeaders(body)};
    });
    env_.insert(QStringLiteral("QUILLORY_MODEL_BASE_URL"), QStringLiteral("http://127.0.0.1:%1/").arg(hosting.port()));
    env_.insert(QStringLiteral("QUILLORY_WHISPER_THREADS"), QStringLiteral("1"));
    const std::vector<float> speech = wavSamples(QStringLiteral(QUILLORY_FIXTURES "/speech/plain.wav"));
    ASSERT_GT(speech.size(), 16000u);

    // A first launch: nothing configured, no model; the settings window opens by itself.
    app_.setProcessEnvironment(env_);
    app_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    app_.start(QStringLiteral(QUILLORY_EXECUTABLE), {});
    ASSERT_TRUE(app_.waitForStarted(5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return quillory({"status"}, 2000).exitCode == 0; }, 20000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return settingsWindows() == 1; }, 30000)) << "no settings window on first launch";
    const QString missing = QStringLiteral("Not installed — dictation needs one");
    QString dump;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (dump = accessibleDump()).contains(missing); }, 30000))
        << "the speech model row does not say the model is missing:\n" << dump.toStdString();

    // The tray says setup is unfinished, and why.
    const QString unfinished = QStringLiteral("Quillory: setup unfinished — No speech model");
    QString tip = trayTooltip();
    EXPECT_TRUE(tip.startsWith(unfinished)) << "tray status: " << tip.toStdString();

    // The row's Download, pressed as a user (or a screen reader) would.
    ASSERT_TRUE(QTest::qWaitFor([&] { return pressAccessibleButton(QStringLiteral("Download")); }, 20000))
        << accessibleDump().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return (dump = accessibleDump()).contains(QLatin1String("\tInstalled: Whisper")); }, 120000))
        << "the row never said installed:\n" << dump.toStdString() << "\nrequested: "
        << requested.join(' ').toStdString();
    EXPECT_FALSE(dump.contains(missing));
    // With the model in place the tray is ready.
    EXPECT_TRUE(QTest::qWaitFor([&] { return (tip = trayTooltip()) == QLatin1String("Quillory: ready"); }, 30000))
        << "tray status: " << tip.toStdString();
    EXPECT_TRUE(requested.contains(QStringLiteral("/ggml-org/whisper-vad/resolve/main/ggml-silero-v5.1.2.bin")))
        << requested.join(' ').toStdString();

    // Push-to-talk with the pipe microphone: the tiny model's sentence reaches another application.
    quillory::test::TargetWindow target;
    ASSERT_TRUE(target.ready()) << target.transcript();
    ASSERT_EQ(quillory({"press"}).exitCode, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return quillory({"status"}).out == QStringLiteral("recording\n"); }, 30000))
        << quillory({"status"}).out.toStdString();
    std::vector<float> audio = speech;
    audio.insert(audio.end(), 16000, 0.0f);
    ASSERT_TRUE(speakIntoPipeMicrophone(audio)) << "the pipe microphone did not take the audio";
    QTest::qWait(300);
    ASSERT_EQ(quillory({"release"}).exitCode, 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return quillory({"status"}).out == QStringLiteral("idle\n"); }, 90000))
        << quillory({"status"}).out.toStdString();
    EXPECT_TRUE(target.text() == sentence ||
                target.waitForLine([&](const QByteArray&) { return target.text() == sentence; }, 30000))
        << target.transcript();
}

} // namespace
